#include "fileops/filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &sourcePath,
                                                         const QString &targetPath,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(targetPath, rollbackList, parent, parentProgressRange)
    , sourcePath(sourcePath)
{ }

bool FileRenameTaskSpecification::doOp()
{
    // QFile::rename fails when targetPath exists; it never overwrites.
    if (QFile::rename(sourcePath, targetPath)) {
        addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, targetPath));
        return true;
    }
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, targetPath));
    return false;
}
