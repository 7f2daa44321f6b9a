// mrvrefserver: the reference update server for tests and demonstrations. It
// answers with what its command line says, without limits, through the same
// query server as mrvupdated.

#include "formats/updateserverquery.h"
#include "queryserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mrvrefserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reference update server. Answers \"3\\0\" with the version list and \"*\\0\" with\n"
        "the news text on the version port, and 0x01 0x01 with the banner line on the\n"
        "banner port. Replies go back to the sender's address and port."));
    parser.addHelpOption();
    const QCommandLineOption bindOption(QStringLiteral("bind"),
                                        QStringLiteral("Address to bind (default 127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionPortOption(
        QStringLiteral("version-port"),
        QStringLiteral("UDP port of the version query (%1).").arg(UpdateServerQuery::VersionPort),
        QStringLiteral("port"), QString::number(UpdateServerQuery::VersionPort));
    const QCommandLineOption bannerPortOption(
        QStringLiteral("banner-port"),
        QStringLiteral("UDP port of the banner query (%1).").arg(UpdateServerQuery::BannerPort),
        QStringLiteral("port"), QString::number(UpdateServerQuery::BannerPort));
    const QCommandLineOption versionsOption(
        QStringLiteral("versions"),
        QStringLiteral("Version list: one entry per channel (stable, beta, alpha), separated by\n"
                       "commas, each a number optionally followed by '#' and a name."),
        QStringLiteral("text"), QStringLiteral("1000#3.0,1001#3.1 Beta,1002"));
    const QCommandLineOption newsOption(QStringLiteral("news"), QStringLiteral("News text."),
                                        QStringLiteral("text"),
                                        QStringLiteral("Welcome to the Morvane 3 Client."));
    const QCommandLineOption bannerOption(
        QStringLiteral("banner"),
        QStringLiteral("Answer banner requests with IMAGE_URL,CLICK_URL (default: no answer)."),
        QStringLiteral("IMAGE_URL,CLICK_URL"));
    const QCommandLineOption silentOption(QStringLiteral("silent"),
                                          QStringLiteral("Never answer (for time-out tests)."));
    const QCommandLineOption noTerminatorOption(
        QStringLiteral("no-terminator"),
        QStringLiteral("Send version list and news without the trailing zero byte."));
    const QCommandLineOption otherPortOption(
        QStringLiteral("answer-from-other-port"),
        QStringLiteral("Send the replies from another port than the one asked."));
    const QCommandLineOption noNewsOption(QStringLiteral("no-news"),
                                          QStringLiteral("Answer the version request only."));
    parser.addOptions({bindOption, versionPortOption, bannerPortOption, versionsOption, newsOption,
                       bannerOption, silentOption, noTerminatorOption, otherPortOption,
                       noNewsOption});
    parser.process(app);

    const QString address = parser.value(bindOption);
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
    if (!QueryServer::isIPv4Address(address)) {
        std::fprintf(stderr, "mrvrefserver: invalid address %s\n", qPrintable(address));
        return 2;
    }
    if (!parsePort(parser.value(versionPortOption), &versionPort)
        || !parsePort(parser.value(bannerPortOption), &bannerPort)) {
        std::fprintf(stderr, "mrvrefserver: invalid port\n");
        return 2;
    }
    const QByteArray terminator
        = parser.isSet(noTerminatorOption) ? QByteArray() : QByteArray(1, '\0');
    QueryServer::Answers answers;
    if (!parser.isSet(silentOption)) {
        answers.versions = parser.value(versionsOption).toLatin1() + terminator;
        if (!parser.isSet(noNewsOption))
            answers.news = parser.value(newsOption).toLatin1() + terminator;
        if (!parser.value(bannerOption).isEmpty())
            answers.banner = parser.value(bannerOption).toLatin1();
    }

    QueryServer server;
    QString errorText;
    if (!server.start(address, versionPort, bannerPort, &errorText)
        || (parser.isSet(otherPortOption) && !server.setReplyFromOtherPort(&errorText))) {
        std::fprintf(stderr, "mrvrefserver: %s\n", qPrintable(errorText));
        return 1;
    }
    server.setAnswers(answers);
    std::printf("listening version udp %s:%u\n", qPrintable(address),
                unsigned(server.versionPort()));
    std::printf("listening banner udp %s:%u\n", qPrintable(address), unsigned(server.bannerPort()));
    std::fflush(stdout);
    return app.exec();
}
