#include "update/installationcheck.h"

#include "tasks/failurecause.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThreadPool>

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

// The blocks a download still takes: its size, less a part that an earlier
// attempt left at path, which is continued.
quint64 stillToFetch(const QString &path, qint64 size, quint64 blockSize)
{
    const QFileInfo part(path);
    const quint64 whole = inBlocks(sizeOf(size), blockSize);
    const quint64 there
        = part.isFile() && part.size() <= size ? inBlocks(sizeOf(part.size()), blockSize) : 0;
    return whole > there ? whole - there : 0;
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
                                     const QString &appRoot, int patchesAtOnce)
    : m_lists(lists)
    , m_sessionDir(sessionDir)
    , m_appRoot(appRoot)
    , m_patchesAtOnce(qMax(1, patchesAtOnce))
{ }

int InstallationCheck::patchesAtOnce(int streams)
{
    return qMax(1, qMin(streams, QThreadPool::globalInstance()->maxThreadCount()));
}

bool InstallationCheck::run()
{
    return checkWritable() && checkSpace(false);
}

bool InstallationCheck::runWithPatches()
{
    return checkSpace(true);
}

std::vector<const FileDownloadSpecification *> InstallationCheck::downloadsOfReplaces() const
{
    const QList<FileReplaceSpecification> &replaces = m_lists.replaces;
    const QList<FileDownloadSpecification> &downloads = m_lists.downloads;
    std::vector<const FileDownloadSpecification *> of(size_t(replaces.size()), nullptr);
    // The list step makes the download list in the replace list's order:
    // one walk along both finds each, without a table of every name.
    qsizetype next = 0;
    for (qsizetype i = 0; i < replaces.size() && next < downloads.size(); ++i) {
        if (downloads.at(next).filePath == replaces.at(i).filePath)
            of[size_t(i)] = &downloads.at(next++);
    }
    if (next == downloads.size())
        return of;
    QHash<QString, const FileDownloadSpecification *> byPath;
    for (const FileDownloadSpecification &file : downloads)
        byPath.insert(file.filePath, &file);
    for (qsizetype i = 0; i < replaces.size(); ++i)
        of[size_t(i)] = byPath.value(replaces.at(i).filePath);
    return of;
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
    // The files that exist, by their place in the replace list: a list of
    // their paths would be as large as the list itself.
    std::vector<qsizetype> replaced;
    // Files come folder by folder: each folder is looked up once in a row.
    QString lastParent;
    bool looked = false;
    for (qsizetype i = 0; i < m_lists.replaces.size(); ++i) {
        const QString destination = root + m_lists.replaces.at(i).pureDestFilePath();
        const QString parent = QFileInfo(destination).path();
        if (!looked || parent != lastParent) {
            looked = true;
            lastParent = parent;
            const QString folder = existingFolder(destination);
            folders.insert(folder);
            if (folder.size() > m_appRoot.size())
                writtenInto.insert(folder);
        }
        // There, or a link that leads nowhere.
        struct stat status;
        if (::lstat(QFile::encodeName(destination).constData(), &status) == 0)
            replaced.push_back(i);
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
    for (const qsizetype index : replaced) {
        const QString path = root + m_lists.replaces.at(index).pureDestFilePath();
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

const InstallationCheck::Place *InstallationCheck::placeOf(const QString &folder)
{
    auto place = m_places.constFind(folder);
    if (place == m_places.cend()) {
        struct statx status;
        if (::statx(AT_FDCWD, QFile::encodeName(folder).constData(), 0, STATX_MNT_ID, &status)
            != 0)
            return nullptr;
        Place found;
        found.device = makedev(status.stx_dev_major, status.stx_dev_minor);
        found.mount = (status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0;
        place = m_places.insert(folder, found);
    }
    return &*place;
}

InstallationCheck::Volume *InstallationCheck::volumeOf(const QString &folder)
{
    const Place *place = placeOf(folder);
    if (!place)
        return nullptr;
    Volume &volume = m_volumes[place->device];
    if (!volume.known) {
        volume.known = FailureCause::availableBytes(folder, volume.available, &volume.blockSize);
        // The folder named is the one the player knows: the installation's
        // root where the volume holds it.
        const Place *root = placeOf(m_appRoot);
        volume.folder = root && root->device == place->device ? m_appRoot : folder;
    }
    return volume.known ? &volume : nullptr;
}

bool InstallationCheck::linksTo(const QString &folder)
{
    const Place *session = placeOf(m_sessionDir);
    const Place *place = placeOf(folder);
    return session && place && session->device == place->device
        && session->mount == place->mount;
}

bool InstallationCheck::checkSpace(bool patchesRead)
{
    const QString root = m_appRoot + QLatin1Char('/');
    const QString session = m_sessionDir + QLatin1Char('/');
    Volume *sessionVolume = volumeOf(m_sessionDir);
    const quint64 block = sessionVolume ? sessionVolume->blockSize : 1;

    // The session directory. A patched file keeps its patch and its result
    // there; while it is applied, it reads the installed file and the patch
    // through private copies beside the result, which go with it. A copy of
    // an installed file is fetched by no mirror, but lies there like a
    // download, or is one should the copy fail its check. Before the patch
    // list is read, every file counts as fetched whole, and the list itself
    // is still to come.
    quint64 kept = 0;
    QList<quint64> copies;
    bool patchesOffered = false;
    for (const FileDownloadSpecification &file : m_lists.downloads) {
        patchesOffered
            = patchesOffered || (!file.installedMd5.isEmpty() && file.localSource.isEmpty());
        if (!file.localSource.isEmpty()) {
            kept += inBlocks(qMax(sizeOf(file.size), sizeOf(file.targetSize)), block);
        } else if (patchesRead && file.hasPatch()) {
            kept += stillToFetch(session + file.patchPath(), file.patchSize, block)
                + inBlocks(sizeOf(file.targetSize), block);
            copies.append(inBlocks(sizeOf(QFileInfo(root + file.installedPath).size()), block)
                          + inBlocks(sizeOf(file.patchSize), block));
        } else {
            kept += stillToFetch(session + file.filePath, file.size, block);
        }
    }
    if (!patchesRead && patchesOffered && m_lists.patchList.isValid())
        kept += inBlocks(sizeOf(m_lists.patchList.size), block);
    if (sessionVolume) {
        sessionVolume->kept += kept;
        std::sort(copies.begin(), copies.end(), std::greater<quint64>());
        for (int i = 0; i < m_patchesAtOnce && i < copies.size(); ++i)
            sessionVolume->patching += copies.at(i);
    }

    // The installation. A file that lies in the session directory as it is
    // installed becomes the installed one by a hard link where it can, and
    // is copied elsewhere; a patch's result and a copy of an installed file
    // lie unpacked already. Any other file of a compressed key is unpacked,
    // always into a new file.
    const std::vector<const FileDownloadSpecification *> downloadOf = downloadsOfReplaces();
    for (qsizetype i = 0; i < m_lists.replaces.size(); ++i) {
        const FileReplaceSpecification &file = m_lists.replaces.at(i);
        const QString folder = existingFolder(root + file.pureDestFilePath());
        const FileDownloadSpecification *download = downloadOf[size_t(i)];
        const bool unpacked = download
            ? download->unpacked
                && (!download->localSource.isEmpty() || (patchesRead && download->hasPatch()))
            : file.storedUnpacked;
        quint64 bytes = 0;
        if (file.hasUnzip() && !unpacked)
            bytes = file.unzipSize;
        else if (linksTo(folder))
            continue;
        else if (download)
            bytes = sizeOf(unpacked ? download->targetSize : download->size);
        else
            bytes = sizeOf(QFileInfo(session + file.filePath).size());
        if (Volume *volume = volumeOf(folder))
            volume->written += inBlocks(bytes, volume->blockSize);
    }

    for (const auto &[device, volume] : m_volumes) {
        const quint64 needed = volume.needed();
        if (needed > volume.available)
            return fail(QStringLiteral("Not enough space in %1: %2 bytes needed, %3 bytes free")
                            .arg(volume.folder, QString::number(needed),
                                 QString::number(volume.available)),
                        FailureCause::notEnoughSpace(volume.folder, needed, volume.available));
    }
    return true;
}
