#include "digest/verifieddigests.h"

#include "digest/md5.h"

#include <QFile>

#include <algorithm>
#include <cstring>

namespace {

const QByteArray magic = QByteArrayLiteral("MRVVDIG2");
constexpr int identityBytes = 5 * 8;
constexpr int headerBytes = 8 + 2 * identityBytes + 8 + 8;
constexpr int entryFixedBytes = 4 + identityBytes + 16;
constexpr quint32 maxPathLength = 4096;

qint64 nanoseconds(const timespec &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

void putNumber(QByteArray &out, quint64 value)
{
    char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = char(value >> (8 * i));
    out.append(bytes, 8);
}

void putNumber32(QByteArray &out, quint32 value)
{
    char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (8 * i));
    out.append(bytes, 4);
}

void putIdentity(QByteArray &out, const VerifiedDigests::Identity &identity)
{
    putNumber(out, identity.device);
    putNumber(out, identity.inode);
    putNumber(out, identity.size);
    putNumber(out, quint64(identity.modifiedNs));
    putNumber(out, quint64(identity.changedNs));
}

// Reads what the writer above wrote, never past the end of the bytes.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes)
        : m_data(bytes.constData())
        , m_left(bytes.size())
    { }

    bool number(quint64 *value, int size = 8)
    {
        if (m_left < size)
            return false;
        *value = 0;
        for (int i = 0; i < size; ++i)
            *value |= quint64(uchar(m_data[i])) << (8 * i);
        advance(size);
        return true;
    }
    bool identity(VerifiedDigests::Identity *identity)
    {
        quint64 modified = 0;
        quint64 changed = 0;
        const bool ok = number(&identity->device) && number(&identity->inode)
            && number(&identity->size) && number(&modified) && number(&changed);
        identity->modifiedNs = qint64(modified);
        identity->changedNs = qint64(changed);
        return ok;
    }
    const char *bytes(qint64 size)
    {
        if (m_left < size)
            return nullptr;
        const char *start = m_data;
        advance(size);
        return start;
    }
    qint64 left() const { return m_left; }

private:
    void advance(qint64 size)
    {
        m_data += size;
        m_left -= size;
    }

    const char *m_data;
    qint64 m_left;
};

} // namespace

VerifiedDigests::Identity VerifiedDigests::Identity::of(const struct stat &status)
{
    return {quint64(status.st_dev), quint64(status.st_ino), quint64(status.st_size),
            nanoseconds(status.st_mtim), nanoseconds(status.st_ctim)};
}

bool VerifiedDigests::Identity::operator==(const Identity &other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
}

bool VerifiedDigests::ownerOf(const QString &root, const QString &updater, Owner *owner)
{
    struct stat status;
    if (::stat(QFile::encodeName(root).constData(), &status) != 0)
        return false;
    owner->root = Identity::of(status);
    // The folder's times move with every file made or removed in it: only
    // which folder it is counts.
    owner->root.size = 0;
    owner->root.modifiedNs = 0;
    owner->root.changedNs = 0;
    if (::stat(QFile::encodeName(updater).constData(), &status) != 0)
        return false;
    owner->updater = Identity::of(status);
    return true;
}

bool VerifiedDigests::load(const QString &path, const Owner &owner, qint64 now,
                           QString *problem)
{
    problem->clear();
    clear();
    QFile file(path);
    if (!file.exists())
        return false;
    // Opened without waiting: whatever lies at the name is read only as a
    // regular file, and only up to the limit.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *problem = file.errorString();
        return false;
    }
    struct stat status;
    if (::fstat(file.handle(), &status) != 0 || !S_ISREG(status.st_mode)
        || status.st_size > maxRecordSize || status.st_size < headerBytes + 4 + 16) {
        *problem = QStringLiteral("it is not a record of this updater");
        return false;
    }
    // The entries are used where they lie in the bytes read.
    m_bytes = file.read(status.st_size);
    if (m_bytes.size() != status.st_size) {
        clear();
        *problem = QStringLiteral("it could not be read");
        return false;
    }
    if (!parse(owner, now, problem)) {
        clear();
        return false;
    }
    return true;
}

bool VerifiedDigests::parse(const Owner &owner, qint64 now, QString *problem)
{
    const QByteArray &bytes = m_bytes;
    // The last 16 bytes are the MD5 of all before them: a record cut short or
    // changed anywhere is not used.
    Md5 sum;
    sum.addData(QByteArrayView(bytes.constData(), bytes.size() - 16));
    if (sum.result() != bytes.right(16) || !bytes.startsWith(magic)) {
        *problem = QStringLiteral("it is damaged");
        return false;
    }
    const QByteArray body = QByteArray::fromRawData(bytes.constData(), bytes.size() - 16);
    Reader reader(body);
    reader.bytes(magic.size());
    Identity root;
    Identity updater;
    quint64 since = 0;
    quint64 count = 0;
    if (!reader.identity(&root) || !reader.identity(&updater) || !reader.number(&since)
        || !reader.number(&count, 4) || count > quint64(maxEntries)) {
        *problem = QStringLiteral("it is damaged");
        return false;
    }
    if (root != owner.root) {
        *problem = QStringLiteral("it belongs to another installation");
        return false;
    }
    if (updater != owner.updater) {
        *problem = QStringLiteral("the updater has changed since it was written");
        return false;
    }
    if (qint64(since) > now || now - qint64(since) > maxAgeSeconds) {
        *problem = QStringLiteral("it is older than 30 days");
        return false;
    }
    m_offsets.reserve(size_t(count));
    for (quint64 i = 0; i < count; ++i) {
        const quint32 offset = quint32(body.size() - reader.left());
        quint64 length = 0;
        if (!reader.number(&length, 4) || length == 0 || length > maxPathLength
            || !reader.bytes(qint64(length) + identityBytes + 16)) {
            *problem = QStringLiteral("it is damaged");
            return false;
        }
        m_offsets.push_back(offset);
    }
    // Written sorted and without repeats; anything else was not written here.
    for (size_t i = 1; i < m_offsets.size(); ++i) {
        if (!(pathAt(m_offsets[i - 1]) < pathAt(m_offsets[i]))) {
            *problem = QStringLiteral("it is damaged");
            return false;
        }
    }
    if (reader.left() != 0) {
        *problem = QStringLiteral("it is damaged");
        return false;
    }
    m_verifiedSince = qint64(since);
    return true;
}

