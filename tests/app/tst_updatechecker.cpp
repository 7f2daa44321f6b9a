// The latest-version query against the reference update server over real UDP.

#include "app/configuration.h"
#include "app/updatechecker.h"
#include "localservers.h"
#include "net/versionquery.h"
#include "messageboxanswerer.h"
#include "scopedapproot.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Pair = QPair<QString, QString>;
using PairList = QList<Pair>;

class tst_UpdateChecker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void versionReplyIsSplitIntoChannels_data();
    void versionReplyIsSplitIntoChannels();
    void newsComesFromSecondReply();
    void replyWithoutZeroByteIsRead();
    void overlongVersionReplyIsCutAt511Bytes();
    void missingChannelGivesNullPair();

    void serverVersionReachesConfiguration_data();
    void serverVersionReachesConfiguration();
    void badServerAnswerEndsWithoutVersion_data();
    void badServerAnswerEndsWithoutVersion();

    void unreachableServerAsksRetryOrAbort_data();
    void unreachableServerAsksRetryOrAbort();
    void retryRepeatsWholeExchange();
    void retryDropsVersionsOfFailedAttempt();
    void silentServerBringsBoxAfterFiveSeconds();
    void retryWaitsAnotherFiveSeconds();
    void replyFromOtherPortIsIgnored();

private:
    // Starts the reference server with the options; m_server is then its address.
    bool useServer(const QStringList &options);
    void writeUpdateIni(const QByteArray &contents);
    // Runs the query, or the checker, to its end: whether the server
    // answered, whether the configuration was settled.
    static bool answered(VersionQuery &query);
    static bool settled(UpdateChecker &checker);
    // The command line as start-up settles it, asking m_server when it
    // leaves the version open.
    bool parseAndAsk(Configuration &configuration, const QStringList &arguments);

    std::unique_ptr<LocalServers> m_servers;
    std::unique_ptr<ScopedAppRoot> m_appRoot;
    VersionQuery::Server m_server;
};

void tst_UpdateChecker::init()
{
    m_servers = std::make_unique<LocalServers>();
    m_appRoot = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_appRoot->isValid());
}

void tst_UpdateChecker::cleanup()
{
    m_servers.reset();
    m_appRoot.reset();
}

bool tst_UpdateChecker::useServer(const QStringList &options)
{
    const LocalServers::RefServer server = m_servers->startRefServer(options);
    if (!server.isValid())
        return false;
    m_server = {QStringLiteral("127.0.0.1"), server.versionPort};
    return true;
}

bool tst_UpdateChecker::answered(VersionQuery &query)
{
    QSignalSpy done(&query, &VersionQuery::done);
    query.start();
    return done.wait(30000) && done.at(0).at(0).toBool();
}

bool tst_UpdateChecker::settled(UpdateChecker &checker)
{
    QSignalSpy done(&checker, &UpdateChecker::done);
    checker.checkUpdate();
    return done.wait(60000) && done.at(0).at(0).toBool();
}

bool tst_UpdateChecker::parseAndAsk(Configuration &configuration, const QStringList &arguments)
{
    const Configuration::ParseResult parsed = configuration.parseCommandLineOptions(arguments);
    if (parsed != Configuration::NeedsUpdateServer)
        return parsed == Configuration::Parsed;
    UpdateChecker checker(configuration, m_server);
    return settled(checker);
}

