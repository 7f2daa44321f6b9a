#include "digest/verifieddigests.h"

#include "digest/md5.h"

#include <QFile>

#include <algorithm>
#include <cstring>

namespace {

const QByteArray magic = QByteArrayLiteral("MRVVDIG1");
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
    m_paths.clear();
    m_entries.clear();
    m_verifiedSince = 0;
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
    const QByteArray bytes = file.read(status.st_size);
    if (bytes.size() != status.st_size) {
        *problem = QStringLiteral("it could not be read");
        return false;
    }
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
    m_entries.reserve(size_t(count));
    for (quint64 i = 0; i < count; ++i) {
        Entry entry;
        quint64 length = 0;
        const char *name = nullptr;
        const char *md5 = nullptr;
        if (!reader.number(&length, 4) || length == 0 || length > maxPathLength
            || !(name = reader.bytes(qint64(length))) || !reader.identity(&entry.identity)
            || !(md5 = reader.bytes(16))) {
            m_entries.clear();
            m_paths.clear();
            *problem = QStringLiteral("it is damaged");
            return false;
        }
        entry.pathOffset = quint32(m_paths.size());
        entry.pathLength = quint32(length);
        m_paths.append(name, qsizetype(length));
        std::memcpy(entry.md5, md5, 16);
        m_entries.push_back(entry);
    }
    // Written sorted and without repeats; anything else was not written here.
    for (size_t i = 1; i < m_entries.size(); ++i) {
        if (!(pathOf(m_entries[i - 1]) < pathOf(m_entries[i]))) {
            m_entries.clear();
            m_paths.clear();
            *problem = QStringLiteral("it is damaged");
            return false;
        }
    }
    if (reader.left() != 0) {
        m_entries.clear();
        m_paths.clear();
        *problem = QStringLiteral("it is damaged");
        return false;
    }
    m_verifiedSince = qint64(since);
    return true;
}

QByteArray VerifiedDigests::pathOf(const Entry &entry) const
{
    return QByteArray::fromRawData(m_paths.constData() + entry.pathOffset,
                                   qsizetype(entry.pathLength));
}

QByteArray VerifiedDigests::lookup(const QByteArray &path, const struct stat &now) const
{
    const auto found = std::lower_bound(
        m_entries.cbegin(), m_entries.cend(), path,
        [this](const Entry &entry, const QByteArray &key) { return pathOf(entry) < key; });
    if (found == m_entries.cend() || pathOf(*found) != path || !S_ISREG(now.st_mode)
        || found->identity != Identity::of(now))
        return QByteArray();
    return QByteArray(found->md5, 16);
}

void VerifiedDigests::add(const QByteArray &path, const Identity &identity,
                          const QByteArray &md5)
{
    if (md5.size() != 16 || path.isEmpty() || path.size() > qsizetype(maxPathLength)
        || qint64(m_entries.size()) >= maxEntries)
        return;
    Entry entry;
    entry.pathOffset = quint32(m_paths.size());
    entry.pathLength = quint32(path.size());
    entry.identity = identity;
    std::memcpy(entry.md5, md5.constData(), 16);
    m_paths.append(path);
    m_entries.push_back(entry);
    m_sorted = false;
}

void VerifiedDigests::sortEntries()
{
    if (m_sorted)
        return;
    m_sorted = true;
    std::stable_sort(m_entries.begin(), m_entries.end(), [this](const Entry &a, const Entry &b) {
        return pathOf(a) < pathOf(b);
    });
    // Of a path added twice the last entry counts.
    std::vector<Entry> unique;
    unique.reserve(m_entries.size());
    for (const Entry &entry : m_entries) {
        if (!unique.empty() && pathOf(unique.back()) == pathOf(entry))
            unique.back() = entry;
        else
            unique.push_back(entry);
    }
    m_entries.swap(unique);
}

bool VerifiedDigests::sameAs(const VerifiedDigests &other)
{
    sortEntries();
    if (m_entries.size() != other.m_entries.size())
        return false;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &a = m_entries[i];
        const Entry &b = other.m_entries[i];
        if (pathOf(a) != other.pathOf(b) || a.identity != b.identity
            || std::memcmp(a.md5, b.md5, 16) != 0)
            return false;
    }
    return true;
}

QByteArray VerifiedDigests::toBytes(const Owner &owner, qint64 verifiedSince)
{
    sortEntries();
    QByteArray out;
    out.reserve(headerBytes + 4 + qsizetype(m_entries.size()) * entryFixedBytes + m_paths.size()
                + 16);
    out += magic;
    putIdentity(out, owner.root);
    putIdentity(out, owner.updater);
    putNumber(out, quint64(verifiedSince));
    putNumber32(out, quint32(m_entries.size()));
    for (const Entry &entry : m_entries) {
        putNumber32(out, entry.pathLength);
        out += pathOf(entry);
        putIdentity(out, entry.identity);
        out.append(entry.md5, 16);
    }
    Md5 sum;
    sum.addData(out);
    out += sum.result();
    return out;
}
