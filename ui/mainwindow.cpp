#include "ui/mainwindow.h"

#include "net/urltext.h"
#include "ui/changelogviewer.h"
#include "ui/timedmessagebox.h"
#include "ui/weblinks.h"
#include "update/replacementjournal.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {
constexpr int clientStartDelayMs = 1000;
constexpr int progressSteps = 1000;
constexpr quint64 bytesPerKB = 1000;

// Error texts carry names and answers from the network: shown as plain text,
// so that no markup in them is rendered or loads anything. Unattended, the
// text goes to standard error instead (TimedMessageBox).
QMessageBox *newErrorBox(QWidget *parent, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok,
                                parent);
    box->setTextFormat(Qt::PlainText);
    return box;
}

// For an error after which the program ends.
void showFatalError(QWidget *parent, const QString &text, bool unattended)
{
    const std::unique_ptr<QMessageBox> box(newErrorBox(parent, text));
    TimedMessageBox::exec(*box, unattended, QMessageBox::Ok);
}
} // namespace

MainWindow::MainWindow(const RunSettings &settings)
    : QWidget(nullptr)
    , m_settings(settings)
    , m_unattended(settings.unattended)
{
    m_engine = new UpdateEngine(settings, this);
    connect(m_engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(m_engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(m_engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(m_engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(m_engine, &UpdateEngine::failureCause, this, &MainWindow::onFailureCause);
    connect(m_engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);
    // Queued, so that the log has already been shown or hidden by the toggle.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    morvaneLabel->setUrl(WebLinks::makerWebSite());
    connect(copyrightLabel, &QLabel::linkActivated, this,
            [](const QString &link) { WebLinks::openInBrowser(QUrl(link)); });

    outputTextEdit->hide();
    outputTextEdit->document()->setMaximumBlockCount(MaxLogLines);
    m_logFlush = new QTimer(this);
    m_logFlush->setSingleShot(true);
    m_logFlush->setInterval(LogFlushMs);
    connect(m_logFlush, &QTimer::timeout, this, &MainWindow::flushLog);
    onDownloadProgress(0, 0, 0, false);
    playInstalledButton->hide();
    connect(playInstalledButton, &QPushButton::clicked, this,
            &MainWindow::onPlayInstalledClicked);

    m_engine->getBanner();
}

void MainWindow::setSettings(const RunSettings &settings)
{
    m_settings = settings;
    m_unattended = settings.unattended;
    m_engine->setSettings(settings);
}

void MainWindow::setUIToConfigSpecs()
{
    QString channel;
    switch (m_settings.updateChannel) {
    case StableChannel:
        channel = tr("Stable");
        break;
    case BetaChannel:
        channel = tr("Beta");
        break;
    case AlphaChannel:
        channel = tr("Alpha");
        break;
    }

    // The version name comes from the update server: as text, never as markup.
    QString text;
    if (!m_settings.clientVersionName.isEmpty()) {
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
            + tr("Update to Morvane %1.").arg(m_settings.clientVersionName.toHtmlEscaped())
            + QStringLiteral("</div>");
    }
    text += QStringLiteral("<div style=\"margin-top:8px\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channel)
        + QStringLiteral("</div>");
    versionLabel->setText(text);

    startButton->setEnabled(!m_settings.noUserMode);
    changelogButton->setEnabled(true);
}

void MainWindow::setNews()
{
    newsBanner->setNews(m_settings.newsText);
}

void MainWindow::showAskingUpdateServer()
{
    versionLabel->setText(tr("Asking the update server for the current version..."));
    // Both buttons would act on a version not yet known.
    startButton->setEnabled(false);
    changelogButton->setEnabled(false);
    show();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!m_engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_quitAfterCancel || m_closeQuestionOpen)
        return;
    // The run goes on while the question is open, in the program's own event
    // loop.
    m_closeQuestionOpen = true;
    auto *question
        = new QMessageBox(QMessageBox::Question, tr("Question"),
                          tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
                          QMessageBox::Yes | QMessageBox::No, this);
    TimedMessageBox::ask(question, m_unattended, QMessageBox::No,
                         [this](QMessageBox::StandardButton answer) { onCloseAnswered(answer); });
}

void MainWindow::onCloseAnswered(QMessageBox::StandardButton answer)
{
    m_closeQuestionOpen = false;
    if (answer != QMessageBox::Yes)
        return;
    // The run may have ended while the question was open: then there is
    // nothing left to cancel, and the window closes now.
    if (!m_engine->busy()) {
        close();
        return;
    }
    m_quitAfterCancel = true;
    m_engine->cancelUpdate();
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    showFatalError(nullptr, UrlText::withoutUserInfo(errorMessage), m_unattended);
    endEventLoop(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showFatalError(this, UrlText::withoutUserInfo(errorMessage), m_unattended);
    endEventLoop(2);
}

void MainWindow::onError(QString errorMessage)
{
    const QString text = UrlText::withoutUserInfo(errorMessage);
    // Into the log only: the box puts the text on standard error.
    appendToLog(text);
    // The run decides its own outcome at once, not behind the box: the task
    // that reported is still inside its report.
    TimedMessageBox::open(newErrorBox(this, text), m_unattended, QMessageBox::Ok);
}

void MainWindow::endEventLoop(int exitCode)
{
    // Told to exit before its loop runs, Qt would make every later event loop,
    // message boxes included, return at once: the code is kept until the loop
    // has started.
    if (m_eventLoopRunning)
        QCoreApplication::exit(exitCode);
    else if (m_pendingExitCode == 0)
        m_pendingExitCode = exitCode;
}

void MainWindow::onEventLoopStarted()
{
    m_eventLoopRunning = true;
    if (m_pendingExitCode != 0)
        QCoreApplication::exit(m_pendingExitCode);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (m_startClient) {
        emit startClientRequested();
        close();
        return;
    }
    if (m_engine->busy())
        return;
    if (!m_engine->initialize())
        return;
    startButton->setEnabled(false);
    playInstalledButton->hide();
    m_failureCause.clear();
    m_engine->startUpdate();
}

void MainWindow::onAppendText(QString text)
{
    // Lines quote mirror URLs, and replies that quote them.
    text = UrlText::withoutUserInfo(text);
    m_pendingLog.append(text);
    // Older ones would leave the log at once.
    if (m_pendingLog.size() > MaxLogLines)
        m_pendingLog.removeFirst();
    // A hidden log takes its lines when it is shown, or when the run ends.
    if (outputTextEdit->isVisible() && !m_logFlush->isActive())
        m_logFlush->start();
    logToStandardError(text);
}

void MainWindow::appendToLog(const QString &text)
{
    flushLog();
    insertIntoLog(text);
}

void MainWindow::flushLog()
{
    m_logFlush->stop();
    if (m_pendingLog.isEmpty())
        return;
    const QString lines = m_pendingLog.join(QLatin1Char('\n'));
    m_pendingLog.clear();
    insertIntoLog(lines);
}

void MainWindow::insertIntoLog(const QString &text)
{
    // Not append(), which takes a line that looks like markup for rich text;
    // each "\n" starts a block.
    QScrollBar *bar = outputTextEdit->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(outputTextEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!outputTextEdit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (atEnd)
        bar->setValue(bar->maximum());
}

void MainWindow::logToStandardError(const QString &text) const
{
    // Unattended, nobody reads the window: whoever started the updater gets
    // every line.
    if (m_unattended)
        TimedMessageBox::toStandardError(text);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    totalProgressBar->setValue(int(doneFrac * progressSteps));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    totalSizeLabel->setVisible(downloading);
    totalTotalSizeLabel->setVisible(downloading);
    downloadSpeedLabel->setVisible(downloading);
    label_6->setVisible(downloading);
    if (!downloading)
        return;
    totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / bytesPerKB));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / bytesPerKB));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / bytesPerKB));
}

