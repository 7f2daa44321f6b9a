#include "digest/filedigestcache.h"
#include "net/random.h"
#include "localservers.h"
#include "tasklog.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"
#include "update/downloadfilelisttaskspecification.h"
#include "update/downloadfiletaskspecification.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

namespace {

const int Version = 7;
const QString Section = QStringLiteral("base");

struct MirrorEntry
{
    QString name;
    QString url;
};

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : bytes)
        c = char(generator.generate());
    return bytes;
}

QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

} // namespace

// The download step against real nginx mirrors that serve release trees made
// in a temporary directory; one of the mirrors serves a corrupted file.
class tst_DownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void everyFileArrivesIntact();
    void emptyListDownloadsNothing();
    void corruptMirrorIsDropped();
    void neverMatchingFileExhaustsMirrors_data();
    void neverMatchingFileExhaustsMirrors();
    void uncreatableDirectoryFailsBeforeAnyDownload();
    void totalIsListedSizesFromTheStart();
    void userCancelDuringCheckMakesNoNewAttempt();
    void concurrencyBelowOneBecomesSix_data();
    void concurrencyBelowOneBecomesSix();

private:
    void writeTree(const QString &root, const QMap<QString, QByteArray> &files);
    void makeMirrors(const QList<MirrorEntry> &entries);
    DownloadFileListTaskSpecification *makeStep();
    FileDownloadSpecification entry(const QString &filePath) const;
    QByteArray downloaded(const QString &filePath) const;
    QString normalised(QString line) const;

    QTemporaryDir m_trees;
    LocalServers m_servers;
    QString m_good, m_bad, m_goodHttps;
    QMap<QString, QByteArray> m_files;
    const QString m_corrupted = QStringLiteral("sub/b.bin");
    // The line that names the corrupted copy's sum.
    QString m_corruptedMismatch;

    // Per test.
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<QObject> m_owner;
    std::unique_ptr<NetworkAccessManager> m_manager;
    RunSettings m_settings;
    Mirrors *m_mirrors = nullptr;
    // What the mirror list draws from.
    RandomSource m_draws;
    QList<FileDownloadSpecification> m_downloads;
    QStringList m_log;
};

void tst_DownloadFileListTaskSpecification::initTestCase()
{
    QVERIFY(m_trees.isValid());
    m_files = {{"a.bin", randomBytes(120 * 1024, 1)},
               {"e.bin", randomBytes(3, 2)},
               {"sub/b.bin", randomBytes(200 * 1024 + 5, 3)},
               {"sub/c.bin", randomBytes(70 * 1024, 4)},
               {"deep/er/d.bin", randomBytes(10 * 1024, 5)}};
    writeTree(m_trees.filePath("good"), m_files);
    QMap<QString, QByteArray> corrupted = m_files;
    corrupted[m_corrupted][1000] = char(corrupted[m_corrupted][1000] ^ 0x40);
    writeTree(m_trees.filePath("bad"), corrupted);
    m_corruptedMismatch = QStringLiteral("MD5 mismatch: TEMP/%1 has the MD5 sum %2, %3 was expected")
                              .arg(m_corrupted, md5Of(corrupted[m_corrupted]),
                                   md5Of(m_files[m_corrupted]));

    m_good = m_servers.startNginx(m_trees.filePath("good"));
    m_goodHttps = m_servers.startNginx(m_trees.filePath("good"), true);
    m_bad = m_servers.startNginx(m_trees.filePath("bad"));
    QVERIFY(!m_good.isEmpty() && !m_goodHttps.isEmpty() && !m_bad.isEmpty());
}

void tst_DownloadFileListTaskSpecification::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_owner = std::make_unique<QObject>();
    m_manager = std::make_unique<NetworkAccessManager>();
    m_manager->setCaCertificates(m_servers.caCertificates());
    m_settings.appRoot = InstallationNames::appRoot();
    m_settings.sessionDir = m_temp->path();
    m_settings.downloadConcurrency = 6;
    m_downloads.clear();
    m_log.clear();
    Random::seed(1);
    m_draws = &Random::next;
}

void tst_DownloadFileListTaskSpecification::cleanup()
{
    m_owner.reset();
    delete m_mirrors;
    m_mirrors = nullptr;
    m_manager.reset();
    m_temp.reset();
}

void tst_DownloadFileListTaskSpecification::writeTree(const QString &root,
                                                      const QMap<QString, QByteArray> &files)
{
    const QDir dir(QString("%1/%2/%3").arg(root).arg(Version).arg(Section));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY(dir.mkpath(QFileInfo(it.key()).path()));
        QFile file(dir.filePath(it.key()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(it.value()), it.value().size());
    }
}

