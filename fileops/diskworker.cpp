#include "fileops/diskworker.h"

#include "fileops/syncedfiles.h"
#include "sys/regularfile.h"
#include "sys/uniquefd.h"

#include <QFile>

#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Files whose writing is started together; each holds a descriptor meanwhile.
constexpr int maxSyncBatch = 64;
} // namespace

DiskWorker::DiskWorker()
    : m_maker(&DiskWorker::runMaking, this)
    , m_sender(&DiskWorker::runSending, this)
{ }

DiskWorker::~DiskWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_toMake.clear();
        m_toSync.clear();
    }
    m_makeWork.notify_one();
    m_syncWork.notify_one();
    m_maker.join();
    m_sender.join();
}

void DiskWorker::appendName(QByteArray *names, const QString &name)
{
    names->append(QFile::encodeName(name));
    names->append('\0');
}

void DiskWorker::makeAhead(const QString &folder, QByteArray names)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_folder = QFile::encodeName(folder) + '/';
        m_toMake = std::move(names);
        m_cursor = 0;
        m_nextToMake = 0;
        m_reached = -1;
    }
    m_makeWork.notify_one();
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
    m_cursor = 0;
    m_nextToMake = 0;
}

void DiskWorker::syncBehind(const QString &path)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_toSync.append(path);
    }
    m_syncWork.notify_one();
}

void DiskWorker::skipName()
{
    const char *start = m_toMake.constData() + m_cursor;
    const void *end = std::memchr(start, '\0', size_t(m_toMake.size() - m_cursor));
    m_cursor = end ? m_cursor + (static_cast<const char *>(end) - start) + 1 : m_toMake.size();
    ++m_nextToMake;
}

bool DiskWorker::stopping()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void DiskWorker::runMaking()
{
    for (;;) {
        QByteArray path;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_makeWork.wait(lock, [this] {
                // A file the transfers have reached is theirs to make.
                const int reached = m_reached.load(std::memory_order_relaxed);
                while (m_nextToMake <= reached && m_cursor < m_toMake.size())
                    skipName();
                return m_stop || m_cursor < m_toMake.size();
            });
            if (m_stop)
                return;
            const char *name = m_toMake.constData() + m_cursor;
            if (*name != '\0')
                path = m_folder + name;
            skipName();
        }
        if (path.isEmpty())
            continue;
        // Only made: closed again at once.
        const UniqueFd made(::open(path.constData(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
}

void DiskWorker::runSending()
{
    for (;;) {
        QList<QString> batch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_syncWork.wait(lock, [this] { return m_stop || !m_toSync.isEmpty(); });
            if (m_stop)
                return;
            batch = m_toSync.mid(0, maxSyncBatch);
            m_toSync.remove(0, batch.size());
        }
        // The writing of the whole batch is started first, so that the disk
        // has all of it at hand at once; each file's sync then mostly waits
        // for bytes already on their way, beside its neighbours', instead of
        // starting them on their own.
        struct Sending
        {
            UniqueFd fd;
            struct stat status;
        };
        std::vector<Sending> sending;
        sending.reserve(size_t(batch.size()));
        for (const QString &path : std::as_const(batch)) {
            Sending file;
            file.fd = RegularFile::open(path, &file.status, O_NOFOLLOW);
            if (!file.fd.isValid())
                continue;
            ::sync_file_range(file.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
            sending.push_back(std::move(file));
        }
        for (const Sending &file : sending) {
            if (!stopping() && ::fdatasync(file.fd.get()) == 0)
                SyncedFiles::record(file.status);
        }
    }
}
