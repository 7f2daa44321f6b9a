#include "app/commandline.h"

namespace {
const QLatin1String noUserOption("--nouser");

// "-x" or "--xyz", but not "-5": a number with a sign is left to the version
// check, which refuses it by name.
bool looksLikeOption(const QString &argument)
{
    return argument.size() >= 2 && argument.at(0) == QLatin1Char('-')
        && !argument.at(1).isDigit();
}
} // namespace

CommandLine::Request CommandLine::request(const QStringList &arguments, QString *problem)
{
    // Unattended, the fourth and fifth arguments are free text (the version
    // name and the news), and what follows them is ignored: only the option
    // and the type and version before them are options or values. A news
    // text "--help" asks for nothing.
    const bool unattended = isUnattended(arguments);
    const QStringList given = arguments.mid(1);
    const QStringList options = unattended ? given.mid(0, 3) : given;
    if (options.contains(QLatin1String("--help")) || options.contains(QLatin1String("-h")))
        return Usage;
    if (options.contains(QLatin1String("--version")))
        return Version;

    for (int i = unattended ? 1 : 0; i < options.size(); ++i) {
        const QString &argument = options.at(i);
        if (!looksLikeOption(argument))
            continue;
        if (problem) {
            *problem = argument == noUserOption
                ? QStringLiteral("'--nouser' must be the first argument")
                : QStringLiteral("unknown option '%1'").arg(argument);
        }
        return Invalid;
    }
    return Update;
}

bool CommandLine::takeVerify(QStringList &arguments)
{
    const int at = isUnattended(arguments) ? 2 : 1;
    if (arguments.value(at) != QLatin1String("--verify"))
        return false;
    arguments.removeAt(at);
    return true;
}

bool CommandLine::isUnattended(const QStringList &arguments)
{
    return arguments.size() >= 2 && arguments.at(1) == noUserOption;
}

QString CommandLine::usage()
{
    return QStringLiteral(
        "Usage: update [--verify] [TYPE VERSION]\n"
        "       update --nouser [--verify] [TYPE VERSION [NAME|# [NEWS]]]\n"
        "       update --help | --version\n"
        "\n"
        "Brings the Morvane 3 Client in the updater's directory to the current version\n"
        "of its update channel, then offers to start it.\n"
        "\n"
        "  --nouser    run unattended: the update starts by itself and the client\n"
        "              starts after success; every log line goes to standard error;\n"
        "              without a display the window is not shown\n"
        "  --verify    read every installed file again, whatever the record of\n"
        "              files verified earlier says, and renew the record\n"
        "  TYPE        client type, such as client_linux_amd64\n"
        "  VERSION     version to install, a decimal number; without TYPE and\n"
        "              VERSION the update server names the current one\n"
        "  NAME        version name shown in the window; # for none\n"
        "  NEWS        news text shown in the window\n"
        "  -h, --help  print this text and exit\n"
        "  --version   print the updater's version and exit\n"
        "\n"
        "Exit codes: 0 normal end; 1 the command line or the version could not be\n"
        "settled; 2 the update failed; 3 (with --nouser) another copy runs for this\n"
        "installation and nothing was done.\n");
}

QString CommandLine::versionText()
{
    return QStringLiteral("Morvane 3 Client updater " MORVANE_UPDATER_VERSION "\n");
}
