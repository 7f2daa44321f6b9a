#include "digest/filedigestcache.h"
#include "fileops/checksigfunc.h"
#include "fileops/checksignaturetaskspecification.h"
#include "fileops/publickey.h"
#include "fileops/tomcryptutil.h"
#include "localservers.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <sys/resource.h>

// CheckSigFunc and CheckSignatureTaskSpecification: MD5 and signature checks
// of real files, the messages they log, and the order in which the task
// reports its end.
class tst_CheckSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void compiledInKeyIsTheConfiguredKey();
    void md5Check_data();
    void md5Check();
    void unopenableFileIsReported();
    void shortReadIsReported();
    void largeFileIsHashedWithBoundedMemory();
    void signatureCheck_data();
    void signatureCheck();
    void emptyMd5ChecksTheSignatureFile();
    void checkEndsTaskInOrder_data();
    void checkEndsTaskInOrder();
    void resultAfterCancelIsDropped();
    void receiverMayRestartInCheckDone();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool openssl(const QStringList &args);
    void writeFile(const QString &name, const QByteArray &data);
    QByteArray readFile(const QString &name);
    QStringList runCheck(const QString &file, const QString &md5, bool *result);
    void requireDevelopmentKey();

    QTemporaryDir m_dir;
    QString m_devPem;
    QString m_devKey;
    bool m_devKeyCompiledIn = false;
};

bool tst_CheckSignature::openssl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning() << "openssl" << args << process.readAllStandardError();
        return false;
    }
    return true;
}

void tst_CheckSignature::writeFile(const QString &name, const QByteArray &data)
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QByteArray tst_CheckSignature::readFile(const QString &name)
{
    QFile file(path(name));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QStringList tst_CheckSignature::runCheck(const QString &file, const QString &md5, bool *result)
{
    CheckSigFunc func(file, md5);
    QStringList messages;
    connect(&func, &ASyncFunc::message, this, [&messages](const QString &m) { messages << m; });
    *result = func.run();
    return messages;
}

void tst_CheckSignature::requireDevelopmentKey()
{
    if (!m_devKeyCompiledIn)
        QSKIP("the updater is built with another public key than keys/dev_public.der");
}

void tst_CheckSignature::initTestCase()
{
    QVERIFY(m_dir.isValid());
    crypt_init();
    const QString keys = LocalServers::sourceDir() + QStringLiteral("/keys/");
    m_devPem = keys + QStringLiteral("dev_private.pem");
    m_devKey = keys + QStringLiteral("dev_private.key");
    QFile devPublic(keys + QStringLiteral("dev_public.der"));
    QVERIFY(devPublic.open(QIODevice::ReadOnly));
    const QByteArray der = devPublic.readAll();
    m_devKeyCompiledIn = der == QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), der.size());
}

void tst_CheckSignature::compiledInKeyIsTheConfiguredKey()
{
    QFile configured(QStringLiteral(MORVANE_PUBLIC_KEY_FILE));
    QVERIFY(configured.open(QIODevice::ReadOnly));
    const QByteArray der = configured.readAll();
    const QByteArray buffer(reinterpret_cast<const char *>(PUBLIC_KEY), PUBLIC_KEY_SIZE);
    QCOMPARE(buffer.left(der.size()), der);
    QCOMPARE(buffer.mid(der.size()), QByteArray(PUBLIC_KEY_SIZE - der.size(), '\0'));
}

void tst_CheckSignature::md5Check_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("valid");

    const QByteArray abc("abc");
    const QByteArray million(1000000, 'a');
    QByteArray millionChanged = million;
    millionChanged[999999] = 'b';

    QTest::newRow("lower case sum") << abc << "900150983cd24fb0d6963f7d28e17f72" << true;
    QTest::newRow("upper case sum") << abc << "900150983CD24FB0D6963F7D28E17F72" << true;
    QTest::newRow("leading blank") << abc << " 900150983cd24fb0d6963f7d28e17f72" << false;
    QTest::newRow("trailing blank") << abc << "900150983cd24fb0d6963f7d28e17f72 " << false;
    QTest::newRow("trailing newline") << abc << "900150983cd24fb0d6963f7d28e17f72\n" << false;
    QTest::newRow("other sum") << abc << "900150983cd24fb0d6963f7d28e17f73" << false;
    QTest::newRow("empty file") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e" << true;
    QTest::newRow("file over several chunks")
        << million << "7707d6ae4e027c70eea2a935c2296f21" << true;
    QTest::newRow("last byte of several chunks changed")
        << millionChanged << "7707d6ae4e027c70eea2a935c2296f21" << false;
}

