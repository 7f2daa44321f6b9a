// mrvupdated, the production update server, over real UDP on loopback.

#include "localservers.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class tst_Updated : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void checkReportsFaults_data();
    void checkReportsFaults();
    void answersComeFromTheFile_data();
    void answersComeFromTheFile();
    void reloadKeepsTheLastGoodAnswers_data();
    void reloadKeepsTheLastGoodAnswers();
    void floodIsLimited_data();
    void floodIsLimited();
    void requestFromAnUpdateServerPortIsNotAnswered();
    void rolloutReachesItsShareOfAddresses();

private:
    // Writes the server's configuration file; the [server] section puts it on
    // 127.0.0.1 and free ports. A null text removes the file.
    QString writeConfig(const QString &body, bool withServer = true);
    // Asks from a fresh socket on the source address; null without reply.
    static QByteArray ask(quint16 port, const QByteArray &request, int waitMs = 2000,
                          const QHostAddress &from = QHostAddress::LocalHost, quint16 fromPort = 0);
    // Stops the server and returns its total counts, once it has exited with 0.
    static QString stopAndCount(const LocalServers::RefServer &server);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Updated::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString tst_Updated::writeConfig(const QString &body, bool withServer)
{
    const QString path = m_dir->filePath(QStringLiteral("mrvupdated.ini"));
    QFile::remove(path);
    if (body.isNull())
        return path;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        if (withServer)
            file.write("[server]\naddress=127.0.0.1\nversionPort=0\nbannerPort=0\n");
        file.write(body.toUtf8());
    }
    return path;
}

QByteArray tst_Updated::ask(quint16 port, const QByteArray &request, int waitMs,
                            const QHostAddress &from, quint16 fromPort)
{
    // The servers' ports come from the ephemeral range, and a server never
    // answers a request from its own ports: a socket left to take any port
    // would now and then take one of them and get no reply.
    QUdpSocket socket;
    bool bound = false;
    for (int attempt = 0; !bound && attempt < 50; ++attempt)
        bound = socket.bind(
            from,
            fromPort != 0 ? fromPort : quint16(20000 + QRandomGenerator::global()->bounded(10000)));
    if (!bound)
        return QByteArray();
    socket.writeDatagram(request, QHostAddress::LocalHost, port);
    if (!socket.waitForReadyRead(waitMs))
        return QByteArray();
    return socket.receiveDatagram().data();
}

QString tst_Updated::stopAndCount(const LocalServers::RefServer &server)
{
    server.process->terminate();
    if (!server.process->waitForFinished(5000)
        || server.process->exitStatus() != QProcess::NormalExit || server.process->exitCode() != 0)
        return QStringLiteral("no clean exit");
    return LocalServers::waitForLogLine(server.process, QStringLiteral("stopping"))
        .section(QStringLiteral("in total "), 1);
}

