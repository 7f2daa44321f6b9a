// The main window: its states through a run, the texts it shows, the question
// before an update is abandoned, the three grades of error, unattended mode,
// the single-instance activation and the German texts.

#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "app/startup.h"
#include "localservers.h"
#include "messageboxanswerer.h"
#include "scopedapproot.h"
#include "net/banner.h"
#include "ui/changelogviewer.h"
#include "testablemainwindow.h"
#include "ui/newsbanner.h"
#include "ui/urlclicklabel.h"
#include "update/updateengine.h"
#include "urlrecorder.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {
const char secondStartOption[] = "--second-start";
}

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsIdle();
    void formFollowsLayout();
    void versionLabel_data();
    void versionLabel();
    void unattendedDisablesStartButton();
    void buttonsWaitForServerVersion();
    void transferFiguresInKilobytes_data();
    void transferFiguresInKilobytes();
    void progressBarInThousandths();
    void transferFiguresKeepWindowWidth();
    void detailsShowLogAtItsEnd();
    void logoAndCopyrightOpenWebSite();
    void bannerImageWithLink();
    void undecodableBannerLeavesBannerEmpty();
    void bannerFromServerIsShown();
    void finishedOffersClientStart();
    void clientStartsAfterFinishedRun_data();
    void clientStartsAfterFinishedRun();
    void openChangeLogHoldsClientBack();
    void canceledOffersRestart();
    void errorIsLoggedAndShown();
    void fatalEngineErrorEndsWithTwo();
    void fatalConfigErrorEndsWithOne();
    void fatalErrorBeforeLoopIsKeptForStartUp();
    void configurationErrorAtStartUpEndsWithOne();
    void closeWhenIdleClosesAtOnce();
    void closeDuringUpdateAnswerNoKeepsRunning();
    void closeDuringUpdateAnswerYesQuitsAfterCancel();
    void runEndingDuringQuestionClosesOnYes();
    void runFinishingDespiteCancelStillQuits();
    void otherInstanceMessage_data();
    void otherInstanceMessage();
    void changelogButtonOpensOneDialog();
    void unattendedLinesGoToStandardError();
    void germanTexts();

private:
    QString root() const { return m_root->path(); }
    void writeMirrors();
    void writeClientScript();
    // Shows the window with a run prepared, as after a click on "Start Update".
    bool showWithPreparedRun(TestableMainWindow &window);
    QString marker() const { return m_root->filePath(QStringLiteral("client-started")); }
    template<typename T>
    static T *child(QWidget &window, const char *name)
    {
        T *widget = window.findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }

    std::unique_ptr<ScopedAppRoot> m_root;
    std::unique_ptr<Configuration> m_configuration;
    quint16 m_silentPort = 0;
};

void tst_MainWindow::initTestCase()
{
    // Nothing answers on this port: windows built here find no banner.
    m_silentPort = LocalServers::freeUdpPort();
}

void tst_MainWindow::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
    m_root->askBannersAt(m_silentPort);
    m_configuration = std::make_unique<Configuration>();
    m_configuration->m_clientType = QStringLiteral("client_linux_amd64");
    m_configuration->m_clientVersion = 3170;
}

void tst_MainWindow::cleanup()
{
    delete ChangeLogViewer::m_instance;
    m_configuration.reset();
    m_root.reset();
}

