#include "fileops/filecopyfunc.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor when it goes out of scope.
class Fd
{
public:
    explicit Fd(int fd)
        : m_fd(fd)
    { }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

enum class Outcome { Done, Failed, Unsupported };

// Copies inside the kernel (copy_file_range, as cp does) into an unnamed file
// in the destination's directory, which is given its name only when complete.
// Like QFile::copy it never overwrites, leaves no partial file and gives the
// destination the source's permissions. Unsupported when the file system or
// kernel lacks one of the calls; QFile::copy then does the work.
Outcome copyInKernel(const QString &source, const QString &destination)
{
    const Fd in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return Outcome::Failed;
    struct stat info;
    if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return Outcome::Unsupported;

    const QByteArray directory = QFile::encodeName(QFileInfo(destination).absolutePath());
    const Fd out(::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? Outcome::Unsupported
                                                                         : Outcome::Failed;
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    off_t copied = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (copied == 0
                && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
                return Outcome::Unsupported;
            return Outcome::Failed;
        }
        copied += n;
    }
    if (copied != info.st_size)
        return Outcome::Failed;
    if (::fchmod(out.get(), info.st_mode & 0777) != 0)
        return Outcome::Failed;

    const QByteArray self = "/proc/self/fd/" + QByteArray::number(out.get());
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(destination).constData(),
                 AT_SYMLINK_FOLLOW)
        == 0)
        return Outcome::Done;
    return errno == EEXIST ? Outcome::Failed : Outcome::Unsupported;
}

} // namespace

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{ }

bool FileCopyFunc::run()
{
    if (QFileInfo::exists(destination))
        return false;
    switch (copyInKernel(source, destination)) {
    case Outcome::Done:
        return true;
    case Outcome::Failed:
        return false;
    case Outcome::Unsupported:
        break;
    }
    // QFile::copy also writes into a temporary file and names it at the end.
    return QFile::copy(source, destination);
}
