#pragma once

#include "net/banner.h"
#include "net/mirrors.h"
#include "net/random.h"
#include "net/replyholder.h"
#include "update/enginestate.h"
#include "update/runsettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <functional>

class MainTaskSpecification;
class NetworkAccessManager;
class QTimer;

// Prepares, runs and ends update runs for the main window, which owns it.
// The engine owns what all tasks of a run share: the network access manager
// with the proxy of update.ini, the one-second timer, the run's mirror list
// and the main task. A run ends with exactly one of updateFinished() and
// updateCanceled(); a run that failed sends the player's line of its first
// cause with failureCause() just before updateCanceled(). fatalError() means
// the program cannot go on. It works with the settings it is given (the
// settled ones before initialize()), and calls back into its owner through
// Hooks for the session directory and the record of the installed version.
// Where it asks and draws from is its owner's choice (Options), the
// product's by default.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        // Where the news banner is asked.
        Banner::Server banner;
        // The draws of the mirror choice; empty: the process-wide generator,
        // which initialize() seeds with the time.
        RandomSource random;
        // The ticks over which a transfer's rate is judged.
        int slowTransferWindow = Mirrors::DefaultSlowTransferWindow;
        // CA certificates that the transfers trust besides the system's.
        QList<QSslCertificate> caCertificates;
    };

    // What the engine asks of its owner; both are called on the main thread.
    struct Hooks
    {
        // Opens the run's session directory: resumes dir, or makes a new one
        // when dir is empty. Returns its path, or an empty string once the
        // owner has reported a fatal error.
        std::function<QString(const QString &dir)> openSession;
        // After a successful run: the run's version is recorded as installed.
        std::function<void()> recordInstalledVersion;
    };

    // The proxy of the settings is applied here, for the banner and the runs.
    UpdateEngine(const RunSettings &settings, QObject *parent);
    UpdateEngine(const RunSettings &settings, QObject *parent, const Options &options);

    void setHooks(const Hooks &hooks);
    // The settings of the runs from now on: those settled after the engine
    // was made (its proxy stays the one applied at construction).
    void setSettings(const RunSettings &settings);
    const RunSettings &settings() const { return m_settings; }
    // The session directory of the prepared or last run; empty before.
    const QString &sessionDir() const { return m_sessionDir; }

    const Options &options() const { return m_options; }
    // For an engine made by another owner (the window's): a banner query
    // not yet sent, the next initialize() and the next transfer take them.
    void setOptions(const Options &options);

    // Prepares a run: the session record, the temporary directory and the
    // mirror list. False after a fatal error has been reported.
    bool initialize();
    // Builds the main task of the prepared run and starts it; always true.
    bool startUpdate();
    // True from a successful initialize() until the run has ended.
    bool busy() const;
    // Forgets a finished or cancelled main task; the engine is idle again.
    void reset();
    // Looks up the news banner once the event loop runs, at the server the
    // options name then; bannerFound() delivers its image.
    void getBanner();
    // After a run that did not finish: the installation is as it was before
    // the run (nothing replaced, or every replacement undone). True while no
    // run has ended.
    bool installationWhole() const { return m_installationWhole; }

    // Deletes the "_old_" copies of the special files in dir.
    static void removeOldFiles(const QString &dir);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    // The first cause of a failed run, as the player's line; once per failed
    // run, right before updateCanceled().
    void failureCause(QString cause);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    // Asks the running main task to stop; updateCanceled() follows once it has.
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();

protected: // tests reach the internals through a subclass
    void cleanup();
    void cleanupDirectory(const QString &dir);
    // Empties the session directory dir and removes it; with report, says in
    // the log whether the directory went.
    void removeSessionDirectory(const QString &dir, bool report);
    void applyProxy();
    void releaseMainTask();

    EngineState m_state = EngineIdle;
    RunSettings m_settings;
    Hooks m_hooks;
    QString m_sessionDir;
    Options m_options;
    Mirrors *m_mirrorList = nullptr;
    MainTaskSpecification *m_mainTask = nullptr;
    QTimer *m_timer = nullptr;
    NetworkAccessManager *m_manager = nullptr;
    // The first cause reported in the current run.
    QString m_failureCause;
    bool m_installationWhole = true;
    QString m_bannerClickUrl;
    ReplyHolder m_bannerReply {this};
};