void tst_MainWindow::writeMirrors()
{
    QSettings mirrors(m_root->filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    mirrors.beginWriteArray(QStringLiteral("mirrors"));
    mirrors.setArrayIndex(0);
    mirrors.setValue(QStringLiteral("mirror"), QStringLiteral("local"));
    mirrors.endArray();
    mirrors.setValue(QStringLiteral("local/url"), QStringLiteral("http://127.0.0.1:9/"));
}

void tst_MainWindow::writeClientScript()
{
    QFile script(m_root->filePath(Configuration::getClientBinaryName()));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/client-started\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
}

bool tst_MainWindow::showWithPreparedRun(TestableMainWindow &window)
{
    writeMirrors();
    window.show();
    return QTest::qWaitForWindowExposed(&window) && window.m_engine->initialize();
}

void tst_MainWindow::startsIdle()
{
    TestableMainWindow window(*m_configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(window.windowTitle(), QStringLiteral("Morvane 3 Client Update"));
    auto *start = child<QPushButton>(window, "startButton");
    QCOMPARE(start->text(), QStringLiteral("Start Update"));
    QVERIFY(start->isEnabled());
    QVERIFY(start->isDefault());
    QVERIFY(!child<QTextEdit>(window, "outputTextEdit")->isVisible());
    for (const char *name :
         {"totalSizeLabel", "totalTotalSizeLabel", "downloadSpeedLabel", "label_6"})
        QVERIFY2(!child<QLabel>(window, name)->isVisible(), name);
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 0);
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->maximum(), 1000);
    QVERIFY(child<UrlClickLabel>(window, "banner")->pixmap().isNull());
    QCOMPARE(child<UrlClickLabel>(window, "morvaneLabel")->url(),
             QStringLiteral("https://www.morvane.example/"));
    QCOMPARE(child<QPushButton>(window, "changelogButton")->text(), QStringLiteral("View Changes"));
    QCOMPARE(child<QPushButton>(window, "detailsButton")->text(), QStringLiteral("Details"));
}

void tst_MainWindow::formFollowsLayout()
{
    TestableMainWindow window(*m_configuration);
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QVERIFY(child<NewsBanner>(window, "newsBanner"));
    auto *banner = child<UrlClickLabel>(window, "banner");
    QCOMPARE(banner->minimumSize(), QSize(468, 60));
    QCOMPARE(banner->maximumSize(), QSize(468, 60));
    QVERIFY(banner->hasScaledContents());
    QCOMPARE(child<UrlClickLabel>(window, "morvaneLabel")->maximumSize(), QSize(48, 48));
    QVERIFY(!child<UrlClickLabel>(window, "morvaneLabel")->pixmap().isNull());
    auto *log = child<QTextEdit>(window, "outputTextEdit");
    QVERIFY(log->isReadOnly());
    QVERIFY(log->tabChangesFocus());
    QCOMPARE(log->maximumHeight(), 100);
    QVERIFY(child<QPushButton>(window, "detailsButton")->isCheckable());
    QCOMPARE(window.layout()->sizeConstraint(), QLayout::SetFixedSize);

    // Tab order: start, details, changes, log.
    QStringList order;
    QWidget *widget = child<QPushButton>(window, "startButton");
    for (int i = 0; i < 4; ++i) {
        order << widget->objectName();
        widget = widget->nextInFocusChain();
        while (widget->focusPolicy() == Qt::NoFocus)
            widget = widget->nextInFocusChain();
    }
    QCOMPARE(order,
             QStringList({"startButton", "detailsButton", "changelogButton", "outputTextEdit"}));
}

void tst_MainWindow::versionLabel_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("expected");

    const QString line = QStringLiteral("<div style=\"margin-top:8px\">You are currently on "
                                        "<strong>%1 channel</strong>.</div>");
    const QString title = QStringLiteral(
        "<div style=\"font-weight:bold;font-size:14px\">Update to Morvane 3.1.7.</div>");
    QTest::newRow("stable") << 0 << "3.1.7" << title + line.arg(QStringLiteral("Stable"));
    QTest::newRow("beta") << 1 << "3.1.7" << title + line.arg(QStringLiteral("Beta"));
    QTest::newRow("alpha") << 2 << "3.1.7" << title + line.arg(QStringLiteral("Alpha"));
    QTest::newRow("unknown channel") << 7 << "3.1.7" << title + line.arg(QString());
    QTest::newRow("no version name") << 0 << "" << line.arg(QStringLiteral("Stable"));
    QTest::newRow("markup in version name")
        << 0 << "<img src=\"x.png\">"
        << QString(title).replace("3.1.7", "&lt;img src=&quot;x.png&quot;&gt;")
            + line.arg("Stable");
}

