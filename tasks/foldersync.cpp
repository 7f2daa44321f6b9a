#include "tasks/foldersync.h"

#include <QFile>
#include <QMutex>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Noted
{
    QMutex mutex;
    QSet<QByteArray> folders;
};

Noted &noted()
{
    static Noted table;
    return table;
}

std::atomic<FolderSync::Observer> observer {nullptr};

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// 0, or the errno of the failure; ENOENT for a folder that no longer exists.
int syncEncoded(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (result == 0) {
        if (const FolderSync::Observer notify = observer.load())
            notify(folder);
    }
    return result;
}

void describe(QString *error, const QByteArray &folder, int code)
{
    if (error)
        *error = QStringLiteral("%1: %2").arg(QFile::decodeName(folder),
                                               QString::fromLocal8Bit(std::strerror(code)));
}

} // namespace

void FolderSync::noteChangeOf(const QString &path)
{
    noteChangeOf(QFile::encodeName(path));
}

void FolderSync::noteChangeOf(const QByteArray &encodedPath)
{
    const QByteArray folder = folderOf(encodedPath);
    QMutexLocker lock(&noted().mutex);
    noted().folders.insert(folder);
}

bool FolderSync::syncNoted(QString *error)
{
    QSet<QByteArray> folders;
    {
        QMutexLocker lock(&noted().mutex);
        folders.swap(noted().folders);
    }
    bool ok = true;
    for (const QByteArray &folder : std::as_const(folders)) {
        const int code = syncEncoded(folder);
        if (code == 0 || code == ENOENT)
            continue;
        if (ok)
            describe(error, folder, code);
        ok = false;
        QMutexLocker lock(&noted().mutex);
        noted().folders.insert(folder);
    }
    return ok;
}

bool FolderSync::syncFolder(const QString &dir, QString *error)
{
    const QByteArray folder = QFile::encodeName(dir);
    const int code = syncEncoded(folder);
    if (code != 0)
        describe(error, folder, code);
    return code == 0;
}

void FolderSync::setObserver(Observer notify)
{
    observer.store(notify);
}
