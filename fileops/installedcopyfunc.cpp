#include "fileops/installedcopyfunc.h"

#include "digest/filedigestcache.h"
#include "digest/md5.h"
#include "fileops/fileophook.h"
#include "fileops/wholefile.h"
#include "sys/regularfile.h"
#include "sys/uniquefd.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 bufferSize = 1 << 20;
} // namespace

InstalledCopyFunc::InstalledCopyFunc(const QString &root, const QString &path,
                                     const QString &destination, qint64 size)
    : root(root)
    , path(path)
    , destination(destination)
    , size(size)
{ }

UniqueFd InstalledCopyFunc::openBelow(const QString &root, const QString &path, struct stat &info)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.contains(QStringLiteral(".."))
        || path.startsWith(QLatin1Char('/'))) {
        errno = EINVAL;
        return UniqueFd();
    }
    // The root is where the updater runs; below it every component is opened
    // on its own, relative to its parent, and none may be a link.
    UniqueFd fd(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < parts.size() && fd.isValid(); ++i) {
        const bool last = i == parts.size() - 1;
        // O_NONBLOCK: a FIFO put where the file was would wait for a writer.
        const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY);
        const int next = ::openat(fd.get(), QFile::encodeName(parts[i]).constData(), flags);
        const int error = errno;
        fd.reset(next);
        errno = error;
    }
    if (!fd.isValid())
        return fd;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}

bool InstalledCopyFunc::fail(const QString &reason)
{
    emit message(QStringLiteral("Could not copy the installed %1: %2").arg(path, reason));
    return false;
}

bool InstalledCopyFunc::run()
{
    struct stat before;
    const UniqueFd in = openBelow(root, path, before);
    if (!in.isValid()) {
        if (errno == ELOOP)
            return fail(QStringLiteral("a symbolic link is on its way"));
        if (errno == EINVAL)
            return fail(QStringLiteral("not a regular file"));
        return fail(qt_error_string(errno));
    }
    if (before.st_size != size)
        return fail(QStringLiteral("it has %1 bytes, not %2").arg(before.st_size).arg(size));
    WholeFile out(destination);
    if (!out.open())
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, qt_error_string(errno)));
    // Only advice: a refusal changes nothing.
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    FileOpHook::reached();

    Md5 md5;
    QByteArray buffer(qsizetype(qMin(qMax<qint64>(size, 1), bufferSize)), Qt::Uninitialized);
    qint64 copied = 0;
    while (copied < size) {
        const ssize_t n
            = ::read(in.get(), buffer.data(), size_t(qMin<qint64>(size - copied, buffer.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(qt_error_string(errno));
        if (n == 0)
            return fail(QStringLiteral("it changed while it was read"));
        md5.addData(QByteArrayView(buffer.constData(), n));
        if (!out.write(buffer.constData(), n))
            return fail(
                QStringLiteral("cannot write %1: %2").arg(destination, qt_error_string(errno)));
        copied += n;
    }
    // Grown, or written to meanwhile.
    if (!RegularFile::isUnchanged(in, before))
        return fail(QStringLiteral("it changed while it was read"));
    if (!out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, qt_error_string(errno)));
    FileDigestCache::record(destination, md5.result());
    return true;
}