void VerifiedDigests::clear()
{
    m_bytes.clear();
    m_offsets.clear();
    m_verifiedSince = 0;
    m_sorted = true;
}

QByteArrayView VerifiedDigests::pathAt(quint32 offset) const
{
    const uchar *at = reinterpret_cast<const uchar *>(m_bytes.constData()) + offset;
    const quint32 length = quint32(at[0]) | quint32(at[1]) << 8 | quint32(at[2]) << 16
        | quint32(at[3]) << 24;
    return QByteArrayView(m_bytes.constData() + offset + 4, length);
}

VerifiedDigests::Identity VerifiedDigests::identityAt(quint32 offset) const
{
    const QByteArrayView path = pathAt(offset);
    Reader reader(QByteArray::fromRawData(path.data() + path.size(), identityBytes));
    Identity identity;
    reader.identity(&identity);
    return identity;
}

const char *VerifiedDigests::md5At(quint32 offset) const
{
    const QByteArrayView path = pathAt(offset);
    return path.data() + path.size() + identityBytes;
}

qint64 VerifiedDigests::indexOf(QByteArrayView path) const
{
    if (!path.startsWith(m_root))
        return -1;
    path = path.sliced(m_root.size());
    const auto found = std::lower_bound(
        m_offsets.cbegin(), m_offsets.cend(), path,
        [this](quint32 offset, QByteArrayView key) { return pathAt(offset) < key; });
    if (found == m_offsets.cend() || pathAt(*found) != path)
        return -1;
    return qint64(found - m_offsets.cbegin());
}

QByteArray VerifiedDigests::lookup(const QByteArray &path, const struct stat &now,
                                   qint64 *found) const
{
    const qint64 hint = found ? *found : -1;
    const qint64 index = hint >= 0 && hint < qint64(m_offsets.size())
            && path.startsWith(m_root)
            && pathAt(m_offsets[size_t(hint)]) == QByteArrayView(path).sliced(m_root.size())
        ? hint
        : indexOf(path);
    if (index < 0 || !S_ISREG(now.st_mode)
        || identityAt(m_offsets[size_t(index)]) != Identity::of(now))
        return QByteArray();
    if (found)
        *found = index;
    return QByteArray(md5At(m_offsets[size_t(index)]), 16);
}

void VerifiedDigests::add(const QByteArray &fullPath, const Identity &identity,
                          const QByteArray &md5)
{
    if (!fullPath.startsWith(m_root))
        return;
    const QByteArrayView path = QByteArrayView(fullPath).sliced(m_root.size());
    if (md5.size() != 16 || path.isEmpty() || path.size() > qsizetype(maxPathLength)
        || qint64(m_offsets.size()) >= maxEntries
        || m_bytes.size() + path.size() + entryFixedBytes > maxRecordSize)
        return;
    m_offsets.push_back(quint32(m_bytes.size()));
    putNumber32(m_bytes, quint32(path.size()));
    m_bytes += path;
    putIdentity(m_bytes, identity);
    m_bytes += md5;
    m_sorted = false;
}

void VerifiedDigests::addFrom(const VerifiedDigests &other, qint64 index)
{
    const quint32 offset = other.m_offsets[size_t(index)];
    const QByteArrayView path = other.pathAt(offset);
    if (qint64(m_offsets.size()) >= maxEntries
        || m_bytes.size() + path.size() + entryFixedBytes > maxRecordSize)
        return;
    m_offsets.push_back(quint32(m_bytes.size()));
    m_bytes.append(other.m_bytes.constData() + offset, 4 + path.size() + identityBytes + 16);
    m_sorted = false;
}

void VerifiedDigests::sortEntries()
{
    if (m_sorted)
        return;
    m_sorted = true;
    std::stable_sort(m_offsets.begin(), m_offsets.end(),
                     [this](quint32 a, quint32 b) { return pathAt(a) < pathAt(b); });
    // Of a path added twice the last entry counts.
    size_t kept = 0;
    for (size_t i = 0; i < m_offsets.size(); ++i) {
        if (kept > 0 && pathAt(m_offsets[kept - 1]) == pathAt(m_offsets[i]))
            m_offsets[kept - 1] = m_offsets[i];
        else
            m_offsets[kept++] = m_offsets[i];
    }
    m_offsets.resize(kept);
}

QByteArray VerifiedDigests::toBytes(const Owner &owner, qint64 verifiedSince)
{
    sortEntries();
    QByteArray out;
    out.reserve(headerBytes + 4 + m_bytes.size() + 16);
    out += magic;
    putIdentity(out, owner.root);
    putIdentity(out, owner.updater);
    putNumber(out, quint64(verifiedSince));
    putNumber32(out, quint32(m_offsets.size()));
    for (const quint32 offset : m_offsets) {
        const QByteArrayView path = pathAt(offset);
        out.append(m_bytes.constData() + offset, 4 + path.size() + identityBytes + 16);
    }
    Md5 sum;
    sum.addData(out);
    out += sum.result();
    return out;
}
