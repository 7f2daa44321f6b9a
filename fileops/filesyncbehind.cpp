#include "fileops/filesyncbehind.h"

#include "fileops/syncedfiles.h"

#include <QFile>

#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Files whose writing is started together; each holds a descriptor meanwhile.
constexpr int maxBatch = 64;
} // namespace

FileSyncBehind::FileSyncBehind()
    : m_thread(&FileSyncBehind::run, this)
{ }

FileSyncBehind::~FileSyncBehind()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_one();
    m_thread.join();
}

void FileSyncBehind::add(const QString &path)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.append(path);
    }
    m_wake.notify_one();
}

void FileSyncBehind::run()
{
    for (;;) {
        QList<QString> batch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.isEmpty(); });
            if (m_stop)
                return;
            batch = m_queue.mid(0, maxBatch);
            m_queue.remove(0, batch.size());
        }
        // The writing of the whole batch is started first, so that the disk
        // has all of it at hand at once; each file's sync then mostly waits
        // for bytes already on their way, beside its neighbours', instead of
        // starting them on their own.
        struct Sending
        {
            int fd;
            struct stat status;
        };
        std::vector<Sending> sending;
        sending.reserve(size_t(batch.size()));
        for (const QString &path : std::as_const(batch)) {
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
        for (const Sending &file : sending) {
            if (!stopping() && ::fdatasync(file.fd) == 0)
                SyncedFiles::record(file.status);
            ::close(file.fd);
        }
    }
}

bool FileSyncBehind::stopping()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}