void tst_UpdateChecker::writeUpdateIni(const QByteArray &contents)
{
    QFile file(m_appRoot->filePath(QStringLiteral("update.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

void tst_UpdateChecker::versionReplyIsSplitIntoChannels_data()
{
    QTest::addColumn<QString>("versions");
    QTest::addColumn<PairList>("expected");

    QTest::newRow("three channels, beta named")
        << "1200,1201#3.1 Beta,1202"
        << PairList {{"1200", QString()}, {"1201", "3.1 Beta"}, {"1202", QString()}};
    QTest::newRow("empty entries kept")
        << ",1301#B," << PairList {{"", QString()}, {"1301", "B"}, {"", QString()}};
    QTest::newRow("name keeps later hashes") << "7#a#b" << PairList {{"7", "a#b"}};
    QTest::newRow("empty name after hash") << "8#" << PairList {{"8", ""}};
    QTest::newRow("empty reply") << "" << PairList {{"", QString()}};
}

void tst_UpdateChecker::versionReplyIsSplitIntoChannels()
{
    QFETCH(QString, versions);
    QFETCH(PairList, expected);
    QVERIFY(useServer({"--versions", versions}));

    VersionQuery query(m_server);
    QVERIFY(answered(query));
    QCOMPARE(query.versions(), expected);
    for (int i = 0; i < expected.size(); ++i) {
        // A missing name is null, an empty one after "#" is empty but not null.
        QCOMPARE(query.versions().at(i).second.isNull(), expected.at(i).second.isNull());
    }
}

void tst_UpdateChecker::newsComesFromSecondReply()
{
    QVERIFY(useServer({"--versions", "5", "--news", "Servers are down on Tuesday"}));
    VersionQuery query(m_server);
    QVERIFY(answered(query));
    QCOMPARE(query.news(), QStringLiteral("Servers are down on Tuesday"));
}

void tst_UpdateChecker::replyWithoutZeroByteIsRead()
{
    QVERIFY(useServer({"--versions", "10,11#Eleven", "--news", "hello", "--no-terminator"}));
    VersionQuery query(m_server);
    QVERIFY(answered(query));
    QCOMPARE(query.versions(), (PairList {{"10", QString()}, {"11", "Eleven"}}));
    QCOMPARE(query.news(), QStringLiteral("hello"));
}

void tst_UpdateChecker::overlongVersionReplyIsCutAt511Bytes()
{
    const QString name(700, QLatin1Char('n'));
    QVERIFY(useServer({"--versions", "5000#" + name + ",5001"}));
    VersionQuery query(m_server);
    QVERIFY(answered(query));
    QCOMPARE(query.versions().size(), 1);
    QCOMPARE(query.versions().at(0).first, QStringLiteral("5000"));
    QCOMPARE(query.versions().at(0).second, QString(511 - 5, QLatin1Char('n')));
}

void tst_UpdateChecker::missingChannelGivesNullPair()
{
    QVERIFY(useServer({"--versions", "1,2"}));
    Configuration configuration;
    UpdateChecker checker(configuration, m_server);
    QVERIFY(settled(checker));
    QCOMPARE(checker.getClientVersionByChannel(BetaChannel), Pair("2", QString()));
    const Pair alpha = checker.getClientVersionByChannel(AlphaChannel);
    QVERIFY(alpha.first.isNull());
    QVERIFY(alpha.second.isNull());
}

void tst_UpdateChecker::serverVersionReachesConfiguration_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("versions");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionName");

    const QString list = QStringLiteral("100#3.0,101#3.1 Beta,102");
    QTest::newRow("stable") << QByteArray() << list << 100 << "3.0";
    QTest::newRow("beta gets second entry with name")
        << QByteArray("[Channel]\nbeta=true\n") << list << 101 << "3.1 Beta";
    QTest::newRow("alpha without revno asks for third entry")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/alpha\n") << list << 102 << "";
    QTest::newRow("alpha revno text asks the server")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/alpha\nalphaRevno=abc\n") << list << 102
        << "";
    QTest::newRow("empty first entry leaves beta intact")
        << QByteArray("[Channel]\nbeta=true\n") << QStringLiteral(",205#B") << 205 << "B";
    QTest::newRow("line end after the last entry")
        << QByteArray("[Channel]\nalpha=http://127.0.0.1/alpha\n") << QStringLiteral("1,2,2\n")
        << 2 << "";
    QTest::newRow("blank before the number")
        << QByteArray("[Channel]\nbeta=true\n") << QStringLiteral("1, 2,3") << 2 << "";
}

void tst_UpdateChecker::serverVersionReachesConfiguration()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, versions);
    QFETCH(int, version);
    QFETCH(QString, versionName);
    if (!updateIni.isEmpty())
        writeUpdateIni(updateIni);
    QVERIFY(useServer({"--versions", versions, "--news", "News of the day"}));

    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(parseAndAsk(configuration, {"update"}));
    QCOMPARE(configuration.m_clientVersion, version);
    QCOMPARE(configuration.m_clientVersionName, versionName);
    QCOMPARE(configuration.m_newsText, QStringLiteral("News of the day"));
    QCOMPARE(configuration.m_clientType, QStringLiteral("client_linux_amd64"));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(answerer.boxes.size(), 0);
}

void tst_UpdateChecker::badServerAnswerEndsWithoutVersion_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("versions");
    QTest::addColumn<QString>("fatalText"); // empty: no message at all

    const QByteArray alpha("[Channel]\nalpha=http://127.0.0.1/alpha\nalphaRevno=0\n");
    QTest::newRow("no entry for the alpha channel") << alpha << "100,101" << QString();
    QTest::newRow("empty number text") << QByteArray() << ",101" << QString();
    QTest::newRow("empty reply") << QByteArray() << "" << QString();
    QTest::newRow("empty number before name") << QByteArray() << "#3.0" << QString();
    QTest::newRow("3.0") << QByteArray() << "3.0"
                         << "Update server returned invalid version nr (3.0)";
    QTest::newRow("12a") << QByteArray() << "12a#Name"
                         << "Update server returned invalid version nr (12a)";
}

