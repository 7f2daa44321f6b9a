#pragma once

#include <QString>

class QObject;

// One undo record of the rollback journal: how to take back one change that
// the update made to the installation.
class RollbackData
{
public:
    enum Operation {
        Rename = 0, // rename path back to oldPath, over what holds that name now
        CreateFile = 1, // remove the file path
        CreateDir = 2 // remove the directory path, only if it is empty
    };

    RollbackData(Operation operation, const QString &path);
    // The name before the change first, the name after it second.
    RollbackData(Operation operation, const QString &oldPath, const QString &path);

    // Undoes this one change; on failure reports a warning to messageTarget
    // (which may be null) and returns false.
    bool rollback(QObject *messageTarget) const;
    // Invokes messageTarget's "message" method with text; nothing if null.
    static void message(QObject *messageTarget, const QString &text);

    QString path; // what the undo acts on: the name after a rename, or the created path
    QString oldPath; // the name before a rename; empty otherwise
    Operation operation;

private:
    bool undoRename() const;
};
