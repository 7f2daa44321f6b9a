#include "fileops/mappedfile.h"

#include "fileops/fileophook.h"
#include "sys/regularfile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t copyBufferSize = 1 << 20;

} // namespace

MappedFile::~MappedFile()
{
    if (m_data)
        ::munmap(m_data, size_t(m_size));
}

bool MappedFile::mapForReading(const QString &path)
{
    struct stat info;
    m_fd = RegularFile::open(path, &info);
    if (!m_fd.isValid())
        return failWith(errno);
    m_size = info.st_size;
    return map(PROT_READ, MAP_PRIVATE);
}

bool MappedFile::copyForReading(const QString &path, const QString &directory, qint64 limit)
{
    struct stat before;
    const UniqueFd in = RegularFile::open(path, &before);
    if (!in.isValid())
        return failWith(errno == EINVAL ? QStringLiteral("not a regular file")
                                        : qt_error_string(errno));
    if (before.st_size > limit)
        return failWith(
            QStringLiteral("%1 bytes, more than the %2 allowed").arg(before.st_size).arg(limit));
    QByteArray name = QFile::encodeName(directory) + "/.patchcopy-XXXXXX";
    m_fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!m_fd.isValid())
        return failWith(errno);
    ::unlink(name.constData());
    m_size = before.st_size;
    // Only advice: a refusal changes nothing.
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    FileOpHook::reached();

    QByteArray buffer(qsizetype(copyBufferSize), Qt::Uninitialized);
    qint64 copied = 0;
    while (copied < m_size) {
        const ssize_t n = ::read(in.get(), buffer.data(),
                                 size_t(qMin<qint64>(m_size - copied, qint64(copyBufferSize))));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failWith(errno);
        if (n == 0)
            return failWith(QStringLiteral("it changed while it was read"));
        if (!writeAll(buffer.constData(), n))
            return failWith(
                QStringLiteral("cannot copy it to %1: %2").arg(directory, qt_error_string(errno)));
        copied += n;
    }
    // Shortened and grown again, or written to meanwhile.
    if (!RegularFile::isUnchanged(in, before))
        return failWith(QStringLiteral("it changed while it was read"));
    return map(PROT_READ, MAP_PRIVATE);
}

bool MappedFile::create(const QString &path, qint64 size)
{
    m_fd.reset(
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!m_fd.isValid())
        return failWith(errno);
    m_size = size;
    // Returns the error instead of setting errno.
    const int reserved = size > 0 ? ::posix_fallocate(m_fd.get(), 0, off_t(size)) : 0;
    if (reserved != 0)
        return failWith(reserved);
    return map(PROT_READ | PROT_WRITE, MAP_SHARED);
}

bool MappedFile::close()
{
    bool ok = true;
    if (m_data && ::munmap(m_data, size_t(m_size)) != 0)
        ok = failWith(errno);
    m_data = nullptr;
    if (!m_fd.close() && ok)
        ok = failWith(errno);
    return ok;
}

void MappedFile::advise(int advice)
{
    if (m_data)
        ::madvise(m_data, size_t(m_size), advice);
}

bool MappedFile::map(int protection, int flags)
{
    if (m_size == 0)
        return true;
    m_data = ::mmap(nullptr, size_t(m_size), protection, flags, m_fd.get(), 0);
    if (m_data == MAP_FAILED) {
        m_data = nullptr;
        return failWith(errno);
    }
    return true;
}

bool MappedFile::writeAll(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd.get(), data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool MappedFile::failWith(int error)
{
    return failWith(qt_error_string(error));
}

bool MappedFile::failWith(const QString &reason)
{
    m_error = reason;
    return false;
}
