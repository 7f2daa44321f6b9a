#include "update/updateengine.h"

#include "app/configuration.h"
#include "app/startup.h"
#include "net/banner.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"
#include "update/updateinidata.h"

#include "faultserver.h"
#include "localservers.h"
#include "scopedapproot.h"
#include "startupsettings.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <sys/stat.h>

namespace {
// The engine with its internals open to the test.
// Made from a configuration and connected to it as start-up does.
class TestableUpdateEngine : public UpdateEngine
{
public:
    TestableUpdateEngine(Configuration &configuration, QObject *parent,
                         const Options &options = Options())
        : UpdateEngine(startupSettings(configuration), parent, options)
    {
        Startup::connectEngine(*this, configuration);
    }
    using UpdateEngine::cleanup;
    using UpdateEngine::cleanupDirectory;
    using UpdateEngine::m_bannerReply;
    using UpdateEngine::m_manager;
    using UpdateEngine::m_mirrorList;
    using UpdateEngine::m_state;
};
} // namespace

// The engine's preparation of a run and its housekeeping, in a temporary
// application root and with a private system temporary directory.
class tst_UpdateEngine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void proxySetting_data();
    void proxySetting();
    void configurationMessagesReachTheLog();
    void proxyCarriesTheDownloads();

    void missingMirrorListIsFatalInEveryChannel_data();
    void missingMirrorListIsFatalInEveryChannel();
    void unusableAlphaMirrorFailsPreparation();
    void preparedEngineIsBusyUntilReset();

    void recordedSessionOnPreparation_data();
    void recordedSessionOnPreparation();
    void staleDirectoryThatStaysIsReported();
    void untrustedSessionDirectoryIsNeverEmptied_data();
    void untrustedSessionDirectoryIsNeverEmptied();
    void cancelledAttemptIsResumedByTheNext();

    void removeOldFilesDeletesOnlyCopiesOfSpecialFiles();
    void cleanupDirectoryEmptiesTheTreeButNotThroughLinks();
    void successfulRunRemovesDirectoryAndRecord();
    void cleanupWithoutRecordStillReports();

    void bannerImageSizeIsLimited_data();
    void bannerImageSizeIsLimited();
    void bannerLookupIsNotRepeatedDuringTransfer();

private:
    void writeSettings(const QString &key, const QVariant &value);
    void writeMirrorList(const QString &url = QStringLiteral("http://127.0.0.1:9/files"));
    QString makeDir(const QString &path);
    // A session directory as the updater makes it, in the system temporary
    // directory.
    QString makeSessionDir(const QString &suffix);
    void makeFile(const QString &path, const QByteArray &content = "data");
    bool isNewSessionDir(const QString &dir) const;
    QStringList tempDirEntries() const;
    // The options of an engine that asks this banner server.
    UpdateEngine::Options startBannerServer(LocalServers &servers, const QString &imageUrl);

    std::unique_ptr<ScopedAppRoot> m_root;
};

void tst_UpdateEngine::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
}

void tst_UpdateEngine::cleanup()
{
    m_root.reset();
}

