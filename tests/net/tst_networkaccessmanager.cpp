#include "faultserver.h"
#include "localservers.h"
#include "net/curlreply.h"
#include "net/networkaccessmanager.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// The manager's transfers run against a real vsftpd and nginx (HTTP, and
// HTTPS with HTTP/2) on loopback.
class tst_NetworkAccessManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void fileArrivesByteForByte_data();
    void fileArrivesByteForByte();
    void filesShareOneConnection_data();
    void filesShareOneConnection();
    void rangeStartsAtOffset_data();
    void rangeStartsAtOffset();
    void errorsMapToQtCodes_data();
    void errorsMapToQtCodes();
    void slowReaderKeepsBufferBounded_data();
    void slowReaderKeepsBufferBounded();
    void abortInsideReadyReadStopsAtOnce_data();
    void abortInsideReadyReadStopsAtOnce();
    void proxyCarriesEveryScheme_data();
    void proxyCarriesEveryScheme();
    void httpRedirectIsNotFollowed();

private:
    static QByteArray randomBytes(int size);
    QTemporaryDir m_root;
    LocalServers m_servers;
    QString baseUrl(const QString &scheme) const;
    QString m_ftp, m_http, m_https, m_untrusted;
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
    m_http = m_servers.startNginx(m_root.path());
    m_https = m_servers.startNginx(m_root.path(), true);
    m_untrusted = m_servers.startNginx(m_root.path(), true, false);
    QVERIFY(!m_ftp.isEmpty() && !m_http.isEmpty() && !m_https.isEmpty() && !m_untrusted.isEmpty());
}

QString tst_NetworkAccessManager::baseUrl(const QString &scheme) const
{
    return scheme == "ftp" ? m_ftp : scheme == "http" ? m_http : m_https;
}

void tst_NetworkAccessManager::fileArrivesByteForByte_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QVariant>("status");
    QTest::addColumn<QVariant>("reason");
    QTest::newRow("ftp") << "ftp" << QVariant() << QVariant();
    QTest::newRow("http") << "http" << QVariant(200) << QVariant(QByteArray("OK"));
    QTest::newRow("https, HTTP/2") << "https" << QVariant(200) << QVariant(QByteArray());
}

void tst_NetworkAccessManager::fileArrivesByteForByte()
{
    QFETCH(QString, scheme);
    QFETCH(QVariant, status);
    QFETCH(QVariant, reason);
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    QSignalSpy managerFinished(&manager, &QNetworkAccessManager::finished);
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(baseUrl(scheme) + "/pub/sub/big.bin")));
    QVERIFY(qobject_cast<CurlReply *>(reply));

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
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute), status);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute), reason);
    QCOMPARE(managerFinished.count(), 1);
    QCOMPARE(managerFinished.at(0).at(0).value<QNetworkReply *>(), reply);
    reply->deleteLater();
}

void tst_NetworkAccessManager::filesShareOneConnection_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QByteArray>("protocol");
    QTest::addColumn<bool>("atOnce");
    QTest::addColumn<int>("connections");
    QTest::newRow("http") << "http" << QByteArray("HTTP/1.1") << false << 1;
    QTest::newRow("https") << "https" << QByteArray("HTTP/2.0") << false << 1;
    // HTTP/1.1 carries one transfer at a time on a connection; HTTP/2
    // multiplexes them, also those that start before the first connection is up.
    QTest::newRow("http, at once") << "http" << QByteArray("HTTP/1.1") << true << 4;
    QTest::newRow("https, at once") << "https" << QByteArray("HTTP/2.0") << true << 1;
}

void tst_NetworkAccessManager::filesShareOneConnection()
{
    QFETCH(QString, scheme);
    QFETCH(QByteArray, protocol);
    QFETCH(bool, atOnce);
    QFETCH(int, connections);
    const int before
        = LocalServers::requestConnections(m_servers.nginxAccessLog(baseUrl(scheme))).size();
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    qint64 received = 0;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 4; ++i) {
        QNetworkReply *reply
            = manager.get(QNetworkRequest(QUrl(baseUrl(scheme) + "/pub/sub/big.bin")));
        connect(reply, &QNetworkReply::readyRead, this,
                [&received, reply] { received += reply->readAll().size(); });
        replies.append(reply);
        if (!atOnce)
            QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    }
    for (QNetworkReply *reply : std::as_const(replies))
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    qDeleteAll(replies);
    QCOMPARE(received, 4 * m_big.size());
    QTRY_COMPARE(LocalServers::requestConnections(m_servers.nginxAccessLog(baseUrl(scheme))).size(),
                 before + 4);
    const QByteArray log = m_servers.nginxAccessLog(baseUrl(scheme));
    const QStringList used = LocalServers::requestConnections(log).mid(before);
    QCOMPARE(QSet<QString>(used.begin(), used.end()).size(), connections);
    QVERIFY2(log.trimmed().endsWith(QByteArray(" ") + QByteArray::number(4 / connections))
                 && log.contains(protocol),
             log.constData());
}

void tst_NetworkAccessManager::rangeStartsAtOffset_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QVariant>("status");
    QTest::newRow("ftp, REST") << "ftp" << QVariant();
    QTest::newRow("http") << "http" << QVariant(206);
}

