// Configuration: command line, update.ini, temporary directory, special files
// and the exit codes of start-up. The update server is the reference server.

#include "app/configuration.h"
#include "app/startup.h"
#include "app/updatechecker.h"
#include "localservers.h"
#include "messageboxanswerer.h"
#include "net/banner.h"
#include "scopedapproot.h"
#include "scopedmount.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QWindow>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

class tst_Configuration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandLineForms_data();
    void commandLineForms();
    void badCommandLineIsFatal_data();
    void badCommandLineIsFatal();
    void alphaRevnoOverridesCommandLineVersion();
    void olderVersionFromServerIsRefused_data();
    void olderVersionFromServerIsRefused();
    void invalidVersionEndsWithExitCode1();
    void abandonedQueryEndsWithExitCode1();
    void programCommandLine_data();
    void programCommandLine();

    void channelFromUpdateIni_data();
    void channelFromUpdateIni();
    void proxyAndStreamsFromUpdateIni_data();
    void proxyAndStreamsFromUpdateIni();

    void tempDirIsPrivateMarkedAndUnpredictable();
    void tempDirSkipsTakenNames_data();
    void tempDirSkipsTakenNames();
    void tempDirCannotBeBlockedButCanFail();
    void initalizeStartKeepsResumedDir();

    void appRootIsExecutableDirectoryUnlessSet();
    void specialFileNamesAreExact_data();
    void specialFileNamesAreExact();

private:
    void writeUpdateIni(const QByteArray &contents);
    // The command line as start-up settles it, asking m_server when it
    // leaves the version open.
    bool parseAndAsk(Configuration &configuration, const QStringList &arguments);

    std::unique_ptr<LocalServers> m_servers;
    // Every test gets an empty system temporary directory of its own.
    std::unique_ptr<ScopedAppRoot> m_appRoot;
    QString m_tempBase;
    VersionQuery::Server m_server;
};

void tst_Configuration::init()
{
    m_servers = std::make_unique<LocalServers>();
    m_appRoot = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_appRoot->isValid());
    m_tempBase = m_appRoot->tempPath();
    QCOMPARE(QDir::tempPath(), m_tempBase);

    const LocalServers::RefServer server = m_servers->startRefServer(
        {"--versions", "100#3.0,101#3.1 Beta,102", "--news", "Server news"});
    QVERIFY(server.isValid());
    m_server = {QStringLiteral("127.0.0.1"), server.versionPort};
    // Windows made by start-up ask for their banner where nothing answers.
    m_appRoot->askBannersAt(LocalServers::freeUdpPort());
}

void tst_Configuration::cleanup()
{
    m_servers.reset();
    m_appRoot.reset();
}

