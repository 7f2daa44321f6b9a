#include "fileops/syncedfiles.h"

#include <QHash>
#include <QMutex>

#include <utility>

namespace {

using Key = std::pair<quint64, quint64>; // device, inode

// The size and the modification and change times, folded into one number: a
// download step records every file it fetched, 100,000 of them at times, and
// an entry that keeps 24 bytes instead of 40 keeps the table small. A file
// whose state changed matches its old number only by a 64-bit coincidence.
quint64 fingerprint(const struct stat &status)
{
    auto mix = [](quint64 hash, quint64 value) {
        // splitmix64's finaliser over the running hash and the next value.
        quint64 z = hash ^ (value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2));
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    quint64 hash = mix(0, quint64(status.st_size));
    hash = mix(hash, quint64(status.st_mtim.tv_sec));
    hash = mix(hash, quint64(status.st_mtim.tv_nsec));
    hash = mix(hash, quint64(status.st_ctim.tv_sec));
    return mix(hash, quint64(status.st_ctim.tv_nsec));
}

struct Registry
{
    QMutex mutex;
    QHash<Key, quint64> sent;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

} // namespace

void SyncedFiles::record(const struct stat &status)
{
    if (!S_ISREG(status.st_mode))
        return;
    Registry &files = registry();
    QMutexLocker locker(&files.mutex);
    files.sent.insert({status.st_dev, status.st_ino}, fingerprint(status));
}

bool SyncedFiles::take(const struct stat &now)
{
    Registry &files = registry();
    QMutexLocker locker(&files.mutex);
    const auto it = files.sent.constFind({now.st_dev, now.st_ino});
    if (it == files.sent.cend())
        return false;
    const bool same = S_ISREG(now.st_mode) && *it == fingerprint(now);
    files.sent.erase(it);
    return same;
}
