#include "updatedaemon.h"

#include "signalpipe.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

constexpr int CountsIntervalMs = 60 * 1000;

} // namespace

UpdateDaemon::UpdateDaemon(const QString &configPath, QObject *parent)
    : QObject(parent)
    , m_path(configPath)
    , m_server(new QueryServer(this))
    , m_signals(new SignalPipe({SIGHUP, SIGTERM, SIGINT}, this))
{
    connect(m_signals, &SignalPipe::received, this, &UpdateDaemon::onSignal);
    connect(&m_countsTimer, &QTimer::timeout, this, &UpdateDaemon::logCounts);
}

void UpdateDaemon::log(const QString &line)
{
    std::fprintf(stderr, "%s\n", qUtf8Printable(line));
    std::fflush(stderr);
}

bool UpdateDaemon::start()
{
    QStringList errors;
    if (!ServerConfig::read(m_path, &m_config, &errors)) {
        for (const QString &error : std::as_const(errors))
            log(error);
        log(QStringLiteral("not started: %1 has %2 fault(s)")
                .arg(m_path, QString::number(errors.size())));
        return false;
    }
    QString errorText;
    if (!m_signals->isValid()) {
        log(QStringLiteral("not started: cannot handle signals"));
        return false;
    }
    if (!m_server->start(m_config.address, m_config.versionPort, m_config.bannerPort, &errorText)) {
        log(QStringLiteral("not started: %1").arg(errorText));
        return false;
    }
    m_server->setAnswers(m_config.answers);
    m_server->setLimits(m_config.limitsEnabled, m_config.limits);
    log(QStringLiteral("started with %1: %2").arg(m_path, m_config.summary()));
    log(QStringLiteral("listening version udp %1:%2")
            .arg(m_config.address)
            .arg(m_server->versionPort()));
    log(QStringLiteral("listening banner udp %1:%2")
            .arg(m_config.address)
            .arg(m_server->bannerPort()));
    m_countsTimer.start(CountsIntervalMs);
    return true;
}

void UpdateDaemon::onSignal(int signalNumber)
{
    if (signalNumber == SIGHUP) {
        reload();
        return;
    }
    log(QStringLiteral("stopping on %1; in total %2")
            .arg(signalNumber == SIGINT ? QLatin1String("SIGINT") : QLatin1String("SIGTERM"),
                 countsText(m_server->counts())));
    QCoreApplication::quit();
}

void UpdateDaemon::reload()
{
    ServerConfig config;
    QStringList errors;
    if (!ServerConfig::read(m_path, &config, &errors)) {
        log(QStringLiteral("reload failed, the previous answers stay: %1 has %2 fault(s)")
                .arg(m_path, QString::number(errors.size())));
        for (const QString &error : std::as_const(errors))
            log(error);
        return;
    }
    // The sockets stay; a new address or port needs a restart.
    if (config.address != m_config.address || config.versionPort != m_config.versionPort
        || config.bannerPort != m_config.bannerPort) {
        log(QStringLiteral("the address and ports in [server] take effect at the next start"));
        config.address = m_config.address;
        config.versionPort = m_config.versionPort;
        config.bannerPort = m_config.bannerPort;
    }
    m_config = config;
    m_server->setAnswers(m_config.answers);
    m_server->setLimits(m_config.limitsEnabled, m_config.limits);
    log(QStringLiteral("reloaded %1: %2").arg(m_path, m_config.summary()));
}

void UpdateDaemon::logCounts()
{
    const QueryServer::Counts now = m_server->counts();
    QueryServer::Counts minute;
    minute.answered = now.answered - m_loggedCounts.answered;
    minute.versionLists = now.versionLists - m_loggedCounts.versionLists;
    minute.rolledOut = now.rolledOut - m_loggedCounts.rolledOut;
    minute.limitedByAddress = now.limitedByAddress - m_loggedCounts.limitedByAddress;
    minute.limitedByBlock = now.limitedByBlock - m_loggedCounts.limitedByBlock;
    minute.malformed = now.malformed - m_loggedCounts.malformed;
    minute.unanswered = now.unanswered - m_loggedCounts.unanswered;
    m_loggedCounts = now;
    // An idle server stays quiet.
    if (minute.answered == 0 && minute.limitedByAddress == 0 && minute.limitedByBlock == 0
        && minute.malformed == 0 && minute.unanswered == 0)
        return;
    log(QStringLiteral("last minute: %1; %2 addresses and %3 blocks remembered")
            .arg(countsText(minute))
            .arg(m_server->addressesRemembered())
            .arg(m_server->blocksRemembered()));
}

QString UpdateDaemon::countsText(const QueryServer::Counts &counts) const
{
    // While a roll-out runs (or ran in the period), both version lists count.
    QString answered = QString::number(counts.answered);
    if (!m_config.rollouts.isEmpty() || counts.rolledOut != 0)
        answered += QStringLiteral(" (version lists: %1 with a roll-out version, %2 without)")
                        .arg(counts.rolledOut)
                        .arg(counts.versionLists - counts.rolledOut);
    return QStringLiteral("answered %1, dropped by address limit %2, by /24 limit %3, "
                          "malformed %4, other unanswered %5")
        .arg(answered)
        .arg(counts.limitedByAddress)
        .arg(counts.limitedByBlock)
        .arg(counts.malformed)
        .arg(counts.unanswered);
}
