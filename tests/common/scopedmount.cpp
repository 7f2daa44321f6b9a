#include "scopedmount.h"

#include <QFile>

#include <utility>

#include <sys/mount.h>
#include <sys/statvfs.h>

ScopedMount ScopedMount::tmpfs(const QString &dir, qint64 bytes)
{
    ScopedMount mount;
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData()) == 0)
        mount.m_dir = dir;
    return mount;
}

ScopedMount ScopedMount::readOnly(const QString &dir)
{
    ScopedMount mount;
    const QByteArray path = QFile::encodeName(dir);
    if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
        return mount;
    mount.m_dir = dir;
    // A bind mount takes its own flags only when it is remounted.
    if (::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr)
        != 0)
        mount.release();
    return mount;
}

ScopedMount::ScopedMount(ScopedMount &&other) noexcept
    : m_dir(std::exchange(other.m_dir, QString()))
{ }

ScopedMount &ScopedMount::operator=(ScopedMount &&other) noexcept
{
    release();
    m_dir = std::exchange(other.m_dir, QString());
    return *this;
}

ScopedMount::~ScopedMount()
{
    release();
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

void ScopedMount::release()
{
    if (m_dir.isEmpty())
        return;
    // Lazily: a descriptor still open below it does not keep it.
    ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
    m_dir.clear();
}