void tst_Configuration::writeUpdateIni(const QByteArray &contents)
{
    QFile file(m_appRoot->filePath(QStringLiteral("update.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

bool tst_Configuration::parseAndAsk(Configuration &configuration, const QStringList &arguments)
{
    const Configuration::ParseResult parsed = configuration.parseCommandLineOptions(arguments);
    if (parsed != Configuration::NeedsUpdateServer)
        return parsed == Configuration::Parsed;
    UpdateChecker checker(configuration, m_server);
    QSignalSpy done(&checker, &UpdateChecker::done);
    checker.checkUpdate();
    return done.wait(30000) && done.at(0).at(0).toBool();
}

void tst_Configuration::commandLineForms_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("noUserMode");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("news");

    const QString defaultType = QStringLiteral("client_linux_amd64");
    QTest::newRow("none") << QStringList() << 0 << defaultType << 100 << "3.0"
                          << "Server news";
    QTest::newRow("one argument") << QStringList {"foo"} << 0 << defaultType << 100 << "3.0"
                                  << "Server news";
    QTest::newRow("three without --nouser")
        << QStringList {"client_linux_x86", "55", "x"} << 0 << defaultType << 100 << "3.0"
        << "Server news";
    QTest::newRow("type version") << QStringList {"client_linux_amd64", "123"} << 0
                                  << "client_linux_amd64" << 123 << ""
                                  << "";
    QTest::newRow("other type version")
        << QStringList {"client_linux_x86", "77"} << 0 << "client_linux_x86" << 77 << ""
        << "";
    QTest::newRow("type of every allowed character")
        << QStringList {"Client-2.x_86", "77"} << 0 << "Client-2.x_86" << 77 << "" << "";
    QTest::newRow("type of 64 characters")
        << QStringList {QString(64, 'a'), "77"} << 0 << QString(64, 'a') << 77 << "" << "";
    QTest::newRow("--nouser") << QStringList {"--nouser"} << 1 << defaultType << 100 << "3.0"
                              << "Server news";
    QTest::newRow("--nouser x ignores x")
        << QStringList {"--nouser", "client_linux_x86"} << 1 << defaultType << 100 << "3.0"
        << "Server news";
    QTest::newRow("--nouser type version") << QStringList {"--nouser", "client_linux_x86", "123"}
                                           << 1 << "client_linux_x86" << 123 << ""
                                           << "";
    QTest::newRow("--nouser type version name")
        << QStringList {"--nouser", "client_linux_amd64", "123", "3.2 Final"} << 1
        << "client_linux_amd64" << 123 << "3.2 Final"
        << "";
    QTest::newRow("--nouser type version # news")
        << QStringList {"--nouser", "client_linux_amd64", "123", "#", "Maintenance tonight"} << 1
        << "client_linux_amd64" << 123 << ""
        << "Maintenance tonight";
    QTest::newRow("--nouser with extra arguments ignored")
        << QStringList {"--nouser", "client_linux_amd64", "124", "Name", "News", "extra", "more"}
        << 1 << "client_linux_amd64" << 124 << "Name"
        << "News";
}

void tst_Configuration::commandLineForms()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, noUserMode);
    QFETCH(QString, type);
    QFETCH(int, version);
    QFETCH(QString, versionName);
    QFETCH(QString, news);

    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(parseAndAsk(configuration, QStringList {"update"} + arguments));
    QCOMPARE(configuration.m_noUserMode, noUserMode);
    QCOMPARE(configuration.m_updateChannel, StableChannel);
    QCOMPARE(configuration.m_clientType, type);
    QCOMPARE(configuration.m_clientVersion, version);
    QCOMPARE(configuration.m_clientVersionName, versionName);
    QCOMPARE(configuration.m_newsText, news);
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(answerer.boxes.size(), 0);
}

void tst_Configuration::badCommandLineIsFatal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fatalText");

    QTest::newRow("letters") << QStringList {"--nouser", "client_linux_amd64", "abc"}
                             << "Invalid version nr (abc)";
    QTest::newRow("12a") << QStringList {"client_linux_amd64", "12a"} << "Invalid version nr (12a)";
    QTest::newRow("3.0") << QStringList {"client_linux_amd64", "3.0"} << "Invalid version nr (3.0)";
    QTest::newRow("empty") << QStringList {"client_linux_amd64", ""} << "Invalid version nr ()";
    QTest::newRow("unattended 12a")
        << QStringList {"--nouser", "client_linux_amd64", "12a", "N"} << "Invalid version nr (12a)";
    QTest::newRow("negative") << QStringList {"--nouser", "client_linux_amd64", "-5"}
                              << "Invalid version nr (-5)";
    QTest::newRow("plus sign") << QStringList {"client_linux_amd64", "+5"}
                               << "Invalid version nr (+5)";
    QTest::newRow("5x") << QStringList {"client_linux_amd64", "5x"} << "Invalid version nr (5x)";
    QTest::newRow("blank before") << QStringList {"client_linux_amd64", " 5"}
                                  << "Invalid version nr ( 5)";
    // The type names a file on the mirrors and in the session directory.
    const QString badType = QStringLiteral("Invalid client type (%1)");
    QTest::newRow("type ../escape")
        << QStringList {"--nouser", "../escape", "2"} << badType.arg("../escape");
    for (const char *type : {"..", ".", "a/b", ""})
        QTest::addRow("type '%s'", type) << QStringList {type, "2"} << badType.arg(type);
    QTest::newRow("type of 65 characters")
        << QStringList {QString(65, 'a'), "2"} << badType.arg(QString(65, 'a'));
    QTest::newRow("type with control characters")
        << QStringList {"a\nb\x1b[2J\u202e", "2"} << badType.arg("a\\x0ab\\x1b[2J\\u202e");
}