void tst_MainWindow::versionLabel()
{
    QFETCH(int, channel);
    QFETCH(QString, versionName);
    QFETCH(QString, expected);

    m_configuration->m_updateChannel = UpdateChannel(channel);
    m_configuration->m_clientVersionName = versionName;
    TestableMainWindow window(*m_configuration);
    window.setUIToConfigSpecs();
    QCOMPARE(child<QLabel>(window, "versionLabel")->text(), expected);
    QVERIFY(child<QPushButton>(window, "startButton")->isEnabled());
}

void tst_MainWindow::unattendedDisablesStartButton()
{
    m_configuration->m_noUserMode = 1;
    TestableMainWindow window(*m_configuration);
    window.setUIToConfigSpecs();
    QVERIFY(!child<QPushButton>(window, "startButton")->isEnabled());
}

// While the update server is asked the version is still 0: neither an update
// nor its change log can be had for it.
void tst_MainWindow::buttonsWaitForServerVersion()
{
    TestableMainWindow window(*m_configuration);
    window.showAskingUpdateServer();
    QCOMPARE(child<QLabel>(window, "versionLabel")->text(),
             QStringLiteral("Asking the update server for the current version..."));
    for (const char *name : {"startButton", "changelogButton"}) {
        QVERIFY2(!child<QPushButton>(window, name)->isEnabled(), name);
        window.setUIToConfigSpecs();
        QVERIFY2(child<QPushButton>(window, name)->isEnabled(), name);
        window.showAskingUpdateServer();
    }
}

void tst_MainWindow::transferFiguresInKilobytes_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("below the next thousand") << quint64(1999) << quint64(10500) << quint64(999)
                                             << QStringList({"1 KB", "10 KB", "0 KB/s"});
    QTest::newRow("thousands, not 1024")
        << quint64(1024000) << quint64(5000000000ULL) << quint64(2048)
        << QStringList({"1024 KB", "5000000 KB", "2 KB/s"});
}

void tst_MainWindow::transferFiguresInKilobytes()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QStringList, shown);

    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    emit window.m_engine->downloadProgress(done, total, speed, true);
    const QList<QLabel *> labels
        = {child<QLabel>(window, "totalSizeLabel"), child<QLabel>(window, "totalTotalSizeLabel"),
           child<QLabel>(window, "downloadSpeedLabel")};
    QCOMPARE(QStringList({labels[0]->text(), labels[1]->text(), labels[2]->text()}), shown);
    for (QLabel *label : labels)
        QVERIFY(label->isVisible());
    QVERIFY(child<QLabel>(window, "label_6")->isVisible());

    // Between downloads and at the end of a run the figures disappear.
    emit window.m_engine->downloadProgress(0, 0, 0, false);
    for (QLabel *label : labels)
        QVERIFY(!label->isVisible());
    QVERIFY(!child<QLabel>(window, "label_6")->isVisible());
}

void tst_MainWindow::transferFiguresKeepWindowWidth()
{
    // The window takes the size its content asks for: the figures of a
    // 200 MB download must not make it jump wider while they tick.
    TestableMainWindow window(*m_configuration);
    window.setUIToConfigSpecs();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int width = window.width();
    emit window.m_engine->downloadProgress(190079000, 200000000, 29818000, true);
    QTest::qWait(50);
    QCOMPARE(window.width(), width);
}

void tst_MainWindow::progressBarInThousandths()
{
    TestableMainWindow window(*m_configuration);
    auto *bar = child<QProgressBar>(window, "totalProgressBar");
    emit window.m_engine->updateProgress(0.4567);
    QCOMPARE(bar->value(), 456);
    emit window.m_engine->updateProgress(1.0);
    QCOMPARE(bar->value(), 1000);
}

void tst_MainWindow::detailsShowLogAtItsEnd()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const int heightWithoutLog = window.height();
    // One line more than the log keeps: the first one goes.
    for (int i = 0; i <= MainWindow::MaxLogLines; ++i)
        emit window.m_engine->message(QStringLiteral("line %1").arg(i));
    auto *log = child<QTextEdit>(window, "outputTextEdit");
    QVERIFY(!log->isVisible());
    window.flushLog();
    QCOMPARE(log->document()->blockCount(), MainWindow::MaxLogLines);
    QVERIFY(log->toPlainText().startsWith(QStringLiteral("line 1\n")));

    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(log->isVisible());
    QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    QVERIFY(log->verticalScrollBar()->maximum() > 0);
    QTRY_VERIFY(window.height() > heightWithoutLog);

    QTest::mouseClick(child<QPushButton>(window, "detailsButton"), Qt::LeftButton);
    QVERIFY(!log->isVisible());
    QTRY_COMPARE(window.height(), heightWithoutLog);
}

