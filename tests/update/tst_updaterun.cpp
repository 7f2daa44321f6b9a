#include "update/updateengine.h"

#include "app/configuration.h"
#include "app/startup.h"
#include "fileops/fileophook.h"
#include "net/mirrors.h"
#include "net/random.h"
#include "tasks/foldersync.h"
#include "update/maintaskspecification.h"
#include "update/replacementjournal.h"
#include "update/updateinidata.h"

#include "cancelonmessage.h"
#include "faultserver.h"
#include "localservers.h"
#include "net/downloadtaskspecification.h"
#include "releasebuilder.h"
#include "scopedapproot.h"
#include "scopedmount.h"
#include "startupsettings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace {

const int OldVersion = 1;
const int NewVersion = 2;
const int LaterVersion = 3;
// Version 1 with files renamed (one of them compressed) and one duplicated.
const int RenamedVersion = 4;
const char interruptedRunOption[] = "--interrupted-run";
const QStringList InstallationFiles = {QStringLiteral("update.ini"), QStringLiteral("mirrors.ini"),
                                       QStringLiteral("update.digests")};

enum Outcome { NotPrepared, TimedOut, Succeeded, Canceled };

QString fileName(const QString &line)
{
    return line.section(QLatin1Char(' '), 0, 0).section(QLatin1Char('/'), -1);
}

// Snapshot lines without those of the "_old_" copies and what they hold.
QStringList withoutOldCopies(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (!line.contains(QRegularExpression(QStringLiteral("(^|/)_old_"))))
            result.append(line);
    }
    return result;
}

// Snapshot lines of files only.
QStringList filesOnly(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines) {
        if (!line.endsWith(QLatin1Char('/')))
            result.append(line);
    }
    return result;
}

// A directory in which nobody, root included, can create, rename or remove
// entries: immutable for root, read-only for anyone else.
bool makeUnwritable(const QString &dir)
{
    if (::geteuid() == 0) {
        const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags |= FS_IMMUTABLE_FL;
        ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        if (!ok)
            return false;
    } else {
        QFile::setPermissions(dir,
                              QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
    QFile probe(dir + QStringLiteral("/probe"));
    if (probe.open(QIODevice::WriteOnly)) {
        probe.remove();
        return false;
    }
    return true;
}

void makeWritable(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }
    QFile::setPermissions(dir,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

// The permission bits of a file, as the shell shows them.
int mode(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return int(status.st_mode & 07777);
}

bool editProductIni(const QString &path, const std::function<void(QSettings &)> &edit)
{
    QSettings ini(path, QSettings::IniFormat);
    edit(ini);
    ini.sync();
    return ini.status() == QSettings::NoError;
}

std::atomic<int> fileOperationsLeft {0};

void killAtLastFileOperation()
{
    if (--fileOperationsLeft == 0)
        ::kill(::getpid(), SIGKILL);
}

} // namespace

// Whole update runs: the engine, without the window, prepares and runs the
// whole road from the product ini to the deletion of obsolete files against
// real mirrors (nginx, and vsftpd in one case) holding releases made by
// mrvpublish, in a temporary installation with a private system temporary
// directory.
class tst_UpdateRun : public QObject
{
    Q_OBJECT
public:
    static int runInterrupted(const QStringList &arguments);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshInstallIntoEmptyRoot_data();
    void freshInstallIntoEmptyRoot();
    void updateInstallsNewVersionExactly_data();
    void updateInstallsNewVersionExactly();
    void successfulRunEndsWithCleanupLines();
    void deletionsNeitherStrandNorFailTheRun();
    void resetDuringRunForgetsTheRun();
    void cancelledDownloadsAreResumedBySameVersion();
    void corruptMirrorIsDropped();
    void failedReplacementLeavesInstallationAsBefore_data();
    void failedReplacementLeavesInstallationAsBefore();
    void userCancelInEachStep_data();
    void userCancelInEachStep();
    void tamperedProductIniOnOneMirrorIsRetried();
    void productIniPathOutsideTheRootIsRefused_data();
    void productIniPathOutsideTheRootIsRefused();
    void failedRunNamesItsCause_data();
    void failedRunNamesItsCause();
    void fileMissingOnEveryMirrorIsNamed();
    void changedPartIsFetchedWhole();
    void hostileMirrorChangesNothing_data();
    void hostileMirrorChangesNothing();
    void updateByPatches_data();
    void updateByPatches();
    void timeOutEndingTheRunBringsNoFiguresBack();
    void killAtEveryFileOperationLeavesEveryFileWhole();
    void renamedFilesAreCopiedFromTheInstallation_data();
    void renamedFilesAreCopiedFromTheInstallation();

private:
    QString appRoot() const { return m_root->path(); }
    QString systemTemp() const { return m_root->tempPath(); }
    QString mirrorTree(const QString &name) const { return m_builder.path("mirrors/" + name); }
    bool prepare(int installedVersion, const QStringList &mirrorUrls,
                 const QVariantMap &settings = {});
    void makeEngine();
    // Runs the engine; the mirror choice draws draws first, and then from
    // the generator seeded with the time.
    Outcome run(const QVector<int> &draws = {});
    QStringList installation(bool withModes = true) const;
    // The update sessions' directories in the system temporary directory.
    QStringList sessionDirs() const;
    QStringList clientSnapshot(int version) const;
    // Keys of the new release's product ini that an update from the old
    // version has to download.
    QStringList changedKeys(int version = NewVersion) const;
    qint64 publishedSize(const QString &key) const;
    bool makeFaultyMirror(const QString &name, const std::function<bool(const QString &)> &fault,
                          const QString &from = QStringLiteral("good"), int version = NewVersion);
    // The release and the installation of fault, the root and the session on
    // tmpfs volumes with share (on the volume named; else 1.1) times the peak free.
    void prepareAtShareOfPeak(const QString &fault, double share);

    ReleaseBuilder m_builder;
    int m_targetVersion = NewVersion;

    // Per test.
    std::unique_ptr<ScopedAppRoot> m_root;
    std::unique_ptr<LocalServers> m_servers;
    std::unique_ptr<Configuration> m_configuration;
    std::unique_ptr<UpdateEngine> m_engine;
    QStringList m_unwritableDirs;
    std::vector<std::unique_ptr<ScopedMount>> m_mounts;
    QStringList m_causes; // failureCause lines
    QStringList m_log; // message lines
    QStringList m_events; // every signal of the engine but updateProgress
    qreal m_lastProgress = -1;
    QRegularExpression m_tickPattern;
    bool m_handTickPending = false;
    QString m_handTick; // what the tick driven by hand reported
    bool m_timerRanDuringRun = false;
};

void tst_UpdateRun::initTestCase()
{
    if (!ReleaseBuilder::updaterTrustsDevelopmentKey())
        QSKIP("built with another public key than the development key");
    QVERIFY(m_builder.isValid());
    for (int version : {OldVersion, NewVersion, LaterVersion})
        QVERIFY2(!m_builder.makeClient(version, ReleaseBuilder::sampleClient(version)).isEmpty(),
                 qPrintable(m_builder.errorString()));
    QVERIFY2(m_builder.publish(NewVersion, mirrorTree("good"), ReleaseBuilder::sampleGzipGlobs(),
                               OldVersion),
             qPrintable(m_builder.errorString()));
    ReleaseBuilder::Files renamed = ReleaseBuilder::sampleClient(OldVersion);
    renamed.insert("docs/readme.txt", renamed.take("data/readme.txt"));
    renamed.insert("data/levels/first.dat", renamed.take("data/levels/level1.dat"));
    renamed.insert("data/textures2.pak", renamed.value("data/textures.pak"));
    QVERIFY(!m_builder.makeClient(RenamedVersion, renamed).isEmpty());
    QVERIFY2(m_builder.publish(RenamedVersion, mirrorTree("renamed"),
                               ReleaseBuilder::sampleGzipGlobs(), OldVersion),
             qPrintable(m_builder.errorString()));
    // A mirror with patches: version 2 from version 1, version 3 from version 2.
    for (int version : {NewVersion, LaterVersion})
        QVERIFY2(m_builder.publish(version, mirrorTree("patched"),
                                   ReleaseBuilder::sampleGzipGlobs(), OldVersion, {version - 1}),
                 qPrintable(m_builder.errorString()));
}

void tst_UpdateRun::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
    m_servers = std::make_unique<LocalServers>();
    m_log.clear();
    m_events.clear();
    m_causes.clear();
    m_lastProgress = -1;
    m_tickPattern = QRegularExpression();
    m_handTickPending = false;
    m_handTick.clear();
    m_timerRanDuringRun = false;
    m_targetVersion = NewVersion;
}

void tst_UpdateRun::cleanup()
{
    m_engine.reset();
    QThreadPool::globalInstance()->waitForDone();
    m_configuration.reset();
    m_servers.reset();
    for (const QString &dir : std::as_const(m_unwritableDirs))
        makeWritable(dir);
    m_unwritableDirs.clear();
    m_mounts.clear();
    m_root.reset();
}

bool tst_UpdateRun::prepare(int installedVersion, const QStringList &mirrorUrls,
                            const QVariantMap &settings)
{
    for (const QString &url : mirrorUrls) {
        if (url.isEmpty())
            return false;
    }
    if (!m_builder.prepareAppRoot(appRoot(), installedVersion, mirrorUrls, settings)) {
        qWarning() << m_builder.errorString();
        return false;
    }
    makeEngine();
    return true;
}

void tst_UpdateRun::makeEngine()
{
    m_engine.reset();
    m_configuration = std::make_unique<Configuration>();
    m_configuration->m_clientType = ReleaseBuilder::CLIENT_TYPE;
    m_configuration->m_clientVersion = m_targetVersion;
    m_engine = std::make_unique<UpdateEngine>(startupSettings(*m_configuration), nullptr);
    Startup::connectEngine(*m_engine, *m_configuration);
    UpdateEngine *engine = m_engine.get();

    connect(engine, &UpdateEngine::message, this, [this, engine](const QString &line) {
        m_log.append(line);
        m_events.append(QStringLiteral("message: ") + line);
        if (auto *timer = engine->findChild<QTimer *>(); timer && timer->isActive())
            m_timerRanDuringRun = true;
        if (m_tickPattern.isValid() && !m_tickPattern.pattern().isEmpty()
            && m_tickPattern.match(line).hasMatch()) {
            m_tickPattern = QRegularExpression();
            m_handTickPending = true;
            // The one-second tick, driven by hand.
            QMetaObject::invokeMethod(engine, "onTimer", Qt::QueuedConnection);
        }
    });
    connect(engine, &UpdateEngine::error, this,
            [this](const QString &text) { m_events.append(QStringLiteral("error: ") + text); });
    connect(engine, &UpdateEngine::fatalError, this, [this](const QString &text) {
        m_events.append(QStringLiteral("fatalError: ") + text);
    });
    connect(engine, &UpdateEngine::updateProgress, this,
            [this](qreal value) { m_lastProgress = value; });
    connect(engine, &UpdateEngine::downloadProgress, this,
            [this](quint64 done, quint64 total, quint64 speed, bool downloading) {
                const QString line = QStringLiteral("downloadProgress %1 %2 %3 %4")
                                         .arg(done)
                                         .arg(total)
                                         .arg(speed)
                                         .arg(downloading ? "true" : "false");
                m_events.append(line);
                if (m_handTickPending) {
                    m_handTickPending = false;
                    m_handTick = line;
                }
            });
    connect(engine, &UpdateEngine::failureCause, this,
            [this](const QString &text) { m_causes.append(text); });
    connect(engine, &UpdateEngine::updateFinished, this,
            [this] { m_events.append(QStringLiteral("updateFinished")); });
    connect(engine, &UpdateEngine::updateCanceled, this,
            [this] { m_events.append(QStringLiteral("updateCanceled")); });
}

Outcome tst_UpdateRun::run(const QVector<int> &draws)
{
    UpdateEngine::Options options = m_engine->options();
    options.random = Random::sequence(draws);
    if (m_servers) // gone where no mirror answers any more
        options.caCertificates = m_servers->caCertificates();
    m_engine->setOptions(options);
    if (!m_engine->initialize())
        return NotPrepared;
    QEventLoop loop;
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    connect(m_engine.get(), &UpdateEngine::updateFinished, &loop, &QEventLoop::quit);
    connect(m_engine.get(), &UpdateEngine::updateCanceled, &loop, &QEventLoop::quit);
    connect(m_engine.get(), &UpdateEngine::fatalError, &loop, &QEventLoop::quit);
    m_engine->startUpdate();
    loop.exec();
    if (m_events.endsWith(QStringLiteral("updateFinished")))
        return Succeeded;
    if (m_events.endsWith(QStringLiteral("updateCanceled")))
        return Canceled;
    return TimedOut;
}

QStringList tst_UpdateRun::installation(bool withModes) const
{
    return ReleaseBuilder::snapshot(appRoot(), withModes, InstallationFiles);
}

QStringList tst_UpdateRun::sessionDirs() const
{
    return QDir(systemTemp())
        .entryList({QStringLiteral("morvane_temp_*")}, QDir::AllEntries | QDir::NoDotAndDotDot);
}

QStringList tst_UpdateRun::clientSnapshot(int version) const
{
    return ReleaseBuilder::snapshot(m_builder.clientDir(version), false);
}

QStringList tst_UpdateRun::changedKeys(int version) const
{
    const ReleaseBuilder::Files oldFiles = ReleaseBuilder::sampleClient(OldVersion);
    const ReleaseBuilder::Files newFiles = ReleaseBuilder::sampleClient(version);
    QStringList keys;
    for (auto it = newFiles.cbegin(); it != newFiles.cend(); ++it) {
        if (oldFiles.value(it.key()) == it.value())
            continue;
        keys.append(it.key().endsWith(QLatin1String(".dat")) ? it.key() + QStringLiteral(".gz")
                                                             : it.key());
    }
    keys.sort();
    return keys;
}

qint64 tst_UpdateRun::publishedSize(const QString &key) const
{
    return QFileInfo(
               QStringLiteral("%1/%2/files/%3").arg(mirrorTree("good")).arg(NewVersion).arg(key))
        .size();
}

bool tst_UpdateRun::makeFaultyMirror(const QString &name,
                                     const std::function<bool(const QString &)> &fault,
                                     const QString &from, int version)
{
    if (QFileInfo::exists(mirrorTree(name)))
        QDir(mirrorTree(name)).removeRecursively();
    if (!m_builder.copyTree(mirrorTree(from), mirrorTree(name))) {
        qWarning() << m_builder.errorString();
        return false;
    }
    return fault(mirrorTree(name) + QLatin1Char('/') + QString::number(version));
}

void tst_UpdateRun::freshInstallIntoEmptyRoot_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
    QTest::newRow("ftp") << "ftp";
}