void tst_UpdateEngine::writeSettings(const QString &key, const QVariant &value)
{
    QSettings settings(m_root->filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    settings.setValue(key, value);
}

void tst_UpdateEngine::writeMirrorList(const QString &url)
{
    QSettings settings(m_root->filePath(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    settings.beginWriteArray(QStringLiteral("mirrors"));
    settings.setArrayIndex(0);
    settings.setValue(QStringLiteral("mirror"), QStringLiteral("local"));
    settings.endArray();
    settings.setValue(QStringLiteral("local/url"), url);
}

QString tst_UpdateEngine::makeDir(const QString &path)
{
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

void tst_UpdateEngine::makeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

QString tst_UpdateEngine::makeSessionDir(const QString &suffix)
{
    const QString dir = makeDir(m_root->tempFilePath(QStringLiteral("morvane_temp_") + suffix));
    makeFile(dir + QStringLiteral("/.morvane_session"), QByteArray());
    return dir;
}

QStringList tst_UpdateEngine::tempDirEntries() const
{
    return QDir(m_root->tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

void tst_UpdateEngine::proxySetting_data()
{
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("fatal");

    QTest::newRow("none") << "" << int(QNetworkProxy::NoProxy) << "" << 0 << "";
    QTest::newRow("host and port") << "http://proxy.example:8080" << int(QNetworkProxy::HttpProxy)
                                   << "proxy.example" << 8080 << "";
    QTest::newRow("host without port gets 3128")
        << "http://proxy.example" << int(QNetworkProxy::HttpProxy) << "proxy.example" << 3128 << "";
    QTest::newRow("address") << "http://127.0.0.1:3129/" << int(QNetworkProxy::HttpProxy)
                             << "127.0.0.1" << 3129 << "";
    QTest::newRow("invalid url") << "http://proxy example:80" << int(QNetworkProxy::DefaultProxy)
                                 << "" << 0
                                 << "'http://proxy example:80' is an invalid proxy specification";
    // Without a scheme the text reads as a URL without host, which no
    // transfer could go through.
    QTest::newRow("host:port without scheme")
        << "proxy.example:8080" << int(QNetworkProxy::DefaultProxy) << "" << 0
        << "'proxy.example:8080' is an invalid proxy specification";
}

void tst_UpdateEngine::proxySetting()
{
    QFETCH(QString, proxy);
    QFETCH(int, type);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, fatal);

    writeSettings(QStringLiteral("update/proxy"), proxy);
    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr);
    // Connected after construction, as the window is: the report still comes.
    QSignalSpy fatalErrors(&engine, &UpdateEngine::fatalError);

    const QNetworkProxy applied = engine.m_manager->proxy();
    QCOMPARE(int(applied.type()), type);
    if (type == QNetworkProxy::HttpProxy) {
        QCOMPARE(applied.hostName(), host);
        QCOMPARE(int(applied.port()), port);
        QVERIFY(applied.user().isEmpty());
        QVERIFY(applied.password().isEmpty());
    }
    if (fatal.isEmpty()) {
        QTest::qWait(50);
        QCOMPARE(fatalErrors.count(), 0);
    } else {
        QTRY_COMPARE(fatalErrors.count(), 1);
        QCOMPARE(fatalErrors.at(0).at(0).toString(), fatal);
    }
}

void tst_UpdateEngine::configurationMessagesReachTheLog()
{
    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    emit configuration.message(QStringLiteral("from the configuration"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("from the configuration"));
}

// The proxy of update.ini carries the transfers of a run: the proxy's log
// shows the download, and the file arrives intact.
void tst_UpdateEngine::proxyCarriesTheDownloads()
{
    const QString webRoot = makeDir(m_root->filePath(QStringLiteral("www")));
    makeDir(webRoot + QStringLiteral("/1200"));
    const QByteArray content = QByteArray("[client_linux_amd64]\n").repeated(500);
    makeFile(webRoot + QStringLiteral("/1200/client_linux_amd64.ini"), content);

    LocalServers servers;
    const QString mirrorUrl = servers.startNginx(webRoot);
    QVERIFY(!mirrorUrl.isEmpty());
    const quint16 proxyPort = servers.startProxy();
    QVERIFY(proxyPort != 0);
    writeSettings(QStringLiteral("update/proxy"),
                  QStringLiteral("http://127.0.0.1:%1").arg(proxyPort));
    writeMirrorList(mirrorUrl);

    Configuration configuration;
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 1200;
    TestableUpdateEngine engine(configuration, nullptr);
    QVERIFY(engine.initialize());

    const QString target = configuration.m_tempDir + QStringLiteral("/client_linux_amd64.ini");
    DownloadTaskSpecification download(engine.m_manager, engine.m_mirrorList,
                                       QStringLiteral("client_linux_amd64.ini"), target,
                                       content.size(), nullptr, 1.0);
    QSignalSpy finished(&download, &TaskSpecification::finished);
    QSignalSpy canceled(&download, &TaskSpecification::canceled);
    download.execute();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() + canceled.count() > 0, 15000);
    QCOMPARE(finished.count(), 1);

    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    const QByteArray url = (mirrorUrl + QStringLiteral("/1200/client_linux_amd64.ini")).toLatin1();
    QTRY_VERIFY2(servers.proxyLog().contains("GET " + url), servers.proxyLog().constData());
}

void tst_UpdateEngine::missingMirrorListIsFatalInEveryChannel_data()
{
    QTest::addColumn<QString>("channelKey");
    QTest::addColumn<QVariant>("channelValue");

    QTest::newRow("stable") << "" << QVariant();
    QTest::newRow("beta") << "Channel/beta" << QVariant(true);
    QTest::newRow("alpha") << "Channel/alpha" << QVariant(QStringLiteral("http://127.0.0.1:9/a"));
}

void tst_UpdateEngine::missingMirrorListIsFatalInEveryChannel()
{
    QFETCH(QString, channelKey);
    QFETCH(QVariant, channelValue);

    if (!channelKey.isEmpty())
        writeSettings(channelKey, channelValue);
    writeSettings(QStringLiteral("Channel/alphaRevno"), 42);
    Configuration configuration;
    configuration.getUpdateChannel();
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 42;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy fatalErrors(&engine, &UpdateEngine::fatalError);

    QVERIFY(!engine.initialize());
    QCOMPARE(fatalErrors.count(), 1);
    QCOMPARE(fatalErrors.at(0).at(0).toString(),
             QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QVERIFY(!engine.busy());
    QVERIFY(tempDirEntries().isEmpty());
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

void tst_UpdateEngine::unusableAlphaMirrorFailsPreparation()
{
    writeMirrorList();
    writeSettings(QStringLiteral("Channel/alpha"), QStringLiteral("http://127.0.0.1:9/alpha"));
    writeSettings(QStringLiteral("Channel/alphaRevno"), 42);
    Configuration configuration;
    configuration.getUpdateChannel();
    QCOMPARE(configuration.m_updateChannel, AlphaChannel);
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy fatalErrors(&engine, &UpdateEngine::fatalError);
    QVERIFY(engine.initialize());
    QCOMPARE(fatalErrors.count(), 0);

    // The alpha mirror comes from update.ini; without it the mirror list's
    // report reaches the window through the engine.
    engine.reset();
    writeSettings(QStringLiteral("Channel/alpha"), QString());
    QVERIFY(!engine.initialize());
    QCOMPARE(fatalErrors.count(), 1);
    QVERIFY(!engine.busy());
}

void tst_UpdateEngine::preparedEngineIsBusyUntilReset()
{
    writeMirrorList();
    Configuration configuration;
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 7;
    TestableUpdateEngine engine(configuration, nullptr);
    QVERIFY(!engine.busy());
    QVERIFY(engine.initialize());
    QVERIFY(engine.busy());
    QCOMPARE(engine.m_state, EngineReady);
    engine.reset();
    QVERIFY(!engine.busy());
    QCOMPARE(engine.m_state, EngineIdle);

    // The next preparation makes a new mirror list and releases the old one.
    const QPointer<Mirrors> oldList = engine.m_mirrorList;
    QVERIFY(engine.initialize());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(oldList.isNull());
    QVERIFY(engine.m_mirrorList);
}

void tst_UpdateEngine::recordedSessionOnPreparation_data()
{
    QTest::addColumn<int>("recordVersion");
    QTest::addColumn<QString>("recordType");
    QTest::addColumn<bool>("deletedByHand");
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<QStringList>("expectedLog");

    const QString amd64 = QStringLiteral("client_linux_amd64");
    const QString cleanup = QStringLiteral("Cleanup previous session (v. %1, DIR) files...");
    QTest::newRow("same version is resumed")
        << 1200 << amd64 << false << true
        << QStringList {QStringLiteral("Previous update session for v. 1200 found")};
    QTest::newRow("other version is cleaned up")
        << 7 << amd64 << false << false << QStringList {cleanup.arg(7), QStringLiteral("Ok")};
    QTest::newRow("other version and type is cleaned up")
        << 1100 << "client_linux_x86" << false << false
        << QStringList {cleanup.arg(1100), QStringLiteral("Ok")};
    QTest::newRow("directory deleted by hand is replaced")
        << 1200 << amd64 << true << false << QStringList();
}

// The session record found by the preparation: the same version resumes its
// directory with what it downloaded; another version or client type has its
// directory, hidden entries included, removed; a directory deleted by hand
// is replaced without a word. Afterwards the record names the run's own
// session directory, the only one in the system temporary directory.
void tst_UpdateEngine::recordedSessionOnPreparation()
{
    QFETCH(int, recordVersion);
    QFETCH(QString, recordType);
    QFETCH(bool, deletedByHand);
    QFETCH(bool, resumed);
    QFETCH(QStringList, expectedLog);

    writeMirrorList();
    QString previous = m_root->filePath(QStringLiteral("deleted_by_hand"));
    const QString downloaded = QStringLiteral("/files/data/news.txt");
    if (!deletedByHand) {
        previous = makeSessionDir(QStringLiteral("earlier"));
        makeDir(previous + QStringLiteral("/files/data"));
        makeFile(previous + downloaded, "downloaded before");
        makeFile(previous + QStringLiteral("/.hidden"));
    }
    UpdateIniData::modify(recordVersion, previous, recordType);

    Configuration configuration;
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 1200;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());

    QStringList log;
    for (const QList<QVariant> &arguments : std::as_const(messages))
        log << arguments.at(0).toString().replace(previous, QStringLiteral("DIR"));
    QCOMPARE(log, expectedLog);
    QCOMPARE(configuration.m_tempDir == previous, resumed);
    QCOMPARE(QFileInfo::exists(previous + downloaded), resumed);
    QCOMPARE(QFileInfo::exists(previous), resumed);
    QVERIFY(UpdateIniData::isSessionDirectory(configuration.m_tempDir));
    QCOMPARE(tempDirEntries(), QStringList {QFileInfo(configuration.m_tempDir).fileName()});

    int version = 0;
    QString type;
    QString dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 1200);
    QCOMPARE(type, QStringLiteral("client_linux_amd64"));
    QCOMPARE(dir, configuration.m_tempDir);
}

// A link inside the stale directory is neither deleted nor followed, so the
// directory cannot go; preparation goes on all the same.
void tst_UpdateEngine::staleDirectoryThatStaysIsReported()
{
    writeMirrorList();
    const QString outside = makeDir(m_root->filePath(QStringLiteral("outside")));
    makeFile(outside + QStringLiteral("/keep.txt"));
    const QString previous = makeSessionDir(QStringLiteral("earlier"));
    makeFile(previous + QStringLiteral("/partial.bin"));
    QVERIFY(QFile::link(outside, previous + QStringLiteral("/link")));
    UpdateIniData::modify(1100, previous, QStringLiteral("client_linux_amd64"));

    Configuration configuration;
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 1200;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());

    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Failed to remove directory"));
    QVERIFY(!QFileInfo::exists(previous + QStringLiteral("/partial.bin")));
    QVERIFY(QFileInfo(previous + QStringLiteral("/link")).isSymLink());
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep.txt")));
    QVERIFY(UpdateIniData::isSessionDirectory(configuration.m_tempDir));
}

void tst_UpdateEngine::untrustedSessionDirectoryIsNeverEmptied_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link") << "symlink";
    QTest::newRow("writable by group") << "group";
    QTest::newRow("writable by others") << "other";
    QTest::newRow("private directory elsewhere") << "private";
    QTest::newRow("session name without the marker") << "unmarked";
}

// A record that points at anything but a session directory this updater
// made (through a link, writable by others, a private one like the home
// directory) names no session: nothing in it is deleted or reused.
void tst_UpdateEngine::untrustedSessionDirectoryIsNeverEmptied()
{
    QFETCH(QString, kind);

    writeMirrorList();
    const QString victim
        = makeDir(kind == QLatin1String("unmarked") ? m_root->tempFilePath("morvane_temp_x")
                                                    : m_root->filePath(QStringLiteral("documents")));
    makeFile(victim + QStringLiteral("/letter.txt"));
    QString recorded = victim;
    if (kind == QLatin1String("symlink")) {
        recorded = m_root->filePath(QStringLiteral("session_link"));
        QVERIFY(QFile::link(victim, recorded));
    } else if (kind == QLatin1String("group") || kind == QLatin1String("other")) {
        QVERIFY(QFile::setPermissions(victim,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | (kind == QLatin1String("group")
                                                 ? QFile::WriteGroup | QFile::ExeGroup
                                                 : QFile::WriteOther | QFile::ExeOther)));
    }

    for (const int recordVersion : {1100, 1200}) {
        UpdateIniData::modify(recordVersion, recorded, QStringLiteral("client_linux_amd64"));
        Configuration configuration;
        configuration.m_clientType = QStringLiteral("client_linux_amd64");
        configuration.m_clientVersion = 1200;
        TestableUpdateEngine engine(configuration, nullptr);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        QVERIFY(engine.initialize());

        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QStringLiteral("Session record names %1, which is no session directory of this "
                                "updater; left alone")
                     .arg(recorded));
        QVERIFY(QFileInfo::exists(victim + QStringLiteral("/letter.txt")));
        QVERIFY(configuration.m_tempDir != recorded);
        QVERIFY(configuration.m_tempDir.startsWith(m_root->tempPath()));
        QString dir;
        QVERIFY(UpdateIniData::get(nullptr, nullptr, &dir));
        QCOMPARE(dir, configuration.m_tempDir);
    }
}

// The directory made for a run is one the record trusts, whatever the umask:
// a new attempt after a cancel finds the first attempt's downloads.
void tst_UpdateEngine::cancelledAttemptIsResumedByTheNext()
{
    writeMirrorList();
    const mode_t savedMask = ::umask(002);
    Configuration configuration;
    configuration.m_clientType = QStringLiteral("client_linux_amd64");
    configuration.m_clientVersion = 1200;
    TestableUpdateEngine engine(configuration, nullptr);
    const bool prepared = engine.initialize();
    ::umask(savedMask);
    QVERIFY(prepared);
    const QString first = configuration.m_tempDir;
    makeFile(first + QStringLiteral("/client.bin"));

    engine.reset();
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(configuration.m_tempDir, first);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(),
             QStringLiteral("Previous update session for v. 1200 found"));
    QCOMPARE(tempDirEntries(), QStringList {QFileInfo(first).fileName()});
}

