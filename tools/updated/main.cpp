// mrvupdated: the update server of the Morvane 3 Client, for publishers. It
// answers the updater's version, news and banner queries with what its
// configuration file says; see docs/publishing.md.

#include "serverconfig.h"
#include "updatedaemon.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mrvupdated"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Update server of the Morvane 3 Client. Answers \"3\\0\" with the version list and\n"
        "\"*\\0\" with the news on the version port (UDP 17384) and 0x01 0x01 with the banner\n"
        "on the banner port (UDP 2009), as FILE says, within limits per address and per /24 "
        "block.\n"
        "A roll-out in FILE gives a channel's new version to a share of source addresses "
        "first.\n"
        "SIGHUP reads FILE again; SIGTERM stops. Log lines go to standard error."));
    // Not addHelpOption(): its --help-all lists Qt's own options, which
    // mean nothing here.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and exit."));
    parser.addOption(helpOption);
    const QCommandLineOption checkOption(
        QStringLiteral("check"),
        QStringLiteral("Check FILE and exit: 0 if it is valid, else 1 with one line per fault."));
    parser.addOption(checkOption);
    const QCommandLineOption addressOption(
        QStringLiteral("address"),
        QStringLiteral("With --check: also print which version each channel offers the source "
                       "address A.B.C.D, roll-outs included."),
        QStringLiteral("A.B.C.D"));
    parser.addOption(addressOption);
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("The configuration file (INI)."));
    parser.process(app);
    if (parser.isSet(helpOption)) {
        std::printf("%s\n", qUtf8Printable(parser.helpText().trimmed()));
        return 0;
    }
    if (parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "mrvupdated: give one configuration file (--help says more)\n");
        return 2;
    }
    const QString path = parser.positionalArguments().constFirst();
    quint32 address = 0;
    if (parser.isSet(addressOption)
        && (!parser.isSet(checkOption)
            || !QueryServer::isIPv4Address(parser.value(addressOption), &address))) {
        std::fprintf(stderr,
                     "mrvupdated: --address needs --check and an IPv4 address such as "
                     "203.0.113.7\n");
        return 2;
    }

    if (parser.isSet(checkOption)) {
        ServerConfig config;
        QStringList errors;
        if (!ServerConfig::read(path, &config, &errors)) {
            for (const QString &error : std::as_const(errors))
                std::fprintf(stderr, "%s\n", qUtf8Printable(error));
            return 1;
        }
        std::printf("%s: valid; %s\n", qUtf8Printable(path), qUtf8Printable(config.summary()));
        if (parser.isSet(addressOption)) {
            for (const QString &line : config.offersTo(address, parser.value(addressOption)))
                std::printf("%s\n", qUtf8Printable(line));
        }
        return 0;
    }

    UpdateDaemon daemon(path);
    if (!daemon.start())
        return 1;
    return app.exec();
}
