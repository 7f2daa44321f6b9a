#include "net/random.h"
#include "fileops/checksignaturetaskspecification.h"
#include "fileops/publickey.h"
#include "fileops/tomcryptutil.h"
#include "localservers.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"
#include "releasebuilder.h"
#include "update/inidownloadtaskspecification.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <memory>

namespace {

const int Version = 7;
const QString ClientType = QStringLiteral("client_linux_amd64");
const QString IniName = ClientType + QStringLiteral(".ini");
const QString SigName = IniName + QStringLiteral(".sig");
const QString Retrying = QStringLiteral("Could not verify the product ini file. Retrying");
const QString Aborting = QStringLiteral("Could not verify the product ini file. Aborting");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

// The product ini step against nginx mirrors holding releases made by
// mrvpublish: a good one, one whose product ini was altered after signing,
// and one whose signature never verifies.
class tst_IniDownloadTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cachedFilesAreNotDownloadedAgain_data();
    void cachedFilesAreNotDownloadedAgain();
    void tamperedIniOnOneMirrorIsRetriedFromGoodMirror();
    void cachedIniWithFailingSignatureIsDownloadedAgain();
    void signatureThatNeverVerifiesAbortsAfterThousandRetries();
    void downloadThatFailsForGoodEndsStepWithoutRetry();
    void userCancelDuringFailingCheckIsNotRetriedAway();

private:
    // retries 0: the default of mirrors.ini. The list draws from draws.
    void useMirrors(const QStringList &urls, int retries = 0,
                    const RandomSource &draws = RandomSource());
    IniDownloadTaskSpecification *makeTask();
    bool waitForEnd(IniDownloadTaskSpecification *task, int timeoutMs = 60000);
    QStringList downloadsLogged() const;
    QString tempFile(const QString &name) const { return m_temp->filePath(name); }

    QTemporaryDir m_root;
    LocalServers m_servers;
    QString m_goodUrl, m_tamperedUrl, m_badSigUrl;
    QByteArray m_goodIni, m_goodSig;

    // Per test.
    std::unique_ptr<QTemporaryDir> m_temp;
    std::unique_ptr<NetworkAccessManager> m_manager;
    std::unique_ptr<Mirrors> m_mirrors;
    RunSettings m_settings;
    std::unique_ptr<IniDownloadTaskSpecification> m_task;
    QStringList m_log;
};

void tst_IniDownloadTaskSpecification::initTestCase()
{
    const QString keys = LocalServers::sourceDir() + QStringLiteral("/keys/");
    const QByteArray der = readFile(keys + QStringLiteral("dev_public.der"));
    if (der != QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), der.size()))
        QSKIP("built with another public key than the development key");
    crypt_init();

    QVERIFY(m_root.isValid());
    const QString client = m_root.filePath(QStringLiteral("client"));
    QVERIFY(writeFile(client + QStringLiteral("/mrvclient_linux_amd64"), "binary\n"));
    QVERIFY(writeFile(client + QStringLiteral("/data/level 1.dat"), QByteArray(5000, 'x')));

    const QString good = m_root.filePath(QStringLiteral("good"));
    QProcess publish;
    publish.start(LocalServers::binDir() + QStringLiteral("/mrvpublish"),
                  {QStringLiteral("release"), QStringLiteral("--key"),
                   keys + QStringLiteral("dev_private.key"), QStringLiteral("--type"), ClientType,
                   QStringLiteral("--version"), QString::number(Version), client, good});
    QVERIFY(publish.waitForFinished(60000));
    QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());
    const QString release = QStringLiteral("%1/%2/").arg(good).arg(Version);
    // Re-signed with its version written "07": the same number.
    m_goodIni = readFile(release + IniName).replace("\nversion=7\n", "\nversion=07\n");
    QVERIFY(m_goodIni.contains("\nversion=07\n"));
    QVERIFY(writeFile(release + IniName, m_goodIni) && ReleaseBuilder().sign(release + IniName));
    m_goodSig = readFile(release + SigName);
    QCOMPARE(m_goodSig.size(), 128);

    // The same release with one byte of the product ini changed after signing.
    QByteArray tampered = m_goodIni;
    tampered.replace("::5000", "::5001");
    QVERIFY(tampered != m_goodIni);
    const QString tamperedRelease
        = QStringLiteral("%1/tampered/%2/").arg(m_root.path()).arg(Version);
    QVERIFY(writeFile(tamperedRelease + IniName, tampered));
    QVERIFY(writeFile(tamperedRelease + SigName, m_goodSig));

    // A signature of the right length that belongs to other data.
    QByteArray wrongSig = m_goodSig;
    wrongSig[5] = char(wrongSig[5] ^ 0x40);
    const QString badSigRelease = QStringLiteral("%1/badsig/%2/").arg(m_root.path()).arg(Version);
    QVERIFY(writeFile(badSigRelease + IniName, m_goodIni));
    QVERIFY(writeFile(badSigRelease + SigName, wrongSig));

    m_goodUrl = m_servers.startNginx(good);
    m_tamperedUrl = m_servers.startNginx(m_root.filePath(QStringLiteral("tampered")));
    m_badSigUrl = m_servers.startNginx(m_root.filePath(QStringLiteral("badsig")));
    QVERIFY(!m_goodUrl.isEmpty() && !m_tamperedUrl.isEmpty() && !m_badSigUrl.isEmpty());
}