void tst_UpdateRun::freshInstallIntoEmptyRoot()
{
    QFETCH(QString, server);
    const QString url = server == QLatin1String("ftp")
        ? m_servers->startFtp(mirrorTree("good"))
        : m_servers->startNginx(mirrorTree("good"), server == QLatin1String("https"));
    QVERIFY(prepare(0, {url}));

    QCOMPARE(run(), Succeeded);
    QCOMPARE(installation(false), clientSnapshot(NewVersion));
    // Client binaries, scripts and libraries: executable by everyone,
    // writable by the owner only; the rest as downloaded.
    for (const QString &path : {"mrvclient_linux_amd64", "mrvclient_runscript.sh", "update",
                                "libQtCore.so.4", "lib/libgame.so"})
        QCOMPARE(mode(appRoot() + QLatin1Char('/') + path), 0755);
    QCOMPARE(mode(appRoot() + QStringLiteral("/data/readme.txt")) & 0133, 0);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    QCOMPARE(sessionDirs(), QStringList());
}

void tst_UpdateRun::updateInstallsNewVersionExactly_data()
{
    QTest::addColumn<QString>("size"); // of lib/libgame.so in the product ini; empty: as published
    QTest::newRow("as published") << "";
    QTest::newRow("size not a number") << "many";
    QTest::newRow("size 0 for a file with bytes") << "0";
}

// Changed, new, unchanged, gzip-compressed, obsolete and new-subdirectory
// files: afterwards the installation is the new version byte for byte, the
// binaries and libraries are executable by everyone and writable by their
// owner only, only the special files keep an old copy, and nothing but the
// changed files was fetched.
void tst_UpdateRun::updateInstallsNewVersionExactly()
{
    QFETCH(QString, size);
    const QString tree = size.isEmpty() ? QStringLiteral("good") : QStringLiteral("sizes");
    const QString key = QStringLiteral("files/lib/libgame.so");
    const auto setSize = [&](QSettings &ini) {
        ini.setValue(key, ini.value(key).toString().section("::", 0, 0) + "::" + size);
    };
    const QString ini = ReleaseBuilder::productIniPath(mirrorTree(tree), NewVersion);
    if (!size.isEmpty())
        QVERIFY(makeFaultyMirror(tree, [](const QString &) { return true; })
                && editProductIni(ini, setSize) && m_builder.sign(ini));
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree(tree))}));

    QCOMPARE(run(), Succeeded);

    QCOMPARE(m_log.filter("gives no usable size for lib/libgame.so").size(),
             size.isEmpty() ? 0 : 1);
    QStringList expected = clientSnapshot(NewVersion);
    QCOMPARE(withoutOldCopies(installation(false)), expected);
    QStringList oldCopies;
    for (const QString &line : installation(false)) {
        if (fileName(line).startsWith(QLatin1String("_old_")))
            oldCopies.append(line.section(QLatin1Char(' '), 0, 0));
    }
    QCOMPARE(oldCopies, QStringList {QStringLiteral("_old_update")});

    for (const QString &path : {"mrvclient_linux_amd64", "update", "lib/libgame.so"})
        QCOMPARE(mode(appRoot() + QLatin1Char('/') + path), 0755);
    for (const QString &path : {"data/news.txt", "data/levels/level1.dat"})
        QCOMPARE(mode(appRoot() + QLatin1Char('/') + path) & 0111, 0);

    QStringList fetched;
    for (const QString &path : LocalServers::requestedPaths(m_servers->nginxAccessLog()))
        fetched.append(path.section(QLatin1Char('/'), 2));
    QStringList wanted {QStringLiteral("client_linux_amd64.ini"),
                        QStringLiteral("client_linux_amd64.ini.sig")};
    for (const QString &key : changedKeys())
        wanted.append(QStringLiteral("files/") + key);
    fetched.sort();
    wanted.sort();
    QCOMPARE(fetched, wanted);
    QVERIFY(qFuzzyCompare(m_lastProgress, 1.0));
    // Named to the engine, not offered by the update server: no floor for its offers.
    QCOMPARE(Configuration::getInstalledVersion(ReleaseBuilder::CLIENT_TYPE, StableChannel), 0);
}

