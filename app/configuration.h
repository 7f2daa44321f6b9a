#pragma once

#include "formats/updatechannel.h"
#include "update/runsettings.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The settings of one run of the updater: channel, client type and version to
// install, version name, news text, temporary directory, proxy and download
// concurrency, read from update.ini, the command line and the update server.
// One object exists; start-up owns it. The engine, the steps and the window
// take the value settings() makes of it. A failure is reported through
// fatalError() before the operation returns false.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject *parent = nullptr);

    // Directory of the running executable, without a trailing slash.
    static QString getAppRootPath();
    // Tests only: replaces the application root; an empty path restores the
    // executable's directory.
    static void setAppRootPath(const QString &path);
    // Absolute paths of update.ini and mirrors.ini in the application root.
    static QString getSettingsFilePath();
    static QString getMirrorsFilePath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    // The bare names of the files in the application root that no update
    // deletes: the updater, the client's start script, update.ini,
    // mirrors.ini and the replacement journal. Without them the game cannot
    // be started, updated again, or put back after an interrupted replacement.
    static QStringList getProtectedFileNames();
    static const QString &getSpecialFileRenamePrefix();
    static QStringList getSpecialFileNames();
    // The name every session directory starts with ("morvane_temp_"), and the
    // file that marks a directory as one this updater made.
    static QString getTempDirPrefix();
    static QString getSessionMarkerName();

    // True if the bare file name is one of the files the running updater keeps open.
    bool isSpecialFileName(const QString &name) const;

    // The settings as they stand: complete once the command line and, where
    // it left the version open, the update server's answer are settled. The
    // session directory is left to the engine.
    RunSettings settings() const;

    void getProxyAndDownloadConcurrency();
    void getUpdateChannel();

    // What settling the command line left: the program must end (false), the
    // settings are complete, or the version is to be asked of the update
    // server, whose answer completeDefaultParameters() then takes.
    enum ParseResult { ParseFailed = 0, Parsed, NeedsUpdateServer };

    // Settles channel, type, version, version name, news and unattended mode
    // from update.ini and the arguments (the first one is the program), or
    // says that the version is left open for the update server.
    ParseResult parseCommandLineOptions();
    ParseResult parseCommandLineOptions(const QStringList &arguments);
    // Whether the program runs unattended, or was asked to with "--nouser"
    // and has not settled its parameters yet: then no message box waits for
    // an answer for good.
    bool isUnattended() const { return m_noUserMode == 1 || m_noUserRequested; }

    bool getClientTypeVersion(const QStringList &args, int index);
    bool getClientVersionFromString(const QString &text, const QString &errorFormat);

    // Completes the type; the update server is needed when the version is
    // still unknown.
    ParseResult getDefaultParameters();
    // Takes the update server's answer: its (version number text, version
    // name) pair for the channel and its news text. False: the program must
    // end; fatalError() has said why, unless the number text was empty.
    bool completeDefaultParameters(const QPair<QString, QString> &latest, const QString &news);

    // The version of the client type that the last successful run installed
    // on channel at the update server's offer, from update.ini's section
    // "installed"; 0 when none is recorded for them.
    static int getInstalledVersion(const QString &type, UpdateChannel channel);
    // Records m_clientVersion and m_updateChannel as installed for
    // m_clientType, if the update server offered the version; a version named
    // on the command line or by "alphaRevno" is not recorded.
    void recordInstalledVersion() const;

    // Makes a new session directory, private to the user, under an
    // unpredictable name in the system's temporary directory, with the
    // session marker in it.
    bool createTempDir();
    bool initalizeStart(const QString &dir);

    int m_noUserMode = 0;
    UpdateChannel m_updateChannel = StableChannel;
    QString m_clientType;
    int m_clientVersion = 0;
    QString m_clientVersionName;
    QString m_newsText;
    QString m_tempDir;
    QString m_proxy;
    // Set when the update server offered a version older than the installed
    // one: the line that says so. Nothing is updated; the installed version
    // is kept and played as after an up-to-date run.
    QString m_olderOffered;
    // "--verify": every installed file is read, whatever the record of
    // verified files says.
    bool m_verifyAll = false;
    // Parallel downloads ("streams"); below 1 means the default.
    int m_downloadConcurrency = 0;
    static constexpr int DefaultDownloadConcurrency = RunSettings::DefaultDownloadConcurrency;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    bool m_noUserRequested = false;
    // The version to install is the one the update server offered.
    bool m_versionFromServer = false;
};
