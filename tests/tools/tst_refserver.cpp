// The reference update server as the updater and the banner query meet it.

#include "app/configuration.h"
#include "app/updatechecker.h"
#include "localservers.h"
#include "messageboxanswerer.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

class tst_RefServer : public QObject
{
    Q_OBJECT

private slots:
    void bannerRequestGetsBothUrls();
    void bannerStaysUnansweredWithoutBanner();
    void otherRequestsStayUnanswered_data();
    void otherRequestsStayUnanswered();
    void fixedPortsServeTheUpdater();

private:
    // Sends one datagram from a fresh socket; returns the reply or a null array.
    static QByteArray ask(quint16 port, const QByteArray &request, int waitMs = 2000);
};

QByteArray tst_RefServer::ask(quint16 port, const QByteArray &request, int waitMs)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return QByteArray();
    socket.writeDatagram(request, QHostAddress::LocalHost, port);
    if (!socket.waitForReadyRead(waitMs))
        return QByteArray();
    return socket.receiveDatagram().data();
}

void tst_RefServer::bannerRequestGetsBothUrls()
{
    LocalServers servers;
    const LocalServers::RefServer server = servers.startRefServer(
        {"--banner", "http://127.0.0.1:8080/banner.png,http://127.0.0.1:8080/news"});
    QVERIFY(server.isValid());
    // No terminator: everything after the comma is the click URL.
    QCOMPARE(ask(server.bannerPort, QByteArray("\x01\x01", 2)),
             QByteArray("http://127.0.0.1:8080/banner.png,http://127.0.0.1:8080/news"));
}

void tst_RefServer::bannerStaysUnansweredWithoutBanner()
{
    LocalServers servers;
    const LocalServers::RefServer server = servers.startRefServer();
    QVERIFY(server.isValid());
    QVERIFY(ask(server.bannerPort, QByteArray("\x01\x01", 2), 300).isNull());
}

void tst_RefServer::otherRequestsStayUnanswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("3 without zero byte") << QByteArray("3");
    QTest::newRow("unknown command") << QByteArray("4\0", 2);
    QTest::newRow("banner request on version port") << QByteArray("\x01\x01", 2);
}

void tst_RefServer::otherRequestsStayUnanswered()
{
    QFETCH(QByteArray, request);
    LocalServers servers;
    const LocalServers::RefServer server = servers.startRefServer({"--banner", "a,b"});
    QVERIFY(server.isValid());
    QVERIFY(ask(server.versionPort, request, 300).isNull());
    // Still answering afterwards.
    QCOMPARE(ask(server.versionPort, QByteArray("3\0", 2)).isEmpty(), false);
}

void tst_RefServer::fixedPortsServeTheUpdater()
{
    LocalServers servers;
    const LocalServers::RefServer server = servers.startRefServer(
        {"--versions", "900#Nine", "--news", "fixed", "--banner", "i,c"}, 17384, 2009);
    QVERIFY(server.isValid());
    QCOMPARE(server.versionPort, quint16(17384));
    QCOMPARE(server.bannerPort, quint16(2009));

    // A host name, resolved like the production one.
    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QCOMPARE(configuration.parseCommandLineOptions({"update"}), Configuration::NeedsUpdateServer);
    UpdateChecker checker(configuration, {QStringLiteral("localhost"), 17384});
    QSignalSpy done(&checker, &UpdateChecker::done);
    checker.checkUpdate();
    QVERIFY(done.wait(15000));
    QCOMPARE(done.at(0).at(0).toBool(), true);
    QCOMPARE(configuration.m_clientVersion, 900);
    QCOMPARE(configuration.m_clientVersionName, QStringLiteral("Nine"));
    QCOMPARE(configuration.m_newsText, QStringLiteral("fixed"));
    QCOMPARE(ask(2009, QByteArray("\x01\x01", 2)), QByteArray("i,c"));
}

QTEST_MAIN(tst_RefServer)
#include "tst_refserver.moc"