void tst_MainWindow::logoAndCopyrightOpenWebSite()
{
    UrlRecorder browser;
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(child<UrlClickLabel>(window, "morvaneLabel"), Qt::LeftButton);
    auto *copyright = child<QLabel>(window, "copyrightLabel");
    QVERIFY(copyright->textInteractionFlags() & Qt::LinksAccessibleByMouse);
    QVERIFY(copyright->text().contains(QLatin1String("href=\"https://www.morvane.example/\"")));
    emit copyright->linkActivated(QStringLiteral("https://www.morvane.example/"));
    emit copyright->linkActivated(QStringLiteral("file:///etc/passwd"));
    QCOMPARE(browser.opened,
             QList<QUrl>({QUrl(QStringLiteral("https://www.morvane.example/")),
                          QUrl(QStringLiteral("https://www.morvane.example/"))}));
}

static QByteArray pngImage()
{
    QImage image(468, 60, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void tst_MainWindow::bannerImageWithLink()
{
    TestableMainWindow window(*m_configuration);
    emit window.m_engine->bannerFound(pngImage(),
                                      QStringLiteral("https://events.morvane.example/spring?x=1"));
    auto *banner = child<UrlClickLabel>(window, "banner");
    QVERIFY(!banner->pixmap().isNull());
    QCOMPARE(banner->url(), QStringLiteral("https://events.morvane.example/spring?x=1"));
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://events.morvane.example\""));
}

void tst_MainWindow::undecodableBannerLeavesBannerEmpty()
{
    TestableMainWindow window(*m_configuration);
    emit window.m_engine->bannerFound(QByteArray("<html>not an image</html>"),
                                      QStringLiteral("https://events.morvane.example/"));
    auto *banner = child<UrlClickLabel>(window, "banner");
    QVERIFY(banner->pixmap().isNull());
    QVERIFY(banner->url().isEmpty());
    QVERIFY(banner->toolTip().isEmpty());
}

void tst_MainWindow::bannerFromServerIsShown()
{
    // The reference server names an image on nginx; the window shows it.
    QTemporaryDir site;
    QFile image(site.filePath(QStringLiteral("banner.png")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(pngImage());
    image.close();
    LocalServers servers;
    const QString http = servers.startNginx(site.path());
    QVERIFY(!http.isEmpty());
    const LocalServers::RefServer server = servers.startRefServer(
        {QStringLiteral("--banner"),
         http + QStringLiteral("/banner.png,https://events.morvane.example/spring")});
    QVERIFY(server.isValid());

    TestableMainWindow window(*m_configuration);
    UpdateEngine::Options options;
    options.banner = {QStringLiteral("127.0.0.1"), server.bannerPort};
    window.m_engine->setOptions(options);
    auto *banner = child<UrlClickLabel>(window, "banner");
    QTRY_VERIFY_WITH_TIMEOUT(!banner->pixmap().isNull(), 10000);
    QCOMPARE(banner->url(), QStringLiteral("https://events.morvane.example/spring"));
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://events.morvane.example\""));
}

void tst_MainWindow::finishedOffersClientStart()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *start = child<QPushButton>(window, "startButton");
    start->setEnabled(false);
    emit window.m_engine->updateFinished();
    QCOMPARE(start->text(), QStringLiteral("Start Morvane"));
    QVERIFY(start->isEnabled());
    QVERIFY(start->hasFocus());
    QVERIFY(window.m_startClient);
    // Interactive: nothing starts by itself.
    QTest::qWait(1300);
    QVERIFY(!QFile::exists(marker()));
    QVERIFY(window.isVisible());
}

void tst_MainWindow::clientStartsAfterFinishedRun_data()
{
    QTest::addColumn<bool>("unattended");
    QTest::addColumn<bool>("olderOffered");
    QTest::newRow("Start Morvane clicked") << false << false;
    QTest::newRow("unattended, after one second") << true << false;
    QTest::newRow("older version offered, installed one played") << true << true;
}

// After a finished run the client's start script runs and the window
// closes: on the click on "Start Morvane", or unattended by itself a second
// later.
void tst_MainWindow::clientStartsAfterFinishedRun()
{
    QFETCH(bool, unattended);
    QFETCH(bool, olderOffered);
    writeClientScript();
    m_configuration->m_noUserMode = unattended ? 1 : 0;
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QElapsedTimer clock;
    clock.start();
    if (olderOffered)
        window.keepInstalledVersion(QStringLiteral("older offered"));
    else
        emit window.m_engine->updateFinished();
    QVERIFY(!window.m_engine->busy()); // nothing is fetched
    if (unattended) {
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 3000);
        QVERIFY(clock.elapsed() >= 1000);
    } else {
        QTest::mouseClick(child<QPushButton>(window, "startButton"), Qt::LeftButton);
        QVERIFY(!window.isVisible());
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker()), 5000);
}

// The change log opened in the second before the client starts holds the
// start back until it is closed.
void tst_MainWindow::openChangeLogHoldsClientBack()
{
    writeClientScript();
    m_configuration->m_noUserMode = 1;
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    emit window.m_engine->updateFinished();
    QTest::mouseClick(child<QPushButton>(window, "changelogButton"), Qt::LeftButton);
    QVERIFY(ChangeLogViewer::m_instance);
    QTest::qWait(1500);
    QVERIFY(window.isVisible());
    QVERIFY(!QFile::exists(marker()));
    QCOMPARE(child<QPushButton>(window, "startButton")->text(), QStringLiteral("Start Morvane"));
    ChangeLogViewer::m_instance->close();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker()), 5000);
}

