#pragma once

#include "formats/installationnames.h"
#include "formats/updatechannel.h"

#include <QString>

// What one run of the updater works with, settled from update.ini, the
// command line and the update server's answer: made by the configuration and
// handed by const reference to the engine, its steps and the window, which
// keep a const copy where they outlive the call (a step's per-file tasks
// borrow their step's). The session directory is the engine's to add once it
// has opened one for the run.
struct RunSettings
{
    // The application root, without a trailing slash.
    QString appRoot;
    UpdateChannel updateChannel = StableChannel;
    QString clientType;
    int clientVersion = 0;
    QString clientVersionName;
    QString newsText;
    // Nobody answers: no message box waits for good, and every log line goes
    // to standard error.
    bool unattended = false;
    // Unattended with the version settled: the update, and the client after
    // it, start by themselves.
    bool noUserMode = false;
    // "--verify": every installed file is read, whatever the record of
    // verified files says.
    bool verifyAll = false;
    // update.ini's proxy, as written there.
    QString proxy;
    // Parallel downloads ("streams"); below 1 means the default.
    int downloadConcurrency = 0;
    static constexpr int DefaultDownloadConcurrency = 6;
    // The run's session directory; empty until the engine has opened it.
    QString sessionDir;

    int streams() const
    {
        return downloadConcurrency < 1 ? DefaultDownloadConcurrency : downloadConcurrency;
    }
    QString settingsFilePath() const { return InstallationNames::settingsFilePath(appRoot); }
    QString mirrorsFilePath() const { return InstallationNames::mirrorsFilePath(appRoot); }
    QString clientPath() const
    {
        return appRoot + QLatin1Char('/') + InstallationNames::clientBinaryName();
    }
};