void MainWindow::onUpdateFinished()
{
    // The run ended well just before the user's cancel reached it: the user
    // still asked to quit.
    if (m_quitAfterCancel) {
        endEventLoop(0);
        return;
    }
    m_startClient = true;
    flushLog();
    startButton->setText(tr("Start Morvane"));
    startButton->setEnabled(true);
    startButton->setFocus();
    if (m_settings.noUserMode)
        QTimer::singleShot(clientStartDelayMs, this, &MainWindow::onAutoStartClient);
}

void MainWindow::onAutoStartClient()
{
    // Someone who opened the change log is reading it: the client starts
    // once the dialog has gone.
    if (ChangeLogViewer *dialog = ChangeLogViewer::m_instance) {
        connect(dialog, &QObject::destroyed, this, &MainWindow::onAutoStartClient,
                Qt::QueuedConnection);
        return;
    }
    if (m_startClient)
        on_startButton_clicked();
}

void MainWindow::onUpdateCanceled()
{
    if (m_quitAfterCancel) {
        endEventLoop(0);
        return;
    }
    m_startClient = false;
    const bool installationWhole = m_engine->installationWhole();
    m_engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    // The run is over: its last lines are shown at once.
    flushLog();
    totalProgressBar->setValue(0);
    const QString cause = m_failureCause;
    m_failureCause.clear();
    // The version that was there before the run can still be played; an
    // unattended caller decides for itself what follows a failure.
    const bool unattended = m_unattended;
    playInstalledButton->setVisible(!unattended && installationWhole && installedClientPlayable());

    QString text = tr("Update cancelled. Push \"Details\" to check reasons.");
    if (!cause.isEmpty()) {
        appendToLog(cause);
        text += QLatin1Char('\n') + cause;
        // Unattended, the box puts its whole text there.
        if (!unattended)
            TimedMessageBox::toStandardError(cause);
    }
    // The cause names folders and files: plain text.
    auto *box = new QMessageBox(QMessageBox::Critical, tr("Update"), text, QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    TimedMessageBox::open(box, unattended, QMessageBox::Ok, [this](QMessageBox::StandardButton) {
        // Unattended, nobody restarts the run: it ends here, as failed.
        if (m_settings.noUserMode)
            endEventLoop(2);
    });
}

bool MainWindow::installedClientPlayable() const
{
    return QFileInfo(m_settings.clientPath()).isFile() && !ReplacementJournal::exists();
}

void MainWindow::keepInstalledVersion(const QString &line)
{
    onAppendText(line);
    onUpdateFinished();
}

void MainWindow::showUnwritableInstallation(const QString &cause)
{
    startButton->setEnabled(false);
    playInstalledButton->setVisible(installedClientPlayable());
    appendToLog(cause);
    auto *box = newErrorBox(this, cause);
    box->setWindowTitle(tr("Update"));
    TimedMessageBox::open(box, false, QMessageBox::Ok);
}

void MainWindow::onFailureCause(QString cause)
{
    m_failureCause = cause;
}

void MainWindow::onPlayInstalledClicked()
{
    emit startClientRequested();
    close();
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(pixmap);
}

void MainWindow::onDetailsPressed()
{
    flushLog();
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(
            outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(m_settings.clientVersion));
}