void tst_Updated::checkReportsFaults_data()
{
    QTest::addColumn<QString>("file"); // null: no file at all
    QTest::addColumn<QStringList>("faults"); // FILE and DIR stand for the paths

    QFile example(LocalServers::sourceDir() + QStringLiteral("/tools/updated/mrvupdated.ini"));
    QVERIFY(example.open(QIODevice::ReadOnly));
    QTest::newRow("installed example") << QString::fromUtf8(example.readAll()) << QStringList();
    QTest::newRow("no file") << QString() << QStringList {"FILE: cannot read FILE: no such file"};
    QTest::newRow("unknown key and section")
        << "[versions]\nstable=43\nstabel=44\n[extra]\nx=1\n"
        << QStringList {"FILE:3: unknown key stabel in [versions]",
                        "FILE:4: unknown section [extra]"};
    QTest::newRow("hash comment") << "# note\n[versions]\nstable=43\n"
                                  << QStringList {"FILE:1: comments start with ';'"};
    QTest::newRow("key twice") << "[versions]\nstable=43\nstable=44\n"
                               << QStringList {"FILE:3: stable given twice (first on line 2)"};
    QTest::newRow("no channel") << "[news]\ntext=hi\n"
                                << QStringList {"FILE: [versions] gives no version for any "
                                                "channel (stable, beta, alpha)"};
    QTest::newRow("not a version number")
        << "[versions]\nstable=4.3\n"
        << QStringList {
               "FILE:2: stable must be a version number from 1 to 2147483647, not \"4.3\""};
    QTest::newRow("unquoted comma")
        << "[versions]\nstable=43\nstableName=3,4\n"
        << QStringList {"FILE:3: a value with a comma needs double quotes"};
    QTest::newRow("comma in a name")
        << "[versions]\nstable=43\nstableName=\"3,4\"\n"
        << QStringList {"FILE:3: stableName holds a comma, which would end the channel's entry"};
    QTest::newRow("news beyond Latin-1")
        << "[versions]\nstable=43\n[news]\ntext=5 \u20ac\n"
        << QStringList {"FILE:4: the news holds U+20AC, which is not in Latin-1, the updater's "
                        "character set"};
    QTest::newRow("news too long")
        << "[versions]\nstable=43\n[news]\ntext=" + QString(4096, QLatin1Char('x')) + "\n"
        << QStringList {"FILE:4: the news is 4096 bytes; the updater reads at most 4095"};
    QTest::newRow("version with leading zeros")
        << "[versions]\nstable=43\nbeta=0044\n"
        << QStringList {
               "FILE:3: beta must be written without leading zeros (\"44\"), not \"0044\""};
    QTest::newRow("roll-out not above the version")
        << "[versions]\nstable=43\n[rollout]\nstable=43\nstablePercent=5\nsalt=x\n"
        << QStringList {"FILE:4: the roll-out of stable (43) must be above [versions] stable (43): "
                        "the updater refuses a lower version than it installed"};
    QTest::newRow("roll-out without share, channel or salt")
        << "[versions]\nstable=43\n[rollout]\nbeta=44\nbetaPercent=5%\nalphaPercent=1\n"
        << QStringList {"FILE:5: betaPercent must be a percentage from 0 to 100 with at most two "
                        "decimals (5, 0.5), not \"5%\"",
                        "FILE:4: a roll-out of beta needs [versions] beta for the addresses "
                        "outside it",
                        "FILE:6: alphaPercent without a roll-out version in alpha",
                        "FILE:4: a roll-out needs a salt in [rollout]: any text, the same on every "
                        "server that answers for the update server's name"};
    QTest::newRow("news file missing")
        << "[versions]\nstable=43\n[news]\nfile=gone.txt\n"
        << QStringList {"FILE:4: cannot read DIR/gone.txt: no such file"};
    QTest::newRow("banner half given")
        << "[versions]\nstable=43\n[banner]\nimage=http://i/b.png\n"
        << QStringList {"FILE:4: a banner needs both an image and a click URL"};
    QTest::newRow("banner not http")
        << "[versions]\nstable=43\n[banner]\nimage=ftp://i/b.png\nclick=http://c/\n"
        << QStringList {"FILE:4: image \"ftp://i/b.png\" is not an http or https URL"};
    QTest::newRow("port and burst")
        << "[server]\nversionPort=70000\n[versions]\nstable=43\n[limits]\nburst=2\n"
        << QStringList {"FILE:2: versionPort must be a whole number from 0 to 65535, not \"70000\"",
                        "FILE:6: burst 2 is less than the largest reply (3 bytes), which would "
                        "never be sent"};
    QTest::newRow("block budget below an address's")
        << "[versions]\nstable=43\n[limits]\nblockRate=100\nblockBurst=1000\n"
        << QStringList {"FILE:4: blockRate 100 is less than rate 4096: a /24 block's budget must "
                        "hold at least one address's",
                        "FILE:5: blockBurst 1000 is less than burst 16384: a /24 block's budget "
                        "must hold at least one address's"};
}

void tst_Updated::checkReportsFaults()
{
    QFETCH(QString, file);
    QFETCH(QStringList, faults);
    const QString path = writeConfig(file, false);
    faults.replaceInStrings(QStringLiteral("FILE"), path)
        .replaceInStrings(QStringLiteral("DIR"), m_dir->path());
    const QString program = LocalServers::binDir() + QStringLiteral("/mrvupdated");

    QProcess check;
    check.start(program, {QStringLiteral("--check"), path});
    QVERIFY(check.waitForFinished(10000));
    const QString errors = QString::fromUtf8(check.readAllStandardError());
    QCOMPARE(errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts), faults);
    QCOMPARE(check.exitCode(), faults.isEmpty() ? 0 : 1);
    if (faults.isEmpty())
        return;

    // A faulty file does not start the server.
    QProcess start;
    start.start(program, {path});
    QVERIFY(start.waitForFinished(10000));
    QCOMPARE(start.exitCode(), 1);
    QCOMPARE(
        QString::fromUtf8(start.readAllStandardError()),
        faults.join(QLatin1Char('\n'))
            + QStringLiteral("\nnot started: %1 has %2 fault(s)\n").arg(path).arg(faults.size()));
}

