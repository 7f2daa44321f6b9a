#include "scopedmount.h"

#include <QFile>

#include <sys/mount.h>
#include <sys/statvfs.h>

ScopedMount::ScopedMount(const QString &dir, qint64 tmpfsBytes)
{
    const QByteArray path = QFile::encodeName(dir);
    const QByteArray size = "size=" + QByteArray::number(tmpfsBytes) + ",mode=0755";
    if (tmpfsBytes >= 0) {
        if (::mount("tmpfs", path.constData(), "tmpfs", 0, size.constData()) == 0)
            m_dir = dir;
        return;
    }
    if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
        return;
    m_dir = dir;
    // A bind mount takes its own flags only when it is remounted.
    if (::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr)
        != 0) {
        ::umount2(path.constData(), MNT_DETACH);
        m_dir.clear();
    }
}

ScopedMount::~ScopedMount()
{
    // Lazily: a descriptor still open below it does not keep it.
    if (isValid())
        ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
}

bool ScopedMount::shrinkTo(qint64 spare)
{
    const QByteArray path = QFile::encodeName(m_dir);
    struct statvfs volume;
    if (!isValid() || ::statvfs(path.constData(), &volume) != 0)
        return false;
    const qint64 used = qint64(volume.f_blocks - volume.f_bfree) * qint64(volume.f_frsize);
    const QByteArray options = "size=" + QByteArray::number(used + spare);
    return ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT, options.constData()) == 0;
}
