#include "net/random.h"
#include "faultserver.h"
#include "localservers.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"
#include "tasklog.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>
#include <memory>

namespace {

const int Version = 123;
const QString FilePath = QStringLiteral("data/file.bin");

struct MirrorEntry
{
    QString name;
    QString url;
    QString retries;
    QString slotCount; // "slots" in its section; empty: none
};

} // namespace

// Downloads against nginx (HTTP, HTTPS), vsftpd and, for faults real servers
// won't make on demand, the in-process fault server.
class tst_DownloadTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileArrivesByteForByte_data();
    void fileArrivesByteForByte();
    void unknownSizeIsLearnedFromServer_data();
    void unknownSizeIsLearnedFromServer();
    void statusIsJudgedAtFirstAnswer_data();
    void statusIsJudgedAtFirstAnswer();
    void refusedFtpLoginDropsMirrorAtOnce();
    void stallIsAbandonedAfterSixteenTicks();
    void failingMirrorDroppedAfterRetriesPlusOneErrors();
    void lastMirrorGoneEndsWithoutError();
    void moreSlotsWantedThanFreeMakesDownloadsWait_data();
    void moreSlotsWantedThanFreeMakesDownloadsWait();
    void cancelWhileWaitingNeverStartsLater();
    void userCancelDeletesPartialFileAndFreesSlot();
    void otherTaskCancelAbortsTransfer();
    void oversizedTransferIsChargedToMirror_data();
    void oversizedTransferIsChargedToMirror();
    void writeErrorEndsDownloadWithoutChargingMirror_data();
    void writeErrorEndsDownloadWithoutChargingMirror();
    void uncreatableFileIsAnError();
    void pipeAtTheFilesPathIsReplaced();
    void partLeftByEarlierRunIsContinued_data();
    void partLeftByEarlierRunIsContinued();
    void brokenOrSlowTransferIsContinued_data();
    void brokenOrSlowTransferIsContinued();

private:
    Mirrors *makeMirrors(const QList<MirrorEntry> &entries);
    DownloadTaskSpecification *makeDownload(const QString &path, const QString &fileName,
                                            qint64 expectedSize);
    // Seeds the mirror choice so that the draws give what pick() wants.
    // The first draw of the mirror choice falls below firstBelow of the
    // freeSlots; with thenAtLeast, the second does not.
    void drawFirstPicks(int freeSlots, int firstBelow, bool thenAtLeast = false);
    QByteArray localFile(const QString &name) const;
    int errorsOf(const QString &name);
    QString normalised(QString line) const;

    QTemporaryDir m_root;
    LocalServers m_servers;
    std::unique_ptr<FaultServer> m_faults;
    QString m_http, m_https, m_ftp;
    QByteArray m_body;

    // Per test.
    std::unique_ptr<QTemporaryDir> m_out;
    std::unique_ptr<NetworkAccessManager> m_manager;
    Mirrors *m_mirrors = nullptr;
    // What the mirror list draws from.
    RandomSource m_draws;
    QStringList m_log;
    QString m_mount; // a small file system mounted for the test
};

void tst_DownloadTaskSpecification::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_body = QByteArray(300 * 1024 + 11, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char &c : m_body)
        c = char(generator.generate());
    QVERIFY(QDir(m_root.path()).mkpath(QString("%1/data").arg(Version)));
    for (int i = 0; i < 8; ++i) {
        QFile file(m_root.filePath(QString("%1/data/file%2.bin").arg(Version).arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_body.left(m_body.size() - i));
    }
    QFile file(m_root.filePath(QString("%1/%2").arg(Version).arg(FilePath)));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(m_body);
    file.close();
    QFile tiny(m_root.filePath(QString("%1/data/tiny.bin").arg(Version)));
    QVERIFY(tiny.open(QIODevice::WriteOnly));
    tiny.write("a file smaller than any write buffer");
    tiny.close();

    m_http = m_servers.startNginx(m_root.path(), false);
    m_https = m_servers.startNginx(m_root.path(), true);
    m_ftp = m_servers.startFtp(m_root.path());
    QVERIFY(!m_http.isEmpty() && !m_https.isEmpty() && !m_ftp.isEmpty());
    m_faults = std::make_unique<FaultServer>(m_body);
    QVERIFY(m_faults->start());
}

