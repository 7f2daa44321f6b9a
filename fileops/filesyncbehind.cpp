#include "fileops/filesyncbehind.h"

#include "fileops/syncedfiles.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        QString path;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_queue.isEmpty(); });
            if (m_stop)
                return;
            path = m_queue.takeFirst();
        }
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status;
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ::fdatasync(fd) == 0)
            SyncedFiles::record(status);
        ::close(fd);
    }
}
