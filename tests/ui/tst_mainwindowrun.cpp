// The window through real update runs: releases made by mrvpublish on an
// nginx mirror, a temporary installation of the previous version, and the
// engine doing the whole run while the test uses the window as a user would.

#include "app/configuration.h"
#include "app/startup.h"
#include "cancelonmessage.h"
#include "localservers.h"
#include "messageboxanswerer.h"
#include "net/banner.h"
#include "releasebuilder.h"
#include "scopedapproot.h"
#include "scopedmount.h"
#include "testablemainwindow.h"
#include "update/updateengine.h"

#include <QApplication>
#include <QLabel>
#include <QDir>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {
const int oldVersion = 1;
const int newVersion = 2;
const QStringList installationFiles = {QStringLiteral("update.ini"), QStringLiteral("mirrors.ini"),
                                       QStringLiteral("update.digests")};
const char clientMarker[] = "client-started";
const int hugeLevelSize = 48 * 1024 * 1024;

QStringList withoutOldCopies(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        const QString name = line.section(QLatin1Char(' '), 0, 0).section(QLatin1Char('/'), -1);
        if (!name.startsWith(QLatin1String("_old_")))
            result.append(line);
    }
    return result;
}
} // namespace

class tst_MainWindowRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateRunsToStartMorvane();
    void restartAfterCancelReusesDownloads();
    void closingDuringRunQuitsAfterRollback();
    void unattendedRunEndsWithItsCode_data();
    void unattendedRunEndsWithItsCode();
    void failedRunShowsItsCause_data();
    void failedRunShowsItsCause();

private:
    QString appRoot() const { return m_root->path(); }
    QStringList installation() const
    {
        return withoutOldCopies(ReleaseBuilder::snapshot(appRoot(), false, installationFiles));
    }
    QStringList clientSnapshot(int version) const
    {
        return ReleaseBuilder::snapshot(m_builder.clientDir(version), false);
    }
    // Builds the window for an installation of the old version that the
    // nginx mirror can bring to the new one.
    void makeWindow(const QVariantMap &settings = {}, const QString &mirrorTree = QString());
    QPushButton *startButton() const
    {
        return m_window->findChild<QPushButton *>(QStringLiteral("startButton"));
    }

    ReleaseBuilder m_builder;
    QString m_mirrorTree;

    std::unique_ptr<ScopedAppRoot> m_root;
    std::unique_ptr<LocalServers> m_servers;
    std::unique_ptr<Configuration> m_configuration;
    std::unique_ptr<TestableMainWindow> m_window;
    std::vector<std::unique_ptr<ScopedMount>> m_mounts;
    QStringList m_log;
};

void tst_MainWindowRun::initTestCase()
{
    if (!ReleaseBuilder::updaterTrustsDevelopmentKey())
        QSKIP("built with another public key than the development key");
    QVERIFY(m_builder.isValid());
    QVERIFY(!m_builder.makeClient(oldVersion, ReleaseBuilder::sampleClient(oldVersion)).isEmpty());
    // The new version's start script tells the test that it ran.
    ReleaseBuilder::Files newClient = ReleaseBuilder::sampleClient(newVersion);
    newClient.insert(Configuration::getClientBinaryName(),
                     QByteArray("#!/bin/sh\ntouch \"$(dirname \"$0\")/") + clientMarker + "\"\n");
    // A level large enough that unpacking it takes a while: the window can be
    // closed while it is being replaced.
    QByteArray level;
    level.reserve(hugeLevelSize);
    for (int i = 0; level.size() < hugeLevelSize; ++i)
        level += QByteArray::number(i * 2654435761u, 36) + ' ';
    newClient.insert(QStringLiteral("data/levels/huge.dat"), level);
    QVERIFY(!m_builder.makeClient(newVersion, newClient).isEmpty());
    m_mirrorTree = m_builder.path(QStringLiteral("mirror"));
    QVERIFY2(
        m_builder.publish(newVersion, m_mirrorTree, ReleaseBuilder::sampleGzipGlobs(), oldVersion),
        qPrintable(m_builder.errorString()));
}

void tst_MainWindowRun::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
    m_servers = std::make_unique<LocalServers>();
    // No banner server answers here.
    m_root->askBannersAt(LocalServers::freeUdpPort());
    m_log.clear();
}

void tst_MainWindowRun::cleanup()
{
    m_window.reset();
    QThreadPool::globalInstance()->waitForDone();
    m_configuration.reset();
    m_servers.reset();
    m_mounts.clear();
    m_root.reset();
}

