#include "fileops/filedeletetaskspecification.h"

#include "fileops/fileophook.h"
#include "tasks/foldersync.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError,
                                                         const QString &targetPath, QObject *parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(targetPath, nullptr, parent, parentProgressRange)
    , failOnError(failOnError)
{ }

bool FileDeleteTaskSpecification::doOp()
{
    FileOpHook::reached();
    const bool removed = QFile::remove(targetPath);
    if (removed)
        FolderSync::noteChangeOf(targetPath);
    if (!failOnError)
        return true;
    if (!removed) {
        emit message(QStringLiteral("Could not delete '%1'").arg(targetPath));
        return false;
    }
    return true;
}
