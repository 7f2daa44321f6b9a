#include "update/verifiedrecord.h"

#include "fileops/wholefile.h"
#include "formats/productini.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>

namespace {
// A file changed this short a time before the step began may change again
// within the same tick of the file system's clock, its times unmoved: its
// digest is not recorded.
constexpr qint64 settleNs = 2LL * 1000 * 1000 * 1000;
} // namespace

VerifiedRecord::VerifiedRecord(const QString &appRoot, const QString &updaterPath, bool readAll)
    : m_path(appRoot + QLatin1Char('/') + ProductIni::VerifiedRecordName)
{
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    m_now = nowMs / 1000;
    m_recentNs = nowMs * 1000 * 1000 - settleNs;
    m_ownerKnown = VerifiedDigests::ownerOf(appRoot, updaterPath, &m_owner);
    const QByteArray root = QFile::encodeName(appRoot) + '/';
    m_loaded.setRoot(root);
    m_new.setRoot(root);
    if (m_ownerKnown && !readAll)
        m_used = m_loaded.load(m_path, m_owner, m_now, &m_problem);
    m_kept.assign(size_t(m_loaded.size()), false);
}

void VerifiedRecord::verified(const QByteArray &path, const VerifiedDigests::Identity &identity,
                              const QByteArray &md5)
{
    if (identity.inode == 0 || identity.changedNs > m_recentNs
        || identity.modifiedNs > m_recentNs)
        return;
    m_new.add(path, identity, md5);
}

void VerifiedRecord::unchanged(qint64 index)
{
    if (index < 0 || index >= qint64(m_kept.size()) || m_kept[size_t(index)])
        return;
    m_kept[size_t(index)] = true;
    ++m_keptCount;
}

bool VerifiedRecord::save(QString *error)
{
    // Nothing new: every file was found as recorded, and no other.
    if (!m_ownerKnown || (m_used && m_new.isEmpty() && m_keptCount == m_loaded.size())
        || (!m_used && m_new.isEmpty()))
        return true;
    for (size_t i = 0; i < m_kept.size(); ++i) {
        if (m_kept[i])
            m_new.addFrom(m_loaded, qint64(i));
    }
    // Every file was read when no record was used; otherwise the record
    // keeps the time of its last full reading.
    const QByteArray bytes = m_new.toBytes(m_owner, m_used ? m_loaded.verifiedSince() : m_now);
    WholeFile file(m_path);
    errno = 0;
    if (file.open() && file.write(bytes.constData(), bytes.size()) && file.commit(0644))
        return true;
    *error = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