void tst_UpdateEngine::removeOldFilesDeletesOnlyCopiesOfSpecialFiles()
{
    const QString dir = m_root->path();
    const QStringList kept {QStringLiteral("_old_readme.txt"), QStringLiteral("update"),
                            QStringLiteral("_old_libqgif.so.bak"),
                            QStringLiteral("_old_LIBQTGUI.SO.4")};
    for (const QString &name : Configuration::getSpecialFileNames())
        makeFile(dir + QStringLiteral("/_old_") + name);
    for (const QString &name : kept)
        makeFile(dir + QLatin1Char('/') + name);

    UpdateEngine::removeOldFiles(dir);

    QStringList left = QDir(dir).entryList(QDir::Files);
    left.sort();
    QStringList expected = kept;
    expected.sort();
    QCOMPARE(left, expected);
    // A directory without any such file, or one that does not exist, is fine.
    UpdateEngine::removeOldFiles(dir);
    UpdateEngine::removeOldFiles(dir + QStringLiteral("/imageformats"));
}

void tst_UpdateEngine::cleanupDirectoryEmptiesTheTreeButNotThroughLinks()
{
    const QString outside = makeDir(m_root->filePath(QStringLiteral("outside")));
    makeFile(outside + QStringLiteral("/precious.txt"));

    const QString dir = makeDir(m_root->filePath(QStringLiteral("tree")));
    makeFile(dir + QStringLiteral("/a.bin"));
    makeFile(dir + QStringLiteral("/.hidden"));
    makeDir(dir + QStringLiteral("/sub/deeper/deepest"));
    makeDir(dir + QStringLiteral("/.hiddendir"));
    makeFile(dir + QStringLiteral("/.hiddendir/x"));
    makeFile(dir + QStringLiteral("/sub/deeper/deepest/y"));
    makeFile(dir + QStringLiteral("/sub/z"));
    makeDir(dir + QStringLiteral("/holder"));
    makeFile(dir + QStringLiteral("/holder/gone.txt"));
    QVERIFY(QFile::link(outside, dir + QStringLiteral("/holder/dirlink")));
    QVERIFY(
        QFile::link(outside + QStringLiteral("/precious.txt"), dir + QStringLiteral("/filelink")));
    // QDir::System lists a dangling link although links are filtered out.
    makeDir(dir + QStringLiteral("/danglingholder"));
    QVERIFY(QFile::link(m_root->filePath(QStringLiteral("nowhere")),
                        dir + QStringLiteral("/danglingholder/dangling")));

    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr);
    engine.cleanupDirectory(dir);

    QVERIFY(QFileInfo(dir).isDir());
    QStringList left = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                           | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left,
             (QStringList {QStringLiteral("danglingholder"), QStringLiteral("filelink"),
                           QStringLiteral("holder")}));
    QCOMPARE(QDir(dir + QStringLiteral("/holder"))
                 .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("dirlink")});
    QVERIFY(QFileInfo(dir + QStringLiteral("/danglingholder/dangling")).isSymLink());
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/precious.txt")));
}

