#include "fileops/filecreateahead.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

FileCreateAhead::FileCreateAhead(QStringList paths)
    : m_paths(std::move(paths))
    , m_thread(&FileCreateAhead::run, this)
{ }

FileCreateAhead::~FileCreateAhead()
{
    m_stop = true;
    m_thread.join();
}

void FileCreateAhead::reached(int index)
{
    int known = m_reached.load(std::memory_order_relaxed);
    while (index > known && !m_reached.compare_exchange_weak(known, index)) { }
}

void FileCreateAhead::run()
{
    for (int i = 0; i < m_paths.size() && !m_stop.load(std::memory_order_relaxed); ++i) {
        // A file the transfers have reached is theirs to make.
        if (i <= m_reached.load(std::memory_order_relaxed)) {
            i = m_reached.load(std::memory_order_relaxed);
            continue;
        }
        if (m_paths.at(i).isEmpty())
            continue;
        const int fd = ::open(QFile::encodeName(m_paths.at(i)).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::close(fd);
    }
}
