#include "sys/regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>

UniqueFd RegularFile::open(const QString &path, struct stat *info, int flags)
{
    UniqueFd fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (!fd.isValid())
        return fd;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        return UniqueFd();
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    if (info)
        *info = status;
    return fd;
}

bool RegularFile::open(QFile &file, const QString &path)
{
    UniqueFd fd = open(path);
    if (!fd.isValid()
        || !file.open(fd.get(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                      QFile::AutoCloseHandle))
        return false;
    fd.release();
    return true;
}

bool RegularFile::isUnchanged(const UniqueFd &fd, const struct stat &before)
{
    struct stat after;
    return ::fstat(fd.get(), &after) == 0 && after.st_size == before.st_size
        && after.st_mtim.tv_sec == before.st_mtim.tv_sec
        && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}
