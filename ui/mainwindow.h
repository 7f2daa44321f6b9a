#pragma once

#include "ui_mainwindow.h"
#include "update/runsettings.h"

#include <QByteArray>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

class UpdateEngine;

// The updater's window. It owns the update engine, shows what the engine
// reports, starts, restarts and follows runs, asks before a run is abandoned,
// asks for the client to be started after success (startClientRequested())
// and ends the event loop on fatal errors (code 1 for the configuration, 2
// for the engine). It shows the settings it is given, the settled ones from
// setSettings() on. A run that failed is reported with its cause; after a run that
// failed or was cancelled and left the installation as it was, the player
// may start the installed client instead (never unattended).
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT
public:
    // The engine is made with these settings, and takes their proxy.
    explicit MainWindow(const RunSettings &settings);

    // The settled settings, for the window and its engine; before
    // setUIToConfigSpecs() and any run.
    void setSettings(const RunSettings &settings);
    // Whether nobody answers boxes: known from the command line before the
    // settings are settled.
    void setUnattended(bool unattended) { m_unattended = unattended; }
    // Shows the target version and the channel; enables the change log
    // button, and the start button unless in unattended mode.
    void setUIToConfigSpecs();
    // Hands the settings' news text to the ticker.
    void setNews();
    // Shows the window with a line saying that the update server is being
    // asked, and the start and change log buttons disabled until
    // setUIToConfigSpecs().
    void showAskingUpdateServer();
    // The update server offered a version older than the installed one:
    // says so in the log and ends as an up-to-date run does (the client is
    // offered, and started by itself unattended).
    void keepInstalledVersion(const QString &line);
    // The installation cannot be written by this user: says so in a box and
    // the log, offers no update, and offers the installed client.
    void showUnwritableInstallation(const QString &cause);

    // The exit code of a fatal error reported before the event loop ran, or 0.
    // Start-up returns it instead of running the loop.
    int pendingExitCode() const { return m_pendingExitCode; }

    // The log in the window keeps its last this many lines: each line it
    // holds costs about a kilobyte, and an update of thousands of files
    // writes three for each. Unattended, standard error gets every line.
    static constexpr int MaxLogLines = 2000;

signals:
    // The client's start script is to be started, detached; the window
    // closes right after.
    void startClientRequested();

public slots:
    // A fatal error of the configuration: the box, then exit code 1.
    void onFatalConfigError(QString errorMessage);
    // Another copy of the updater asked this one to come to the front.
    void onOtherInstanceActivate(QString message);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onFailureCause(QString cause);
    void onPlayInstalledClicked();
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

protected: // tests reach the internals through a subclass
    friend class Startup;

    // Start-up calls it from the first pass of its event loop.
    void onEventLoopStarted();
    void endEventLoop(int exitCode);
    void appendToLog(const QString &text);
    // Puts the lines that wait for the log into it.
    void flushLog();
    void insertIntoLog(const QString &text);
    void logToStandardError(const QString &text) const;
    void onAutoStartClient();
    // The answer to the question asked when the window is closed during a run.
    void onCloseAnswered(QMessageBox::StandardButton answer);
    // The client's start script is there, and no interrupted replacement
    // left the installation half of one version and half of another.
    bool installedClientPlayable() const;

    RunSettings m_settings;
    bool m_unattended = false;
    // The engine's lines go into the log a batch at a time, at most
    // MaxLogLines of them, and only while it is shown (else when it is shown,
    // an error is logged or the run ends): one line at a time, the log's
    // layout takes longer than fetching a small file.
    QStringList m_pendingLog;
    QTimer *m_logFlush = nullptr;
    static constexpr int LogFlushMs = 100;
    UpdateEngine *m_engine = nullptr;
    bool m_startClient = false;
    bool m_quitAfterCancel = false;
    bool m_closeQuestionOpen = false;
    // The cause of the run that is ending, until it is shown.
    QString m_failureCause;
    bool m_eventLoopRunning = false;
    int m_pendingExitCode = 0;
};