void tst_MainWindowRun::makeWindow(const QVariantMap &settings, const QString &mirrorTree)
{
    const QString mirror = m_servers->startNginx(mirrorTree.isEmpty() ? m_mirrorTree : mirrorTree);
    QVERIFY(!mirror.isEmpty());
    QVERIFY2(m_builder.prepareAppRoot(appRoot(), oldVersion, {mirror}, settings),
             qPrintable(m_builder.errorString()));
    m_configuration = std::make_unique<Configuration>();
    m_configuration->m_clientType = ReleaseBuilder::CLIENT_TYPE;
    m_configuration->m_clientVersion = newVersion;
    m_configuration->m_clientVersionName = QStringLiteral("2.0");
    m_window = std::make_unique<TestableMainWindow>(*m_configuration);
    connect(m_window->m_engine, &UpdateEngine::message, this,
            [this](const QString &line) { m_log.append(line); });
    m_window->setUIToConfigSpecs();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_MainWindowRun::updateRunsToStartMorvane()
{
    makeWindow();
    auto *bar = m_window->findChild<QProgressBar *>(QStringLiteral("totalProgressBar"));
    auto *sizeLabel = m_window->findChild<QLabel *>(QStringLiteral("totalSizeLabel"));
    QSignalSpy progress(bar, &QProgressBar::valueChanged);
    // Whether the transfer figures were on screen after each tick.
    QList<bool> shownAfterTick;
    QList<bool> downloadingInTick;
    connect(m_window->m_engine, &UpdateEngine::downloadProgress, this,
            [&](quint64, quint64, quint64, bool downloading) {
                downloadingInTick.append(downloading);
                shownAfterTick.append(sizeLabel->isVisibleTo(m_window.get()));
            });

    QTest::mouseClick(startButton(), Qt::LeftButton);
    QVERIFY(!startButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(startButton()->text(), QStringLiteral("Start Morvane"), 60000);

    QVERIFY(startButton()->isEnabled());
    QCOMPARE(bar->value(), 1000);
    QVERIFY(progress.size() > 2);
    QCOMPARE(m_log.last(), QStringLiteral("Update successfully finished"));
    QCOMPARE(shownAfterTick, downloadingInTick);
    QVERIFY(!downloadingInTick.isEmpty());
    QCOMPARE(downloadingInTick.last(), false);
    QVERIFY(!sizeLabel->isVisibleTo(m_window.get()));
    QCOMPARE(installation(), clientSnapshot(newVersion));
    QVERIFY(m_window->findChild<QTextEdit *>(QStringLiteral("outputTextEdit"))
                ->toPlainText()
                .contains(QStringLiteral("Starting update process")));

    // "Start Morvane" starts the updated client and closes the window.
    const QString marker = appRoot() + QLatin1Char('/') + QLatin1String(clientMarker);
    QVERIFY(!QFile::exists(marker));
    QTest::mouseClick(startButton(), Qt::LeftButton);
    QVERIFY(!m_window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
}

void tst_MainWindowRun::restartAfterCancelReusesDownloads()
{
    // One download at a time, so that the cancel comes after exactly two files.
    makeWindow({{QStringLiteral("update/streams"), 1}});
    cancelOnMessage(m_window->m_engine, QStringLiteral("^Downloading files/.* finished$"), 2);
    MessageBoxAnswerer answerer({QMessageBox::Ok});

    QTest::mouseClick(startButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton()->text(), QStringLiteral("Restart"), 60000);
    QVERIFY(startButton()->isEnabled());
    QTRY_COMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().text,
             QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    QCOMPARE(m_window->findChild<QProgressBar *>(QStringLiteral("totalProgressBar"))->value(), 0);
    QVERIFY(m_log.contains(QStringLiteral("User aborted update")));
    QCOMPARE(installation(), clientSnapshot(oldVersion));

    // Which files the resumed session fetches again, tst_updaterun checks.
    m_log.clear();
    QTest::mouseClick(startButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(startButton()->text(), QStringLiteral("Start Morvane"), 60000);
    QVERIFY(m_log.contains(QStringLiteral("Previous update session for v. 2 found")));
    QCOMPARE(installation(), clientSnapshot(newVersion));
    QCOMPARE(answerer.boxes.size(), 1);
}

void tst_MainWindowRun::closingDuringRunQuitsAfterRollback()
{
    makeWindow();
    // The window is closed while the large level is being unpacked into the
    // installation.
    UpdateEngine *engine = m_window->m_engine;
    TestableMainWindow *window = m_window.get();
    auto closed = std::make_shared<bool>(false);
    connect(engine, &UpdateEngine::message, this, [window, closed](const QString &line) {
        if (line == QLatin1String("add/replace data/levels/huge.dat.gz")) {
            *closed = true;
            QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
        }
    });
    MessageBoxAnswerer answerer({QMessageBox::Yes});
    QTimer::singleShot(0, window, [window] {
        window->onEventLoopStarted();
        QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("startButton")),
                          Qt::LeftButton);
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(60000);

    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(*closed);
    QVERIFY(m_log.contains(QStringLiteral("rolling back file updates")));
    // Only the question; the program ended without the "Update cancelled" box.
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Question"));
    QVERIFY(m_log.contains(QStringLiteral("User aborted update")));
    QCOMPARE(installation(), clientSnapshot(oldVersion));
}

void tst_MainWindowRun::unattendedRunEndsWithItsCode_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("line"); // says why the run failed, once
    QTest::addColumn<QString>("cause"); // the player's line, once
    QTest::newRow("update succeeds, client started") << "" << 0 << "" << "";
    QTest::newRow("session file system runs full")
        << "full" << 2 << "^Error writing to file .*: No space left on device$"
        << "^Not enough disk space in .*: the update needs .* there, .* are free\\.$";
    QTest::newRow("mirror with a password answers 301")
        << "alice:SECRET@" << 2
        << "^http://127.0.0.1:\\d+/moved/2/client_linux_amd64.ini returned 301$"
        << "^No download mirror could be reached, or none holds the new version\\.$";
}

// The whole unattended road through start-up: the update server names the
// version, the update starts by itself, the client starts after it and the
// program ends with 0; a failed run ends with 2 and leaves the installation
// as it was, and its log (every line of it) says why once.
void tst_MainWindowRun::unattendedRunEndsWithItsCode()
{
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, line);
    QFETCH(QString, cause);
    QString mirror = m_servers->startNginx(m_mirrorTree);
    QVERIFY(!mirror.isEmpty());
    QVERIFY(QDir().mkpath(m_mirrorTree + "/moved/2/client_linux_amd64.ini")); // a redirect
    if (fault.contains(QLatin1Char('@')))
        mirror = mirror.insert(mirror.indexOf(QLatin1String("//")) + 2, fault) + "/moved";
    QVERIFY2(m_builder.prepareAppRoot(appRoot(), oldVersion, {mirror}),
             qPrintable(m_builder.errorString()));
    // Room for the update when it is checked, none once its files are
    // fetched: another program has filled the disk.
    ScopedMount *session = nullptr;
    if (fault == QLatin1String("full")) {
        m_mounts.push_back(std::make_unique<ScopedMount>(m_root->tempPath(), 64 << 20));
        session = m_mounts.back().get();
        if (!session->isValid())
            QSKIP("cannot mount a tmpfs here");
    }
    const LocalServers::RefServer server = m_servers->startRefServer(
        {QStringLiteral("--versions"), QStringLiteral("2#2.0,2#2.0,2#2.0"),
         QStringLiteral("--news"), QStringLiteral("<b>Morvane 2.0</b> is out")});
    QVERIFY(server.isValid());

    MessageBoxAnswerer answerer({QMessageBox::Ok});
    // Unattended, the run's boxes are not shown. Whatever the run still does
    // after an error, it does within more ticks than a transfer's time-out;
    // its log is read as the program ends.
    QString details;
    QTimer watch;
    connect(&watch, &QTimer::timeout, &watch, [&watch, session] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *engine = window->findChild<UpdateEngine *>()) {
                watch.stop();
                connect(engine, &UpdateEngine::message, engine, [session](const QString &text) {
                    if (session && text == QLatin1String("Downloading files"))
                        QVERIFY(session->shrinkTo(0));
                });
                const auto ticks = [engine] {
                    for (int tick = 0; tick < 20; ++tick)
                        QMetaObject::invokeMethod(engine, "onTimer", Qt::DirectConnection);
                };
                connect(engine, &UpdateEngine::error, engine, ticks, Qt::QueuedConnection);
                connect(engine, &UpdateEngine::updateCanceled, engine, ticks,
                        Qt::QueuedConnection);
            }
        }
    });
    watch.start(20);
    connect(qApp, &QCoreApplication::aboutToQuit, &watch, [&details] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *log = window->findChild<QTextEdit *>("outputTextEdit"))
                details = log->toPlainText();
        }
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(60000);

    QCOMPARE(Startup::run({QStringLiteral("update"), QStringLiteral("--nouser")},
                          {QStringLiteral("127.0.0.1"), server.versionPort}),
             code);
    QVERIFY(answerer.boxes.isEmpty());
    if (code != 0) {
        QCOMPARE(installation(), clientSnapshot(oldVersion));
        QCOMPARE(details.count(QRegularExpression(QStringLiteral("(?m)") + line)), 1);
        QCOMPARE(details.count(QRegularExpression(QStringLiteral("(?m)") + cause)), 1);
        // A full disk is no mirror's fault; a mirror's password is nobody's business.
        QVERIFY2(!details.contains(QRegularExpression("timed out|failed too many|SECRET")),
                 qPrintable(details));
        return;
    }
    const QString marker = appRoot() + QLatin1Char('/') + QLatin1String(clientMarker);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    QCOMPARE(withoutOldCopies(ReleaseBuilder::snapshot(
                 appRoot(), false, installationFiles + QStringList(QLatin1String(clientMarker)))),
             clientSnapshot(newVersion));
}