void tst_MainWindow::canceledOffersRestart()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    emit window.m_engine->updateProgress(0.3);
    auto *start = child<QPushButton>(window, "startButton");
    start->setEnabled(false);

    MessageBoxAnswerer answerer({QMessageBox::Ok});
    emit window.m_engine->updateCanceled();
    QTRY_COMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Update"));
    QCOMPARE(answerer.boxes.first().text,
             QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    QCOMPARE(answerer.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(start->text(), QStringLiteral("Restart"));
    QVERIFY(start->isEnabled());
    QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), 0);
    QVERIFY(child<QTextEdit>(window, "outputTextEdit")->toPlainText().endsWith("Update cancelled"));
    QVERIFY(!window.m_startClient);
    QVERIFY(!window.m_engine->busy());
}

void tst_MainWindow::errorIsLoggedAndShown()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    const QString text = QStringLiteral("Checksum mismatch for <img src=\"x.png\"><b>maps</b>");
    emit window.m_engine->error(text);
    QTRY_COMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Error"));
    QCOMPARE(answerer.boxes.first().text, text);
    QCOMPARE(answerer.boxes.first().textFormat, Qt::PlainText);
    QVERIFY(answerer.boxes.first().hasParent);
    QCOMPARE(child<QTextEdit>(window, "outputTextEdit")->toPlainText(), text);
    QVERIFY(window.isVisible());
    QCOMPARE(window.pendingExitCode(), 0);
}

void tst_MainWindow::fatalEngineErrorEndsWithTwo()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QTimer::singleShot(0, &window, [&window] {
        window.onEventLoopStarted();
        emit window.m_engine->fatalError(QStringLiteral("mirrors.ini is missing, cannot proceed."));
    });
    QCOMPARE(QCoreApplication::exec(), 2);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Error"));
    QVERIFY(answerer.boxes.first().hasParent);
}

void tst_MainWindow::fatalConfigErrorEndsWithOne()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QTimer::singleShot(0, &window, [this, &window] {
        window.onEventLoopStarted();
        emit m_configuration->fatalError(QStringLiteral("Cannot create temporary directory"));
    });
    QCOMPARE(QCoreApplication::exec(), 1);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Error"));
    QVERIFY(!answerer.boxes.first().hasParent);
}