void tst_IniDownloadTaskSpecification::init()
{
    m_temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temp->isValid());
    m_manager = std::make_unique<NetworkAccessManager>();
    m_settings.clientType = ClientType;
    m_settings.clientVersion = Version;
    m_settings.sessionDir = m_temp->path();
    m_log.clear();
    Random::seed(1);
}

void tst_IniDownloadTaskSpecification::cleanup()
{
    m_task.reset();
    m_mirrors.reset();
    m_manager.reset();
    m_temp.reset();
}

void tst_IniDownloadTaskSpecification::useMirrors(const QStringList &urls, int retries,
                                                  const RandomSource &draws)
{
    QByteArray ini = "[mirrors]\nsize=" + QByteArray::number(urls.size()) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        ini += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i + 1) + "\n";
    for (int i = 0; i < urls.size(); ++i)
        ini += "[m" + QByteArray::number(i + 1) + "]\nurl=" + urls[i].toUtf8() + "\nretries="
            + QByteArray::number(retries) + "\n";
    const QString path = tempFile(QStringLiteral("mirrors.ini"));
    QVERIFY(writeFile(path, ini));
    m_mirrors = std::make_unique<Mirrors>(draws);
    QVERIFY(m_mirrors->initDefault(path, Version));
    QFile::remove(path);
}

IniDownloadTaskSpecification *tst_IniDownloadTaskSpecification::makeTask()
{
    m_task = std::make_unique<IniDownloadTaskSpecification>(m_manager.get(), m_mirrors.get(),
                                                            m_settings, nullptr, 0.1);
    connect(m_task.get(), &TaskSpecification::message, this,
            [this](const QString &line) { m_log.append(line); });
    return m_task.get();
}

