#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sys/stat.h>

#include <vector>

// The MD5 digests of installed files that an earlier run read and hashed,
// each with what identifies that exact file on disk: device, inode, size and
// modification and change times to the nanosecond. A recorded digest is
// taken without reading the file only while all of these still match; any
// write, rename, copy or change of mode moves the change time, so that a file
// changed in any ordinary way is hashed again.
//
// The record is a file of the installation, written whole under a temporary
// name and renamed by its caller, and read as hostile input: one that is damaged, truncated,
// too large, made for another installation or another updater, or older than
// the age limit is ignored whole, and every file is hashed. The one home of
// the record's format: load() reads what toBytes() makes.
//
// Plain value. Once loaded it is only read, from any thread; add() and
// toBytes() belong to one thread.
class VerifiedDigests
{
public:
    // What identifies a file, a folder or the updater's executable.
    struct Identity
    {
        quint64 device = 0;
        quint64 inode = 0;
        quint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;

        static Identity of(const struct stat &status);
        bool operator==(const Identity &other) const;
        bool operator!=(const Identity &other) const { return !(*this == other); }
    };

    // The record's owner: the installation's root folder and the updater's
    // executable, whose identities a record must carry to be used.
    struct Owner
    {
        Identity root;
        Identity updater;
    };

    // A record older than this (from its last reading of every file) is
    // not used: every file is read again now and then.
    static constexpr qint64 maxAgeSeconds = 30 * 24 * 3600;
    // At most this many files, and this many bytes in the record.
    // A record of 100,000 files takes about 10 MB; these leave room for many
    // times that without letting a planted record take the memory.
    static constexpr qint64 maxEntries = 1000 * 1000;
    static constexpr qint64 maxRecordSize = 128 * 1024 * 1024;

    // The folder (encoded, with a trailing "/") that the paths of the record
    // are below; they are held and written relative to it. Set before
    // anything is loaded, added or looked up.
    void setRoot(const QByteArray &root) { m_root = root; }

    // Reads the record at path. False when there is none (problem empty) or
    // when it is not used (problem says why, for the log). now is the time in
    // seconds since 1970.
    bool load(const QString &path, const Owner &owner, qint64 now, QString *problem);

    // The recorded raw digest (16 bytes) of the file at path if it still has
    // the recorded identity (now is its status), and its entry's index in
    // index if that is not null; else empty. index may come in with where
    // the entry is likely to be (one after the last found, for files taken
    // in order), which spares the search when it is there.
    QByteArray lookup(const QByteArray &path, const struct stat &now,
                      qint64 *index = nullptr) const;
    // The raw digest of the entry at index.
    QByteArray digestAt(qint64 index) const
    {
        return QByteArray(md5At(m_offsets[size_t(index)]), 16);
    }
    bool isEmpty() const { return m_offsets.empty(); }
    qint64 size() const { return qint64(m_offsets.size()); }
    // The position of path among the entries of a loaded record; -1 if it
    // has none.
    qint64 indexOf(QByteArrayView path) const;
    // When every file was last read, in seconds since 1970; 0 when unknown.
    qint64 verifiedSince() const { return m_verifiedSince; }

    // Adds a file for a new record: its path (below the root), its identity when it was read
    // and its raw digest. A path added twice keeps its last entry.
    void add(const QByteArray &path, const Identity &identity, const QByteArray &md5);
    // Adds the entry at index of other (a loaded record) as it is.
    void addFrom(const VerifiedDigests &other, qint64 index);
    // The record's bytes, which the caller writes whole under a temporary
    // name and renames. verifiedSince is when every file was last read.
    QByteArray toBytes(const Owner &owner, qint64 verifiedSince);

    // The identities of the installation's root and of the running updater.
    static bool ownerOf(const QString &root, const QString &updater, Owner *owner);

private:
    bool parse(const Owner &owner, qint64 now, QString *problem);
    void clear();
    // Of the entry at offset in m_bytes.
    QByteArrayView pathAt(quint32 offset) const;
    Identity identityAt(quint32 offset) const;
    const char *md5At(quint32 offset) const;
    void sortEntries();

    // The entries as the record holds them, one after another (a loaded
    // record's whole bytes): the path's length (4 bytes), the path, the
    // identity (40 bytes) and the raw digest (16 bytes).
    QByteArray m_root;
    QByteArray m_bytes;
    std::vector<quint32> m_offsets; // of the entries, sorted by path once loaded or saved
    qint64 m_verifiedSince = 0;
    // The entries are sorted and without repeats (a loaded record's are).
    bool m_sorted = true;
};