void tst_UpdateChecker::badServerAnswerEndsWithoutVersion()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(QString, versions);
    QFETCH(QString, fatalText);
    if (!updateIni.isEmpty())
        writeUpdateIni(updateIni);
    QVERIFY(useServer({"--versions", versions}));

    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!parseAndAsk(configuration, {"update"}));
    QCOMPARE(answerer.boxes.size(), 0);
    if (fatalText.isEmpty()) {
        QCOMPARE(fatal.count(), 0);
    } else {
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(), fatalText);
    }
}

void tst_UpdateChecker::unreachableServerAsksRetryOrAbort_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("server"); // "closed" port, "silent" server, or none
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("cause");

    QTest::newRow("name does not resolve")
        << QString() << "" << false
        << "The update server  cannot be found: there may be no network connection.";
    QTest::newRow("nothing listens on the port")
        << "127.0.0.1" << "closed" << false
        << "The update server 127.0.0.1 cannot be reached: Connection refused";
    QTest::newRow("server silent") << "127.0.0.1" << "silent" << false
                                   << "The update server 127.0.0.1 did not answer within 5 seconds.";
    QTest::newRow("installed client started instead")
        << "127.0.0.1" << "closed" << true
        << "The update server 127.0.0.1 cannot be reached: Connection refused";
}

// The box names the cause under its text; with a client installed, it also
// offers to start that (interactive only).
void tst_UpdateChecker::unreachableServerAsksRetryOrAbort()
{
    QFETCH(QString, host);
    QFETCH(QString, server);
    QFETCH(bool, installed);
    QFETCH(QString, cause);
    m_server = {host, server == "closed" ? LocalServers::freeUdpPort() : quint16(17384)};
    if (server == "silent")
        QVERIFY(useServer({"--silent"}));
    const QString marker = m_appRoot->filePath(QStringLiteral("client-started"));
    if (installed) {
        QFile script(m_appRoot->filePath(Configuration::getClientBinaryName()));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/client-started\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
    }

    MessageBoxAnswerer answerer({installed ? QMessageBox::Ignore : QMessageBox::Abort});
    Configuration configuration;
    configuration.m_newsText = QStringLiteral("from the command line");
    UpdateChecker checker(configuration, m_server);
    QVERIFY(!settled(checker));
    const Pair result = checker.getClientVersionByChannel(StableChannel);

    QVERIFY(result.first.isEmpty());
    QVERIFY(result.second.isEmpty());
    QCOMPARE(configuration.m_newsText, QStringLiteral("from the command line"));
    QCOMPARE(answerer.boxes.size(), 1);
    const MessageBoxAnswerer::Box box = answerer.boxes.at(0);
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text,
             QStringLiteral("Failed to query latest client\nversion from update server.\n") + cause);
    QCOMPARE(box.textFormat, Qt::PlainText);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::Retry | QMessageBox::Abort
                 | (installed ? QMessageBox::Ignore : QMessageBox::NoButton));
    QVERIFY(!box.hasDefaultButton);
    QVERIFY(!box.hasParent);
    if (installed)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 5000);
    else
        QVERIFY(!QFile::exists(marker));
}