const QString summaryOneToTwo = QStringLiteral(
    "Version 2 installed: 7 files replaced (7 fetched, 0 patched, 0 copied locally), %1 files "
    "deleted");

// The end of a successful run, as the window sees it; the timer ran only
// while the run did.
void tst_UpdateRun::successfulRunEndsWithCleanupLines()
{
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("good"))}));
    m_engine->cancelUpdate(); // nothing runs yet

    static QStringList *syncEvents = nullptr;
    syncEvents = &m_events;
    FolderSync::setObserver([](const QByteArray &folder) {
        syncEvents->append(QStringLiteral("synced ") + QFile::decodeName(folder));
    });
    const auto noObserver = qScopeGuard([] { FolderSync::setObserver(nullptr); });

    QCOMPARE(run(), Succeeded);

    // Every folder that a file was renamed into, or deleted from, is on the
    // disk before success is reported; the removed session record too.
    const int success = int(m_events.indexOf(QStringLiteral("message: Update successfully finished")));
    QStringList folders {appRoot()};
    for (const QString &key : changedKeys(NewVersion))
        folders.append(QFileInfo(appRoot() + QLatin1Char('/') + key).path());
    for (const QString &folder : std::as_const(folders)) {
        const int synced = int(m_events.indexOf(QStringLiteral("synced ") + folder));
        QVERIFY2(synced >= 0 && synced < success, qPrintable(folder));
    }
    QVERIFY(m_events.lastIndexOf(QStringLiteral("synced ") + appRoot())
            > m_events.indexOf(QStringLiteral("message: Remove temporary files...")));

    const QStringList expectedEnd {QStringLiteral("message: Remove temporary files..."),
                                   QStringLiteral("message: Temporary files removed."),
                                   QStringLiteral("message: ") + summaryOneToTwo.arg(2),
                                   QStringLiteral("message: Update successfully finished"),
                                   QStringLiteral("downloadProgress 0 0 0 false"),
                                   QStringLiteral("updateFinished")};
    const QStringList signalled = m_events.filter(QRegularExpression(QStringLiteral("^(?!synced )")));
    QCOMPARE(signalled.mid(signalled.size() - expectedEnd.size()), expectedEnd);
    QCOMPARE(m_log.first(), QStringLiteral("Starting update process"));
    QCOMPARE(m_events.filter(QRegularExpression("^(error|fatalError): ")), QStringList());
    QVERIFY(m_timerRanDuringRun);
    QVERIFY(!m_engine->findChild<QTimer *>()->isActive());
    QVERIFY(!m_engine->busy());

    // The main task goes with the next pass of the event loop; a cancel
    // after the end changes nothing.
    const int events = int(m_events.size());
    m_engine->cancelUpdate();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!m_engine->findChild<MainTaskSpecification *>());
    QCOMPARE(m_events.size(), events);
}

// [delete] names the updater's own files, and a file in a read-only folder
// where nothing else is written: the run succeeds, and only the others go.
void tst_UpdateRun::deletionsNeitherStrandNorFailTheRun()
{
    const QStringList needed {"update", "mrvclient_runscript.sh", "update.ini", "mirrors.ini"};
    const auto listDeletes = [&](QSettings &settings) {
        for (const QString &key : needed + QStringList {"extras/gone.txt"})
            settings.setValue("delete/" + key, QString());
    };
    QVERIFY(makeFaultyMirror("deletes", [&](const QString &release) {
        const QString ini = release + QStringLiteral("/client_linux_amd64.ini");
        return editProductIni(ini, listDeletes) && m_builder.sign(ini);
    }));
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("deletes"))}));
    const QString extras = appRoot() + QStringLiteral("/extras");
    QVERIFY(QDir().mkpath(extras) && QFile(extras + "/gone.txt").open(QIODevice::WriteOnly));
    m_unwritableDirs.append(extras);
    if (!makeUnwritable(extras))
        QSKIP("cannot make a directory unwritable here");

    QCOMPARE(run(), Succeeded);

    QCOMPARE(withoutOldCopies(installation(false)).filter(QRegularExpression("^(?!extras/)")),
             clientSnapshot(NewVersion));
    QVERIFY(m_log.contains("Not deleting mirrors.ini: the updater needs it"));
    QVERIFY(m_log.contains("Could not delete extras/gone.txt; it stays")
            && QFileInfo::exists(extras + "/gone.txt"));
    QVERIFY2(m_log.contains(summaryOneToTwo.arg(2)), qPrintable(m_log.join('\n')));
}

// reset() during a run lets go of it: the main task is disconnected and
// deleted, the timer stops, and nothing of the run reaches the window.
void tst_UpdateRun::resetDuringRunForgetsTheRun()
{
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("good"))}));
    UpdateEngine *engine = m_engine.get();
    int events = -1;
    connect(engine, &UpdateEngine::message, this, [&](const QString &line) {
        if (line != QLatin1String("Downloading files"))
            return;
        QTimer::singleShot(0, engine, [&] {
            engine->reset();
            events = int(m_events.size());
        });
    });
    QVERIFY(engine->initialize());
    engine->startUpdate();
    QVERIFY(engine->busy());
    QVERIFY(engine->findChild<QTimer *>()->isActive());
    QTRY_VERIFY(events >= 0);
    QVERIFY(!m_events.contains(QStringLiteral("updateFinished")));

    QTest::qWait(300);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QCOMPARE(m_events.size(), events);
    QVERIFY(!m_engine->busy());
    QVERIFY(!m_engine->findChild<QTimer *>()->isActive());
    QVERIFY(!m_engine->findChild<MainTaskSpecification *>());
}

// A run cancelled during its downloads keeps its temporary directory; the
// next run for the same version reuses it and fetches only what is missing.
void tst_UpdateRun::cancelledDownloadsAreResumedBySameVersion()
{
    // One download at a time, so that the cancel comes after exactly two files.
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("good"))},
                    {{QStringLiteral("update/streams"), 1}}));
    cancelOnMessage(m_engine.get(), QStringLiteral("^Downloading files/.* finished$"), 2);
    m_tickPattern = QRegularExpression(QStringLiteral("^Downloading files$"));

    QCOMPARE(run(), Canceled);
    QCOMPARE(m_log.last(), QStringLiteral("User aborted update"));

    // The tick during the downloads shows the product ini's total of the
    // files to fetch, plus the product ini and its signature, whose
    // finished downloads count as well.
    const QString release = QStringLiteral("%1/%2/").arg(mirrorTree("good")).arg(NewVersion);
    qint64 total = QFileInfo(release + "client_linux_amd64.ini").size()
        + QFileInfo(release + "client_linux_amd64.ini.sig").size();
    for (const QString &key : changedKeys())
        total += publishedSize(key);
    QCOMPARE(m_handTick.section(' ', 2, 2), QString::number(total));

    const QString tempDir = m_configuration->m_tempDir;
    int recordVersion = 0;
    QString recordDir;
    QVERIFY(UpdateIniData::get(&recordVersion, nullptr, &recordDir));
    QCOMPARE(recordVersion, NewVersion);
    QCOMPARE(recordDir, tempDir);
    // Whole files are kept; a part cut by the cancel is continued later.
    QStringList present;
    for (const QString &key : changedKeys()) {
        if (QFileInfo(tempDir + QLatin1Char('/') + key).size() == publishedSize(key))
            present.append(key);
    }
    QCOMPARE(present.size(), 2);
    // nginx logs a request once it has answered it, which under load may be
    // after the cancel was handled: the count is taken once it stays put.
    int requestsBefore = -1;
    for (int seen = -2; seen != requestsBefore; QTest::qWait(200)) {
        seen = requestsBefore;
        requestsBefore = int(LocalServers::requestedPaths(m_servers->nginxAccessLog()).size());
    }

    m_engine->reset();
    m_log.clear();
    QCOMPARE(run(), Succeeded);

    QVERIFY(m_log.contains(QStringLiteral("Previous update session for v. 2 found")));
    QCOMPARE(m_configuration->m_tempDir, tempDir);
    QStringList fetched
        = LocalServers::requestedPaths(m_servers->nginxAccessLog()).mid(requestsBefore);
    QStringList wanted;
    for (const QString &key : changedKeys()) {
        if (!present.contains(key))
            wanted.append(QStringLiteral("/2/files/") + key);
    }
    fetched.sort();
    QCOMPARE(fetched, wanted);
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(NewVersion));
    QVERIFY(!QFileInfo::exists(tempDir));
}