void tst_Updated::answersComeFromTheFile_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("bannerPort");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply"); // null: none
    QTest::addColumn<QString>("counts"); // with the version request that follows

    const QString channels = "[versions]\nstable=43\n[banner]\nimage=http://i/b.png\n"
                             "click=http://c/\n";
    const QString answered = "answered 2, dropped by address limit 0, by /24 limit 0, malformed 0, "
                             "other unanswered 0";
    const QString malformed
        = "answered 1, dropped by address limit 0, by /24 limit 0, malformed 1, "
          "other unanswered 0";
    const QByteArray versionRequest("3\0", 2);
    QTest::newRow("every channel")
        << "[versions]\nstable=43\nstableName=3.4\nbeta=44\n"
           "betaName=3.5 Beta\nalpha=4711\n"
        << false << versionRequest << QByteArray("43#3.4,44#3.5 Beta,4711\0", 24) << answered;
    QTest::newRow("empty channel kept")
        << "[versions]\nstable=43\nalpha=4711\n"
        << false << versionRequest << QByteArray("43,,4711\0", 9) << answered;
    QTest::newRow("news text") << "[versions]\nstable=43\n[news]\ntext=\"Hello, players\"\n"
                               << false << QByteArray("*\0", 2)
                               << QByteArray("Hello, players\0", 15) << answered;
    QTest::newRow("news file") << "[versions]\nstable=43\n[news]\nfile=news.txt\n"
                               << false << QByteArray("*\0", 2)
                               << QByteArray("Gr\xfc\xdf"
                                             "e\0",
                                             6)
                               << answered;
    const QString rollout = "[versions]\nstable=43\nbeta=50\n[rollout]\nstable=44\n"
                            "stableName=3.5\nsalt=spring\nstablePercent=";
    QTest::newRow("roll-out to every address")
        << rollout + "100\n"
        << false << versionRequest << QByteArray("44#3.5,50\0", 10)
        << "answered 2 (version lists: 2 with a roll-out version, 0 without), dropped by address "
           "limit 0, by /24 limit 0, malformed 0, other unanswered 0";
    QTest::newRow("roll-out to no address")
        << rollout + "0\n"
        << false << versionRequest << QByteArray("43,50\0", 6)
        << "answered 2 (version lists: 0 with a roll-out version, 2 without), dropped by address "
           "limit 0, by /24 limit 0, malformed 0, other unanswered 0";
    QTest::newRow("no news is empty news")
        << "[versions]\nstable=43\n"
        << false << QByteArray("*\0", 2) << QByteArray("\0", 1) << answered;
    QTest::newRow("banner") << "[versions]\nstable=43\n[banner]\nimage=http://i/b.png\n"
                               "click=https://c/x\n"
                            << true << QByteArray("\x01\x01")
                            << QByteArray("http://i/b.png,https://c/x") << answered;
    QTest::newRow("no banner")
        << "[versions]\nstable=43\n"
        << true << QByteArray("\x01\x01") << QByteArray()
        << "answered 1, dropped by address limit 0, by /24 limit 0, malformed 0, "
           "other unanswered 1";
    QTest::newRow("3 without zero byte")
        << channels << false << QByteArray("3") << QByteArray() << malformed;
    QTest::newRow("3 with two zero bytes")
        << channels << false << QByteArray("3\0\0", 3) << QByteArray() << malformed;
    QTest::newRow("unknown command")
        << channels << false << QByteArray("4\0", 2) << QByteArray() << malformed;
    QTest::newRow("empty datagram")
        << channels << false << QByteArray("") << QByteArray() << malformed;
    QTest::newRow("64 KiB datagram")
        << channels << false << QByteArray(65507, '3') << QByteArray() << malformed;
    QTest::newRow("banner request on version port")
        << channels << false << QByteArray("\x01\x01") << QByteArray() << malformed;
    QTest::newRow("version request on banner port")
        << channels << true << versionRequest << QByteArray() << malformed;
}

