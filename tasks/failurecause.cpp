#include "tasks/failurecause.h"

#include <QFile>
#include <QLocale>

#include <cerrno>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Sizes as a player reads them; precise enough that the two figures of one
// line never read the same.
QPair<QString, QString> twoSizes(quint64 needed, quint64 available)
{
    const QLocale locale;
    QString first;
    QString second;
    for (int precision = 1; precision <= 3; ++precision) {
        first = locale.formattedDataSize(qint64(needed), precision, QLocale::DataSizeSIFormat);
        second = locale.formattedDataSize(qint64(available), precision, QLocale::DataSizeSIFormat);
        if (first != second)
            break;
    }
    return {first, second};
}

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : QStringLiteral("/");
}

} // namespace

QString FailureCause::notEnoughSpace(const QString &folder, quint64 needed, quint64 available)
{
    const auto sizes = twoSizes(needed, available);
    return tr("Not enough disk space in %1: the update needs %2 there, %3 are free.")
        .arg(folder, sizes.first, sizes.second);
}

QString FailureCause::notWritable(const QString &path)
{
    return tr("%1 cannot be written to (read-only, or no permission).").arg(path);
}

QString FailureCause::notSignedWithKey()
{
    return tr("The new version is not signed with this updater's key: the signature check "
              "failed on every mirror that delivered it.");
}

QString FailureCause::otherRelease(int version)
{
    return tr("The mirrors do not offer version %1 of this client, but another release.")
        .arg(version);
}

QString FailureCause::damagedOnEveryMirror(const QString &file)
{
    return tr("%1 differs from the new version on every mirror that sent it (MD5 sum "
              "mismatch).")
        .arg(file);
}

QString FailureCause::missingOnEveryMirror(const QString &file)
{
    return tr("%1 is missing on every mirror.").arg(file);
}

QString FailureCause::noMirrorReachable()
{
    return tr("No download mirror could be reached, or none holds the new version.");
}

QString FailureCause::noWorkingMirror()
{
    return tr("No working download mirror is left: every mirror failed.");
}

QString FailureCause::fileListUnusable()
{
    return tr("The new version's file list cannot be used.");
}

QString FailureCause::installFailed(const QString &folder)
{
    return tr("The new files could not be installed in %1.").arg(folder);
}

QString FailureCause::deleteFailed(const QString &folder)
{
    return tr("Obsolete files could not be removed from %1.").arg(folder);
}

QString FailureCause::serverNotFound(const QString &host)
{
    return tr("The update server %1 cannot be found: there may be no network connection.")
        .arg(host);
}

QString FailureCause::serverSilent(const QString &host, int seconds)
{
    return tr("The update server %1 did not answer within %2 seconds.").arg(host).arg(seconds);
}

QString FailureCause::serverUnreachable(const QString &host, const QString &reason)
{
    return tr("The update server %1 cannot be reached: %2").arg(host, reason);
}

QString FailureCause::writeFailed(const QString &path, const QString &reason)
{
    return tr("%1 could not be written: %2").arg(path, reason);
}

QString FailureCause::forWriteError(const QString &path, int errorNumber, quint64 bytesLeft)
{
    const QString folder = folderOf(path);
    switch (errorNumber) {
    case ENOSPC:
    case EDQUOT: {
        quint64 available = 0;
        availableBytes(folder, available);
        return notEnoughSpace(folder, available + qMax<quint64>(bytesLeft, 1), available);
    }
    case EROFS:
    case EACCES:
    case EPERM:
        return notWritable(folder);
    default:
        return writeFailed(path, qt_error_string(errorNumber));
    }
}

QString FailureCause::probeFolder(const QString &folder, quint64 bytes)
{
    if (!folderWritable(folder))
        return notWritable(folder);
    quint64 available = 0;
    if (availableBytes(folder, available) && available < bytes)
        return notEnoughSpace(folder, bytes, available);
    return QString();
}

bool FailureCause::availableBytes(const QString &path, quint64 &bytes, quint64 *blockSize)
{
    struct statvfs volume;
    if (::statvfs(QFile::encodeName(path).constData(), &volume) != 0)
        return false;
    bytes = quint64(volume.f_bavail) * quint64(volume.f_frsize);
    if (blockSize)
        *blockSize = qMax<quint64>(volume.f_frsize, 1);
    return true;
}

bool FailureCause::folderWritable(const QString &folder)
{
    // access() answers for root too where the volume is read-only or the
    // folder immutable; the volume's flag is asked as well, for volumes
    // whose permission check says nothing of it.
    const QByteArray path = QFile::encodeName(folder);
    if (::access(path.constData(), W_OK | X_OK) != 0)
        return false;
    struct statvfs volume;
    return ::statvfs(path.constData(), &volume) == 0 && !(volume.f_flag & ST_RDONLY);
}
