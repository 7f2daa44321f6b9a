#include "fileops/filecopyfunc.h"

#include "fileops/fileophook.h"
#include "fileops/wholefile.h"
#include "sys/regularfile.h"
#include "sys/uniquefd.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t bufferSize = 1 << 20;

// Copies the rest of in to out through a buffer; the number of bytes, or -1.
off_t copyThroughBuffer(int in, WholeFile &out)
{
    QByteArray buffer(int(bufferSize), Qt::Uninitialized);
    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), bufferSize);
        if (n == 0)
            return copied;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (!out.write(buffer.constData(), n))
            return -1;
        copied += n;
    }
}

} // namespace

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination, int mode)
    : SlowFileOpFunc(source, destination, mode)
{ }

bool FileCopyFunc::run()
{
    // Only a regular file: a pipe at the path would wait for a writer for ever.
    struct stat info;
    const UniqueFd in = RegularFile::open(source, &info);
    if (!in.isValid())
        return false;
    WholeFile out(destination);
    // On one file system the source itself becomes the new file: a second
    // name instead of a copy of its bytes.
    if (out.linkFrom(source))
        return out.commit(mode >= 0 ? mode : int(info.st_mode & 0777));
    if (!out.open())
        return false;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    // Inside the kernel where the file systems allow it, as cp does.
    off_t copied = 0;
    bool inKernel = true;
    while (inKernel) {
        const ssize_t n = ::copy_file_range(in.get(), nullptr, out.handle(), nullptr, 1 << 30, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (copied == 0
                && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
                inKernel = false;
            else
                return false;
        } else {
            if (copied == 0)
                FileOpHook::reached();
            copied += n;
        }
    }
    if (!inKernel)
        copied = copyThroughBuffer(in.get(), out);
    if (copied != info.st_size)
        return false;
    return out.commit(mode >= 0 ? mode : int(info.st_mode & 0777));
}
