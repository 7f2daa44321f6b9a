#include "fileops/wholefile.h"

#include "fileops/fileophook.h"
#include "fileops/syncedfiles.h"
#include "sys/regularfile.h"
#include "tasks/foldersync.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

WholeFile::WholeFile(const QString &target)
    : m_target(QFile::encodeName(target))
    , m_temporary(QFile::encodeName(temporaryName(target)))
{ }

WholeFile::~WholeFile()
{
    discard();
}

const QString &WholeFile::temporaryPrefix()
{
    static const QString prefix = QStringLiteral("_new_");
    return prefix;
}

QString WholeFile::temporaryName(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QLatin1Char('/') + temporaryPrefix() + info.fileName();
}

bool WholeFile::open()
{
    discard();
    FileOpHook::reached();
    // An unnamed file can only be given a name through /proc.
    if (::access("/proc/self/fd", X_OK) == 0) {
        const QByteArray directory
            = QFile::encodeName(QFileInfo(QFile::decodeName(m_target)).absolutePath());
        m_fd.reset(::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (m_fd.isValid())
            return true;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
    }
    // A temporary name left by an interrupted run is ours to replace.
    ::unlink(m_temporary.constData());
    m_fd.reset(::open(m_temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0666));
    m_named = m_fd.isValid();
    return m_named;
}

bool WholeFile::linkFrom(const QString &source)
{
    discard();
    FileOpHook::reached();
    const QByteArray path = QFile::encodeName(source);
    struct stat sourceInfo;
    UniqueFd sourceFd = RegularFile::open(source, &sourceInfo, O_NOFOLLOW);
    if (!sourceFd.isValid())
        return false;
    // The bytes go to the disk before the file has a second name: there a
    // sync would also write out the directory that took the name, on file
    // systems without a journal, once for every file. A file sent already
    // and unchanged since is not sent again.
    const bool synced = SyncedFiles::take(sourceInfo) || ::fdatasync(sourceFd.get()) == 0;
    sourceFd.reset();
    if (!synced)
        return false;
    ::unlink(m_temporary.constData());
    // Across file systems (EXDEV) or where links are refused (EPERM), the
    // caller copies instead.
    if (::link(path.constData(), m_temporary.constData()) != 0)
        return false;
    m_named = true;
    m_fd.reset(::open(m_temporary.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat linked;
    if (!m_fd.isValid() || ::fstat(m_fd.get(), &linked) != 0 || linked.st_ino != sourceInfo.st_ino
        || linked.st_dev != sourceInfo.st_dev) {
        discard();
        return false;
    }
    m_synced = true;
    return true;
}

bool WholeFile::write(const char *data, qint64 size)
{
    m_synced = false;
    while (size > 0) {
        const ssize_t n = ::write(m_fd.get(), data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

bool WholeFile::commit(int mode)
{
    if (!m_fd.isValid())
        return false;
    if (mode >= 0 && ::fchmod(m_fd.get(), mode_t(mode)) != 0)
        return false;
    // The data and what is needed to read it back must be on disk before the
    // name is; the mode and link count travel in the file system's journal,
    // ordered before the rename. A linked file was sent before it was linked.
    if (!m_synced && ::fdatasync(m_fd.get()) != 0)
        return false;
    if (!m_named) {
        ::unlink(m_temporary.constData());
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd.get());
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_temporary.constData(),
                     AT_SYMLINK_FOLLOW)
            != 0)
            return false;
        m_named = true;
    }
    FileOpHook::reached();
    if (::rename(m_temporary.constData(), m_target.constData()) != 0)
        return false;
    FolderSync::noteChangeOf(m_target);
    m_named = false;
    m_fd.reset();
    return true;
}

void WholeFile::discard()
{
    m_synced = false;
    m_fd.reset();
    if (m_named) {
        ::unlink(m_temporary.constData());
        m_named = false;
    }
}