void tst_NetworkAccessManager::rangeStartsAtOffset()
{
    QFETCH(QString, scheme);
    QFETCH(QVariant, status);
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    QNetworkRequest request(QUrl(baseUrl(scheme) + "/pub/sub/big.bin"));
    request.setRawHeader("Range", "bytes=1000000-");
    QNetworkReply *reply = manager.get(request);
    QByteArray received;
    connect(reply, &QNetworkReply::readyRead, this, [&] { received += reply->readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute), status);
    QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(),
             m_big.size() - 1000000);
    QVERIFY(received == m_big.mid(1000000));
    delete reply;
}

void tst_NetworkAccessManager::errorsMapToQtCodes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");

    QTest::newRow("missing file") << "%1/pub/nothing-here.bin"
                                  << int(QNetworkReply::ContentNotFoundError) << 0;
    QTest::newRow("refused login") << "ftp://someone:secret@%2/pub/sub/big.bin"
                                   << int(QNetworkReply::AuthenticationRequiredError) << 0;
    QTest::newRow("nobody listening")
        << "ftp://127.0.0.1:%3/pub/sub/big.bin" << int(QNetworkReply::ConnectionRefusedError) << 0;
    QTest::newRow("http, missing file")
        << "%4/pub/nothing-here.bin" << int(QNetworkReply::ContentNotFoundError) << 404;
    QTest::newRow("https, certificate not trusted")
        << "%5/pub/sub/big.bin" << int(QNetworkReply::SslHandshakeFailedError) << 0;
    QTest::newRow("https, certificate for another host name")
        << "%6/pub/sub/big.bin" << int(QNetworkReply::SslHandshakeFailedError) << 0;
}

void tst_NetworkAccessManager::errorsMapToQtCodes()
{
    QFETCH(QString, url);
    QFETCH(int, error);
    QFETCH(int, status);

    const QString hostPort = QUrl(m_ftp).authority();
    url.replace("%1", m_ftp)
        .replace("%2", hostPort)
        .replace("%3", QString::number(LocalServers::freeTcpPort()))
        .replace("%4", m_http)
        .replace("%5", m_untrusted)
        .replace("%6", QString(m_https).replace("127.0.0.1", "localhost"));
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QStringList events;
    connect(reply, &QNetworkReply::metaDataChanged, this, [&] { events << "metaDataChanged"; });
    connect(reply, &QNetworkReply::errorOccurred, this, [&] { events << "errorOccurred"; });
    QSignalSpy errors(reply, &QNetworkReply::errorOccurred);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(events,
             status ? QStringList({"metaDataChanged", "errorOccurred"})
                    : QStringList({"errorOccurred"}));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(int(reply->error()), error);
    QCOMPARE(errors.at(0).at(0).value<QNetworkReply::NetworkError>(), reply->error());
    QVERIFY(!reply->errorString().isEmpty());
    delete reply;
}

void tst_NetworkAccessManager::slowReaderKeepsBufferBounded_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("ftp") << "ftp";
    QTest::newRow("https, HTTP/2") << "https";
}

void tst_NetworkAccessManager::slowReaderKeepsBufferBounded()
{
    QFETCH(QString, scheme);
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(baseUrl(scheme) + "/pub/large.bin")));
    const qint64 BufferSize = 256 * 1024;
    reply->setReadBufferSize(BufferSize);
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
    QVERIFY2(peak <= BufferSize + 64 * 1024, qPrintable(QString::number(peak)));
    delete reply;
}

void tst_NetworkAccessManager::abortInsideReadyReadStopsAtOnce_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("ftp") << "ftp";
    QTest::newRow("http") << "http";
}

void tst_NetworkAccessManager::abortInsideReadyReadStopsAtOnce()
{
    QFETCH(QString, scheme);
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(baseUrl(scheme) + "/pub/large.bin")));
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

void tst_NetworkAccessManager::proxyCarriesEveryScheme_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
    QTest::newRow("ftp") << "ftp";
}

// An HTTP proxy carries transfers of every scheme: plain HTTP as a GET of
// the whole URL, HTTPS and FTP through a CONNECT tunnel.
void tst_NetworkAccessManager::proxyCarriesEveryScheme()
{
    QFETCH(QString, scheme);
    const quint16 proxyPort = m_servers.startProxy();
    QVERIFY(proxyPort != 0);
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxyPort));
    const QString url = baseUrl(scheme) + "/pub/sub/big.bin";
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QByteArray received;
    connect(reply, &QNetworkReply::readyRead, this, [&] { received += reply->readAll(); });
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(received == m_big);
    const QByteArray log = m_servers.proxyLog();
    const QByteArray expected = scheme == "http" ? "GET " + url.toLatin1()
                                                 : "CONNECT " + QUrl(url).authority().toLatin1();
    QVERIFY2(log.contains(expected), log.constData());
    delete reply;
}

void tst_NetworkAccessManager::httpRedirectIsNotFollowed()
{
    FaultServer faults("body");
    QVERIFY(faults.start());
    NetworkAccessManager manager;
    manager.setCaCertificates(m_servers.caCertificates());
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