// The first mirror serves one file with a changed byte. Every download goes
// to it while it is in the list (one at a time, with a seed that draws it),
// so the bad file certainly comes from it: the mirror is dropped, the file
// is fetched from the other mirror, and the first mirror gets no request
// after the bad file.
void tst_UpdateRun::corruptMirrorIsDropped()
{
    const QString corrupted = QStringLiteral("lib/libgame.so");
    QVERIFY(makeFaultyMirror("corrupt", [&](const QString &release) {
        QFile file(release + QStringLiteral("/files/") + corrupted);
        if (!file.open(QIODevice::ReadWrite))
            return false;
        QByteArray data = file.readAll();
        data[data.size() / 2] = char(data[data.size() / 2] ^ 0x20);
        file.seek(0);
        return file.write(data) == data.size();
    }));
    const QString goodUrl = m_servers->startNginx(mirrorTree("good"));
    const QString corruptUrl = m_servers->startNginx(mirrorTree("corrupt"));
    QVERIFY(prepare(OldVersion, {corruptUrl, goodUrl}, {{QStringLiteral("update/streams"), 1}}));
    // Two mirrors of three slots each: a draw of 0 picks the first.
    const int downloads = 2 + int(changedKeys().size());
    QCOMPARE(run(QVector<int>(downloads, 0)), Succeeded);

    QVERIFY2(
        m_log.contains(QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying")
                           .arg(corrupted)),
        qPrintable(m_log.join('\n')));
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(NewVersion));
    const QStringList fromCorrupt = LocalServers::requestedPaths(m_servers->nginxAccessLog());
    QCOMPARE(fromCorrupt.last(), QStringLiteral("/2/files/") + corrupted);
    QCOMPARE(fromCorrupt.count(QStringLiteral("/2/files/") + corrupted), 1);
    QVERIFY(LocalServers::requestedPaths(m_servers->nginxAccessLog(goodUrl))
                .contains(QStringLiteral("/2/files/") + corrupted));
    auto *mirrors = m_engine->findChild<Mirrors *>();
    QVERIFY(mirrors);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("m1")), -1);
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("m2")), 0);
}

void tst_UpdateRun::failedReplacementLeavesInstallationAsBefore_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause");
    QTest::newRow("destination not writable")
        << "unwritable" << "ROOT/lib cannot be written to (read-only, or no permission).";
    QTest::newRow("unpacked file with wrong md5")
        << "badunzip" << "The new files could not be installed in ROOT.";
}

// The fourth of seven files cannot be installed (its folder turned read-only
// after the run was checked), or the fifth unpacks to the wrong data: the
// files installed before are put back, the new directories removed, and the
// installation is byte for byte, mode for mode, what it was.
void tst_UpdateRun::failedReplacementLeavesInstallationAsBefore()
{
    QFETCH(QString, fault);
    QFETCH(QString, cause);
    QString mirror = QStringLiteral("good");
    if (fault == QLatin1String("badunzip")) {
        // theme.ogg published compressed, with a wrong sum for its unpacked form.
        mirror = QStringLiteral("badunzip");
        QDir(mirrorTree(mirror)).removeRecursively();
        ReleaseBuilder builder;
        QVERIFY(
            !builder.makeClient(OldVersion, ReleaseBuilder::sampleClient(OldVersion)).isEmpty());
        QVERIFY(
            !builder.makeClient(NewVersion, ReleaseBuilder::sampleClient(NewVersion)).isEmpty());
        QVERIFY2(builder.publish(NewVersion, mirrorTree(mirror),
                                 {QStringLiteral("*.dat"), QStringLiteral("*.ogg")}, OldVersion),
                 qPrintable(builder.errorString()));
        const QString ini = ReleaseBuilder::productIniPath(mirrorTree(mirror), NewVersion);
        QVERIFY(editProductIni(ini, [](QSettings &settings) {
            const QString key = QStringLiteral("files/media/music/theme.ogg.gz");
            QStringList fields = settings.value(key).toString().split(QStringLiteral("::"));
            fields[2] = QString(32, QLatin1Char('0'));
            settings.setValue(key, fields.join(QStringLiteral("::")));
        }));
        QVERIFY2(builder.sign(ini), qPrintable(builder.errorString()));
    }
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree(mirror))}));
    const QString lib = appRoot() + QStringLiteral("/lib");
    bool unwritable = false;
    if (fault == QLatin1String("unwritable")) {
        m_unwritableDirs.append(lib);
        connect(m_engine.get(), &UpdateEngine::message, this, [&](const QString &line) {
            if (line == QLatin1String("Downloading files"))
                unwritable = makeUnwritable(lib);
        });
    }
    const QStringList before = installation();

    QCOMPARE(run(), Canceled);

    if (fault == QLatin1String("unwritable")) {
        if (!unwritable)
            QSKIP("cannot make a directory unwritable here");
        makeWritable(lib);
    }
    QCOMPARE(installation(), before);
    QCOMPARE(m_causes, QStringList(cause.replace(QLatin1String("ROOT"), appRoot())));
    QVERIFY2(m_log.contains(QStringLiteral("rolling back file updates")),
             qPrintable(m_log.join('\n')));
    QVERIFY(!m_log.contains(QStringLiteral("User aborted update")));
    if (fault == QLatin1String("badunzip"))
        QVERIFY(m_log.filter(QRegularExpression("^Signature check failed for .*theme.ogg$")).size()
                == 1);
    // Files were installed before the failure, and taken back.
    QVERIFY(m_log.indexOf(QRegularExpression("^add/replace data/news.txt$")) >= 0);
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
    QVERIFY(QFileInfo::exists(m_configuration->m_tempDir));
}

void tst_UpdateRun::userCancelInEachStep_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<bool>("direct");
    QTest::addColumn<bool>("installationChanged");

    QTest::newRow("product ini") << "^Downloading client_linux_amd64.ini$" << 1 << false << false;
    // While the lists are compiled on the pool: the line arrives from there.
    QTest::newRow("file lists") << "^Compiling download and replace list$" << 1 << true << false;
    QTest::newRow("downloads") << "^Downloading files/" << 2 << false << false;
    QTest::newRow("replacement") << "^add/replace " << 3 << false << false;
    QTest::newRow("deletion") << "^Starting deleting files$" << 1 << false << true;
}

// A cancel in any of the five steps ends the run with "User aborted update";
// a replacement under way is taken back completely; the temporary directory
// and the session record stay, and the next attempt completes the update.
void tst_UpdateRun::userCancelInEachStep()
{
    QFETCH(QString, trigger);
    QFETCH(int, occurrence);
    QFETCH(bool, direct);
    QFETCH(bool, installationChanged);

    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("good"))}));
    const QStringList before = installation();
    cancelOnMessage(m_engine.get(), trigger, occurrence,
                    direct ? Qt::DirectConnection : Qt::QueuedConnection);

    QCOMPARE(run(), Canceled);

    const QStringList expectedEnd {QStringLiteral("message: User aborted update"),
                                   QStringLiteral("downloadProgress 0 0 0 false"),
                                   QStringLiteral("updateCanceled")};
    QCOMPARE(m_events.mid(m_events.size() - expectedEnd.size()), expectedEnd);
    if (installationChanged) {
        // The deletion step was stopped before its first deletion.
        for (const QString &line : clientSnapshot(NewVersion))
            QVERIFY2(installation(false).contains(line), qPrintable(line));
        QVERIFY(QFileInfo::exists(appRoot() + QStringLiteral("/data/obsolete.txt")));
    } else {
        QCOMPARE(installation(), before);
    }
    if (trigger.contains(QLatin1String("add/replace")))
        QVERIFY(m_log.contains(QStringLiteral("rolling back file updates")));
    const QString tempDir = m_configuration->m_tempDir;
    QString recordDir;
    QVERIFY(UpdateIniData::get(nullptr, nullptr, &recordDir));
    QCOMPARE(recordDir, tempDir);
    QVERIFY(QFileInfo(tempDir).isDir());

    m_engine->reset();
    m_events.clear();
    QCOMPARE(run(), Succeeded);
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(NewVersion));
}