void tst_UpdateEngine::successfulRunRemovesDirectoryAndRecord()
{
    writeSettings(QStringLiteral("update/streams"), 3);
    const QString dir = makeSessionDir(QStringLiteral("9"));
    makeDir(dir + QStringLiteral("/data"));
    makeFile(dir + QStringLiteral("/data/client.bin"));
    makeFile(dir + QStringLiteral("/client_linux_amd64.ini"));
    UpdateIniData::modify(1200, dir, QStringLiteral("client_linux_amd64"));

    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    engine.cleanup();

    QStringList log;
    for (const QList<QVariant> &arguments : std::as_const(messages))
        log << arguments.at(0).toString();
    QCOMPARE(log,
             (QStringList {QStringLiteral("Remove temporary files..."),
                           QStringLiteral("Temporary files removed.")}));
    QVERIFY(!QFileInfo::exists(dir));
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains(QStringLiteral("current")));
    QCOMPARE(settings.value(QStringLiteral("update/streams")).toInt(), 3);
}

void tst_UpdateEngine::cleanupWithoutRecordStillReports()
{
    // An untrusted record is not a record: its directory stays.
    const QString dir = m_root->filePath(QStringLiteral("shared"));
    QDir().mkpath(dir);
    QVERIFY(QFile::setPermissions(dir,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::WriteOther | QFile::ExeOther));
    makeFile(dir + QStringLiteral("/file"));
    UpdateIniData::modify(1200, dir, QStringLiteral("client_linux_amd64"));

    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    engine.cleanup();

    QCOMPARE(messages.count(), 2);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Remove temporary files..."));
    QCOMPARE(messages.at(1).at(0).toString(), QStringLiteral("Temporary files removed."));
    QVERIFY(QFileInfo::exists(dir + QStringLiteral("/file")));
}

