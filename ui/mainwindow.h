#pragma once

#include "ui_mainwindow.h"

#include <QByteArray>
#include <QMessageBox>
#include <QString>
#include <QWidget>

class Configuration;
class SingleInstanceChecker;
class UpdateEngine;

// The updater's window. It owns the update engine and the single-instance
// guard, shows what the engine reports, starts, restarts and follows runs,
// asks before a run is abandoned, starts the client after success and ends
// the event loop on fatal errors (code 1 for the configuration, 2 for the
// engine). A run that failed is reported with its cause; after a run that
// failed or was cancelled and left the installation as it was, the player
// may start the installed client instead (never unattended).
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(Configuration &configuration);

    // Shows the target version and the channel; enables the change log
    // button, and the start button unless in unattended mode.
    void setUIToConfigSpecs();
    // Hands the configuration's news text to the ticker.
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

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
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
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

protected: // tests reach the internals through a subclass
    friend class Startup;

    // Start-up calls it from the first pass of its event loop.
    void onEventLoopStarted();
    void endEventLoop(int exitCode);
    void appendToLog(const QString &text);
    void logToStandardError(const QString &text) const;
    void onAutoStartClient();
    // The answer to the question asked when the window is closed during a run.
    void onCloseAnswered(QMessageBox::StandardButton answer);
    // The client's start script is there, and no interrupted replacement
    // left the installation half of one version and half of another.
    static bool installedClientPlayable();

    Configuration *m_configuration = nullptr;
    UpdateEngine *m_engine = nullptr;
    bool m_startClient = false;
    bool m_quitAfterCancel = false;
    bool m_closeQuestionOpen = false;
    // The cause of the run that is ending, until it is shown.
    QString m_failureCause;
    bool m_eventLoopRunning = false;
    int m_pendingExitCode = 0;
};