// One mirror holds a product ini changed after signing (it would delete the
// client binary). Its copy fails the check; the step downloads both files
// again, from the good mirror this time, and the run succeeds with the
// genuine list.
void tst_UpdateRun::tamperedProductIniOnOneMirrorIsRetried()
{
    QVERIFY(makeFaultyMirror("tampered", [](const QString &release) {
        QFile ini(release + QStringLiteral("/client_linux_amd64.ini"));
        if (!ini.open(QIODevice::Append))
            return false;
        return ini.write("\n[delete]\nmrvclient_linux_amd64=\n") > 0;
    }));
    const QString tamperedUrl = m_servers->startNginx(mirrorTree("tampered"));
    const QString goodUrl = m_servers->startNginx(mirrorTree("good"));
    QVERIFY(prepare(OldVersion, {tamperedUrl, goodUrl}));
    // Draws: product ini (from the tampered mirror), signature, then the
    // product ini again (from the good one).
    QCOMPARE(run({0, 0, 3, 3}), Succeeded);

    QCOMPARE(m_log.count(QStringLiteral("Could not verify the product ini file. Retrying")), 1);
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(NewVersion));
    QVERIFY(QFileInfo::exists(appRoot() + QStringLiteral("/mrvclient_linux_amd64")));
}

void tst_UpdateRun::productIniPathOutsideTheRootIsRefused_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("path");

    QTest::newRow("delete key") << "delete/../victim.txt"
                                << ""
                                << "../victim.txt";
    QTest::newRow("file key") << "files/../victim.txt"
                              << "d41d8cd98f00b204e9800998ecf8427e::0"
                              << "../victim.txt";
    QTest::newRow("absolute unpack target")
        << "files/data/levels/level2.dat.gz"
        << "d41d8cd98f00b204e9800998ecf8427e::0::d41d8cd98f00b204e9800998ecf8427e::0::VICTIM"
        << "VICTIM";
}

// A signed product ini that names paths outside the application root is
// refused before anything is fetched, written or deleted.
void tst_UpdateRun::productIniPathOutsideTheRootIsRefused()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, path);

    const QString victim = m_root->workFilePath(QStringLiteral("victim.txt"));
    value.replace(QLatin1String("VICTIM"), victim);
    path.replace(QLatin1String("VICTIM"), victim);
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("outside the installation\n");
    victimFile.close();
    QVERIFY(makeFaultyMirror("unsafe", [&](const QString &release) {
        const QString ini = release + QStringLiteral("/client_linux_amd64.ini");
        return editProductIni(ini, [&](QSettings &settings) { settings.setValue(key, value); })
            && m_builder.sign(ini);
    }));
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("unsafe"))}));
    const QStringList before = installation();

    QCOMPARE(run(), Canceled);

    const QString section = key.section(QLatin1Char('/'), 0, 0);
    bool named = false;
    for (const QString &line : std::as_const(m_log))
        named = named || (line.contains(section) && line.contains(path));
    QVERIFY2(named, qPrintable(m_log.join('\n')));
    QCOMPARE(installation(), before);
    QFile check(victim);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("outside the installation\n"));
    for (const QString &request : LocalServers::requestedPaths(m_servers->nginxAccessLog()))
        QVERIFY2(!request.contains(QLatin1String("/files/")), qPrintable(request));
}

// A file that both mirrors lack fails the run with its name, not as their
// fault: both stay. No "User aborted update", but updateCanceled().
void tst_UpdateRun::fileMissingOnEveryMirrorIsNamed()
{
    const QString missing = QStringLiteral("files/lib/libgame.so");
    QVERIFY(makeFaultyMirror("incomplete", [&](const QString &release) {
        return QFile::remove(release + QLatin1Char('/') + missing);
    }));
    const QString url = m_servers->startNginx(mirrorTree("incomplete"));
    QVERIFY(prepare(OldVersion, {url, url}));
    const QStringList before = installation();

    QCOMPARE(run(), Canceled);

    QVERIFY(m_events.contains("error: File " + missing + " is missing on every mirror"));
    QVERIFY(!m_log.contains(QStringLiteral("User aborted update")));
    QVERIFY(!m_log.contains(QStringLiteral("There are no (more) known working mirrors available")));
    QCOMPARE(m_engine->findChild<Mirrors *>()->getMirrorIndex(QStringLiteral("m2")), 1);
    QCOMPARE(m_events.mid(m_events.size() - 2),
             QStringList({QStringLiteral("downloadProgress 0 0 0 false"),
                          QStringLiteral("updateCanceled")}));
    QCOMPARE(installation(), before);
    QVERIFY(!m_engine->findChild<QTimer *>()->isActive());
    QVERIFY(!m_engine->busy());
}

void tst_UpdateRun::failedRunNamesItsCause_data()
{
    // fault: what stands in the run's way; cause: the player's line, a
    // pattern in which ROOT and SESSION stand for the installation and the
    // session directory; filesFetched: files were asked for before the end.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<bool>("filesFetched");

    const QString noSpace = QStringLiteral(
        "Not enough disk space in %1: the update needs [0-9.]+ kB there, [0-9.]+ kB are free\\.");
    QTest::newRow("session volume full") << "session full" << noSpace.arg("SESSION") << false;
    QTest::newRow("installation volume full") << "root full" << noSpace.arg("ROOT") << false;
    const QString noSpaceMB = QString(noSpace).replace("kB", "MB");
    QTest::newRow("32 MiB patch, session volume at 0.9x peak")
        << "patched session" << noSpaceMB.arg("SESSION") << false;
    QTest::newRow("32 MiB patch, installation volume at 0.9x peak")
        << "patched root" << noSpaceMB.arg("ROOT") << false;
    QTest::newRow("many files, session volume at 0.9x peak")
        << "many session" << noSpaceMB.arg("SESSION") << false;
    QTest::newRow("many files, installation volume at 0.9x peak")
        << "many root" << noSpaceMB.arg("ROOT") << false;
    QTest::newRow("read-only folder")
        << "read-only" << "ROOT/lib cannot be written to \\(read-only, or no permission\\)\\."
        << false;
    QTest::newRow("bind-mounted file")
        << "mounted file"
        << "ROOT/lib/libgame.so cannot be written to \\(read-only, or no permission\\)\\." << false;
    QTest::newRow("release signed with another key")
        << "other key"
        << QRegularExpression::escape(
               "The new version is not signed with this updater's key: the signature check "
               "failed on every mirror that delivered it.")
        << false;
    QTest::newRow("no mirror holds the release")
        << "empty"
        << QRegularExpression::escape("client_linux_amd64.ini is missing on every mirror.")
        << false;
    QTest::newRow("file changed after signing")
        << "changed"
        << QRegularExpression::escape("lib/libgame.so differs from the new version on every "
                                      "mirror that sent it (MD5 sum mismatch).")
        << true;
}

// A run that cannot be completed ends with one line that names why, and the
// installation as it was; where the folders or volumes stand in the way, it
// ends before any file is fetched.
void tst_UpdateRun::failedRunNamesItsCause()
{
    QFETCH(QString, fault);
    QFETCH(QString, cause);
    QFETCH(bool, filesFetched);

    QString mirror = QStringLiteral("good");
    if (fault == QLatin1String("other key") || fault == QLatin1String("changed")) {
        mirror = QStringLiteral("faulty");
        QVERIFY(makeFaultyMirror(mirror, [&](const QString &release) {
            if (fault == QLatin1String("other key"))
                return m_builder.signWithOtherKey(release + QStringLiteral("/client_linux_amd64.ini"));
            QFile file(release + QStringLiteral("/files/lib/libgame.so"));
            return file.open(QIODevice::ReadWrite) && file.seek(100) && file.write("X") == 1;
        }));
    } else if (fault == QLatin1String("empty")) {
        mirror = fault;
        QVERIFY(QDir().mkpath(mirrorTree(mirror)));
    }
    const QString url = m_servers->startNginx(mirrorTree(mirror));
    if (fault == QLatin1String("session full")) {
        // Room for the product ini and its signature (a page each), and two
        // pages more.
        const QString small = m_root->workFilePath(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(small));
        m_mounts.push_back(std::make_unique<ScopedMount>(small, 16384));
        qputenv("TMPDIR", QFile::encodeName(small));
    } else if (fault == QLatin1String("root full")) {
        m_mounts.push_back(std::make_unique<ScopedMount>(appRoot(), 1 << 20));
    }
    if (!m_mounts.empty() && !m_mounts.back()->isValid())
        QSKIP("cannot mount here (not root)");
    QVERIFY(prepare(OldVersion, {url}));
    if (fault == QLatin1String("root full"))
        QVERIFY(m_mounts.back()->shrinkTo(16 * 1024));
    // The same update fits with 1.1 times its peak use free.
    if (fault.startsWith(QLatin1String("patched")) || fault.startsWith(QLatin1String("many"))) {
        if (!ScopedMount(systemTemp(), 4096).isValid())
            QSKIP("cannot mount here (not root)");
        prepareAtShareOfPeak(fault, 1.1);
        QCOMPARE(run(), Succeeded);
        QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(m_targetVersion));
        prepareAtShareOfPeak(fault, 0.9);
    }
    if (fault == QLatin1String("read-only") || fault == QLatin1String("mounted file")) {
        const QString path = fault == QLatin1String("read-only")
            ? QStringLiteral("/lib")
            : QStringLiteral("/lib/libgame.so");
        m_mounts.push_back(std::make_unique<ScopedMount>(appRoot() + path, -1));
        if (!m_mounts.back()->isValid())
            QSKIP("cannot mount here (not root)");
    }
    const QStringList before = installation();

    QCOMPARE(run(), Canceled);

    cause.replace(QLatin1String("ROOT"), QRegularExpression::escape(appRoot()));
    cause.replace(QLatin1String("SESSION"), QRegularExpression::escape(m_configuration->m_tempDir));
    QCOMPARE(m_causes.size(), 1);
    QVERIFY2(QRegularExpression(QLatin1Char('^') + cause + QLatin1Char('$'))
                 .match(m_causes.first())
                 .hasMatch(),
             qPrintable(m_causes.first() + QLatin1Char('\n') + m_log.join('\n')));
    QCOMPARE(installation(), before);
    QVERIFY(m_engine->installationWhole());
    bool fetched = false;
    for (const QString &request : LocalServers::requestedPaths(m_servers->nginxAccessLog()))
        fetched = fetched || request.contains(QLatin1String("/files/"));
    QCOMPARE(fetched, filesFetched);
}

