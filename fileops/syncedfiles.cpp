#include "fileops/syncedfiles.h"

#include <QHash>
#include <QMutex>

#include <utility>

namespace {

struct Sent
{
    off_t size = 0;
    timespec modified {};
    timespec changed {};
};

using Key = std::pair<quint64, quint64>; // device, inode

bool operator==(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct Registry
{
    QMutex mutex;
    QHash<Key, Sent> sent;
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
    files.sent.insert({status.st_dev, status.st_ino},
                      {status.st_size, status.st_mtim, status.st_ctim});
}

bool SyncedFiles::take(const struct stat &now)
{
    Registry &files = registry();
    QMutexLocker locker(&files.mutex);
    const auto it = files.sent.constFind({now.st_dev, now.st_ino});
    if (it == files.sent.cend())
        return false;
    const bool same = S_ISREG(now.st_mode) && it->size == now.st_size
        && it->modified == now.st_mtim && it->changed == now.st_ctim;
    files.sent.erase(it);
    return same;
}
