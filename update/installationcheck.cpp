#include "update/installationcheck.h"

#include "tasks/failurecause.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

quint64 inBlocks(quint64 bytes, quint64 blockSize)
{
    return (bytes + blockSize - 1) / blockSize * blockSize;
}

quint64 sizeOf(qint64 size)
{
    return quint64(qMax<qint64>(size, 0));
}

// An installed file that no rename can move: immutable or append-only, or,
// in a folder with the sticky bit, neither this user's nor the folder's.
bool fixedInPlace(const QString &path, const struct stat &folder)
{
    struct statx file;
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, STATX_UID,
                &file)
        != 0)
        return false;
    if (file.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND))
        return true;
    const uid_t user = ::geteuid();
    return (folder.st_mode & S_ISVTX) && user != 0 && file.stx_uid != user && folder.st_uid != user;
}

// Whether path (itself, not what a link at it names) is where something is
// mounted: on another device than its folder, or the root of a mount, as a
// file or folder bound over itself, which keeps its device.
bool isMountPoint(const QString &path, dev_t folderDevice)
{
    struct statx entry;
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, 0, &entry) != 0)
        return false;
    return (entry.stx_attributes_mask & entry.stx_attributes & STATX_ATTR_MOUNT_ROOT)
        || makedev(entry.stx_dev_major, entry.stx_dev_minor) != folderDevice;
}

bool isMountPoint(const QString &path)
{
    struct stat folder;
    return ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &folder) == 0
        && isMountPoint(path, folder.st_dev);
}

} // namespace

InstallationCheck::InstallationCheck(const FileSpecifications &lists, const QString &sessionDir,
                                     const QString &appRoot, int parallelPatches)
    : m_lists(lists)
    , m_sessionDir(sessionDir)
    , m_appRoot(appRoot)
    , m_parallelPatches(qMax(1, parallelPatches))
{ }

bool InstallationCheck::run()
{
    return checkWritable() && checkSpace();
}

bool InstallationCheck::fail(const QString &logLine, const QString &cause)
{
    m_logLine = logLine;
    m_cause = cause;
    return false;
}

bool InstallationCheck::failMounted(const QString &path)
{
    return fail(
        QStringLiteral("%1 is a mount point, which the update does not replace or write into")
            .arg(path),
        FailureCause::notWritable(path));
}

QString InstallationCheck::existingFolder(const QString &path) const
{
    QString folder = QFileInfo(path).path();
    // A file where a folder belongs stops the replacement on its own terms;
    // the folder above it is the one written to.
    while (folder.size() > m_appRoot.size() && !QFileInfo(folder).isDir())
        folder = QFileInfo(folder).path();
    return folder;
}

bool InstallationCheck::checkWritable()
{
    const QString root = m_appRoot + QLatin1Char('/');
    QSet<QString> folders;
    QSet<QString> writtenInto;
    QStringList replaced;
    for (const FileReplaceSpecification &file : m_lists.replaces) {
        const QString destination = root + file.pureDestFilePath();
        const QString folder = existingFolder(destination);
        folders.insert(folder);
        if (folder.size() > m_appRoot.size())
            writtenInto.insert(folder);
        if (QFileInfo(destination).exists() || QFileInfo(destination).isSymLink())
            replaced.append(destination);
    }
    // The folders of the files to delete need not be writable: a file that
    // cannot be deleted stays, and fails nothing.
    QStringList sorted(folders.cbegin(), folders.cend());
    std::sort(sorted.begin(), sorted.end());
    for (const QString &folder : std::as_const(sorted)) {
        if (!FailureCause::folderWritable(folder))
            return fail(QStringLiteral("The folder %1 cannot be written to").arg(folder),
                        FailureCause::notWritable(folder));
    }

    // A mount point can be neither moved aside nor removed (EBUSY), and what
    // is mounted into the installation is not the installation's to change:
    // the replacement would fail after everything was fetched. The
    // installation's own folder may well be one.
    QStringList mounts(writtenInto.cbegin(), writtenInto.cend());
    std::sort(mounts.begin(), mounts.end());
    for (const QString &folder : std::as_const(mounts)) {
        if (isMountPoint(folder))
            return failMounted(folder);
    }

    QHash<QString, struct stat> folderStatus;
    for (const QString &path : std::as_const(replaced)) {
        const QString folder = QFileInfo(path).path();
        auto known = folderStatus.find(folder);
        if (known == folderStatus.end()) {
            struct stat status {};
            ::stat(QFile::encodeName(folder).constData(), &status);
            known = folderStatus.insert(folder, status);
        }
        if (isMountPoint(path, known->st_dev))
            return failMounted(path);
        if (fixedInPlace(path, *known))
            return fail(QStringLiteral("%1 cannot be moved aside to be replaced").arg(path),
                        FailureCause::notWritable(path));
    }
    return true;
}

