#include "faultserver.h"
#include "localservers.h"
#include "net/ftpreply.h"
#include "net/networkaccessmanager.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The ftp side of the manager runs against a real vsftpd on loopback.
class tst_NetworkAccessManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void ftpFileArrivesByteForByte();
    void ftpErrorsMapToQtCodes_data();
    void ftpErrorsMapToQtCodes();
    void slowReaderKeepsBufferBounded();
    void abortInsideReadyReadStopsAtOnce();
    void ftpGoesThroughHttpProxy();
    void httpRedirectIsNotFollowed();

private:
    static QByteArray randomBytes(int size);
    QTemporaryDir m_root;
    LocalServers m_servers;
    QString m_ftp;
    QByteArray m_big;
};

QByteArray tst_NetworkAccessManager::randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &c : data)
        c = char(generator.generate());
    return data;
}

void tst_NetworkAccessManager::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_big = randomBytes(3 * 1024 * 1024 + 17);
    QDir(m_root.path()).mkpath("pub/sub");
    QFile big(m_root.filePath("pub/sub/big.bin"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(m_big);
    big.close();
    QFile large(m_root.filePath("pub/large.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly));
    QVERIFY(large.resize(24 * 1024 * 1024));
    large.close();
    m_ftp = m_servers.startFtp(m_root.path());
    QVERIFY(!m_ftp.isEmpty());
}

void tst_NetworkAccessManager::ftpFileArrivesByteForByte()
{
    NetworkAccessManager manager;
    QSignalSpy managerFinished(&manager, &QNetworkAccessManager::finished);
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(m_ftp + "/pub/sub/big.bin")));
    QVERIFY(qobject_cast<FtpReply *>(reply));

    QStringList events;
    QByteArray received;
    qint64 lastTotal = 0;
    connect(reply, &QNetworkReply::metaDataChanged, this, [&] { events << "metaDataChanged"; });
    connect(reply, &QNetworkReply::readyRead, this, [&] {
        if (events.isEmpty() || events.last() != "readyRead")
            events << "readyRead";
        received += reply->readAll();
    });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [&](qint64, qint64 total) { lastTotal = total; });
    connect(reply, &QNetworkReply::finished, this, [&] { events << "finished"; });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);

    QCOMPARE(events, QStringList({"metaDataChanged", "readyRead", "finished"}));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(received == m_big);
    QCOMPARE(lastTotal, qint64(m_big.size()));
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(),
             qint64(m_big.size()));
    QVERIFY(!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    QCOMPARE(managerFinished.count(), 1);
    QCOMPARE(managerFinished.at(0).at(0).value<QNetworkReply *>(), reply);
    reply->deleteLater();
}

void tst_NetworkAccessManager::ftpErrorsMapToQtCodes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("error");

    QTest::newRow("missing file") << "%1/pub/nothing-here.bin"
                                  << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("refused login") << "ftp://someone:secret@%2/pub/sub/big.bin"
                                   << int(QNetworkReply::AuthenticationRequiredError);
    QTest::newRow("nobody listening")
        << "ftp://127.0.0.1:%3/pub/sub/big.bin" << int(QNetworkReply::ConnectionRefusedError);
}

void tst_NetworkAccessManager::ftpErrorsMapToQtCodes()
{
    QFETCH(QString, url);
    QFETCH(int, error);

    const QString hostPort = QUrl(m_ftp).authority();
    url.replace("%1", m_ftp)
        .replace("%2", hostPort)
        .replace("%3", QString::number(LocalServers::freeTcpPort()));
    NetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QSignalSpy errors(reply, &QNetworkReply::errorOccurred);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(int(reply->error()), error);
    QCOMPARE(errors.at(0).at(0).value<QNetworkReply::NetworkError>(), reply->error());
    QVERIFY(!reply->errorString().isEmpty());
    delete reply;
}

void tst_NetworkAccessManager::slowReaderKeepsBufferBounded()
{
    NetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(m_ftp + "/pub/large.bin")));
    qint64 peak = 0;
    qint64 total = 0;
    // The reader ignores readyRead and drains 64 KiB every few milliseconds.
    QTimer drain;
    connect(&drain, &QTimer::timeout, this, [&] {
        peak = qMax(peak, reply->bytesAvailable());
        total += reply->read(64 * 1024).size();
    });
    drain.start(1);
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished() && reply->bytesAvailable() == 0, 60000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(total, qint64(24 * 1024 * 1024));
    QVERIFY2(peak <= FtpReply::DefaultBufferLimit + 64 * 1024, qPrintable(QString::number(peak)));
    delete reply;
}

void tst_NetworkAccessManager::abortInsideReadyReadStopsAtOnce()
{
    NetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(m_ftp + "/pub/large.bin")));
    QStringList events;
    connect(reply, &QNetworkReply::readyRead, this, [&] {
        events << "readyRead";
        reply->abort();
        events << "aborted";
    });
    connect(reply, &QNetworkReply::errorOccurred, this,
            [&](QNetworkReply::NetworkError code) { events << QString("error %1").arg(code); });
    connect(reply, &QNetworkReply::finished, this, [&] { events << "finished"; });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
    QTest::qWait(200);
    QCOMPARE(
        events,
        QStringList({"readyRead", QString("error %1").arg(QNetworkReply::OperationCanceledError),
                     "finished", "aborted"}));
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QCOMPARE(reply->bytesAvailable(), 0);
    delete reply;
}

void tst_NetworkAccessManager::ftpGoesThroughHttpProxy()
{
    const quint16 proxyPort = m_servers.startProxy();
    QVERIFY(proxyPort != 0);
    NetworkAccessManager manager;
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxyPort));
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(m_ftp + "/pub/sub/big.bin")));
    QByteArray received;
    connect(reply, &QNetworkReply::readyRead, this, [&] { received += reply->readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(received == m_big);
    const QByteArray log = m_servers.proxyLog();
    QVERIFY2(log.contains("CONNECT " + QUrl(m_ftp).authority().toLatin1()), log.constData());
    delete reply;
}

void tst_NetworkAccessManager::httpRedirectIsNotFollowed()
{
    FaultServer faults("body");
    QVERIFY(faults.start());
    NetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(faults.baseUrl() + "/302/file")));
    QSignalSpy redirected(reply, &QNetworkReply::redirected);
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    QCOMPARE(redirected.count(), 0);
    QCOMPARE(faults.requestedPaths(), QStringList({"/302/file"}));
    delete reply;
}

QTEST_GUILESS_MAIN(tst_NetworkAccessManager)
#include "tst_networkaccessmanager.moc"