void tst_CheckSignature::md5Check()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, md5);
    QFETCH(bool, valid);
    writeFile(QStringLiteral("md5file"), content);
    bool result = !valid;
    const QStringList messages = runCheck(path("md5file"), md5, &result);
    QCOMPARE(result, valid);
    QCOMPARE(messages, QStringList());
}

void tst_CheckSignature::unopenableFileIsReported()
{
    bool result = true;
    const QString missing = path("no such file");
    QCOMPARE(runCheck(missing, "d41d8cd98f00b204e9800998ecf8427e", &result),
             QStringList {QStringLiteral("Could not open file %1 for reading").arg(missing)});
    QVERIFY(!result);
}

void tst_CheckSignature::shortReadIsReported()
{
    // sysfs files claim a size of a page and deliver a few bytes: fewer bytes
    // than the file's size arrive.
    QString file;
    for (const char *candidate : {"/sys/devices/system/cpu/possible", "/sys/class/net/lo/address",
                                  "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        QFile f(QString::fromLatin1(candidate));
        if (f.size() > 0 && f.open(QIODevice::ReadOnly) && f.readAll().size() < f.size()) {
            file = f.fileName();
            break;
        }
    }
    if (file.isEmpty())
        QSKIP("no file whose content is shorter than its size");
    bool result = true;
    QCOMPARE(runCheck(file, "d41d8cd98f00b204e9800998ecf8427e", &result),
             QStringList {QStringLiteral("could not read file %1 correctly").arg(file)});
    QVERIFY(!result);
}

static long peakResidentKiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void tst_CheckSignature::largeFileIsHashedWithBoundedMemory()
{
    // A sparse file of 256 MiB of zeros: were it read whole, the peak resident
    // size would grow by its size.
    QFile file(path("large"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(256 * 1024 * 1024));
    file.close();
    const long before = peakResidentKiB();
    bool result = false;
    QCOMPARE(runCheck(file.fileName(), "1f5039e50bd66b290c56684d8550c6c2", &result), QStringList());
    QVERIFY(result);
    QVERIFY2(peakResidentKiB() - before < 64 * 1024,
             qPrintable(QStringLiteral("peak grew by %1 KiB").arg(peakResidentKiB() - before)));
    QFile::remove(file.fileName());
}

enum SignatureKind {
    OpensslPss,
    GluePss,
    OpensslPkcs1v15,
    OneByteShort,
    OneByteLong,
    OtherKey,
    DataChanged,
    EmptySignature,
    ZeroSignature,
};

void tst_CheckSignature::signatureCheck_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("valid");
    QTest::newRow("PSS by OpenSSL") << int(OpensslPss) << true;
    QTest::newRow("PSS by the glue") << int(GluePss) << true;
    QTest::newRow("PKCS #1 v1.5 padding") << int(OpensslPkcs1v15) << false;
    QTest::newRow("one byte short") << int(OneByteShort) << false;
    QTest::newRow("one byte long") << int(OneByteLong) << false;
    QTest::newRow("another key") << int(OtherKey) << false;
    QTest::newRow("one data byte changed") << int(DataChanged) << false;
    QTest::newRow("empty signature file") << int(EmptySignature) << false;
    QTest::newRow("zero bytes of the right length") << int(ZeroSignature) << false;
}

void tst_CheckSignature::signatureCheck()
{
    requireDevelopmentKey();
    QFETCH(int, kind);
    QFETCH(bool, valid);

    QByteArray data = QByteArray("[files]\nbin\\mrvclient_linux_amd64=0123::17\n").repeated(20);
    writeFile("product.ini", data);
    const QString ini = path("product.ini");
    const QString sigFile = ini + QStringLiteral(".sig");
    const QStringList pss = {"dgst",    "-sha1",
                             "-sigopt", "rsa_padding_mode:pss",
                             "-sigopt", "rsa_pss_saltlen:8",
                             "-sigopt", "rsa_mgf1_md:sha1"};

    switch (kind) {
    case OpensslPss:
    case OneByteShort:
    case OneByteLong:
    case DataChanged:
        QVERIFY(openssl(pss + QStringList {"-sign", m_devPem, "-out", sigFile, ini}));
        break;
    case GluePss: {
        rsa_key key;
        load_key(&key, QFile::encodeName(m_devKey).constData());
        unsigned char sig[512];
        unsigned long sigLen = sizeof sig;
        sign_msg(&key, reinterpret_cast<const unsigned char *>(data.constData()), data.size(), sig,
                 &sigLen);
        rsa_free(&key);
        writeFile("product.ini.sig", QByteArray(reinterpret_cast<const char *>(sig), sigLen));
        break;
    }
    case OpensslPkcs1v15:
        QVERIFY(openssl({"dgst", "-sha1", "-sign", m_devPem, "-out", sigFile, ini}));
        break;
    case OtherKey:
        QVERIFY(openssl({"genrsa", "-out", path("other.pem"), "1024"}));
        QVERIFY(openssl(pss + QStringList {"-sign", path("other.pem"), "-out", sigFile, ini}));
        break;
    case EmptySignature:
        writeFile("product.ini.sig", QByteArray());
        break;
    case ZeroSignature:
        writeFile("product.ini.sig", QByteArray(128, '\0'));
        break;
    }
    const QByteArray sig = readFile("product.ini.sig");
    if (kind == OneByteShort)
        writeFile("product.ini.sig", sig.left(sig.size() - 1));
    if (kind == OneByteLong)
        writeFile("product.ini.sig", sig + '\0');
    if (kind == DataChanged) {
        data[5] = data[5] ^ 0x01;
        writeFile("product.ini", data);
    }

    bool result = !valid;
    // No library text may reach the log, whatever the signature looks like.
    QCOMPARE(runCheck(ini, QString(), &result), QStringList());
    QCOMPARE(result, valid);
}

void tst_CheckSignature::emptyMd5ChecksTheSignatureFile()
{
    writeFile("unsigned", "abc");
    QFile::remove(path("unsigned.sig"));
    bool result = true;
    QCOMPARE(runCheck(path("unsigned"), QString(), &result),
             QStringList {
                 QStringLiteral("Could not open file %1.sig for reading").arg(path("unsigned"))});
    QVERIFY(!result);
}

void tst_CheckSignature::checkEndsTaskInOrder_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("errorCancelOnFailure");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<bool>("digestKnown"); // as after a download: ends inside execute()

    const QString good = QStringLiteral("good");
    const QString missing = QStringLiteral("missing");
    // "abd" against the sum of "abc": the line names both sums.
    const QString mismatch = QStringLiteral("message MD5 mismatch: %1 has the MD5 sum "
                                            "%2, 900150983cd24fb0d6963f7d28e17f72 was expected")
                                 .arg(QStringLiteral("%1"),
                                      QCryptographicHash::hash("abd", QCryptographicHash::Md5)
                                          .toHex());
    const QStringList passed {"checkDone true", "progress 0.25", "finished"};
    const QStringList failedAndCanceled {"message Signature check failed for %1", mismatch,
                                         "checkDone false", "canceled"};
    QTest::newRow("passed") << good << false << passed << int(Finished) << false;
    QTest::newRow("passed, cancel on failure") << good << true << passed << int(Finished) << false;
    QTest::newRow("failed, finish on failure")
        << QStringLiteral("bad") << false
        << QStringList {"message Signature check failed for %1", mismatch, "checkDone false",
                        "progress 0.25", "finished"}
        << int(Finished) << false;
    QTest::newRow("failed, cancel on failure")
        << QStringLiteral("bad") << true << failedAndCanceled << int(ErrorCanceled) << false;
    QTest::newRow("unreadable, cancel on failure")
        << missing << true
        << QStringList {"message Could not open file %1 for reading",
                        "message Signature check failed for %1", "checkDone false", "canceled"}
        << int(ErrorCanceled) << false;
    QTest::newRow("digest known, passed") << good << true << passed << int(Finished) << true;
    QTest::newRow("digest known, failed")
        << QStringLiteral("bad") << true << failedAndCanceled << int(ErrorCanceled) << true;
}