void tst_Updated::answersComeFromTheFile()
{
    QFETCH(QString, config);
    QFETCH(bool, bannerPort);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QString, counts);
    QFile news(m_dir->filePath(QStringLiteral("news.txt")));
    QVERIFY(news.open(QIODevice::WriteOnly));
    news.write("Gr\xc3\xbc\xc3\x9f"
               "e\n"); // UTF-8, sent as Latin-1
    news.close();

    LocalServers servers;
    const QString path = writeConfig(config);
    const LocalServers::RefServer server = servers.startUpdateServer(path);
    QVERIFY(server.isValid());
    const quint16 port = bannerPort ? server.bannerPort : server.versionPort;
    QCOMPARE(ask(port, request, reply.isNull() ? 300 : 2000), reply);
    QVERIFY(!ask(server.versionPort, QByteArray("3\0", 2)).isNull());
    QCOMPARE(stopAndCount(server), counts);
    if (request != QByteArray("3\0", 2) || reply.isNull())
        return;

    // --check --address names per channel what the server sent that address.
    QProcess check;
    check.start(LocalServers::binDir() + QStringLiteral("/mrvupdated"),
                {QStringLiteral("--check"), QStringLiteral("--address"),
                 QStringLiteral("127.0.0.1"), path});
    QVERIFY(check.waitForFinished(10000));
    QStringList offered;
    for (const QString &line : QString::fromUtf8(check.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(QStringLiteral("127.0.0.1 ")))
            offered.append(line.section(QStringLiteral(" ("), 0, 0));
    }
    const QStringList entries = QString::fromLatin1(reply.constData()).split(',');
    QStringList expected;
    for (const char *channel : {"stable", "beta", "alpha"}) {
        const QString entry = entries.value(expected.size());
        expected.append(QStringLiteral("127.0.0.1 %1: %2")
                            .arg(channel, entry.isEmpty() ? QStringLiteral("no version") : entry));
    }
    QCOMPARE(offered, expected);
}

void tst_Updated::reloadKeepsTheLastGoodAnswers_data()
{
    QTest::addColumn<QString>("config"); // null: the file is gone
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("valid file") << "[versions]\nstable=44\n"
                                << "reloaded" << QByteArray("44\0", 3);
    QTest::newRow("invalid file") << "[versions]\nstable=4.4\n"
                                  << "reload failed" << QByteArray("43\0", 3);
    QTest::newRow("half-written file") << "[versions]\nsta"
                                       << "reload failed" << QByteArray("43\0", 3);
    QTest::newRow("file gone") << QString() << "reload failed" << QByteArray("43\0", 3);
}

void tst_Updated::reloadKeepsTheLastGoodAnswers()
{
    QFETCH(QString, config);
    QFETCH(QString, logLine);
    QFETCH(QByteArray, reply);
    LocalServers servers;
    const LocalServers::RefServer server
        = servers.startUpdateServer(writeConfig("[versions]\nstable=43\n"));
    QVERIFY(server.isValid());
    QCOMPARE(ask(server.versionPort, QByteArray("3\0", 2)), QByteArray("43\0", 3));

    writeConfig(config);
    ::kill(pid_t(server.process->processId()), SIGHUP);
    QVERIFY(!LocalServers::waitForLogLine(server.process, logLine).isNull());
    QCOMPARE(ask(server.versionPort, QByteArray("3\0", 2)), reply);
}

void tst_Updated::floodIsLimited_data()
{
    QTest::addColumn<int>("sources"); // 127.0.0.2 on
    QTest::addColumn<int>("requestsEach");
    QTest::addColumn<int>("budget"); // replies of 3 bytes in the burst of the limit that drops
    QTest::addColumn<bool>("byBlock"); // the /24 limit drops the rest, else the address limit

    QTest::newRow("one address") << 1 << 100 << 10 << false;
    QTest::newRow("a /24 of forged addresses") << 253 << 1 << 100 << true;
}

void tst_Updated::floodIsLimited()
{
    QFETCH(int, sources);
    QFETCH(int, requestsEach);
    QFETCH(int, budget);
    QFETCH(bool, byBlock);
    // The refill is one byte a second for an address and for a block.
    LocalServers servers;
    const LocalServers::RefServer server = servers.startUpdateServer(writeConfig(
        "[versions]\nstable=43\n[limits]\nrate=1\nburst=30\nblockRate=1\nblockBurst=300\n"));
    QVERIFY(server.isValid());
    std::vector<std::unique_ptr<QUdpSocket>> flooders;
    for (int i = 0; i < sources; ++i) {
        flooders.push_back(std::make_unique<QUdpSocket>());
        QVERIFY(flooders.back()->bind(QHostAddress(quint32(0x7f000002 + i)), 0));
    }
    // An address of another block is answered between rounds, after every
    // request sent before it: the server's queue never overflows, and the
    // flood's replies have all arrived when the last answer has.
    int sent = 0;
    int asked = 0;
    for (int request = 0; request < requestsEach; ++request) {
        for (const auto &flooder : flooders) {
            flooder->writeDatagram(QByteArray("3\0", 2), QHostAddress::LocalHost,
                                   server.versionPort);
            if (++sent % 50 != 0 && sent != sources * requestsEach)
                continue;
            QCOMPARE(ask(server.versionPort, QByteArray("3\0", 2), 2000, QHostAddress("127.0.1.1")),
                     QByteArray("43\0", 3));
            ++asked;
        }
    }
    int floodReplies = 0;
    for (const auto &flooder : flooders) {
        while (flooder->hasPendingDatagrams() && flooder->receiveDatagram().isValid())
            ++floodReplies;
    }
    QVERIFY2(floodReplies >= budget && floodReplies < budget + 10,
             QByteArray::number(floodReplies));
    const int dropped = sent - floodReplies;
    QCOMPARE(stopAndCount(server),
             QStringLiteral("answered %1, dropped by address limit %2, by /24 limit %3, "
                            "malformed 0, other unanswered 0")
                 .arg(floodReplies + asked)
                 .arg(byBlock ? 0 : dropped)
                 .arg(byBlock ? dropped : 0));
}