InstallationCheck::Volume *InstallationCheck::volumeOf(const QString &folder)
{
    auto device = m_devices.constFind(folder);
    if (device == m_devices.cend()) {
        struct stat status;
        if (::stat(QFile::encodeName(folder).constData(), &status) != 0)
            return nullptr;
        device = m_devices.insert(folder, status.st_dev);
    }
    Volume &volume = m_volumes[*device];
    if (!volume.known)
        volume.known = FailureCause::availableBytes(folder, volume.available, &volume.blockSize);
    return volume.known ? &volume : nullptr;
}

void InstallationCheck::need(const QString &folder, quint64 bytes)
{
    Volume *volume = volumeOf(folder);
    if (!volume)
        return;
    // The folder named is the one the player knows: the installation's
    // root where the volume holds it.
    if (volume->folder.isEmpty())
        volume->folder = volumeOf(m_appRoot) == volume ? m_appRoot : folder;
    volume->needed += inBlocks(bytes, volume->blockSize);
}

bool InstallationCheck::checkSpace()
{
    const QString root = m_appRoot + QLatin1Char('/');
    const QString session = m_sessionDir + QLatin1Char('/');
    Volume *sessionVolume = volumeOf(m_sessionDir);

    // The installation: a file installed as it was downloaded becomes the
    // installed one by a hard link where both lie on one volume; an unpacked
    // one is always written anew.
    QHash<QString, quint64> downloadSizes;
    for (const FileDownloadSpecification &file : m_lists.downloads)
        downloadSizes.insert(file.filePath, sizeOf(file.size));
    for (const FileReplaceSpecification &file : m_lists.replaces) {
        const QString folder = existingFolder(root + file.pureDestFilePath());
        if (file.hasUnzip()) {
            need(folder, file.unzipSize);
            continue;
        }
        if (volumeOf(folder) == sessionVolume && sessionVolume)
            continue;
        const auto known = downloadSizes.constFind(file.filePath);
        need(folder,
             known != downloadSizes.cend() ? *known
                                           : sizeOf(QFileInfo(session + file.filePath).size()));
    }

    // The session directory: what is still to be fetched. A file that may
    // come by patch counts the patch (never larger than the file) and its
    // output; while a patch is applied, it reads the installed file and the
    // patch through private copies beside the output.
    bool patchesOffered = false;
    if (m_lists.patchList.isValid()) {
        for (const FileDownloadSpecification &file : m_lists.downloads)
            patchesOffered = patchesOffered || !file.installedMd5.isEmpty();
    }
    if (patchesOffered)
        need(m_sessionDir, sizeOf(m_lists.patchList.size));
    QList<quint64> copies;
    for (const FileDownloadSpecification &file : m_lists.downloads) {
        // A copy of an installed file is fetched by no mirror, but lies in
        // the session directory like a download, or is one should the copy
        // fail its check.
        if (!file.localSource.isEmpty()) {
            need(m_sessionDir, qMax(sizeOf(file.size), sizeOf(file.targetSize)));
            continue;
        }
        if (patchesOffered && !file.installedMd5.isEmpty()) {
            need(m_sessionDir, sizeOf(file.size));
            need(m_sessionDir, sizeOf(file.targetSize));
            copies.append(sizeOf(QFileInfo(root + file.installedPath).size()) + sizeOf(file.size));
            continue;
        }
        // A part left by an earlier attempt is continued.
        const QFileInfo part(session + file.filePath);
        const quint64 there = part.isFile() && part.size() <= file.size ? sizeOf(part.size()) : 0;
        if (sessionVolume) {
            const quint64 whole = inBlocks(sizeOf(file.size), sessionVolume->blockSize);
            const quint64 kept = inBlocks(there, sessionVolume->blockSize);
            need(m_sessionDir, whole > kept ? whole - kept : 0);
        }
    }
    std::sort(copies.begin(), copies.end(), std::greater<quint64>());
    for (int i = 0; i < m_parallelPatches && i < copies.size(); ++i)
        need(m_sessionDir, copies.at(i));

    for (const auto &[device, volume] : m_volumes) {
        if (volume.needed > volume.available)
            return fail(
                QStringLiteral("Not enough space in %1: %2 bytes needed, %3 bytes free")
                    .arg(volume.folder, QString::number(volume.needed),
                         QString::number(volume.available)),
                FailureCause::notEnoughSpace(volume.folder, volume.needed, volume.available));
    }
    return true;
}
