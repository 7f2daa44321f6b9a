#pragma once

#include "formats/updateserverquery.h"
#include "queryserver.h"
#include "sourcelimiter.h"

#include <QString>
#include <QStringList>

// The settings of mrvupdated as its INI file gives them: the address and
// ports, the three answers, the staged roll-outs and the limits per source
// address and /24 block. read() checks every value against what the updater
// accepts.
struct ServerConfig
{
    // A channel's new version, given to a share of the addresses first.
    struct Rollout
    {
        QString channel;
        QString entry; // "<version>[#<name>]"
        quint32 share = 0; // in parts of VersionRollout::Parts
    };

    QString address = QStringLiteral("0.0.0.0");
    quint16 versionPort = UpdateServerQuery::VersionPort;
    quint16 bannerPort = UpdateServerQuery::BannerPort;
    QueryServer::Answers answers;
    QList<Rollout> rollouts;
    bool limitsEnabled = true;
    SourceLimiter::Settings limits;

    // Reads the file with QSettings. On any fault returns false, leaves
    // *config as it was and gives one "FILE:LINE: text" line per fault.
    static bool read(const QString &path, ServerConfig *config, QStringList *errors);
    // The answers and limits in one line for the log.
    QString summary() const;
    // What the version list offers an address (IPv4, host order, shown as
    // text): its part of the roll-outs, if any, and a line per channel.
    QStringList offersTo(quint32 address, const QString &text) const;
    // A share as a percentage without its sign: "5", "0.5", "12.25".
    static QString shareText(quint32 share);
};