bool tst_IniDownloadTaskSpecification::waitForEnd(IniDownloadTaskSpecification *task, int timeoutMs)
{
    if (task->state != Running)
        return task->state != Idle;
    // A plain event loop: QTest::qWaitFor() sleeps between its rounds, which
    // would dominate a run of a thousand loopback downloads.
    QEventLoop loop;
    connect(task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    connect(task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return task->state != Running;
}

QStringList tst_IniDownloadTaskSpecification::downloadsLogged() const
{
    QStringList names;
    for (const QString &line : m_log) {
        if (line.startsWith(QLatin1String("Downloading "))
            && !line.endsWith(QLatin1String(" finished")))
            names.append(line.mid(12));
    }
    return names;
}

void tst_IniDownloadTaskSpecification::cachedFilesAreNotDownloadedAgain_data()
{
    QTest::addColumn<bool>("iniCached");
    QTest::addColumn<bool>("sigCached");
    QTest::addColumn<QStringList>("downloads");
    QTest::addColumn<double>("checkWeight");

    QTest::newRow("both cached") << true << true << QStringList() << 1.0;
    QTest::newRow("only ini cached") << true << false << QStringList {SigName} << 0.6667;
    QTest::newRow("only signature cached") << false << true << QStringList {IniName} << 0.6667;
    QTest::newRow("nothing cached") << false << false << QStringList {IniName, SigName} << 0.3334;
}

void tst_IniDownloadTaskSpecification::cachedFilesAreNotDownloadedAgain()
{
    QFETCH(bool, iniCached);
    QFETCH(bool, sigCached);
    QFETCH(QStringList, downloads);
    QFETCH(double, checkWeight);

    if (iniCached)
        QVERIFY(writeFile(tempFile(IniName), m_goodIni));
    if (sigCached)
        QVERIFY(writeFile(tempFile(SigName), m_goodSig));
    useMirrors({m_goodUrl});
    IniDownloadTaskSpecification *task = makeTask();
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, Finished);
    QCOMPARE(m_log.first(), QStringLiteral("Download / check product ini"));
    QCOMPARE(downloadsLogged(), downloads);
    QCOMPARE(task->subTasks.size(), downloads.size() + 1);
    for (int i = 0; i < downloads.size(); ++i) {
        QVERIFY(qobject_cast<DownloadTaskSpecification *>(task->subTasks[i]));
        QCOMPARE(task->subTasks[i]->parentProgressRange, 0.3333);
    }
    auto *check = qobject_cast<CheckSignatureTaskSpecification *>(task->subTasks.last());
    QVERIFY(check);
    QCOMPARE(check->filePath, tempFile(IniName));
    QVERIFY(check->md5.isEmpty());
    QVERIFY(qAbs(check->parentProgressRange - checkWeight) < 1e-9);
    QVERIFY(qAbs(task->progress - 0.1) < 1e-9);
    QCOMPARE(readFile(tempFile(IniName)), m_goodIni);
    QCOMPARE(readFile(tempFile(SigName)), m_goodSig);
}

void tst_IniDownloadTaskSpecification::tamperedIniOnOneMirrorIsRetriedFromGoodMirror()
{
    // Both mirrors have three slots: the first pair is drawn from the
    // tampered mirror, the second from the good one.
    useMirrors({m_tamperedUrl, m_goodUrl}, 0, Random::sequence({0, 0, 3, 3}));
    IniDownloadTaskSpecification *task = makeTask();
    task->execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->state, Finished);
    QCOMPARE(readFile(tempFile(IniName)), m_goodIni);
    // A pair that fails its check is charged only to a mirror that served
    // both files, and one charge does not drop a mirror: both stay.
    QCOMPARE(m_mirrors->getMirrorIndex(QStringLiteral("m1")), 0);
    QVERIFY(m_log.contains(Retrying));
    const int retry = m_log.indexOf(Retrying);
    QCOMPARE(m_log[retry - 1],
             QStringLiteral("Signature check failed for %1").arg(tempFile(IniName)));
    // Both files come afresh after a failed check.
    const QStringList afterRetry = m_log.mid(retry);
    QVERIFY(afterRetry.contains(QStringLiteral("Downloading %1").arg(IniName)));
    QVERIFY(afterRetry.contains(QStringLiteral("Downloading %1").arg(SigName)));
    QVERIFY(!m_log.contains(Aborting));
}