void tst_DownloadTaskSpecification::init()
{
    m_out = std::make_unique<QTemporaryDir>();
    m_manager = std::make_unique<NetworkAccessManager>();
    m_manager->setCaCertificates(m_servers.caCertificates());
    m_log.clear();
    Random::seed(1);
    m_draws = &Random::next;
}

void tst_DownloadTaskSpecification::cleanup()
{
    if (!m_mount.isEmpty())
        ::umount2(QFile::encodeName(std::exchange(m_mount, QString())).constData(), MNT_DETACH);
    delete m_mirrors;
    m_mirrors = nullptr;
    m_manager.reset();
    m_out.reset();
}

Mirrors *tst_DownloadTaskSpecification::makeMirrors(const QList<MirrorEntry> &entries)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(entries.size()) + "\n";
    for (int i = 0; i < entries.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=" + entries[i].name.toUtf8() + "\n";
    for (const MirrorEntry &entry : entries) {
        ini += "[" + entry.name.toUtf8() + "]\nurl=" + entry.url.toUtf8() + "\n";
        if (!entry.retries.isEmpty())
            ini += "retries=" + entry.retries.toUtf8() + "\n";
        if (!entry.slotCount.isEmpty())
            ini += "slots=" + entry.slotCount.toUtf8() + "\n";
    }
    QFile file(m_out->filePath("mirrors.ini"));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write mirrors.ini");
    file.write(ini);
    file.close();

    m_mirrors = new Mirrors([this] { return m_draws(); });
    connect(m_mirrors, &Mirrors::message, this, [this](const QString &text) { m_log << text; });
    m_mirrors->initDefault(file.fileName(), Version);
    return m_mirrors;
}

DownloadTaskSpecification *tst_DownloadTaskSpecification::makeDownload(const QString &path,
                                                                       const QString &fileName,
                                                                       qint64 expectedSize)
{
    auto *task
        = new DownloadTaskSpecification(m_manager.get(), m_mirrors, path, m_out->filePath(fileName),
                                        expectedSize, m_manager.get(), 0.5);
    connect(task, &TaskSpecification::message, this,
            [this](const QString &text) { m_log << normalised(text); });
    connect(task, &TaskSpecification::error, this,
            [this](const QString &text) { m_log << "error: " + normalised(text); });
    connect(task, &TaskSpecification::failureCause, this,
            [this](const QString &text) { m_log << "cause: " + normalised(text); });
    connect(task, &TaskSpecification::finished, this, [this] { m_log << "finished"; });
    connect(task, &TaskSpecification::canceled, this, [this, task] {
        m_log << (task->state == UserCanceled ? "user canceled" : "error canceled");
    });
    return task;
}

QString tst_DownloadTaskSpecification::normalised(QString line) const
{
    line.replace(m_faults->baseUrl(), "FAULTS");
    line.replace(m_http, "HTTP");
    line.replace(m_out->path(), "OUT");
    return line;
}

// With two HTTP mirrors in the list, the first draw chooses the first one
// when it falls below 3 of the 6 free slots.
void tst_DownloadTaskSpecification::drawFirstPicks(int freeSlots, int firstBelow, bool thenAtLeast)
{
    Q_ASSERT(firstBelow < freeSlots);
    m_draws = Random::sequence(thenAtLeast ? QVector<int> {0, firstBelow} : QVector<int> {0});
}

int tst_DownloadTaskSpecification::errorsOf(const QString &name)
{
    FTPSiteAccessData mirror;
    for (int i = 0; i < 99 && mirror.name != name && m_mirrors->getRandomMirror(mirror) == 0; ++i)
        m_mirrors->releaseMirror(mirror.name);
    return mirror.name == name ? mirror.errorCount : -1;
}