void tst_Updated::requestFromAnUpdateServerPortIsNotAnswered()
{
    // A forged request from another update server's port would start an
    // endless exchange if the reply were itself a request ("3\0").
    LocalServers servers;
    const LocalServers::RefServer server
        = servers.startUpdateServer(writeConfig("[versions]\nstable=3\n"));
    QVERIFY(server.isValid());
    QVERIFY(ask(server.versionPort, QByteArray("3\0", 2), 300, QHostAddress::LocalHost, 17384)
                .isNull());
    QCOMPARE(ask(server.versionPort, QByteArray("3\0", 2)), QByteArray("3\0", 2));
    QCOMPARE(stopAndCount(server),
             QStringLiteral("answered 1, dropped by address limit 0, by /24 limit 0, malformed 0, "
                            "other unanswered 1"));
}

// Every address keeps its answer across servers with the same salt and as the
// share grows by a reload; the share comes out as configured.
void tst_Updated::rolloutReachesItsShareOfAddresses()
{
    const QString config = "[versions]\nstable=43\n[rollout]\nstable=44\nsalt=spring\n"
                           "stablePercent=";
    LocalServers servers;
    const LocalServers::RefServer first = servers.startUpdateServer(writeConfig(config + "20\n"));
    const LocalServers::RefServer second = servers.startUpdateServer(writeConfig(config + "20\n"));
    QVERIFY(first.isValid() && second.isValid());
    const QByteArray fresh("44\0", 3);
    const QByteArray current("43\0", 3);
    constexpr int addresses = 2000;
    // 127.1.0.1 on, 200 addresses in each /24 block.
    const auto from = [](int i) {
        return QHostAddress(quint32(0x7f010000 + 256 * (i / 200) + i % 200 + 1));
    };

    QList<bool> hadFresh;
    for (int i = 0; i < addresses; ++i) {
        const QByteArray answer = ask(first.versionPort, QByteArray("3\0", 2), 2000, from(i));
        QVERIFY(answer == fresh || answer == current);
        QCOMPARE(ask(second.versionPort, QByteArray("3\0", 2), 2000, from(i)), answer);
        hadFresh.append(answer == fresh);
    }
    const int freshAt20 = int(hadFresh.count(true));
    QVERIFY2(std::abs(freshAt20 - addresses / 5) <= addresses * 3 / 100,
             QByteArray::number(freshAt20));

    writeConfig(config + "50\n");
    ::kill(pid_t(first.process->processId()), SIGHUP);
    QVERIFY(!LocalServers::waitForLogLine(first.process, "reloaded").isNull());
    int freshAt50 = 0;
    for (int i = 0; i < addresses; ++i) {
        const QByteArray answer = ask(first.versionPort, QByteArray("3\0", 2), 2000, from(i));
        QVERIFY(answer == fresh || !hadFresh[i]);
        freshAt50 += answer == fresh ? 1 : 0;
    }
    QVERIFY2(std::abs(freshAt50 - addresses / 2) <= addresses * 3 / 100,
             QByteArray::number(freshAt50));
    QCOMPARE(stopAndCount(first),
             QStringLiteral("answered %1 (version lists: %2 with a roll-out version, %3 without), "
                            "dropped by address limit 0, by /24 limit 0, malformed 0, other "
                            "unanswered 0")
                 .arg(2 * addresses)
                 .arg(freshAt20 + freshAt50)
                 .arg(2 * addresses - freshAt20 - freshAt50));
}

QTEST_MAIN(tst_Updated)
#include "tst_updated.moc"
