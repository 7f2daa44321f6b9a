#pragma once

#include <QString>

class QSettings;

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
    // pointers. A record is valid when "version" is an integer, "type" is a
    // valid client type (ProductIni::isValidClientType()) and "dir" names a
    // session directory (isSessionDirectory()).
    // Stores nothing when it returns false.
    static bool get(int *version, QString *type, QString *dir);

    // Whether dir is a directory that this updater made for a session:
    // directly in the system's temporary directory, named with the session
    // prefix, a real directory (not a link) of the current user that group
    // and others cannot write to, holding the session marker.
    static bool isSessionDirectory(const QString &dir);
    // True when the record's "dir" names something that exists but is not a
    // session directory; then stores that path through dir (if not null).
    static bool namesForeignDirectory(QString *dir);

    // Writes the record (the directory comes before the type here).
    static void modify(int version, const QString &dir, const QString &type);

    // Removes the section "current" with all its keys.
    static void cleanup();

    // Writes the settings' changes to update.ini and syncs its folder.
    static void syncRecord(QSettings &settings);
};