void tst_CheckSignature::checkEndsTaskInOrder()
{
    QFETCH(QString, file);
    QFETCH(bool, errorCancelOnFailure);
    QFETCH(QStringList, expectedLog);
    QFETCH(int, expectedState);
    QFETCH(bool, digestKnown);

    writeFile("good", "abc");
    writeFile("bad", "abd");
    const QString filePath = path(file);
    QFile written(filePath);
    if (digestKnown && written.open(QIODevice::ReadOnly))
        FileDigestCache::record(
            filePath, QCryptographicHash::hash(written.readAll(), QCryptographicHash::Md5));
    const auto forget = qScopeGuard([&] { FileDigestCache::forget(filePath); });
    CheckSignatureTaskSpecification task(filePath, "900150983cd24fb0d6963f7d28e17f72",
                                         errorCancelOnFailure, nullptr, 0.25);
    QStringList log;
    connect(&task, &TaskSpecification::message, this,
            [&log](const QString &m) { log << QStringLiteral("message ") + m; });
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&log, &task](bool ok, CheckSignatureTaskSpecification *sender) {
                QCOMPARE(sender, &task);
                // The task still runs while its receivers see the result.
                QCOMPARE(int(task.state), int(Running));
                log << QStringLiteral("checkDone %1").arg(ok ? "true" : "false");
            });
    connect(&task, &TaskSpecification::updateProgress, this,
            [&log](qreal p) { log << QStringLiteral("progress %1").arg(p); });
    connect(&task, &TaskSpecification::finished, this, [&log] { log << "finished"; });
    connect(&task, &TaskSpecification::canceled, this, [&log] { log << "canceled"; });

    task.execute();
    QCOMPARE(int(task.state), digestKnown ? expectedState : int(Running));
    QTRY_COMPARE(log.size(), expectedLog.size());
    for (QString &line : expectedLog) {
        if (line.contains(QLatin1String("%1")))
            line = line.arg(filePath);
    }
    QCOMPARE(log, expectedLog);
    QCOMPARE(int(task.state), expectedState);
}