void tst_MainWindow::fatalErrorBeforeLoopIsKeptForStartUp()
{
    // An invalid proxy is reported while the window is being built, before
    // the event loop runs: start-up still ends with 2, after the box.
    QSettings settings(m_root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("proxy:3128"));
    settings.sync();
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    const int code = Startup::run(
        {QStringLiteral("update"), QStringLiteral("client_linux_amd64"), QStringLiteral("3170")});
    QCOMPARE(code, 2);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().text,
             QStringLiteral("'proxy:3128' is an invalid proxy specification"));
}

void tst_MainWindow::configurationErrorAtStartUpEndsWithOne()
{
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    const int code = Startup::run(
        {QStringLiteral("update"), QStringLiteral("client_linux_amd64"), QStringLiteral("3.1.7")});
    QCOMPARE(code, 1);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().title, QStringLiteral("Error"));
    QVERIFY(!answerer.boxes.first().hasParent);
    // No later event loop was spoilt by an early exit request.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(5); });
    QCOMPARE(QCoreApplication::exec(), 5);
}

void tst_MainWindow::closeWhenIdleClosesAtOnce()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MessageBoxAnswerer answerer({QMessageBox::No});
    QVERIFY(window.close());
    QVERIFY(answerer.boxes.isEmpty());
}

void tst_MainWindow::closeDuringUpdateAnswerNoKeepsRunning()
{
    TestableMainWindow window(*m_configuration);
    QVERIFY(showWithPreparedRun(window));
    QVERIFY(window.m_engine->busy());

    MessageBoxAnswerer answerer({QMessageBox::No});
    QVERIFY(!window.close());
    QTRY_COMPARE(answerer.boxes.size(), 1);
    const MessageBoxAnswerer::Box &box = answerer.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Question"));
    QCOMPARE(box.text,
             QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
    QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(!box.hasDefaultButton);
    QVERIFY(window.isVisible());
    QVERIFY(window.m_engine->busy());
    QVERIFY(!window.m_quitAfterCancel);
}

void tst_MainWindow::closeDuringUpdateAnswerYesQuitsAfterCancel()
{
    TestableMainWindow window(*m_configuration);
    QVERIFY(showWithPreparedRun(window));

    MessageBoxAnswerer answerer({QMessageBox::Yes});
    QVERIFY(!window.close());
    QTRY_COMPARE(answerer.boxes.size(), 1);
    QVERIFY(window.m_quitAfterCancel);
    // Further requests are refused without asking again.
    QVERIFY(!window.close());
    QCOMPARE(answerer.boxes.size(), 1);

    // Once the run has ended, the program ends, without the cancel box.
    QTimer::singleShot(0, &window, [&window] {
        window.onEventLoopStarted();
        emit window.m_engine->updateCanceled();
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(answerer.boxes.size(), 1);
}

void tst_MainWindow::runEndingDuringQuestionClosesOnYes()
{
    TestableMainWindow window(*m_configuration);
    QVERIFY(showWithPreparedRun(window));

    // The run is given up (the engine is reset) while the question is open.
    MessageBoxAnswerer answerer({QMessageBox::Yes});
    answerer.setOnBox([&window](const MessageBoxAnswerer::Box &) { window.m_engine->reset(); });
    QVERIFY(!window.close());
    QTRY_VERIFY(!window.isVisible());
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY(!window.m_quitAfterCancel);
}

void tst_MainWindow::runFinishingDespiteCancelStillQuits()
{
    writeClientScript();
    TestableMainWindow window(*m_configuration);
    QVERIFY(showWithPreparedRun(window));
    MessageBoxAnswerer answerer({QMessageBox::Yes});
    QVERIFY(!window.close());
    QTRY_VERIFY(window.m_quitAfterCancel);

    // The last step finished before the cancel reached it.
    QTimer::singleShot(0, &window, [&window] {
        window.onEventLoopStarted();
        emit window.m_engine->updateFinished();
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(answerer.boxes.size(), 1);
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker()));
}

void tst_MainWindow::otherInstanceMessage_data()
{
    QTest::addColumn<bool>("secondStart");
    QTest::addColumn<QStringList>("arguments"); // of the second start
    QTest::addColumn<int>("exitCode");
    QTest::newRow("second start raises the window") << true << QStringList() << 0;
    QTest::newRow("unattended second start fails") << true << QStringList {"--nouser"} << 3;
    QTest::newRow("other message is ignored") << false << QStringList() << 0;
}

// A second start of the updater raises the running window, says so and ends
// with 0, unattended with 3; any other message from another instance changes
// nothing.
void tst_MainWindow::otherInstanceMessage()
{
    QFETCH(bool, secondStart);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget other;
    other.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other));
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    QVERIFY(!window.isActiveWindow());

    if (!secondStart) {
        QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("##")));
        QTest::qWait(300);
        QVERIFY(other.isActiveWindow());
        return;
    }
    // The running copy holds the lock of the installation, as start-up takes it.
    bool heldElsewhere = false;
    const UniqueFd lock = SingleInstanceChecker::lockInstallation(&heldElsewhere);
    QVERIFY(lock.isValid());
    QProcess second;
    second.start(QCoreApplication::applicationFilePath(),
                 QStringList {QString::fromLatin1(secondStartOption)} + arguments);
    QVERIFY(second.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(window.isActiveWindow(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 5000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), exitCode);
    const QByteArray errors = second.readAllStandardError();
    QVERIFY2(errors.contains("update: another copy of the updater runs for this installation; it "
                             "was brought to the front.\n"),
             errors.constData());
}