void tst_MainWindowRun::failedRunShowsItsCause_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("unattended");
    QTest::addColumn<QString>("cause"); // a pattern

    QTest::newRow("full disk") << "session full" << false
                               << "Not enough disk space in .*: the update needs .* there, .* "
                                  "are free\\.";
    QTest::newRow("wrong key, unattended")
        << "other key" << true
        << QRegularExpression::escape(
               "The new version is not signed with this updater's key: the signature check "
               "failed on every mirror that delivered it.");
}

// A failed run's box keeps its text and adds the cause, which goes to
// standard error too. The installation stayed as it was: a player may start
// it; an unattended run starts nothing and ends with 2.
void tst_MainWindowRun::failedRunShowsItsCause()
{
    QFETCH(QString, fault);
    QFETCH(bool, unattended);
    QFETCH(QString, cause);

    QString mirrorTree;
    if (fault == QLatin1String("other key")) {
        mirrorTree = m_builder.path(QStringLiteral("otherkey"));
        QDir(mirrorTree).removeRecursively();
        QVERIFY(m_builder.copyTree(m_mirrorTree, mirrorTree));
        QVERIFY(m_builder.signWithOtherKey(
            ReleaseBuilder::productIniPath(mirrorTree, newVersion)));
    }
    makeWindow({}, mirrorTree);
    if (fault == QLatin1String("session full")) {
        const QString small = m_root->workFilePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(small));
        m_mounts.push_back(std::make_unique<ScopedMount>(small, 16384));
        if (!m_mounts.back()->isValid())
            QSKIP("cannot mount here (not root)");
        qputenv("TMPDIR", QFile::encodeName(small));
    }
    // The installed client tells the test that it ran.
    QFile script(appRoot() + QLatin1Char('/') + Configuration::getClientBinaryName());
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    script.write(QByteArray("#!/bin/sh\ntouch \"$(dirname \"$0\")/") + clientMarker + "\"\n");
    script.close();
    m_configuration->m_noUserMode = unattended ? 1 : 0;
    m_window->setSettings(m_configuration->settings());
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QTemporaryFile capture;
    QVERIFY(capture.open());
    const int savedError = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);

    QMetaObject::invokeMethod(m_window.get(), "onAutoStartUpdate");
    QTRY_COMPARE_WITH_TIMEOUT(startButton()->text(), QStringLiteral("Restart"), 60000);
    const QString boxText
        = QRegularExpression::escape("Update cancelled. Push \"Details\" to check reasons.\n")
        + cause;
    if (unattended)
        QTRY_COMPARE(m_window->pendingExitCode(), 2);
    else
        QTRY_COMPARE(answerer.boxes.size(), 1);

    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    capture.seek(0);
    const QString written = QString::fromLocal8Bit(capture.readAll());
    // On standard error once: unattended, as the box's text, which is not shown.
    QVERIFY2(written.count(QRegularExpression(cause)) == 1, qPrintable(written));
    const QRegularExpression line(
        QStringLiteral("(^|\n)%1\n").arg(unattended ? boxText : cause));
    QVERIFY2(line.match(written).hasMatch(), qPrintable(written));
    if (!unattended) {
        QVERIFY2(QRegularExpression(QStringLiteral("^%1$").arg(boxText))
                     .match(answerer.boxes.first().text)
                     .hasMatch(),
                 qPrintable(answerer.boxes.first().text));
    }
    auto *play = m_window->findChild<QPushButton *>(QStringLiteral("playInstalledButton"));
    const QString marker = appRoot() + QLatin1Char('/') + QLatin1String(clientMarker);
    if (unattended) {
        QVERIFY(answerer.boxes.isEmpty());
        QVERIFY(!play->isVisible());
        QVERIFY(!QFile::exists(marker));
        return;
    }
    QVERIFY(play->isVisible());
    QCOMPARE(play->text(), QStringLiteral("Start Installed Version"));
    QTest::mouseClick(play, Qt::LeftButton);
    QVERIFY(!m_window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
}

QTEST_MAIN(tst_MainWindowRun)

#include "tst_mainwindowrun.moc"