void tst_Configuration::badCommandLineIsFatal()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fatalText);

    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.parseCommandLineOptions(QStringList {"update"} + arguments));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), fatalText);
    QCOMPARE(configuration.m_noUserMode, 0);
    QCOMPARE(answerer.boxes.size(), 0); // the server is never asked
}

void tst_Configuration::olderVersionFromServerIsRefused_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("version"); // 105: the installed version is kept
    const QByteArray installed105
        = "[installed]\nclient_linux_amd64\\version=105\nclient_linux_amd64\\channel=stable\n";

    QTest::newRow("server older than installed") << installed105 << QStringList() << 105;
    QTest::newRow("server older than a record without type")
        << QByteArray("[installed]\nversion=105\nchannel=stable\n") << QStringList() << 105;
    QTest::newRow("server equal to installed")
        << QByteArray(installed105).replace("105", "100") << QStringList() << 100;
    QTest::newRow("recorded for another channel")
        << QByteArray(installed105).replace("stable", "beta") << QStringList() << 100;
    QTest::newRow("recorded for another client type")
        << QByteArray(installed105).replace("amd64", "x86") << QStringList() << 100;
    QTest::newRow("version named by the user")
        << installed105 << QStringList {"client_linux_amd64", "50"} << 50;
    QTest::newRow("nothing recorded") << QByteArray() << QStringList() << 100;
}

// The server's answer cannot take an installation back (a stopped roll-out
// keeps what was installed, as an up-to-date run would); the user can.
void tst_Configuration::olderVersionFromServerIsRefused()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QStringList, arguments);
    QFETCH(int, version);

    writeUpdateIni(updateIni);
    const int before = Configuration::getInstalledVersion("client_linux_amd64", StableChannel);
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(parseAndAsk(configuration, QStringList {"update"} + arguments));
    QCOMPARE(configuration.m_olderOffered.isEmpty(), version != 105);
    if (version == 105) {
        QCOMPARE(configuration.m_olderOffered,
                 QStringLiteral("The update server offers version 100, older than the installed "
                                "version 105; the installed version is kept."));
        QCOMPARE(fatal.count(), 0);
    } else {
        QCOMPARE(configuration.m_clientVersion, version);
        QCOMPARE(fatal.count(), 0);
        // What the server offered is recorded; what the user named is not.
        configuration.recordInstalledVersion();
        QCOMPARE(Configuration::getInstalledVersion("client_linux_amd64", StableChannel),
                 arguments.isEmpty() ? version : before);
    }
}

void tst_Configuration::alphaRevnoOverridesCommandLineVersion()
{
    writeUpdateIni("[Channel]\nalpha=http://127.0.0.1/alpha\nbeta=true\nalphaRevno=4711\n");
    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QVERIFY(configuration.parseCommandLineOptions({"update", "client_linux_amd64", "12a"}));
    QCOMPARE(configuration.m_updateChannel, AlphaChannel);
    QCOMPARE(configuration.m_clientVersion, 4711);
    QCOMPARE(configuration.m_newsText, QString()); // the server was not asked
    QCOMPARE(answerer.boxes.size(), 0);
}

void tst_Configuration::invalidVersionEndsWithExitCode1()
{
    MessageBoxAnswerer answerer({QMessageBox::Ok});
    QCOMPARE(Startup::run({"update", "client_linux_amd64", "abc"}), 1);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.at(0).title, QStringLiteral("Error"));
    QCOMPARE(answerer.boxes.at(0).text, QStringLiteral("Invalid version nr (abc)"));
    QCOMPARE(answerer.boxes.at(0).icon, QMessageBox::Critical);
    QVERIFY(!answerer.boxes.at(0).hasParent);
}

