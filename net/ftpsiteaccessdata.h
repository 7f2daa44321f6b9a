#pragma once

#include <QString>

// One download mirror of an update run, as held by Mirrors and copied into
// each download that takes a slot on it. A plain copyable value.
struct FTPSiteAccessData
{
    // Identifies the mirror in every Mirrors operation; its section in mirrors.ini.
    QString name;
    // Configured base URL, "/" and the version number to install (no trailing slash).
    QString url;
    // Errors tolerated; the error after that removes the mirror.
    int retries = 0;
    // Seconds (engine ticks) without data after which a transfer is abandoned.
    int timeout = 15;
    // Errors counted so far.
    int errorCount = 0;
    // Downloads currently holding a slot on this mirror.
    int useCount = 0;
    // Downloads allowed at once: the section's "slots", or 3 for HTTP(S)
    // mirrors and 1 otherwise.
    int maxUse = 1;
    // It answered a range request with the whole file: a part is continued
    // on it only from byte 0. Set for the rest of the run.
    bool ignoresRanges = false;
};
