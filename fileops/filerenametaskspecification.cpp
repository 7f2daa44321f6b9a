#include "fileops/filerenametaskspecification.h"

#include "fileops/fileophook.h"
#include "tasks/failurecause.h"
#include "tasks/foldersync.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace {

// The file system has no hard links for this file, or none to spare.
bool linkImpossible(int error)
{
    return error == EPERM || error == EXDEV || error == EOPNOTSUPP || error == EMLINK
        || error == ENOSYS;
}

} // namespace

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &sourcePath,
                                                         const QString &targetPath,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange, Mode mode)
    : FastFileOpTaskSpecification(targetPath, rollbackList, parent, parentProgressRange)
    , sourcePath(sourcePath)
    , mode(mode)
{ }

bool FileRenameTaskSpecification::doOp()
{
    FileOpHook::reached();
    if (mode == KeepSource) {
        // link() fails when targetPath exists, like the rename below.
        if (::link(QFile::encodeName(sourcePath).constData(),
                   QFile::encodeName(targetPath).constData())
            == 0) {
            FolderSync::noteChangeOf(targetPath);
            addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, targetPath));
            return true;
        }
        if (!linkImpossible(errno)) {
            emit message(
                QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, targetPath));
            return false;
        }
    }
    // QFile::rename fails when targetPath exists; it never overwrites.
    if (QFile::rename(sourcePath, targetPath)) {
        FolderSync::noteChangeOf(sourcePath);
        FolderSync::noteChangeOf(targetPath);
        addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, targetPath));
        return true;
    }
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, targetPath));
    const QString cause = FailureCause::probeFolder(QFileInfo(targetPath).absolutePath(), 0);
    if (!cause.isEmpty())
        emit failureCause(cause);
    return false;
}