void tst_Configuration::abandonedQueryEndsWithExitCode1()
{
    MessageBoxAnswerer answerer({QMessageBox::Abort});
    // The box comes up over the window, which shows what it waited for.
    QString windowLine;
    answerer.setOnBox([&windowLine](const MessageBoxAnswerer::Box &) {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            auto *line = window->findChild<QLabel *>(QStringLiteral("versionLabel"));
            if (line && window->isVisible() && window->windowHandle()->isExposed())
                windowLine = line->text();
        }
    });
    QCOMPARE(Startup::run({"update"}, {QStringLiteral("127.0.0.1"), LocalServers::freeUdpPort()}),
             1);
    // Only the Retry/Abort box: giving up ends without another message.
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.at(0).buttons, QMessageBox::Retry | QMessageBox::Abort);
    QCOMPARE(windowLine, QStringLiteral("Asking the update server for the current version..."));
}

void tst_Configuration::programCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // starts standard output
    QTest::addColumn<QByteArray>("error"); // starts standard error

    const QByteArray usage("Usage: update [--verify] [TYPE VERSION]\n");
    QTest::newRow("--help") << QStringList {"--help"} << 0 << usage << QByteArray();
    QTest::newRow("-h") << QStringList {"-h"} << 0 << usage << QByteArray();
    QTest::newRow("--nouser --help") << QStringList {"--nouser", "--help"} << 0 << usage
                                     << QByteArray();
    QTest::newRow("--version") << QStringList {"--version"} << 0
                               << QByteArray("Morvane 3 Client updater ") << QByteArray();
    QTest::newRow("unknown option") << QStringList {"--bogus"} << 1 << QByteArray()
                                    << "update: unknown option '--bogus'\n\n" + usage;
    QTest::newRow("unknown option unattended")
        << QStringList {"--nouser", "-x", "1"} << 1 << QByteArray()
        << QByteArray("update: unknown option '-x'\n");
    // Without a display, unattended runs on the offscreen platform; the
    // window is made, and the version refused before anything is asked.
    QTest::newRow("negative version, headless")
        << QStringList {"--nouser", "client_linux_amd64", "-5"} << 1 << QByteArray()
        << QByteArray("Invalid version nr (-5)\n");
    QTest::newRow("client type with a path, headless")
        << QStringList {"--nouser", "../escape", "2"} << 1 << QByteArray()
        << QByteArray("Invalid client type (../escape)\n");
    QTest::newRow("interactive without display")
        << QStringList() << 1 << QByteArray() << QByteArray("update: no display");
    QTest::newRow("--version, -h and --help as free text: the update is tried")
        << QStringList {"--nouser", "client_linux_amd64", "123", "--version", "-h", "--help"} << 2
        << QByteArray() << QByteArray("mirrors.ini is missing, cannot proceed.");
    // Said before anything is asked: no update server runs for this test.
    QTest::newRow("read-only installation, headless")
        << QStringList {"--nouser"} << 2 << QByteArray()
        << QByteArray("cannot be written to by this user");
}

// The updater as a process, in an application root of its own, without a
// display: what the command line asks for is settled before any window.
void tst_Configuration::programCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, error);

    const QString program = m_appRoot->filePath(QStringLiteral("update"));
    const QByteArray built = QFile::encodeName(LocalServers::binDir() + QStringLiteral("/update"));
    QVERIFY(::link(built.constData(), QFile::encodeName(program).constData()) == 0
            || QFile::copy(QFile::decodeName(built), program));
    std::unique_ptr<ScopedMount> readOnly;
    if (QByteArray(QTest::currentDataTag()).startsWith("read-only")) {
        readOnly = std::make_unique<ScopedMount>(m_appRoot->path(), -1);
        if (!readOnly->isValid())
            QSKIP("needs root to bind the installation read-only");
    }
    QProcess updater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    updater.setProcessEnvironment(environment);
    updater.start(program, arguments);
    QVERIFY(updater.waitForFinished(30000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    const QByteArray written = updater.readAllStandardOutput();
    const QByteArray errors = updater.readAllStandardError();
    QVERIFY2(output.isEmpty() ? written.isEmpty() : written.startsWith(output), written);
    // Qt may warn first (XDG_RUNTIME_DIR, the offscreen platform's limits).
    QVERIFY2(error.isEmpty() ? errors.isEmpty() : errors.contains(error), errors);
    QCOMPARE(updater.exitCode(), exitCode);
}

void tst_Configuration::channelFromUpdateIni_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("version");

    QTest::newRow("no update.ini") << QByteArray() << int(StableChannel) << 0;
    QTest::newRow("beta") << QByteArray("[Channel]\nbeta=true\n") << int(BetaChannel) << 0;
    QTest::newRow("beta false") << QByteArray("[Channel]\nbeta=false\n") << int(StableChannel) << 0;
    QTest::newRow("alpha wins over beta")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/a\nbeta=true\nalphaRevno=42\n")
        << int(AlphaChannel) << 42;
    QTest::newRow("alpha without revno")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/a\n") << int(AlphaChannel) << 0;
    QTest::newRow("alphaRevno text")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/a\nalphaRevno=abc\n") << int(AlphaChannel)
        << 0;
    QTest::newRow("revno without alpha ignored")
        << QByteArray("[Channel]\nalphaRevno=42\n") << int(StableChannel) << 0;
}

