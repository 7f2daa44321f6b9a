#include "net/banner.h"

#include "localservers.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

// The banner query against the reference update server over real UDP on
// loopback; replies that a real server never sends (from a strange address,
// none at all, late ones) come from sockets of the test itself.
class tst_Banner : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void wellFormedReplyIsReported_data();
    void wellFormedReplyIsReported();
    void malformedReplyIsIgnored_data();
    void malformedReplyIsIgnored();
    void replyFromOtherPortIsIgnored();
    void repliesFromElsewhereNeitherCountNorStopTheRepetition();
    void unansweredRequestIsSentTwiceThenGivenUp();
    void lateReplyIsStillReported();

private:
    // Quiet time after which a reply that was going to arrive on loopback has
    // arrived.
    static const int settleMsec = 150;
    LocalServers m_servers;
};

void tst_Banner::cleanup()
{
    m_servers.stopAll();
}

void tst_Banner::wellFormedReplyIsReported_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("bannerUrl");
    QTest::addColumn<QString>("clickUrl");

    QTest::newRow("http image, https link")
        << "127.0.0.1"
        << "http://127.0.0.1/banner.png,https://morvane.example/news"
        << "http://127.0.0.1/banner.png"
        << "https://morvane.example/news";
    QTest::newRow("trailing text belongs to the link")
        << "127.0.0.1"
        << "https://img.example/b.jpg,http://morvane.example/?a=1 2"
        << "https://img.example/b.jpg"
        << "http://morvane.example/?a=1 2";
    QTest::newRow("upper-case schemes") << "127.0.0.1"
                                        << "HTTP://img.example/b.png,HTTPS://morvane.example/"
                                        << "HTTP://img.example/b.png"
                                        << "HTTPS://morvane.example/";
    // localhost may resolve to ::1 first; the query takes the IPv4 address.
    QTest::newRow("host name") << "localhost"
                               << "http://img.example/b.png,http://x.example/"
                               << "http://img.example/b.png"
                               << "http://x.example/";
}

void tst_Banner::wellFormedReplyIsReported()
{
    QFETCH(QString, host);
    QFETCH(QString, reply);
    QFETCH(QString, bannerUrl);
    QFETCH(QString, clickUrl);

    const LocalServers::RefServer server
        = m_servers.startRefServer({QStringLiteral("--banner"), reply});
    QVERIFY(server.isValid());
    Banner banner({host, server.bannerPort});
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QVERIFY(found.wait(3000));
    QTest::qWait(settleMsec);
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toString(), bannerUrl);
    QCOMPARE(found.at(0).at(1).toString(), clickUrl);
}

void tst_Banner::malformedReplyIsIgnored_data()
{
    QTest::addColumn<QString>("reply");

    QTest::newRow("no comma") << "http://img.example/b.png";
    QTest::newRow("two commas") << "http://img.example/b.png,http://x.example/,http://y.example/";
    QTest::newRow("empty image url") << ",http://x.example/";
    QTest::newRow("empty click url") << "http://img.example/b.png,";
    QTest::newRow("ftp image") << "ftp://img.example/b.png,http://x.example/";
    QTest::newRow("file image") << "file:///etc/passwd,http://x.example/";
    QTest::newRow("script link") << "http://img.example/b.png,javascript:alert(1)";
    QTest::newRow("local program link") << "http://img.example/b.png,file:///usr/bin/xterm";
    QTest::newRow("no scheme") << "img.example/b.png,x.example";
    QTest::newRow("no host") << "http:///b.png,http://x.example/";
}

void tst_Banner::malformedReplyIsIgnored()
{
    QFETCH(QString, reply);

    const LocalServers::RefServer server
        = m_servers.startRefServer({QStringLiteral("--banner"), reply});
    QVERIFY(server.isValid());
    Banner banner({QStringLiteral("127.0.0.1"), server.bannerPort});
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QVERIFY(!found.wait(settleMsec * 2));
}

