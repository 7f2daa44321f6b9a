#pragma once

#include <QString>
#include <QStringList>

// The updater's command line as far as it is settled before the application
// object exists: whether it asks for the usage or the version, names an
// option the updater does not know, or asks for an unattended run. The type,
// version, version name and news are read later by the configuration.
class CommandLine
{
public:
    CommandLine() = delete;

    enum Request {
        Update, // go on: the configuration reads the rest
        Usage, // "--help" or "-h": print usage()
        Version, // "--version": print versionText()
        Invalid, // an unknown or misplaced option: problem() says which
    };

    // arguments: the process arguments, the first being the program.
    // problem, if given, receives the reason for Invalid.
    static Request request(const QStringList &arguments, QString *problem = nullptr);
    // Whether the arguments ask for an unattended run ("--nouser" first).
    static bool isUnattended(const QStringList &arguments);
    // Removes "--verify" from where it may stand (first, or right after
    // "--nouser") and tells whether it was there: every installed file is
    // then read, whatever the record of verified files says.
    static bool takeVerify(QStringList &arguments);

    static QString usage();
    static QString versionText();
};