void tst_UpdateRun::prepareAtShareOfPeak(const QString &fault, double share)
{
    // "patched": one file of 32 MiB, changed in four bytes, comes by patch;
    // "many": 64 changed files of 256 KiB, every other one by patch.
    const bool patched = fault.startsWith(QLatin1String("patched"));
    const int installed = patched ? 11 : 13;
    const QString tree = QStringLiteral("peak-") + fault.section(QLatin1Char(' '), 0, 0);
    m_targetVersion = installed + 1;
    const auto random = [](qint64 size, quint32 seed) {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
        return bytes;
    };
    if (!QFileInfo::exists(mirrorTree(tree))) {
        ReleaseBuilder::Files from = ReleaseBuilder::sampleClient(OldVersion);
        ReleaseBuilder::Files to = from;
        for (int i = 0; i < (patched ? 1 : 64); ++i) {
            const QString key = QStringLiteral("data/%1.pak").arg(i);
            from.insert(key, random(patched ? 32 << 20 : 256 << 10, i));
            to.insert(key, i % 2 ? random(256 << 10, 1000 + i)
                                 : QByteArray(from[key]).replace(1000, 4, "next"));
        }
        QVERIFY(!m_builder.makeClient(installed, from).isEmpty()
                && !m_builder.makeClient(m_targetVersion, to).isEmpty());
        QVERIFY2(m_builder.publish(m_targetVersion, mirrorTree(tree), {}, 0, {installed}),
                 qPrintable(m_builder.errorString()));
    }
    // The peaks, measured by polling statvfs: patched, the installed file's
    // private copy and the result in the session, the new file beside the old
    // in the root; many, the files (in the session with two patches' private
    // copies); each with 12 KiB more for the product ini and the lists.
    const qint64 sessionPeak = patched ? 64 << 20 : 33 << 19;
    const qint64 rootPeak = patched ? 32 << 20 : 16 << 20;
    const bool root = fault.endsWith(QLatin1String("root"));
    m_mounts.clear();
    m_mounts.push_back(std::make_unique<ScopedMount>(appRoot(), 1 << 30));
    m_mounts.push_back(std::make_unique<ScopedMount>(systemTemp(), 1 << 30));
    QVERIFY(prepare(installed, {m_servers->startNginx(mirrorTree(tree))}));
    QVERIFY(m_mounts[0]->shrinkTo(qint64((root ? share : 1.1) * rootPeak)));
    QVERIFY(m_mounts[1]->shrinkTo(qint64((root ? 1.1 : share) * sessionPeak)));
}

// A part left in the session directory that is not the start of the file is
// continued, fails its check and is fetched whole; the mirror stays.
void tst_UpdateRun::changedPartIsFetchedWhole()
{
    const QString key = QStringLiteral("lib/libgame.so");
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("good"))}));
    QVERIFY(m_engine->initialize());
    QFile part(m_configuration->m_tempDir + QLatin1Char('/') + key);
    QVERIFY(QDir().mkpath(QFileInfo(part).path()) && part.open(QIODevice::WriteOnly));
    part.write(QByteArray(publishedSize(key) / 2, 'x'));
    part.close();
    makeEngine();

    QCOMPARE(run(), Succeeded);

    QVERIFY2(m_log.contains(
                 QStringLiteral("md5 sum for %1 failed after resuming, fetching the whole file")
                     .arg(key)),
             qPrintable(m_log.join('\n')));
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(NewVersion));
    const QByteArray log = m_servers->nginxAccessLog();
    QVERIFY2(log.contains("/2/files/" + key.toLatin1() + " HTTP/1.1\" 206 "), log.constData());
}

void tst_UpdateRun::hostileMirrorChangesNothing_data()
{
    // pathEnd: the file the fault server answers with fault; edit: a change
    // of the signed product ini ("key=value", or RAW for bytes that are not
    // UTF-8); expected: the line that names the fault.
    QTest::addColumn<QString>("pathEnd");
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("expected");

    const QString tooLong = QStringLiteral("Mirror m1 sent more than the %1 bytes expected of %2, ");
    QTest::newRow("endless product ini")
        << ".ini" << QByteArray("endless") << ""
        << tooLong.arg(33554432).arg("client_linux_amd64.ini");
    QTest::newRow("product ini announced as 1 GiB")
        << ".ini" << QByteArray("huge") << "" << tooLong.arg(33554432).arg("client_linux_amd64.ini");
    QTest::newRow("endless signature") << ".ini.sig" << QByteArray("endless") << ""
                                       << tooLong.arg(1024).arg("client_linux_amd64.ini.sig");
    QTest::newRow("trickling product ini")
        << ".ini" << QByteArray("trickle") << ""
        << "Mirror m1 sent client_linux_amd64.ini at ";
    QTest::newRow("size 0 of an empty file, endless body")
        << "/files/lib/libgame.so" << QByteArray("endless")
        << "files/lib/libgame.so=d41d8cd98f00b204e9800998ecf8427e::0"
        << tooLong.arg(0).arg("files/lib/libgame.so");
    QTest::newRow("older release replayed")
        << "" << QByteArray() << "version=1"
        << "Product ini of mirror m1 is for client_linux_amd64 version 1, not client_linux_amd64 "
           "version 2";
    QTest::newRow("release of another client type")
        << "" << QByteArray() << "type=client_linux_x86"
        << "Product ini of mirror m1 is for client_linux_x86 version 2, not client_linux_amd64 "
           "version 2";
    QTest::newRow("name not UTF-8")
        << "" << QByteArray() << "RAW"
        << "Error: product ini section extra names the file bad\uFFFD\uFFFDname, which is not "
           "valid UTF-8 or holds control characters";
    QTest::newRow("control character in name")
        << "" << QByteArray() << "files/bad\x01name=d41d8cd98f00b204e9800998ecf8427e::0"
        << "Error: product ini section files names the file bad\\x01name, which is not valid "
           "UTF-8 or holds control characters";
    QTest::newRow("empty sum") << "" << QByteArray() << "files/data/news.txt=::3"
                               << "Warning: product ini contains invalid line in section files";
}

// A mirror or a signed product ini that tries to fill the disk or the memory,
// to stall the run, to install another release or to name files that cannot
// be fetched ends the run with a line that says so, within the limits, and
// leaves the installation as it was.
void tst_UpdateRun::hostileMirrorChangesNothing()
{
    QFETCH(QString, pathEnd);
    QFETCH(QByteArray, fault);
    QFETCH(QString, edit);
    QFETCH(QString, expected);

    QVERIFY(makeFaultyMirror("hostile", [&](const QString &release) {
        const QString ini = release + QStringLiteral("/client_linux_amd64.ini");
        if (edit.isEmpty())
            return true;
        if (edit == QLatin1String("RAW")) {
            QFile file(ini);
            if (!file.open(QIODevice::Append)
                || file.write("\n[extra]\nbad\xff\xfename=d41d8cd98f00b204e9800998ecf8427e::0\n")
                    < 0)
                return false;
            file.close();
            return m_builder.sign(ini);
        }
        const QString key = edit.section(QLatin1Char('='), 0, 0);
        return editProductIni(ini,
                              [&](QSettings &settings) {
                                  settings.setValue(key, edit.section(QLatin1Char('='), 1));
                              })
            && m_builder.sign(ini);
    }));
    FaultServer server(QByteArray("unused"));
    server.serveDirectory(mirrorTree("hostile"));
    if (!pathEnd.isEmpty())
        server.setFault(pathEnd, fault);
    QVERIFY(server.start());
    QVERIFY(prepare(OldVersion, {server.baseUrl()}));
    if (fault == "trickle") {
        UpdateEngine::Options options = m_engine->options();
        options.slowTransferWindow = 2;
        m_engine->setOptions(options);
        cancelOnMessage(m_engine.get(), QRegularExpression::escape(expected));
    }
    const QStringList before = installation();

    const Outcome outcome = run();

    QCOMPARE(outcome, Canceled);
    bool named = false;
    for (const QString &line : std::as_const(m_events))
        named = named || line.contains(expected);
    QVERIFY2(named, qPrintable(m_events.join('\n')));
    QCOMPARE(installation(), before);
    for (const QString &dir : sessionDirs()) {
        QDirIterator files(systemTemp() + QLatin1Char('/') + dir, QDir::Files,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            files.next();
            QVERIFY2(files.fileInfo().size() <= 32 * 1024 * 1024, qPrintable(files.filePath()));
        }
    }
    // A name that cannot be fetched is the publisher's fault, not the mirror's.
    if (expected.contains(QLatin1String(": product ini"))) {
        QCOMPARE(m_engine->findChild<Mirrors *>()->getMirrorIndex(QStringLiteral("m1")), 0);
        for (const QString &request : server.requestedPaths())
            QVERIFY2(!request.contains(QLatin1String("/files/")), qPrintable(request));
    }
}