void tst_Banner::replyFromOtherPortIsIgnored()
{
    const LocalServers::RefServer server = m_servers.startRefServer(
        {QStringLiteral("--banner"), QStringLiteral("http://img.example/b.png,http://x.example/"),
         QStringLiteral("--answer-from-other-port")});
    QVERIFY(server.isValid());
    Banner banner({QStringLiteral("127.0.0.1"), server.bannerPort});
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QVERIFY(!found.wait(settleMsec * 2));
}

// Stray datagrams from another address or port are dropped without stopping
// the wait: the request is still repeated, and the server's own reply after
// them is the one reported.
void tst_Banner::repliesFromElsewhereNeitherCountNorStopTheRepetition()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress::LocalHost, 0));
    QUdpSocket otherPort;
    QVERIFY(otherPort.bind(QHostAddress::LocalHost, 0));
    QUdpSocket otherAddress;
    if (!otherAddress.bind(QHostAddress(QStringLiteral("127.0.0.2")), server.localPort()))
        QSKIP("127.0.0.2 cannot be bound here");

    Banner banner({QStringLiteral("127.0.0.1"), server.localPort(), 300});
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();

    QTRY_VERIFY(server.hasPendingDatagrams());
    const QNetworkDatagram request = server.receiveDatagram();
    QCOMPARE(request.data(), QByteArray("\x01\x01", 2));
    const QByteArray forged("http://evil.example/b.png,http://evil.example/");
    otherPort.writeDatagram(forged, request.senderAddress(), request.senderPort());
    otherAddress.writeDatagram(forged, QHostAddress::LocalHost, request.senderPort());

    // The repetition still comes.
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingDatagrams(), 3000);
    const QNetworkDatagram repeated = server.receiveDatagram();
    QCOMPARE(repeated.data(), QByteArray("\x01\x01", 2));
    QCOMPARE(found.count(), 0);

    const QByteArray genuine("http://img.example/b.png,http://x.example/");
    server.writeDatagram(genuine, repeated.senderAddress(), repeated.senderPort());
    QVERIFY(found.wait(3000));
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("http://img.example/b.png"));
}

void tst_Banner::unansweredRequestIsSentTwiceThenGivenUp()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress::LocalHost, 0));
    const int timeout = 300;

    QList<qint64> arrivals;
    QElapsedTimer clock;
    connect(&server, &QUdpSocket::readyRead, this, [&] {
        while (server.hasPendingDatagrams()) {
            QCOMPARE(server.receiveDatagram().data(), QByteArray("\x01\x01", 2));
            arrivals.append(clock.elapsed());
        }
    });

    Banner banner({QStringLiteral("127.0.0.1"), server.localPort(), timeout});
    QSignalSpy found(&banner, &Banner::bannerFound);
    clock.start();
    banner.run();
    // Well past the second time-out: nothing more is sent.
    QTest::qWait(timeout * 6);
    QCOMPARE(arrivals.size(), 2);
    QVERIFY(arrivals.at(1) - arrivals.at(0) >= timeout - 20);
    QCOMPARE(found.count(), 0);
}

void tst_Banner::lateReplyIsStillReported()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress::LocalHost, 0));
    Banner banner({QStringLiteral("127.0.0.1"), server.localPort(), 200});
    QSignalSpy found(&banner, &Banner::bannerFound);
    banner.run();
    QTest::qWait(200 * 4);

    QList<QNetworkDatagram> requests;
    while (server.hasPendingDatagrams())
        requests.append(server.receiveDatagram());
    QCOMPARE(requests.size(), 2);
    // Both requests answered after the query gave up: both replies count.
    for (const QNetworkDatagram &request : std::as_const(requests))
        server.writeDatagram("http://img.example/b.png,http://x.example/", request.senderAddress(),
                             request.senderPort());
    QTRY_COMPARE(found.count(), 2);
}

QTEST_GUILESS_MAIN(tst_Banner)
#include "tst_banner.moc"
