#pragma once

#include <QString>
#include <QStringList>

// The names an installation is made of, for the steps and start-up alike: the
// application root of this process, the player's settings and the mirror
// list in it, the client's start script and update type, the files the
// running updater keeps open and the prefix their old copies take, and the
// names of a session directory. Static operations only; Qt Core only.
class InstallationNames
{
public:
    InstallationNames() = delete;

    // Directory of the running executable, without a trailing slash.
    static QString appRoot();
    // Tests only: replaces the application root; an empty path restores the
    // executable's directory.
    static void setAppRoot(const QString &path);

    // update.ini and mirrors.ini in root.
    static QString settingsFilePath(const QString &root);
    static QString mirrorsFilePath(const QString &root);

    static QString updateType();
    static QString clientBinaryName();
    // The bare names of the files in the application root that no update
    // deletes (ProductIni::updaterFiles()).
    static QStringList protectedFileNames();

    // The files the running updater keeps open, and the prefix of the name
    // their installed copies are renamed to before they are replaced.
    static const QString &specialFileRenamePrefix();
    static QStringList specialFileNames();
    static bool isSpecialFileName(const QString &name);

    // The name every session directory starts with, and the file that marks a
    // directory as one this updater made.
    static QString tempDirPrefix();
    static QString sessionMarkerName();
};