void tst_UpdateRun::updateByPatches_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("fault");

    QTest::newRow("v1 to v2 by patches") << "http" << NewVersion << "";
    QTest::newRow("v1 to v2 by patches over ftp") << "ftp" << NewVersion << "";
    QTest::newRow("v1 to v3, patches from v2 only") << "http" << LaterVersion << "";
    QTest::newRow("corrupted patch on one mirror") << "http" << NewVersion << "corrupt";
    QTest::newRow("corrupted patch on both mirrors") << "http" << NewVersion << "everywhere";
    QTest::newRow("patch list on no mirror") << "http" << NewVersion << "nolist";
    QTest::newRow("locally modified file") << "http" << NewVersion << "modified";
    QTest::newRow("folder at a listed path, two updates") << "http" << NewVersion << "folder";
    QTest::newRow("killed at the replacement, then offline") << "http" << NewVersion << "killed";
}

// Releases published with patches, installed by the engine: each changed
// file whose installed copy has a patch is made from it, the others come
// whole; a patch corrupted on one mirror comes from the other, the first
// named and dropped, and the whole file is not fetched; a patch corrupted
// alike on both, or whatever else fails on a patch's way (no patch list
// anywhere, an installed file changed by hand), ends in the whole file. The
// transfer figures count the bytes fetched.
void tst_UpdateRun::updateByPatches()
{
    QFETCH(QString, server);
    QFETCH(int, version);
    QFETCH(QString, fault);
    m_targetVersion = version;
    const QString faultKey = QStringLiteral("lib/libgame.so");
    const QString oldMd5 = QString::fromLatin1(
        QCryptographicHash::hash(ReleaseBuilder::sampleClient(OldVersion).value(faultKey),
                                 QCryptographicHash::Md5)
            .toHex());
    const QString patchOfFaultKey = QStringLiteral("patches/%1.%2.zst").arg(faultKey, oldMd5);
    const QString list = QStringLiteral("client_linux_amd64.patches");

    QString tree = QStringLiteral("patched");
    const bool badPatch = fault == QLatin1String("corrupt") || fault == QLatin1String("everywhere");
    const bool faultyMirror = badPatch || fault == QLatin1String("nolist");
    if (faultyMirror) {
        tree = fault;
        QVERIFY(makeFaultyMirror(
            fault,
            [&](const QString &release) {
                if (fault == QLatin1String("nolist"))
                    return QFile::remove(release + QLatin1Char('/') + list);
                QFile patch(release + QLatin1Char('/') + patchOfFaultKey);
                if (!patch.open(QIODevice::ReadWrite))
                    return false;
                QByteArray data = patch.readAll();
                data[data.size() / 2] = char(data[data.size() / 2] ^ 0x20);
                return patch.seek(0) && patch.write(data) == data.size();
            },
            QStringLiteral("patched")));
    }
    QStringList urls {server == QLatin1String("ftp") ? m_servers->startFtp(mirrorTree(tree))
                                                     : m_servers->startNginx(mirrorTree(tree))};
    if (faultyMirror)
        urls.append(m_servers->startNginx(
            mirrorTree(fault == QLatin1String("corrupt") ? QStringLiteral("patched") : tree)));
    QVERIFY(prepare(OldVersion, urls, {{QStringLiteral("update/streams"), 1}}));
    if (fault == QLatin1String("modified")) {
        QFile installed(appRoot() + QLatin1Char('/') + faultKey);
        QVERIFY(installed.open(QIODevice::Append) && installed.write("local change") > 0);
    }
    // The player's own folder where the file is installed.
    const QString playerFile = appRoot() + QStringLiteral("/lib/_old_libgame.so/mine.txt");
    if (fault == QLatin1String("folder")) {
        QVERIFY(QFile::remove(appRoot() + QLatin1Char('/') + faultKey));
        QFile mine(appRoot() + QLatin1Char('/') + faultKey + QStringLiteral("/mine.txt"));
        QVERIFY(QDir().mkpath(QFileInfo(mine).path()) && mine.open(QIODevice::WriteOnly));
    }
    if (fault == QLatin1String("killed")) {
        // Killed once every file is fetched, checked and, where a patch made a
        // compressed key's file, stored unpacked; then no mirror answers.
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(interruptedRunOption), appRoot(), QStringLiteral("0"),
                     QStringLiteral("Starting file updates")});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QString session;
        QVERIFY(UpdateIniData::get(nullptr, nullptr, &session));
        QFile level(session + QStringLiteral("/data/levels/level1.dat.gz"));
        QVERIFY(level.open(QIODevice::ReadOnly));
        QCOMPARE(level.readAll(),
                 ReleaseBuilder::sampleClient(version).value("data/levels/level1.dat"));
        m_servers.reset();
        makeEngine();
    }
    // Every download goes to the first mirror while it is there.
    m_tickPattern = QRegularExpression(QStringLiteral("^Starting file updates$"));

    QCOMPARE(run(QVector<int>(12, 0)), Succeeded);

    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(version));
    if (fault == QLatin1String("killed")) {
        QVERIFY2(m_log.contains(QStringLiteral("No downloads needed")),
                 qPrintable(m_log.join('\n')));
        return;
    }
    // The keys whose installed copy the published list has a patch for.
    const QString release = QStringLiteral("%1/%2/").arg(mirrorTree("patched")).arg(version);
    QFile listFile(release + list);
    QVERIFY(listFile.open(QIODevice::ReadOnly));
    const QString listText = QString::fromUtf8(listFile.readAll());
    QStringList wanted {QStringLiteral("client_linux_amd64.ini"),
                        QStringLiteral("client_linux_amd64.ini.sig"), list};
    if (fault == QLatin1String("nolist"))
        wanted.append(list);
    if (badPatch)
        wanted.append(patchOfFaultKey);
    if (fault == QLatin1String("everywhere")) // from the second mirror too, then the whole file
        wanted.append(patchOfFaultKey);
    int patched = 0;
    for (const QString &key : changedKeys(version)) {
        const QString plain = key.endsWith(QLatin1String(".gz")) ? key.chopped(3) : key;
        const QString installedMd5 = QString::fromLatin1(
            QCryptographicHash::hash(ReleaseBuilder::sampleClient(OldVersion).value(plain),
                                     QCryptographicHash::Md5)
                .toHex());
        const QString patchPath = QStringLiteral("patches/%1.%2.zst").arg(key, installedMd5);
        const bool byPatch = QFileInfo::exists(release + patchPath)
            && listText.contains(QStringLiteral("[%1]\n%2=").arg(key, installedMd5))
            && !(key == faultKey && !fault.isEmpty() && fault != QLatin1String("corrupt"))
            && fault != QLatin1String("nolist");
        patched += byPatch ? 1 : 0;
        wanted.append(byPatch ? patchPath : QStringLiteral("files/") + key);
        QVERIFY2(m_log.contains(
                     QStringLiteral("Fetching %1: %2").arg(key, byPatch ? "patch" : "whole file")),
                 qPrintable(key + QLatin1Char('\n') + m_log.join('\n')));
    }
    // Plain and compressed keys have patches from version 1 to 2, none to 3.
    QCOMPARE(patched > 1, version == NewVersion && fault != QLatin1String("nolist"));
    if (server == QLatin1String("ftp"))
        return;

    QStringList fetched;
    qint64 fetchedBytes = 0;
    for (const QString &url : std::as_const(urls)) {
        for (const QString &path : LocalServers::requestedPaths(m_servers->nginxAccessLog(url))) {
            fetched.append(path.section(QLatin1Char('/'), 2));
            fetchedBytes += QFileInfo(mirrorTree(tree) + path).size();
        }
    }
    fetched.sort();
    wanted.sort();
    QCOMPARE(fetched, wanted);
    QCOMPARE(m_handTick.section(QLatin1Char(' '), 1, 1), QString::number(fetchedBytes));
    auto *mirrors = m_engine->findChild<Mirrors *>();
    QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("m1")), badPatch ? -1 : 0);
    if (fault == QLatin1String("everywhere")) // the same bytes again: the release's fault
        QCOMPARE(mirrors->getMirrorIndex(QStringLiteral("m2")), 0);
    if (fault == QLatin1String("corrupt")) {
        QVERIFY(m_log.contains(
            QStringLiteral("md5 sum for %1 failed, invalidating mirror m1").arg(patchOfFaultKey)));
        QVERIFY(LocalServers::requestedPaths(m_servers->nginxAccessLog(urls[1]))
                    .contains(QStringLiteral("/2/") + patchOfFaultKey));
        QVERIFY(!fetched.contains(QStringLiteral("files/") + faultKey));
    }
    if (fault == QLatin1String("nolist"))
        QVERIFY(m_log.contains(QStringLiteral("No mirror has %1").arg(list)));
    if (fault != QLatin1String("folder"))
        return;
    // Set aside with what it holds, the folder stays through the next update.
    QVERIFY(QFileInfo::exists(playerFile));
    m_targetVersion = LaterVersion;
    makeEngine();
    QCOMPARE(run(), Succeeded);
    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(LaterVersion));
    QVERIFY(QFileInfo::exists(playerFile));
    const QString folder = QFileInfo(playerFile).path();
    QVERIFY2(m_log.contains(QStringLiteral("Leaving the folder '%1' in place").arg(folder)),
             qPrintable(m_log.join('\n')));
}

