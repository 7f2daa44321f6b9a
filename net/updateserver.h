#pragma once

#include <QString>

// Host name of the update server, fixed at build time (MORVANE_UPDATE_SERVER).
// The same host answers the latest-version query and the news banner query.
extern const QString BANNER_SERVER;
