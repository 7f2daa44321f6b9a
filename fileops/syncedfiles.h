#pragma once

#include <sys/stat.h>

// Files whose bytes this process has sent to the disk (fdatasync) and that
// have not changed since, so that putting one in place need not send it (and
// flush the disk's cache) again. A file counts while it keeps the identity,
// size and modification and change times it had when it was sent; a record
// serves once. Safe to use from any thread.
class SyncedFiles
{
public:
    SyncedFiles() = delete;

    // The file status was taken before the sync succeeded.
    static void record(const struct stat &sent);
    // Whether the file, as it is now, was sent unchanged; forgets it.
    static bool take(const struct stat &now);
};