void tst_CheckSignature::resultAfterCancelIsDropped()
{
    writeFile("good", "abc");
    CheckSignatureTaskSpecification task(path("good"), "900150983cd24fb0d6963f7d28e17f72", false,
                                         nullptr, 1.0);
    QSignalSpy checkDone(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    task.userCancel();
    QThreadPool::globalInstance()->waitForDone();
    QTest::qWait(50);
    QCOMPARE(checkDone.count(), 0);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1); // the cancel itself
    QCOMPARE(int(task.state), int(UserCanceled));
}

void tst_CheckSignature::receiverMayRestartInCheckDone()
{
    // A parent that retries resets the check from its checkDone slot; the
    // reset task must not end the run it no longer belongs to.
    writeFile("bad", "abd");
    auto *task = new CheckSignatureTaskSpecification(
        path("bad"), "900150983cd24fb0d6963f7d28e17f72", false, nullptr, 1.0);
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    int checks = 0;
    connect(task, &CheckSignatureTaskSpecification::checkDone, this,
            [&checks](bool, CheckSignatureTaskSpecification *t) {
                if (++checks == 1)
                    t->reset();
                else
                    delete t; // a receiver that gives up on the task at once
            });
    task->execute();
    QTRY_COMPARE(checks, 1);
    QCOMPARE(int(task->state), int(Idle));
    QCOMPARE(finished.count(), 0);
    task->execute();
    QTRY_COMPARE(checks, 2);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 0);
}

QTEST_GUILESS_MAIN(tst_CheckSignature)
#include "tst_checksignature.moc"