void tst_MainWindow::changelogButtonOpensOneDialog()
{
    TestableMainWindow window(*m_configuration);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *button = child<QPushButton>(window, "changelogButton");
    QTest::mouseClick(button, Qt::LeftButton);
    ChangeLogViewer *dialog = ChangeLogViewer::m_instance;
    QVERIFY(dialog);
    QCOMPARE(dialog->parentWidget(), &window);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(ChangeLogViewer::m_instance, dialog);
    QCOMPARE(window.findChildren<ChangeLogViewer *>().size(), 1);
}

void tst_MainWindow::unattendedLinesGoToStandardError()
{
    QTemporaryFile capture;
    QVERIFY(capture.open());
    const int savedError = ::dup(STDERR_FILENO);
    ::fflush(stderr);
    ::dup2(capture.handle(), STDERR_FILENO);
    {
        m_configuration->m_noUserMode = 1;
        TestableMainWindow window(*m_configuration);
        emit window.m_engine->message(QStringLiteral("Starting update process"));
        m_configuration->m_noUserMode = 0;
        window.setSettings(m_configuration->settings());
        emit window.m_engine->message(QStringLiteral("interactive line"));
    }
    // No box of an unattended run waits: its text goes to standard error, its
    // default answer is taken, and the program ends with its code at once (a
    // bad version, a silent update server, no mirror list, a failed run), not
    // at the watchdog's 99. Without a mirror list, the update that starts by
    // itself two seconds after start-up ends in the fatal error.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    const QStringList given {"update", "--nouser", "client_linux_amd64", "3170"};
    QList<int> codes {Startup::run({"update", "--nouser", "client_linux_amd64", "abc"}),
                      Startup::run({"update", "--nouser"}, {"127.0.0.1", m_silentPort})};
    QElapsedTimer clock;
    clock.start();
    watchdog.start(10000);
    codes << Startup::run(given);
    const qint64 withoutMirrorList = clock.elapsed();
    writeMirrors();
    watchdog.start(10000);
    codes << Startup::run(given);
    ::fflush(stderr);
    ::dup2(savedError, STDERR_FILENO);
    ::close(savedError);
    capture.seek(0);
    const QByteArray written = capture.readAll();
    QVERIFY2(written.contains("Starting update process\n"), written.constData());
    QVERIFY(!written.contains("interactive line"));
    QCOMPARE(codes, QList<int>({1, 1, 2, 2}));
    QVERIFY(withoutMirrorList >= 1900);
    for (const char *text : {"Invalid version nr (abc)\n", "Failed to query latest client\n",
                             "The update server 127.0.0.1 cannot be reached: Connection refused\n",
                             "mirrors.ini is missing, cannot proceed.\n",
                             "Update cancelled. Push \"Details\" to check reasons.\n"})
        QVERIFY2(written.contains(text), written.constData());
}