void tst_Configuration::channelFromUpdateIni()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(int, channel);
    QFETCH(int, version);
    if (!updateIni.isEmpty())
        writeUpdateIni(updateIni);

    Configuration configuration;
    configuration.m_clientVersion = 99; // left from elsewhere: the channel decides anew
    configuration.getUpdateChannel();
    QCOMPARE(int(configuration.m_updateChannel), channel);
    QCOMPARE(configuration.m_clientVersion, version);
}

void tst_Configuration::proxyAndStreamsFromUpdateIni_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<bool>("iniIsDirectory");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");

    QTest::newRow("no update.ini") << QByteArray() << false << QString() << 6;
    QTest::newRow("unreadable update.ini") << QByteArray() << true << QString() << 6;
    QTest::newRow("streams 3 and proxy")
        << QByteArray("[update]\nproxy=http://127.0.0.1:8080\nstreams=3\n") << false
        << "http://127.0.0.1:8080" << 3;
    QTest::newRow("streams 0") << QByteArray("[update]\nstreams=0\n") << false << QString() << 6;
    QTest::newRow("streams negative")
        << QByteArray("[update]\nstreams=-4\n") << false << QString() << 6;
    QTest::newRow("streams text") << QByteArray("[update]\nstreams=many\n") << false << QString()
                                  << 6;
    QTest::newRow("streams 1") << QByteArray("[update]\nstreams=1\n") << false << QString() << 1;
}

void tst_Configuration::proxyAndStreamsFromUpdateIni()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(bool, iniIsDirectory);
    QFETCH(QString, proxy);
    QFETCH(int, streams);
    if (iniIsDirectory)
        QVERIFY(QDir(m_appRoot->path()).mkdir(QStringLiteral("update.ini")));
    else if (!updateIni.isEmpty())
        writeUpdateIni(updateIni);

    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    QCOMPARE(configuration.m_proxy, proxy);
    QCOMPARE(configuration.m_downloadConcurrency, streams);
}

void tst_Configuration::tempDirIsPrivateMarkedAndUnpredictable()
{
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(configuration.createTempDir());
    const QString prefix = m_tempBase + QStringLiteral("/morvane_temp_");
    QVERIFY(configuration.m_tempDir.startsWith(prefix));
    QCOMPARE(configuration.m_tempDir.size(), prefix.size() + 6);
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(configuration.m_tempDir).constData(), &info), 0);
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(info.st_mode & 07777, mode_t(0700));
    QCOMPARE(QDir(configuration.m_tempDir).entryList(QDir::AllEntries | QDir::Hidden
                                                     | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral(".morvane_session")});

    // A second directory never reuses the first.
    Configuration second;
    QVERIFY(second.createTempDir());
    QVERIFY(second.m_tempDir.startsWith(prefix) && second.m_tempDir != configuration.m_tempDir);
    QCOMPARE(fatal.count(), 0);
}

void tst_Configuration::tempDirSkipsTakenNames_data()
{
    QTest::addColumn<QString>("taken"); // how morvane_temp_0 .. _N are occupied
    QTest::addColumn<int>("count");

    QTest::newRow("directories 0 to 4") << "dir" << 5;
    QTest::newRow("plain file") << "file" << 1;
    QTest::newRow("dangling symlink") << "dangling" << 1;
    QTest::newRow("symlink to a directory") << "symlink" << 1;
}