void tst_UpdateChecker::retryRepeatsWholeExchange()
{
    const quint16 port = LocalServers::freeUdpPort();
    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Abort});
    // While the box is open the server becomes reachable.
    bool started = false;
    answerer.setOnBox([this, port, &started](const MessageBoxAnswerer::Box &) {
        started = m_servers->startRefServer({"--versions", "300,301", "--news", "after retry"}, port)
                      .isValid();
    });
    Configuration configuration;
    UpdateChecker checker(configuration, {QStringLiteral("127.0.0.1"), port});
    QVERIFY(settled(checker));
    QVERIFY(started);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(checker.getClientVersionByChannel(BetaChannel), Pair("301", QString()));
    QCOMPARE(checker.m_news, QStringLiteral("after retry"));
}

void tst_UpdateChecker::retryDropsVersionsOfFailedAttempt()
{
    // The first server sends its version list but no news, so the attempt
    // fails after the list was read; the retried exchange must not keep it.
    const LocalServers::RefServer first
        = m_servers->startRefServer({"--versions", "1,2,3", "--no-news"});
    QVERIFY(first.isValid());

    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Abort});
    // While the box is open a second server takes the first one's port.
    bool started = false;
    answerer.setOnBox([this, &first, &started](const MessageBoxAnswerer::Box &) {
        first.process->kill();
        first.process->waitForFinished();
        started = m_servers->startRefServer({"--versions", "7,8,9", "--news", "second"},
                                            first.versionPort)
                      .isValid();
    });
    Configuration configuration;
    UpdateChecker checker(configuration, {QStringLiteral("127.0.0.1"), first.versionPort});
    QVERIFY(settled(checker));
    QVERIFY(started);
    QCOMPARE(checker.getClientVersionByChannel(BetaChannel), Pair("8", QString()));
    QCOMPARE(checker.m_news, QStringLiteral("second"));
    QCOMPARE(answerer.boxes.size(), 1);
}

void tst_UpdateChecker::silentServerBringsBoxAfterFiveSeconds()
{
    QVERIFY(useServer({"--silent"}));
    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    QSignalSpy fatal(&configuration, &Configuration::fatalError);
    QVERIFY(!parseAndAsk(configuration, {"update"}));
    QCOMPARE(fatal.count(), 0); // abandoning the query ends silently
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY2(answerer.boxes.at(0).shownAfterMs >= 4900,
             qPrintable(QString::number(answerer.boxes.at(0).shownAfterMs)));
    QVERIFY(answerer.boxes.at(0).shownAfterMs < 8000);
}

void tst_UpdateChecker::retryWaitsAnotherFiveSeconds()
{
    QVERIFY(useServer({"--silent"}));
    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Abort});
    Configuration configuration;
    UpdateChecker checker(configuration, m_server);
    QVERIFY(!settled(checker));
    QVERIFY(checker.getClientVersionByChannel(StableChannel).first.isEmpty());
    QCOMPARE(answerer.boxes.size(), 2);
    const qint64 gap = answerer.boxes.at(1).shownAfterMs - answerer.boxes.at(0).shownAfterMs;
    QVERIFY2(gap >= 4900 && gap < 8000, qPrintable(QString::number(gap)));
}

void tst_UpdateChecker::replyFromOtherPortIsIgnored()
{
    // Replies that leave from another port than the one asked are not the
    // server's: the query must time out instead of taking their version.
    QVERIFY(useServer({"--versions", "666#Planted", "--answer-from-other-port"}));
    MessageBoxAnswerer answerer({QMessageBox::Abort});
    Configuration configuration;
    UpdateChecker checker(configuration, m_server);
    QVERIFY(!settled(checker));
    QVERIFY(checker.getClientVersionByChannel(StableChannel).first.isEmpty());
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY(answerer.boxes.at(0).shownAfterMs >= 4900);
}

QTEST_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"
