#pragma once

#include <QString>

// The session record: section "current" of update.ini names the version, the
// temporary directory and the client type of the run that owns that
// directory, so that an interrupted run can be resumed or cleaned up.
// Static operations only; each opens update.ini afresh.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    // Absolute path of update.ini in the application root.
    static QString filename();

    // True for a valid record; then stores its parts through the non-null
    // pointers. A record is valid when "version" is an integer, "type" is not
    // empty and "dir" is an absolute path naming a real directory (not a
    // symbolic link) that belongs to the current user and is not writable by
    // group or others. Stores nothing when it returns false.
    static bool get(int *version, QString *type, QString *dir);

    // Writes the record (the directory comes before the type here).
    static void modify(int version, const QString &dir, const QString &type);

    // Removes the section "current" with all its keys.
    static void cleanup();
};