void tst_DownloadFileListTaskSpecification::makeMirrors(const QList<MirrorEntry> &entries)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(entries.size()) + "\n";
    for (int i = 0; i < entries.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=" + entries[i].name.toUtf8() + "\n";
    for (const MirrorEntry &mirror : entries)
        ini += "[" + mirror.name.toUtf8() + "]\nurl=" + mirror.url.toUtf8() + "\nretries=5\n";
    QTemporaryDir settings;
    QFile file(settings.filePath("mirrors.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini);
    file.close();

    m_mirrors = new Mirrors([this] { return m_draws(); });
    connect(m_mirrors, &Mirrors::message, m_owner.get(),
            [this](const QString &text) { m_log << text; });
    QVERIFY(m_mirrors->initDefault(file.fileName(), Version));
}

DownloadFileListTaskSpecification *tst_DownloadFileListTaskSpecification::makeStep()
{
    auto *step = new DownloadFileListTaskSpecification(&m_downloads, m_manager.get(), m_mirrors,
                                                       m_settings, m_owner.get(), 0.4);
    connect(step, &TaskSpecification::message, m_owner.get(),
            [this](const QString &text) { m_log << normalised(text); });
    connect(step, &TaskSpecification::error, m_owner.get(),
            [this](const QString &text) { m_log << "error: " + normalised(text); });
    connect(step, &TaskSpecification::failureCause, m_owner.get(),
            [this](const QString &text) { m_log << "cause: " + normalised(text); });
    connect(step, &TaskSpecification::finished, m_owner.get(), [this] { m_log << "finished"; });
    connect(step, &TaskSpecification::canceled, m_owner.get(), [this, step] {
        m_log << (step->state == UserCanceled ? "user canceled" : "error canceled");
    });
    return step;
}

FileDownloadSpecification
tst_DownloadFileListTaskSpecification::entry(const QString &filePath) const
{
    FileDownloadSpecification file;
    file.section = Section;
    file.filePath = filePath;
    file.md5 = md5Of(m_files.value(filePath));
    file.size = m_files.value(filePath).size();
    return file;
}

QByteArray tst_DownloadFileListTaskSpecification::downloaded(const QString &filePath) const
{
    QFile file(m_temp->filePath(filePath));
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

QString tst_DownloadFileListTaskSpecification::normalised(QString line) const
{
    line.replace(QDir(m_temp->path()).canonicalPath(), "TEMP");
    line.replace(m_temp->path(), "TEMP");
    return line.replace(QRegularExpression(" at https?://127.0.0.1:\\d+/7\\)$"), ")");
}

void tst_DownloadFileListTaskSpecification::everyFileArrivesIntact()
{
    makeMirrors({{"good", m_good}, {"https", m_goodHttps}});
    for (const QString &filePath : m_files.keys())
        m_downloads << entry(filePath);
    m_settings.downloadConcurrency = 2;
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    QCOMPARE(step->progress, 0.4);
    for (auto it = m_files.cbegin(); it != m_files.cend(); ++it)
        QVERIFY2(downloaded(it.key()) == it.value(), qPrintable(it.key()));
    QCOMPARE(m_log.first(), QStringLiteral("Downloading files"));
    QCOMPARE(m_log.last(), QStringLiteral("finished"));
    QCOMPARE(m_log.filter("failed").size(), 0);
    // Every file counts the same, whatever its size.
    for (const TaskSpecification *file : std::as_const(step->subTasks))
        QCOMPARE(file->parentProgressRange, 1.0 / m_files.size());
}

void tst_DownloadFileListTaskSpecification::emptyListDownloadsNothing()
{
    makeMirrors({{"good", m_good}});
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();

    // Ends inside execute(), before any event is handled.
    QCOMPARE(step->state, Finished);
    QCOMPARE(m_log, QStringList({"No downloads needed", "finished"}));
    QCOMPARE(QDir(m_temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(step->subTasks.isEmpty());
}

void tst_DownloadFileListTaskSpecification::corruptMirrorIsDropped()
{
    // Both mirrors have three slots; the first draw is made to pick "bad".
    makeMirrors({{"bad", m_bad}, {"good", m_good}});
    m_draws = Random::sequence({0});
    m_downloads << entry(m_corrupted);
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(m_log,
             QStringList({"Downloading files", "Downloading base/sub/b.bin",
                          "Downloading base/sub/b.bin finished",
                          "Signature check failed for TEMP/sub/b.bin (from mirror bad)",
                          m_corruptedMismatch,
                          "md5 sum for sub/b.bin failed, invalidating mirror and retrying",
                          "Downloading base/sub/b.bin", "Downloading base/sub/b.bin finished",
                          "finished"}));
    QCOMPARE(step->state, Finished);
    QVERIFY(downloaded(m_corrupted) == m_files.value(m_corrupted));
    // With "bad" gone, the retry came from "good".
    QCOMPARE(m_mirrors->getMirrorIndex("bad"), -1);
    QCOMPARE(m_mirrors->getMirrorIndex("good"), 0);
}

void tst_DownloadFileListTaskSpecification::neverMatchingFileExhaustsMirrors_data()
{
    QTest::addColumn<QString>("md5");
    QTest::addColumn<QStringList>("checkReport");
    QTest::newRow("wrong sum") << QString(32, QLatin1Char('0')) << QStringList();
}

void tst_DownloadFileListTaskSpecification::neverMatchingFileExhaustsMirrors()
{
    QFETCH(QString, md5);
    QFETCH(QStringList, checkReport);
    makeMirrors({{"one", m_good}, {"two", m_bad}, {"three", m_goodHttps}});
    FileDownloadSpecification file = entry("a.bin");
    file.md5 = md5;
    m_downloads << file << entry("e.bin");
    m_settings.downloadConcurrency = 1;
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QStringList expected {"Downloading files"};
    for (const char *mirror : {"two", "one", "three"})
        expected << "Downloading base/a.bin"
                 << "Downloading base/a.bin finished" << checkReport
                 << "Signature check failed for TEMP/a.bin (from mirror " + QString(mirror) + ")"
                 << "MD5 mismatch: TEMP/a.bin has the MD5 sum " + md5Of(m_files.value("a.bin"))
                        + ", " + md5 + " was expected"
                 << "md5 sum for a.bin failed, invalidating mirror and retrying";
    // The file is named as the cause, before the mirrors that it used up.
    expected << "cause: a.bin differs from the new version on every mirror that sent it (MD5 "
                "sum mismatch)."
             << "Downloading base/a.bin"
             << "There are no (more) known working mirrors available"
             << "cause: No working download mirror is left: every mirror failed."
             << "error canceled";
    QCOMPARE(m_log, expected);
    QCOMPARE(step->state, ErrorCanceled);
    // The second file never started.
    QCOMPARE(QFileInfo(m_temp->filePath("e.bin")).size(), 0);
    FTPSiteAccessData mirror;
    QCOMPARE(m_mirrors->getRandomMirror(mirror), 1);
}

void tst_DownloadFileListTaskSpecification::uncreatableDirectoryFailsBeforeAnyDownload()
{
    makeMirrors({{"good", m_good}});
    // A file stands where the directory "sub" is needed.
    QFile blocker(m_temp->filePath("sub"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    m_downloads << entry("a.bin") << entry("deep/er/d.bin") << entry("sub/c.bin");
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();

    QCOMPARE(step->state, ErrorCanceled);
    QCOMPARE(m_log, QStringList({"Could not create dir TEMP/sub", "error canceled"}));
    QVERIFY(step->subTasks.isEmpty());
    QTest::qWait(50);
    QVERIFY(!QFileInfo::exists(m_temp->filePath("a.bin")));
}

void tst_DownloadFileListTaskSpecification::totalIsListedSizesFromTheStart()
{
    makeMirrors({{"good", m_good}});
    quint64 listed = 0;
    for (const QString &filePath : m_files.keys()) {
        m_downloads << entry(filePath);
        listed += m_files.value(filePath).size();
    }
    DownloadFileListTaskSpecification *step = makeStep();
    step->execute();

    unsigned long long done = 0, total = 0, speed = 0;
    bool downloading = false;
    step->timeTick(done, total, speed, downloading);
    QCOMPARE(total, listed);
    QCOMPARE(done, 0ull);

    QVERIFY(waitForEnd(step));
    QCOMPARE(step->state, Finished);
    done = total = speed = 0;
    step->timeTick(done, total, speed, downloading);
    QCOMPARE(total, listed);
    QCOMPARE(done, listed);

    step->reset();
    QCOMPARE(step->totalDownloadSize, 0ull);
}

void tst_DownloadFileListTaskSpecification::userCancelDuringCheckMakesNoNewAttempt()
{
    makeMirrors({{"bad", m_bad}, {"good", m_good}});
    m_draws = Random::sequence({0});
    m_downloads << entry(m_corrupted);
    DownloadFileListTaskSpecification *step = makeStep();
    // The cancel is queued twice over so that it lands after the check has
    // started and before its result is handled; the digest of the transfer is
    // forgotten first, so that the check reads the file on the pool.
    const QString path = m_temp->filePath(m_corrupted);
    connect(step, &TaskSpecification::message, m_owner.get(), [step, path](const QString &text) {
        if (!text.endsWith("finished"))
            return;
        QMetaObject::invokeMethod(
            step, [path] { FileDigestCache::forget(path); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            step,
            [step] {
                QMetaObject::invokeMethod(
                    step, [step] { step->userCanceled(); }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    });
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(m_log,
             QStringList({"Downloading files", "Downloading base/sub/b.bin",
                          "Downloading base/sub/b.bin finished",
                          "Signature check failed for TEMP/sub/b.bin (from mirror bad)",
                          m_corruptedMismatch, "user canceled"}));
    QCOMPARE(step->state, UserCanceled);
}

void tst_DownloadFileListTaskSpecification::concurrencyBelowOneBecomesSix_data()
{
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("parallel");
    QTest::newRow("absent") << 0 << 6;
    QTest::newRow("negative") << -3 << 6;
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("nine") << 9 << 9;
}

void tst_DownloadFileListTaskSpecification::concurrencyBelowOneBecomesSix()
{
    QFETCH(int, streams);
    QFETCH(int, parallel);
    m_settings.downloadConcurrency = streams;
    DownloadFileListTaskSpecification step(&m_downloads, m_manager.get(), nullptr, m_settings,
                                           nullptr, 0.4);
    QCOMPARE(step.maxParallelTasks, parallel);
}

QTEST_GUILESS_MAIN(tst_DownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
