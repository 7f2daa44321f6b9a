#include "fileops/dircreatetaskspecification.h"

#include "fileops/fileophook.h"
#include "tasks/foldersync.h"
#include "tasks/failurecause.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &targetPath,
                                                       RollbackDataList *rollbackList,
                                                       QObject *parent, double parentProgressRange)
    : FastFileOpTaskSpecification(targetPath, rollbackList, parent, parentProgressRange)
{ }

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(targetPath);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                .arg(path));
        return false;
    }

    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || info.isRoot()) {
        // Named after the task's own directory, also when a parent failed.
        emit message(QStringLiteral("Could not create dir %1").arg(targetPath));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;

    FileOpHook::reached();
    if (!parent.mkdir(QDir(path).dirName())) {
        emit message(QStringLiteral("unable to create dir %1").arg(path));
        const QString cause = FailureCause::probeFolder(parent.absolutePath(), 1);
        if (!cause.isEmpty())
            emit failureCause(cause);
        return false;
    }
    FolderSync::noteChangeOf(path);
    addRollbackOp(RollbackData(RollbackData::CreateDir, path));
    return true;
}
