#pragma once

#include "formats/updateserverquery.h"

#include <QString>

// Host name of the update server, fixed at build time (MORVANE_UPDATE_SERVER).
// The same host answers the latest-version query and the news banner query.
extern const QString BANNER_SERVER;

// Where one query of the update server goes, and how long each of its
// replies may take; by default the update server on the query's own port.
template <quint16 DefaultPort>
struct UpdateServerAddress
{
    QString host = BANNER_SERVER;
    quint16 port = DefaultPort;
    int replyTimeoutMs = UpdateServerQuery::ReplyTimeoutMs;
};
