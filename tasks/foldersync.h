#pragma once

#include <QByteArray>
#include <QString>

// The folders in which this process renamed, linked, made or removed entries
// of the installation and has not yet synced. A rename is durable only once
// its folder is: after a power loss an unsynced folder may show the old name,
// the new one, or neither. The steps note each change as they make it and
// sync the noted folders before anything relies on the changes (the journal
// of a replacement is cleared, old copies are deleted, the session record
// moves on). Safe to use from any thread.
class FolderSync
{
public:
    FolderSync() = delete;

    // Notes the folder that holds path, whose entry was just changed.
    static void noteChangeOf(const QString &path);
    static void noteChangeOf(const QByteArray &encodedPath);

    // Syncs every noted folder (fsync on its descriptor) and forgets it; a
    // folder that is gone is forgotten too. False, with the system's reason
    // in error (if not null), when one could not be synced; it stays noted.
    static bool syncNoted(QString *error = nullptr);
    // Syncs the folder dir now.
    static bool syncFolder(const QString &dir, QString *error = nullptr);

    // Tests: called with the path of each folder synced, from the thread that
    // syncs it.
    using Observer = void (*)(const QByteArray &folder);
    static void setObserver(Observer observer);
};