UpdateEngine::Options tst_UpdateEngine::startBannerServer(LocalServers &servers,
                                                          const QString &imageUrl)
{
    const LocalServers::RefServer server = servers.startRefServer(
        {QStringLiteral("--banner"), imageUrl + QStringLiteral(",https://morvane.example/news")});
    UpdateEngine::Options options;
    options.banner = {QStringLiteral("127.0.0.1"), server.bannerPort};
    return options;
}

void tst_UpdateEngine::bannerImageSizeIsLimited_data()
{
    QTest::addColumn<int>("size"); // 0: an endless reply without a length
    QTest::addColumn<bool>("delivered");

    QTest::newRow("270000 bytes") << 270000 << true;
    QTest::newRow("270001 bytes") << 270001 << false;
    QTest::newRow("endless, without a length") << 0 << false;
}

// The image is held to its limit while it arrives, so that a banner server
// cannot fill the memory.
void tst_UpdateEngine::bannerImageSizeIsLimited()
{
    QFETCH(int, size);
    QFETCH(bool, delivered);

    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 7 + i / 251);
    LocalServers servers;
    FaultServer endless(QByteArray("small"));
    QString imageUrl;
    if (size == 0) {
        QVERIFY(endless.start());
        imageUrl = endless.baseUrl() + QStringLiteral("/endless/banner.png");
    } else {
        const QString webRoot = makeDir(m_root->filePath(QStringLiteral("www")));
        makeFile(webRoot + QStringLiteral("/banner.png"), image);
        const QString baseUrl = servers.startNginx(webRoot);
        QVERIFY(!baseUrl.isEmpty());
        imageUrl = baseUrl + QStringLiteral("/banner.png");
    }
    const UpdateEngine::Options options = startBannerServer(servers, imageUrl);
    QVERIFY(options.banner.port != 0);

    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr, options);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    if (delivered) {
        QVERIFY(found.wait(5000));
        QCOMPARE(found.at(0).at(0).toByteArray(), image);
        QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("https://morvane.example/news"));
    } else {
        QTRY_VERIFY(size == 0 ? endless.requestCount(QStringLiteral("endless")) == 1
                              : servers.nginxAccessLog().contains("GET /banner.png"));
        QTRY_VERIFY(!engine.m_bannerReply);
        QVERIFY(!found.wait(300));
    }
}

void tst_UpdateEngine::bannerLookupIsNotRepeatedDuringTransfer()
{
    FaultServer server(QByteArray("small"));
    QVERIFY(server.start());
    LocalServers servers;
    const UpdateEngine::Options options
        = startBannerServer(servers, server.baseUrl() + QStringLiteral("/stall/banner.png"));
    QVERIFY(options.banner.port != 0);

    Configuration configuration;
    TestableUpdateEngine engine(configuration, nullptr, options);
    engine.getBanner();
    QTRY_COMPARE(server.requestCount(QStringLiteral("stall")), 1);
    QVERIFY(engine.m_bannerReply);
    engine.getBanner();
    QCOMPARE(engine.findChildren<Banner *>().size(), 1);
}

QTEST_GUILESS_MAIN(tst_UpdateEngine)
#include "tst_updateengine.moc"
