#include "tasks/rollbackdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

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
    switch (operation) {
    case Rename:
        if (QFile::rename(path, oldPath))
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

void RollbackData::message(QObject *messageTarget, const QString &text)
{
    if (!messageTarget)
        return;
    QMetaObject::invokeMethod(messageTarget, "message", Qt::AutoConnection, Q_ARG(QString, text));
}