void tst_Configuration::tempDirSkipsTakenNames()
{
    QFETCH(QString, taken);
    QFETCH(int, count);
    const QString prefix = m_tempBase + QStringLiteral("/morvane_temp_");
    const QString elsewhere = m_tempBase + QStringLiteral("/elsewhere");
    if (taken == QLatin1String("symlink"))
        QVERIFY(QDir().mkdir(elsewhere));
    for (int i = 0; i < count; ++i) {
        const QString name = prefix + QString::number(i);
        if (taken == QLatin1String("dir")) {
            QVERIFY(QDir().mkdir(name));
        } else if (taken == QLatin1String("file")) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QFile::link(elsewhere, name));
        }
    }

    Configuration configuration;
    QVERIFY(configuration.createTempDir());
    QVERIFY(configuration.m_tempDir.startsWith(prefix));
    // A planted link is never followed: its target stays as it was.
    if (taken == QLatin1String("dangling"))
        QVERIFY(!QFileInfo::exists(elsewhere));
    if (taken == QLatin1String("symlink"))
        QVERIFY(QDir(elsewhere).isEmpty());
}

// A thousand planted names cannot keep a run from its directory; a system
// temporary directory that takes no directory at all is a fatal error.
void tst_Configuration::tempDirCannotBeBlockedButCanFail()
{
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(QFile::link(QStringLiteral("nowhere"),
                            m_tempBase + QStringLiteral("/morvane_temp_") + QString::number(i)));
    }
    Configuration planted;
    QVERIFY(planted.createTempDir());
    qputenv("TMPDIR", "/proc");
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.createTempDir());
    qputenv("TMPDIR", QFile::encodeName(m_tempBase));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("Unable to create temp directory."));
    QVERIFY(configuration.m_tempDir.isEmpty());
}

void tst_Configuration::initalizeStartKeepsResumedDir()
{
    Configuration configuration;
    const QString resumed = m_tempBase + QStringLiteral("/morvane_temp_7");
    QVERIFY(configuration.initalizeStart(resumed));
    QCOMPARE(configuration.m_tempDir, resumed);
    QVERIFY(!QFileInfo::exists(resumed)); // taken as it is, not made

    Configuration fresh;
    QVERIFY(fresh.initalizeStart(QString()));
    QVERIFY(fresh.m_tempDir.startsWith(m_tempBase + QStringLiteral("/morvane_temp_")));
    QVERIFY(QFileInfo(fresh.m_tempDir).isDir());
}

void tst_Configuration::appRootIsExecutableDirectoryUnlessSet()
{
    Configuration::setAppRootPath(m_appRoot->path() + QStringLiteral("/"));
    QCOMPARE(Configuration::getAppRootPath(), m_appRoot->path());
    QCOMPARE(Configuration::getSettingsFilePath(),
             m_appRoot->filePath(QStringLiteral("update.ini")));

    Configuration::setAppRootPath(QString());
    QCOMPARE(Configuration::getAppRootPath(), QCoreApplication::applicationDirPath());
    QVERIFY(!Configuration::getAppRootPath().endsWith(QLatin1Char('/')));
}

void tst_Configuration::specialFileNamesAreExact_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("special");

    QTest::newRow("Qt GUI library") << "libQtGui.so.4" << true;
    QTest::newRow("updater") << "update" << true;
    QTest::newRow("accessible plug-in") << "libqtaccessiblewidgets.so" << true;
    QTest::newRow("lower case") << "libqtgui.so.4" << false;
    QTest::newRow("with directory") << "lib/libQtGui.so.4" << false;
    QTest::newRow("old copy") << "_old_libQtGui.so.4" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_Configuration::specialFileNamesAreExact()
{
    QFETCH(QString, name);
    QFETCH(bool, special);
    Configuration configuration;
    QCOMPARE(configuration.isSpecialFileName(name), special);
}

QTEST_MAIN(tst_Configuration)
#include "tst_configuration.moc"
