#include "digest/filedigestcache.h"

#include <QFile>
#include <QHash>
#include <QMutex>

#include <atomic>

#include <algorithm>
#include <array>

#include <sys/stat.h>

namespace {

// An MD5 digest is 16 bytes: held in the entry, not in a buffer of its own.
constexpr int digestSize = 16;

struct Entry
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};
    std::array<char, digestSize> md5 {};
};

bool statFile(const QString &path, Entry &entry)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    entry.device = status.st_dev;
    entry.inode = status.st_ino;
    entry.size = status.st_size;
    entry.modified = status.st_mtim;
    return true;
}

QMutex &mutex()
{
    static QMutex instance;
    return instance;
}

QHash<QString, Entry> &entries()
{
    static QHash<QString, Entry> instance;
    return instance;
}

// The number of entries, set under the mutex; read without it.
std::atomic<qsizetype> &count()
{
    static std::atomic<qsizetype> instance {0};
    return instance;
}

} // namespace

void FileDigestCache::record(const QString &path, const QByteArray &md5)
{
    Entry entry;
    if (md5.size() != digestSize || !statFile(path, entry)) {
        forget(path);
        return;
    }
    std::copy(md5.cbegin(), md5.cend(), entry.md5.begin());
    QMutexLocker locker(&mutex());
    entries().insert(path, entry);
    count().store(entries().size());
}

QByteArray FileDigestCache::lookup(const QString &path)
{
    // Most files asked for were not written by this process: no stat for them.
    {
        QMutexLocker locker(&mutex());
        if (!entries().contains(path))
            return QByteArray();
    }
    Entry now;
    const bool exists = statFile(path, now);
    QMutexLocker locker(&mutex());
    const auto it = entries().constFind(path);
    if (it == entries().cend())
        return QByteArray();
    if (!exists || it->device != now.device || it->inode != now.inode || it->size != now.size
        || it->modified.tv_sec != now.modified.tv_sec
        || it->modified.tv_nsec != now.modified.tv_nsec) {
        entries().erase(it);
        count().store(entries().size());
        return QByteArray();
    }
    return QByteArray(it->md5.data(), digestSize);
}

bool FileDigestCache::isEmpty()
{
    return count().load() == 0;
}

void FileDigestCache::forget(const QString &path)
{
    QMutexLocker locker(&mutex());
    entries().remove(path);
    count().store(entries().size());
}
