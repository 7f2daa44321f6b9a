#include "tasks/rollbackdata.h"

#include "tasks/foldersync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <sys/stat.h>
#include <unistd.h>

RollbackData::RollbackData(Operation operation, const QString &path)
    : path(path)
    , operation(operation)
{ }

RollbackData::RollbackData(Operation operation, const QString &oldPath, const QString &path)
    : path(path)
    , oldPath(oldPath)
    , operation(operation)
{ }

bool RollbackData::rollback(QObject *messageTarget) const
{
    // Whatever the undo changed, its folders are synced with the others.
    FolderSync::noteChangeOf(path);
    if (!oldPath.isEmpty())
        FolderSync::noteChangeOf(oldPath);
    switch (operation) {
    case Rename:
        if (undoRename())
            return true;
        message(messageTarget,
                QStringLiteral("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(messageTarget, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir:
        // rmdir fails on a directory that holds anything not in the journal.
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(messageTarget, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    qFatal("Should not reach here");
    return false;
}

bool RollbackData::undoRename() const
{
    const QByteArray kept = QFile::encodeName(path);
    const QByteArray name = QFile::encodeName(oldPath);
    // A kept file that is a second link to what the old name still holds
    // (no new file has taken the name yet): only the second name goes.
    struct stat keptStatus;
    struct stat nameStatus;
    const bool bothExist = ::lstat(kept.constData(), &keptStatus) == 0
        && ::lstat(name.constData(), &nameStatus) == 0;
    if (bothExist && keptStatus.st_dev == nameStatus.st_dev
        && keptStatus.st_ino == nameStatus.st_ino)
        return ::unlink(kept.constData()) == 0;
    // A folder moved aside cannot be renamed over the new file that took its
    // name: that file goes first.
    if (bothExist && S_ISDIR(keptStatus.st_mode) && !S_ISDIR(nameStatus.st_mode)
        && ::unlink(name.constData()) != 0)
        return false;
    // Otherwise the kept file takes its name back, over a new file that may
    // hold it now, in one step: the name never stops existing.
    return ::rename(kept.constData(), name.constData()) == 0;
}

void RollbackData::message(QObject *messageTarget, const QString &text)
{
    if (!messageTarget)
        return;
    QMetaObject::invokeMethod(messageTarget, "message", Qt::AutoConnection, Q_ARG(QString, text));
}
