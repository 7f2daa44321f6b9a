#include "fileops/diskworker.h"

#include "fileops/syncedfiles.h"

#include <QFile>

#include <deque>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Files whose writing is started together; each holds a descriptor meanwhile.
constexpr int maxSyncBatch = 64;
// Files made between two syncs.
constexpr int makeChunk = 16;
} // namespace

// A file whose writing was started, waiting for its sync.
struct DiskWorker::Sending
{
    int fd;
    struct stat status;
};

DiskWorker::DiskWorker()
    : m_thread(&DiskWorker::run, this)
{ }

DiskWorker::~DiskWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void DiskWorker::makeAhead(QStringList paths)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_toMake = std::move(paths);
        m_nextToMake = 0;
        m_reached = -1;
    }
    m_wake.notify_one();
}

void DiskWorker::reached(int index)
{
    int known = m_reached.load(std::memory_order_relaxed);
    while (index > known && !m_reached.compare_exchange_weak(known, index)) { }
}

void DiskWorker::stopMaking()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_toMake.clear();
    m_nextToMake = 0;
}

void DiskWorker::syncBehind(const QString &path)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_toSync.append(path);
    }
    m_wake.notify_one();
}

void DiskWorker::run()
{
    std::deque<Sending> sending;
    for (;;) {
        QStringList toMake;
        QList<QString> toStart;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            // A file the transfers have reached is theirs to make.
            const auto skipReached = [this] {
                m_nextToMake = qMax(m_nextToMake, m_reached.load(std::memory_order_relaxed) + 1);
            };
            m_wake.wait(lock, [&] {
                skipReached();
                return m_stop || m_nextToMake < m_toMake.size() || !m_toSync.isEmpty()
                    || !sending.empty();
            });
            if (m_stop)
                break;
            while (m_nextToMake < m_toMake.size() && toMake.size() < makeChunk) {
                const QString &path = m_toMake.at(m_nextToMake++);
                if (!path.isEmpty())
                    toMake.append(path);
            }
            if (sending.empty() && !m_toSync.isEmpty()) {
                toStart = m_toSync.mid(0, maxSyncBatch);
                m_toSync.remove(0, toStart.size());
            }
        }

        for (const QString &path : std::as_const(toMake)) {
            const int fd = ::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0)
                ::close(fd);
        }

        // The writing of a whole batch is started first, so that the disk has
        // all of it at hand at once; each file's sync then mostly waits for
        // bytes already on their way, beside its neighbours', instead of
        // starting them on their own.
        for (const QString &path : std::as_const(toStart)) {
            const int fd = ::open(QFile::encodeName(path).constData(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            Sending file {fd, {}};
            if (::fstat(fd, &file.status) != 0 || !S_ISREG(file.status.st_mode)) {
                ::close(fd);
                continue;
            }
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            sending.push_back(file);
        }
        // One sync a turn, so that files to make are not kept waiting behind
        // a whole batch.
        if (!sending.empty()) {
            const Sending file = sending.front();
            sending.pop_front();
            if (::fdatasync(file.fd) == 0)
                SyncedFiles::record(file.status);
            ::close(file.fd);
        }
    }
    for (const Sending &file : sending)
        ::close(file.fd);
}