QByteArray tst_DownloadTaskSpecification::localFile(const QString &name) const
{
    QFile file(m_out->filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

void tst_DownloadTaskSpecification::fileArrivesByteForByte_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
    QTest::newRow("ftp") << "ftp";
}

void tst_DownloadTaskSpecification::fileArrivesByteForByte()
{
    QFETCH(QString, scheme);
    const QString url = scheme == "http" ? m_http : scheme == "https" ? m_https : m_ftp;
    makeMirrors({{"mirror", url + "/", ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    QSignalSpy progress(task, &TaskSpecification::updateProgress);
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(m_log,
             QStringList(
                 {"Downloading data/file.bin", "Downloading data/file.bin finished", "finished"}));
    QVERIFY(localFile("file.bin") == m_body);
    QCOMPARE(task->state, Finished);
    QCOMPARE(task->progress, 0.5);
    QVERIFY(progress.count() > 2);
    QCOMPARE(task->m_mirror.name, QStringLiteral("mirror"));
    int maxUse = 0, useCount = 0;
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(useCount, 0);

    // A later reset must not give the slot back a second time.
    task->reset();
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(useCount, 0);
}

void tst_DownloadTaskSpecification::unknownSizeIsLearnedFromServer_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("http") << "http";
    QTest::newRow("ftp") << "ftp";
}

void tst_DownloadTaskSpecification::unknownSizeIsLearnedFromServer()
{
    QFETCH(QString, scheme);
    makeMirrors({{"mirror", scheme == "http" ? m_http : m_ftp, ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", -1);
    task->execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->state, Finished);
    unsigned long long done = 0, total = 0, speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(m_body.size()));
    QCOMPARE(total, quint64(m_body.size()));
    QCOMPARE(speed, quint64(m_body.size()));
    QVERIFY(!downloading);
    task->timeTick(done, total, speed, downloading);
    QCOMPARE(speed, 0u);
}

void tst_DownloadTaskSpecification::statusIsJudgedAtFirstAnswer_data()
{
    QTest::addColumn<QString>("mirrorPath"); // its first part: the fault
    QTest::addColumn<bool>("optional");
    QTest::addColumn<bool>("dropped"); // else only this file is not asked of it again
    QTest::newRow("404") << "404" << false << false;
    QTest::newRow("302") << "302" << false << true;
    QTest::newRow("500") << "500" << false << true;
    QTest::newRow("403, %2F in the mirror URL") << "403/a%2Fb" << false << true;
    QTest::newRow("optional (patches, list), 403") << "403" << true << false;
    QTest::newRow("optional (patches, list), 302") << "302" << true << false;
}

// A mirror that says it lacks the file keeps serving others, uncharged; any
// other answer but 200 drops it.
void tst_DownloadTaskSpecification::statusIsJudgedAtFirstAnswer()
{
    QFETCH(QString, mirrorPath);
    QFETCH(bool, optional);
    QFETCH(bool, dropped);
    makeMirrors({{"bad", m_faults->baseUrl() + "/" + mirrorPath, ""}, {"good", m_http, ""}});
    drawFirstPicks(6, 3);
    const QString fault = mirrorPath.section('/', 0, 0);
    const int before = m_faults->requestCount(fault);
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->setOptional(optional);
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(
        m_log,
        QStringList({"Downloading data/file.bin",
                     dropped
                         ? QString("FAULTS/%1/123/data/file.bin returned %2").arg(mirrorPath, fault)
                         : QString("data/file.bin is not on mirror bad"),
                     "Downloading data/file.bin finished", "finished"}));
    QCOMPARE(m_faults->requestCount(fault) - before, 1);
    QCOMPARE(task->m_mirror.name, QStringLiteral("good"));
    QVERIFY(localFile("file.bin") == m_body);
    QCOMPARE(dropped ? m_mirrors->getMirrorIndex("bad") : errorsOf("bad"), dropped ? -1 : 0);
}

void tst_DownloadTaskSpecification::refusedFtpLoginDropsMirrorAtOnce()
{
    const QString locked = "ftp://someone:secret@" + QUrl(m_ftp).authority();
    makeMirrors({{"locked", locked, "4"}, {"good", m_http, ""}});
    drawFirstPicks(4, 1); // locked has 1 of the 4 slots
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, Finished);
    QCOMPARE(task->m_mirror.name, QStringLiteral("good"));
    QCOMPARE(m_mirrors->getMirrorIndex("locked"), -1);
    QCOMPARE(m_log.size(), 4);
    QVERIFY2(m_log.at(1).contains("530"), qPrintable(m_log.at(1)));
    QVERIFY(localFile("file.bin") == m_body);
}

void tst_DownloadTaskSpecification::stallIsAbandonedAfterSixteenTicks()
{
    makeMirrors({{"stall", m_faults->baseUrl() + "/stall", ""}, {"good", m_http, ""}});
    drawFirstPicks(6, 3, true);
    const int before = m_faults->requestCount("stall");
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QTRY_COMPARE(m_faults->requestCount("stall") - before, 1);
    QTest::qWait(100); // the headers arrive; no body follows

    unsigned long long done = 0, total = 0, speed = 0;
    for (int tick = 1; tick <= 15; ++tick) {
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QVERIFY(downloading);
    }
    QCOMPARE(m_log, QStringList({"Downloading data/file.bin"}));
    QVERIFY(QFile::exists(m_out->filePath("file.bin")));

    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    QVERIFY(!downloading);
    QCOMPARE(
        m_log,
        QStringList({"Downloading data/file.bin", "file data/file.bin timed out on mirror stall"}));
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->state, Finished);
    QCOMPARE(task->m_mirror.name, QStringLiteral("good"));
    QVERIFY(localFile("file.bin") == m_body);
    // One error only: the mirror stays.
    QCOMPARE(m_mirrors->getMirrorIndex("stall"), 0);
}

void tst_DownloadTaskSpecification::failingMirrorDroppedAfterRetriesPlusOneErrors()
{
    // Each transfer from flaky brings 1000 bytes, too few to go uncharged.
    makeMirrors({{"flaky", m_faults->baseUrl() + "/cut1000", "1"}, {"good", m_ftp, ""}});
    // flaky (3 slots) is chosen twice, then only good remains.
    m_draws = Random::sequence({0, 0});
    const int before = m_faults->requestCount("cut1000");
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(m_faults->requestCount("cut1000") - before, 2);
    QCOMPARE(m_log.size(), 8);
    QCOMPARE(m_log.at(3), QStringLiteral("Mirror flaky failed too many times, removing"));
    QCOMPARE(m_log.mid(6), QStringList({"Downloading data/file.bin finished", "finished"}));
    QCOMPARE(m_mirrors->getMirrorIndex("flaky"), -1);
    QVERIFY(localFile("file.bin") == m_body);
}

void tst_DownloadTaskSpecification::lastMirrorGoneEndsWithoutError()
{
    makeMirrors({{"broken", m_faults->baseUrl() + "/cut1000", ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    QSignalSpy errors(task, &TaskSpecification::error);
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, ErrorCanceled);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(m_log.size(), 9);
    QCOMPARE(m_log.at(0), QStringLiteral("Downloading data/file.bin"));
    // Three transfer failures, the third removes the mirror; its reason follows.
    QCOMPARE(m_log.at(5), QStringLiteral("Mirror broken failed too many times, removing"));
    QCOMPARE(
        m_log.mid(7),
        QStringList({"There are no (more) known working mirrors available", "error canceled"}));
    QCOMPARE(localFile("file.bin"), m_body.left(3000)); // for a later run to continue

    // A second download is told nothing more.
    DownloadTaskSpecification *next = makeDownload(FilePath, "other.bin", m_body.size());
    next->execute();
    QCOMPARE(next->state, ErrorCanceled);
    QCOMPARE(m_log.mid(9), QStringList({"Downloading data/file.bin", "error canceled"}));
}

void tst_DownloadTaskSpecification::moreSlotsWantedThanFreeMakesDownloadsWait_data()
{
    QTest::addColumn<QString>("httpSlots");
    QTest::addColumn<int>("peak");
    QTest::newRow("3 + 1 slots") << QString() << 4;
    QTest::newRow("slots=6 on the http mirror") << "6" << 7;
}

void tst_DownloadTaskSpecification::moreSlotsWantedThanFreeMakesDownloadsWait()
{
    QFETCH(QString, httpSlots);
    QFETCH(int, peak);
    const int requestsBefore
        = LocalServers::requestConnections(m_servers.nginxAccessLog(m_http)).size();
    makeMirrors({{"one", m_http, "", httpSlots}, {"two", m_ftp, ""}});
    QList<DownloadTaskSpecification *> tasks;
    int highest = 0;
    const auto watchSlots = [&] {
        int maxUse = 0, useCount = 0;
        m_mirrors->calcUseStats(maxUse, useCount);
        QVERIFY(useCount <= maxUse);
        highest = qMax(highest, useCount);
    };
    for (int i = 0; i < 8; ++i) {
        auto *task = makeDownload(QString("data/file%1.bin").arg(i), QString("f%1").arg(i), -1);
        connect(task, &TaskSpecification::updateProgress, this, watchSlots);
        tasks << task;
    }
    for (DownloadTaskSpecification *task : tasks)
        task->execute();
    watchSlots();
    QCOMPARE(highest, peak);
    // All slots taken: the others wait; a tick while waiting changes nothing.
    unsigned long long done = 0, total = 0, speed = 0;
    bool downloading = true;
    tasks.last()->timeTick(done, total, speed, downloading);
    QVERIFY(downloading);
    downloading = false;
    tasks.last()->timeTick(done, total, speed, downloading);
    QVERIFY(!downloading);
    QCOMPARE(done, 0u);

    for (DownloadTaskSpecification *task : tasks)
        QVERIFY(waitForEnd(task));
    for (int i = 0; i < tasks.size(); ++i) {
        QCOMPARE(tasks[i]->state, Finished);
        QVERIFY(localFile(QString("f%1").arg(i)) == m_body.left(m_body.size() - i));
    }
    QCOMPARE(highest, peak);
    int maxUse = 0, useCount = 0;
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(maxUse, peak);
    QCOMPARE(useCount, 0);
    // Each slot of the http mirror was a connection of its own, kept for the
    // transfers after it.
    const QStringList connections
        = LocalServers::requestConnections(m_servers.nginxAccessLog(m_http)).mid(requestsBefore);
    QCOMPARE(QSet<QString>(connections.begin(), connections.end()).size(), peak - 1);
}

void tst_DownloadTaskSpecification::cancelWhileWaitingNeverStartsLater()
{
    makeMirrors({{"ftp", m_ftp, ""}});
    DownloadTaskSpecification *running = makeDownload(FilePath, "a.bin", m_body.size());
    DownloadTaskSpecification *waiting = makeDownload(FilePath, "b.bin", m_body.size());
    running->execute();
    waiting->execute();
    QCOMPARE(waiting->state, Running);
    waiting->onOtherTaskCancelled(running);
    QCOMPARE(waiting->state, ErrorCanceled);

    QVERIFY(waitForEnd(running));
    QTest::qWait(100);
    QCOMPARE(m_log,
             QStringList({"Downloading data/file.bin", "Downloading data/file.bin",
                          "error canceled", "Downloading data/file.bin finished", "finished"}));
    QCOMPARE(waiting->state, ErrorCanceled);
    QVERIFY(!QFile::exists(m_out->filePath("b.bin")));
}

void tst_DownloadTaskSpecification::userCancelDeletesPartialFileAndFreesSlot()
{
    makeMirrors({{"stall", m_faults->baseUrl() + "/stall", ""}});
    const int before = m_faults->requestCount("stall");
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QTRY_COMPARE(m_faults->requestCount("stall") - before, 1);
    QVERIFY(QFile::exists(m_out->filePath("file.bin")));
    task->userCanceled();
    QCOMPARE(task->state, UserCanceled);
    QVERIFY(task->cancelRequested);
    QVERIFY(!QFile::exists(m_out->filePath("file.bin")));
    int maxUse = 0, useCount = 0;
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(useCount, 0);
    QCOMPARE(m_log, QStringList({"Downloading data/file.bin", "user canceled"}));
}

void tst_DownloadTaskSpecification::otherTaskCancelAbortsTransfer()
{
    makeMirrors({{"stall", m_faults->baseUrl() + "/stall", ""}});
    const int before = m_faults->requestCount("stall");
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    DownloadTaskSpecification *other = makeDownload(FilePath, "other.bin", m_body.size());
    task->execute();
    QTRY_COMPARE(m_faults->requestCount("stall") - before, 1);

    task->onOtherTaskCancelled(task); // its own cancellation is no news
    QCOMPARE(task->state, Running);
    task->onOtherTaskCancelled(other);
    QCOMPARE(task->state, ErrorCanceled);
    QCOMPARE(m_log,
             QStringList({"Downloading data/file.bin", "Abort downloading data/file.bin",
                          "error canceled"}));
    QVERIFY(!QFile::exists(m_out->filePath("file.bin")));
    int maxUse = 0, useCount = 0;
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(useCount, 0);
    // Nothing was charged to the mirror.
    FTPSiteAccessData mirror;
    QCOMPARE(m_mirrors->getRandomMirror(mirror), 0);
    QCOMPARE(mirror.errorCount, 0);
}

void tst_DownloadTaskSpecification::oversizedTransferIsChargedToMirror_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("more than announced size") << "more";
    QTest::newRow("no end") << "endless";
}

void tst_DownloadTaskSpecification::oversizedTransferIsChargedToMirror()
{
    QFETCH(QString, fault);
    makeMirrors({{"huge", m_faults->baseUrl() + "/" + fault, ""}, {"good", m_http, ""}});
    drawFirstPicks(6, 3, true);
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(m_log,
             QStringList({"Downloading data/file.bin",
                          QString("Mirror huge sent more than the %1 bytes expected of "
                                  "data/file.bin, abandoning the transfer")
                              .arg(m_body.size()),
                          "Downloading data/file.bin finished", "finished"}));
    QVERIFY(localFile("file.bin") == m_body);
    // Charged one error, not removed.
    QCOMPARE(errorsOf("huge"), 1);
}

void tst_DownloadTaskSpecification::writeErrorEndsDownloadWithoutChargingMirror_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("smallDisk"); // else every write fails at once
    QTest::newRow("fails while saving") << FilePath << false;
    QTest::newRow("fails at the last flush") << "data/tiny.bin" << false;
    QTest::newRow("session file system full") << FilePath << true;
}

void tst_DownloadTaskSpecification::writeErrorEndsDownloadWithoutChargingMirror()
{
    QFETCH(QString, path);
    QFETCH(bool, smallDisk);
    // The destination accepts the open, but writes fail with ENOSPC: all of
    // them, or those beyond 64 KiB.
    const QString target = m_out->filePath("full.bin");
    if (!smallDisk) {
        QVERIFY(QFile::link("/dev/full", target));
    } else if (::mount("tmpfs", QFile::encodeName(m_out->path()).constData(), "tmpfs", 0,
                       "size=64k")
               == 0) {
        m_mount = m_out->path();
    } else {
        QSKIP("cannot mount a tmpfs here");
    }
    makeMirrors({{"ok", m_http, ""}});
    const int before = m_servers.nginxAccessLog(m_http).count(path.toLatin1());
    DownloadTaskSpecification *task = makeDownload(path, "full.bin", -1);
    // While the window's box is open, more than a time-out of ticks.
    connect(task, &TaskSpecification::error, this, [task] {
        unsigned long long done = 0, total = 0, speed = 0;
        bool downloading = false;
        for (int tick = 0; tick < 20; ++tick)
            task->timeTick(done, total, speed, downloading);
    });
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, ErrorCanceled);
    // The player's line names the folder; its figures are the disk's.
    const QString cause = m_log.size() == 4 ? m_log.takeAt(2) : QString();
    QVERIFY2(QRegularExpression("^cause: Not enough disk space in OUT: the update needs \\S+ "
                                "\\S+ there, \\S+ \\S+ are free\\.$")
                 .match(cause)
                 .hasMatch(),
             qPrintable(cause));
    QCOMPARE(m_log,
             QStringList({"Downloading " + path,
                          "error: Error writing to file OUT/full.bin: No space left on device",
                          "error canceled"}));
    // Asked once: no retry, no charge; no other download of the run starts.
    QTRY_COMPARE(m_servers.nginxAccessLog(m_http).count(path.toLatin1()) - before, 1);
    QCOMPARE(m_mirrors->getMirrorIndex("ok"), 0);
    FTPSiteAccessData mirror;
    QCOMPARE(m_mirrors->getRandomMirror(mirror), int(Mirrors::NoMirrorLeft));
}

void tst_DownloadTaskSpecification::uncreatableFileIsAnError()
{
    makeMirrors({{"ok", m_http, ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "no/such/dir/file.bin", -1);
    task->execute();
    QCOMPARE(task->state, ErrorCanceled);
    QCOMPARE(m_log,
             QStringList({"Downloading data/file.bin",
                          "error: Unable to create file OUT/no/such/dir/file.bin for saving: "
                          "No such file or directory",
                          "cause: OUT/no/such/dir/file.bin could not be written: No such file "
                          "or directory",
                          "error canceled"}));
    int maxUse = 0, useCount = 0;
    m_mirrors->calcUseStats(maxUse, useCount);
    QCOMPARE(useCount, 0);
}

// A pipe left at the file's path would hold the main thread in open().
void tst_DownloadTaskSpecification::pipeAtTheFilesPathIsReplaced()
{
    QCOMPARE(::mkfifo(QFile::encodeName(m_out->filePath("file.bin")).constData(), 0600), 0);
    makeMirrors({{"ok", m_http, ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->state, Finished);
    QVERIFY(m_log.contains("Removing OUT/file.bin, which is no file"));
    QCOMPARE(localFile("file.bin"), m_body);
}

void tst_DownloadTaskSpecification::partLeftByEarlierRunIsContinued_data()
{
    QTest::addColumn<QString>("mirror"); // "http", "https", or a fault server path
    QTest::addColumn<bool>("genuinePart"); // the part is the file's own start
    QTest::addColumn<QString>("line"); // what the log says about the resumption

    QTest::newRow("http: 206") << "http" << true << "";
    QTest::newRow("https: 206") << "https" << true << "";
    QTest::newRow("ftp: REST") << "ftp" << true << "";
    QTest::newRow("range ignored: 200") << "/plain" << true << "";
    QTest::newRow("wrong 206") << "/badrange" << true
                               << "Mirror m1 answered the resumed download of data/file.bin with "
                                  "the range \"bytes 0-307210/307211\", starting over";
    QTest::newRow("416") << "/416" << true
                         << "FAULTS/416/123/data/file.bin refused to resume at byte 153605, "
                            "starting over";
    QTest::newRow("part changed since") << "http" << false << "";
}

// A part that an earlier run left is continued where the mirror allows it and
// fetched whole where it does not; the digest covers the whole file either way.
void tst_DownloadTaskSpecification::partLeftByEarlierRunIsContinued()
{
    QFETCH(QString, mirror);
    QFETCH(bool, genuinePart);
    QFETCH(QString, line);

    const qint64 half = m_body.size() / 2;
    const QByteArray part = genuinePart ? m_body.left(half) : QByteArray(half, 'x');
    QFile file(m_out->filePath("file.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(part);
    file.close();
    const QString url = mirror == "http" ? m_http
        : mirror == "https"              ? m_https
        : mirror == "ftp"                ? m_ftp
                                         : m_faults->baseUrl() + mirror;
    makeMirrors({{"m1", url, ""}});
    DownloadTaskSpecification *task = makeDownload(FilePath, "file.bin", m_body.size());
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, Finished);
    const QByteArray expected = mirror.startsWith('/') ? m_body : part + m_body.mid(half);
    QCOMPARE(localFile("file.bin"), expected);
    QCOMPARE(task->writtenMd5(), QCryptographicHash::hash(expected, QCryptographicHash::Md5));
    QCOMPARE(task->resumed(), !mirror.startsWith('/'));
    QCOMPARE(m_log.contains(line), !line.isEmpty());
    QCOMPARE(errorsOf("m1"), line.isEmpty() ? 0 : 1); // a wrong answer to a range is charged
    if (mirror.startsWith(QLatin1String("http"))) {
        const QString sent = QStringLiteral("\" 206 %1 ").arg(m_body.size() - half);
        QVERIFY2(m_servers.nginxAccessLog(url).contains(sent.toLatin1()),
                 m_servers.nginxAccessLog(url).constData());
    }
}

void tst_DownloadTaskSpecification::brokenOrSlowTransferIsContinued_data()
{
    // Mirror m1 answers with fault, m2 with other. With perTick, a tick comes
    // each time that many more bytes arrived: a rate is about perTick a tick.
    QTest::addColumn<int>("perTick");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("errors"); // of m1 then; -1: dropped
    QTest::addColumn<QString>("other");
    QTest::addColumn<bool>("finishes");
    QTest::addColumn<QString>("line");

    const QString lastPiece = "continuing data/file.bin at 294912 bytes";
    QTest::newRow("closed at 96 KiB: free") << 0 << "cut98304" << 0 << "" << true << lastPiece;
    QTest::newRow("reset, range ignored: restarts charged, dropped")
        << 0 << "reset" << -1 << "" << false << "too many";
    QTest::newRow("range ignored, closed 64 KiB + 1 past the part: charged, dropped")
        << 0 << "ahead65537" << -1 << "" << false << "too many";
    const QString slow = "^Mirror m1 sent data/file.bin at %1 bytes/s over the last 2 s, %2$";
    QTest::newRow("slow single mirror: moved at no charge, finishes")
        << 200 << "pace50" << 0 << "" << true << slow.arg("[1-9]\\d\\d", "moving.*");
    QTest::newRow("slow beside a fast one: charged")
        << 200 << "pace50" << 1 << "pace8192" << false << slow.arg("[1-9]\\d\\d", "abandoning.*");
    QTest::newRow("under 64 bytes/s: charged")
        << 20 << "pace10" << 1 << "" << false << slow.arg("[1-5]?\\d", "abandoning.*");
}

// A transfer that breaks off after 64 KiB, or is slow while no other mirror
// did four times better and not under 64 bytes/s, is continued at no charge;
// else it is charged, so that no mirror keeps a file going for ever; one
// that ignores ranges is charged for each transfer from byte 0 it breaks.
void tst_DownloadTaskSpecification::brokenOrSlowTransferIsContinued()
{
    QFETCH(int, perTick);
    QFETCH(QString, fault);
    QFETCH(int, errors);
    QFETCH(QString, other);
    QFETCH(bool, finishes);
    QFETCH(QString, line);
    const QByteArray body = m_body.left(perTick > 0 && finishes ? 1500 : m_body.size());
    FaultServer server(body);
    QVERIFY(server.start());
    QList<MirrorEntry> mirrors {{"m1", server.baseUrl() + "/" + fault, ""}};
    if (!other.isEmpty())
        mirrors.append({"m2", server.baseUrl() + "/" + other, ""});
    makeMirrors(mirrors)->setSlowTransferWindow(2);
    // The first download draws m1 (3 of 6 free slots), the second m2 (3 of 5).
    m_draws = Random::sequence({0, 2});
    QList<DownloadTaskSpecification *> tasks {makeDownload(FilePath, "file.bin", body.size())};
    if (!other.isEmpty())
        tasks.append(makeDownload(FilePath, "other.bin", body.size()));
    for (DownloadTaskSpecification *task : std::as_const(tasks))
        task->execute();

    DownloadTaskSpecification *task = tasks.first();
    unsigned long long done = 0, total = 0, speed = 0;
    bool downloading = false;
    const QRegularExpression pattern(line);
    const auto waiting = [&] {
        return task->state == Running && (finishes || m_log.filter(pattern).isEmpty());
    };
    for (qint64 last = 0; waiting(); last = QFileInfo(m_out->filePath("file.bin")).size()) {
        QTRY_VERIFY(
            !waiting()
            || (perTick > 0 && QFileInfo(m_out->filePath("file.bin")).size() >= last + perTick));
        // The fast transfer first, so that its rate is known.
        for (auto ticked = tasks.crbegin(); ticked != tasks.crend(); ++ticked)
            (*ticked)->timeTick(done, total, speed, downloading);
    }
    QVERIFY2(!m_log.filter(pattern).isEmpty(), qPrintable(m_log.join('\n')));
    QCOMPARE(errors < 0 ? m_mirrors->getMirrorIndex("m1") : errorsOf("m1"), errors);
    QCOMPARE(task->state, finishes ? Finished : errors < 0 ? ErrorCanceled : Running);
    // Whatever the mirror does, it is not asked for the file over and over.
    QVERIFY2(server.bytesSent() <= 3 * body.size(),
             qPrintable(QString::number(server.bytesSent())));
    if (finishes) {
        QCOMPARE(localFile("file.bin"), body);
        QCOMPARE(task->writtenMd5(), QCryptographicHash::hash(body, QCryptographicHash::Md5));
        QVERIFY(task->resumed());
    }
    for (DownloadTaskSpecification *stopped : std::as_const(tasks))
        stopped->userCanceled();
}

QTEST_GUILESS_MAIN(tst_DownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