// The only mirror stalls: the ticks, driven by hand, time its transfers out
// until the run fails inside one. The figures the run's end cleared stay so.
void tst_UpdateRun::timeOutEndingTheRunBringsNoFiguresBack()
{
    FaultServer stalling(QByteArray("never complete"));
    QVERIFY(stalling.start());
    QVERIFY(prepare(OldVersion, {stalling.baseUrl() + QStringLiteral("/stall")}));
    QVERIFY(m_engine->initialize());
    m_engine->startUpdate();
    for (int tick = 0; tick < 200 && !m_events.contains(QStringLiteral("updateCanceled")); ++tick) {
        QCoreApplication::processEvents();
        QMetaObject::invokeMethod(m_engine.get(), "onTimer", Qt::DirectConnection);
    }
    QCOMPARE(m_events.mid(m_events.size() - 2),
             QStringList({QStringLiteral("downloadProgress 0 0 0 false"),
                          QStringLiteral("updateCanceled")}));
}

// An update killed at each of its file operations in turn (the replacement
// of "update" itself and of a gzip entry among them): every file is then
// byte for byte the old or the new version, "update" is there and
// executable, and the next run, with the clean-up of the next start, leaves
// exactly the new version.
void tst_UpdateRun::killAtEveryFileOperationLeavesEveryFileWhole()
{
    const QString url = m_servers->startNginx(mirrorTree("good"));
    const ReleaseBuilder::Files oldFiles = ReleaseBuilder::sampleClient(OldVersion);
    const ReleaseBuilder::Files newFiles = ReleaseBuilder::sampleClient(NewVersion);
    const QByteArray absent("<absent>");
    int operation = 1;
    for (;; ++operation) {
        QVERIFY(QDir(appRoot()).removeRecursively());
        QVERIFY(prepare(OldVersion, {url}));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(interruptedRunOption), appRoot(),
                     QString::number(operation)});
        QVERIFY(child.waitForFinished(60000));
        if (child.exitStatus() == QProcess::NormalExit) { // it ran to its end
            QCOMPARE(child.exitCode(), 0);
            break;
        }
        for (const QString &path : oldFiles.keys() + newFiles.keys()) {
            QFile file(appRoot() + QLatin1Char('/') + path);
            const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : absent;
            QVERIFY2(content == oldFiles.value(path, absent) || content == newFiles.value(path, absent),
                     qPrintable(QStringLiteral("%1 after operation %2").arg(path).arg(operation)));
        }
        QVERIFY(QFileInfo(appRoot() + QStringLiteral("/update")).isExecutable());

        // The next start puts back what the killed replacement changed: one
        // whole version, whatever the session directory still holds.
        QStringList report;
        QVERIFY(ReplacementJournal::undoInterrupted(&report) != ReplacementJournal::NotUndone);
        QVERIFY2(!ReplacementJournal::exists(), qPrintable(report.join('\n')));
        const QStringList now = filesOnly(withoutOldCopies(installation(false)));
        const QStringList newer = filesOnly(clientSnapshot(NewVersion));
        QVERIFY2(now == filesOnly(clientSnapshot(OldVersion))
                     || std::all_of(newer.cbegin(), newer.cend(),
                                    [&](const QString &line) { return now.contains(line); }),
                 qPrintable(QStringLiteral("after operation %1:\n").arg(operation)
                            + now.join('\n')));

        makeEngine();
        QCOMPARE(run(), Succeeded);
        UpdateEngine::removeOldFiles(appRoot());
        QCOMPARE(installation(false), clientSnapshot(NewVersion));
        QCOMPARE(sessionDirs(), QStringList());
    }
    // Directories, kept copies, new files, modes and deletions were all hit.
    QVERIFY2(operation > 30, qPrintable(QString::number(operation)));
}

void tst_UpdateRun::renamedFilesAreCopiedFromTheInstallation_data()
{
    QTest::addColumn<bool>("sourceChanges");
    QTest::newRow("renamed and duplicated files copied") << false;
    QTest::newRow("installed source changed after the list step") << true;
}

// Files whose bytes are installed under another name (the old name under
// [delete], a compressed key installed unpacked, a duplicate) are copied from
// there: the mirror is not asked for them, and the transfer figures count
// only what it served. A source changed after the list step fails the check
// of its copy: the file is fetched, and the mirror keeps its place.
void tst_UpdateRun::renamedFilesAreCopiedFromTheInstallation()
{
    QFETCH(bool, sourceChanges);
    m_targetVersion = RenamedVersion;
    QVERIFY(prepare(OldVersion, {m_servers->startNginx(mirrorTree("renamed"))}));
    connect(m_engine.get(), &UpdateEngine::message, this, [&](const QString &line) {
        QFile source(appRoot() + QStringLiteral("/data/readme.txt"));
        if (sourceChanges && line == QLatin1String("Downloading files"))
            QVERIFY(source.open(QIODevice::ReadWrite) && source.write("m") == 1);
    });
    m_tickPattern = QRegularExpression(QStringLiteral("^Starting file updates$"));

    QCOMPARE(run(), Succeeded);

    QCOMPARE(withoutOldCopies(installation(false)), clientSnapshot(RenamedVersion));
    for (const QString &copy : {"docs/readme.txt from the installed data/readme.txt",
                                "data/levels/first.dat.gz from the installed data/levels/level1.dat",
                                "data/textures2.pak from the installed data/textures.pak"})
        QVERIFY2(m_log.contains(QStringLiteral("Copying ") + copy), qPrintable(m_log.join('\n')));
    QStringList wanted {QStringLiteral("/4/client_linux_amd64.ini"),
                        QStringLiteral("/4/client_linux_amd64.ini.sig")};
    if (sourceChanges)
        wanted.append(QStringLiteral("/4/files/docs/readme.txt"));
    QStringList fetched = LocalServers::requestedPaths(m_servers->nginxAccessLog());
    qint64 fetchedBytes = 0;
    for (const QString &path : std::as_const(fetched))
        fetchedBytes += QFileInfo(mirrorTree("renamed") + path).size();
    fetched.sort();
    QCOMPARE(fetched, wanted);
    QCOMPARE(m_handTick.section(QLatin1Char(' '), 1, 2),
             QStringLiteral("%1 %1").arg(fetchedBytes));
    QCOMPARE(m_engine->findChild<Mirrors *>()->getMirrorIndex(QStringLiteral("m1")), 0);
}

// A child process: updates the application root given to the new version,
// and is killed at its given file operation, counted from 1 (0: none), or
// at the given log line.
int tst_UpdateRun::runInterrupted(const QStringList &arguments)
{
    Configuration::setAppRootPath(arguments.value(2));
    fileOperationsLeft = arguments.value(3).toInt();
    FileOpHook::set(&killAtLastFileOperation);
    tst_UpdateRun test;
    test.makeEngine();
    const QString lastLine = arguments.value(4);
    connect(test.m_engine.get(), &UpdateEngine::message, [lastLine](const QString &line) {
        if (line == lastLine)
            ::kill(::getpid(), SIGKILL);
    });
    return test.run() == Succeeded ? 0 : 3;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String(interruptedRunOption))
        return tst_UpdateRun::runInterrupted(app.arguments());
    tst_UpdateRun test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_updaterun.moc"