void tst_MainWindow::germanTexts()
{
    QTranslator program;
    QTranslator qt;
    Startup::installTranslations(program, qt, QStringLiteral("de_DE"));
    m_configuration->m_clientVersionName = QStringLiteral("3.1.7");
    {
        TestableMainWindow window(*m_configuration);
        window.setUIToConfigSpecs();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(child<QPushButton>(window, "startButton")->text(),
                 QStringLiteral("Update starten"));
        QCOMPARE(child<QPushButton>(window, "changelogButton")->text(),
                 QStringLiteral("Änderungen"));
        QCOMPARE(child<QLabel>(window, "versionLabel")->text(),
                 QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">Update auf Morvane "
                                "3.1.7.</div><div style=\"margin-top:8px\">Sie benutzen den "
                                "<strong>stabilen Channel</strong>.</div>"));

        MessageBoxAnswerer answerer({QMessageBox::Ok, QMessageBox::Ok, QMessageBox::No});
        emit window.m_engine->updateCanceled();
        QCOMPARE(child<QPushButton>(window, "startButton")->text(), QStringLiteral("Neu starten"));
        QTRY_COMPARE(answerer.boxes.value(0).title, QStringLiteral("Aktualisierung"));
        QCOMPARE(answerer.boxes.value(0).text,
                 QStringLiteral("Aktualisierung abgebrochen. Drücken Sie \"Details\" für weitere "
                                "Informationen."));
        QVERIFY(child<QTextEdit>(window, "outputTextEdit")
                    ->toPlainText()
                    .endsWith(QStringLiteral("Aktualisierung abgebrochen")));
        emit window.m_engine->error(QStringLiteral("x"));
        QTRY_COMPARE(answerer.boxes.value(1).title, QStringLiteral("Fehler"));
        emit window.m_engine->updateFinished();
        QCOMPARE(child<QPushButton>(window, "startButton")->text(),
                 QStringLiteral("Morvane starten"));

        writeMirrors();
        QVERIFY(window.m_engine->initialize());
        window.close();
        QTRY_COMPARE(answerer.boxes.value(2).title, QStringLiteral("Frage"));
        QCOMPARE(answerer.boxes.value(0).buttonTexts, QStringList {"OK"});
        QCOMPARE(answerer.boxes.value(2).buttonTexts.size(), 2);
        QVERIFY(answerer.boxes.value(2).buttonTexts.contains(QStringLiteral("Ja")));
        QVERIFY(answerer.boxes.value(2).buttonTexts.contains(QStringLiteral("Nein")));
        QCOMPARE(answerer.boxes.value(2).text,
                 QStringLiteral("<p>Aktualisierung läuft momentan.</p><p>Wirklich abbrechen?</p>"));
    }
    {
        ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("3170"));
        // The only mirror refuses the connection.
        const QTextEdit *view = ChangeLogViewer::m_instance->findChild<QTextEdit *>();
        QCOMPARE(view->toPlainText(), QStringLiteral("Lade..."));
        QTRY_COMPARE(view->toPlainText(), QStringLiteral("Konnte Changelog nicht laden."));
        QCOMPARE(ChangeLogViewer::m_instance->windowTitle(), QStringLiteral("Änderungen"));
        QCOMPARE(ChangeLogViewer::m_instance->findChild<QPushButton *>()->text(),
                 QStringLiteral("Schließen"));
        delete ChangeLogViewer::m_instance;
    }
    QCoreApplication::removeTranslator(&program);
    QCoreApplication::removeTranslator(&qt);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String(secondStartOption))
        return Startup::run(app.arguments().mid(0, 1) + app.arguments().mid(2));
    tst_MainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