void tst_IniDownloadTaskSpecification::cachedIniWithFailingSignatureIsDownloadedAgain()
{
    QByteArray stale = m_goodIni;
    stale.append("\n[files]\nextra=00000000000000000000000000000000::1\n");
    QVERIFY(writeFile(tempFile(IniName), stale));
    QVERIFY(writeFile(tempFile(SigName), m_goodSig));
    useMirrors({m_goodUrl});
    IniDownloadTaskSpecification *task = makeTask();
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, Finished);
    QCOMPARE(task->failedChecks, 1);
    const QStringList expected {
        QStringLiteral("Download / check product ini"),
        QStringLiteral("Signature check failed for %1").arg(tempFile(IniName)),
        Retrying,
        QStringLiteral("Downloading %1").arg(IniName),
        QStringLiteral("Downloading %1 finished").arg(IniName),
        QStringLiteral("Downloading %1").arg(SigName),
        QStringLiteral("Downloading %1 finished").arg(SigName),
    };
    QCOMPARE(m_log, expected);
    QCOMPARE(readFile(tempFile(IniName)), m_goodIni);
}

void tst_IniDownloadTaskSpecification::signatureThatNeverVerifiesAbortsAfterThousandRetries()
{
    // Each failed check is charged to the mirror: only one that tolerates
    // more errors than checks sees the limit.
    useMirrors({m_badSigUrl}, 2000);
    IniDownloadTaskSpecification *task = makeTask();
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QElapsedTimer timer;
    timer.start();
    task->execute();
    QVERIFY(waitForEnd(task, 120000));
    qInfo("1001 failed checks over loopback took %lld ms", timer.elapsed());

    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, ErrorCanceled);
    QCOMPARE(task->failedChecks, 1001);
    QCOMPARE(m_log.count(Retrying), 1000);
    QCOMPARE(m_log.count(Aborting), 1);
    QCOMPARE(m_log.last(), Aborting);
    // Every attempt, the first included, downloads both files.
    QCOMPARE(m_log.count(QStringLiteral("Downloading %1").arg(IniName)), 1001);
    QCOMPARE(m_log.count(QStringLiteral("Downloading %1").arg(SigName)), 1001);
    // The end is reported once, also after the failed check finishes.
    QTest::qWait(50);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
}

void tst_IniDownloadTaskSpecification::downloadThatFailsForGoodEndsStepWithoutRetry()
{
    useMirrors({});
    IniDownloadTaskSpecification *task = makeTask();
    task->execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->state, ErrorCanceled);
    QVERIFY(!m_log.contains(Retrying));
    QCOMPARE(task->failedChecks, 0);
}

void tst_IniDownloadTaskSpecification::userCancelDuringFailingCheckIsNotRetriedAway()
{
    // A cached product ini that fails its check; the check is held back on
    // the pool until the user has cancelled.
    QVERIFY(writeFile(tempFile(IniName), m_goodIni + "\n"));
    QVERIFY(writeFile(tempFile(SigName), m_goodSig));
    useMirrors({m_goodUrl});
    IniDownloadTaskSpecification *task = makeTask();

    QThreadPool *pool = QThreadPool::globalInstance();
    // Owned by the blocking jobs too: a job just woken may still be inside
    // acquire() when this function has returned.
    const auto release = std::make_shared<QSemaphore>();
    const auto blocked = std::make_shared<QSemaphore>();
    const int threads = pool->maxThreadCount();
    for (int i = 0; i < threads; ++i)
        pool->start([release, blocked] {
            blocked->release();
            release->acquire();
        });
    QVERIFY(blocked->tryAcquire(threads, 10000));

    task->execute();
    auto *check = qobject_cast<CheckSignatureTaskSpecification *>(task->subTasks.last());
    QVERIFY(check);
    QVERIFY(QTest::qWaitFor([&] { return check->state == Running; }, 10000));
    task->userCanceled();
    release->release(threads);
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->state, UserCanceled);
    QVERIFY(!m_log.contains(Retrying));
    QVERIFY(downloadsLogged().isEmpty());
}

QTEST_GUILESS_MAIN(tst_IniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
