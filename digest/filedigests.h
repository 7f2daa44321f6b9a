#pragma once

#include "digest/verifieddigests.h"

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

// The MD5 digests of a list of files, computed ahead of the caller on up to
// the given number of the DigestService's file threads, each reading and
// hashing up to eight files side by side; one caller, on one thread, takes
// each digest once with take(). An empty path, or a file that cannot be opened or read to the
// size it had when opened, gives an empty digest. With a record of verified
// digests, a file that still has its recorded identity is not read. The
// destructor stops the work on this list and waits until no file thread is
// left in it.
//
// Locks: a slot is written before it is marked known (an atomic flag), and
// read only after; m_mutex guards the digests and identities of the files
// read and the taker's wait; the runs' own mutex guards the count of file
// threads working on this list.
class FileDigests
{
public:
    // Sets path to the encoded path (as QFile::encodeName gives it) of each
    // of count files; called from the file threads, in list order, once per
    // file, with a buffer of their own. An empty path gives an empty digest.
    using PathOf = std::function<void(int index, QByteArray *path)>;

    // known, if not null, is lent for the life of the list.
    FileDigests(int count, PathOf pathOf, int threads, const VerifiedDigests *known = nullptr);
    ~FileDigests();
    FileDigests(const FileDigests &) = delete;
    FileDigests &operator=(const FileDigests &) = delete;

    // Waits until the digest of the file at index is known. identity, if not
    // null, receives what identified the file when it was read; a zero inode
    // when it was not read. recorded, if not null, receives the index of the
    // record's entry whose digest it is, the file having its recorded
    // identity; -1 when the digest is not the record's.
    QByteArray take(int index, VerifiedDigests::Identity *identity = nullptr,
                    qint64 *recorded = nullptr);
    // The digest of index again, once take(index) returned.
    QByteArray digest(int index) const;

private:
    // The file threads that work on this list; shared with the jobs, which
    // may start after the list is gone and then do nothing.
    struct Runs
    {
        std::mutex mutex;
        std::condition_variable ended;
        int running = 0;
        bool closed = false;
    };

    void run();
    void publish(int index, const QByteArray &digest,
                 const VerifiedDigests::Identity &identity = {}, qint64 recorded = -1);
    // In Slot::ref: the digest is the record's entry whose index the other
    // bits hold (a record has fewer than 2^31 entries).
    static constexpr quint32 recordedFlag = 0x80000000u;

    // What is known of one file: a few bytes, so that a list of many
    // thousand files stays small. A recorded digest stays in the record; the
    // digest of a file read, with what identified it, is kept apart.
    struct Slot
    {
        // The record's entry (with recordedFlag), 1 + the index in m_found,
        // or 0: no digest.
        quint32 ref = 0;
        // Set last, once ref and what it names are written; never reset.
        std::atomic<bool> known {false};
    };
    struct Found
    {
        char md5[16];
        VerifiedDigests::Identity identity; // a zero inode when not read here
    };
    QByteArray digestOf(const Slot &slot, VerifiedDigests::Identity *identity) const;

    const int m_count;
    const PathOf m_pathOf;
    std::atomic<int> m_next {0};
    std::atomic<bool> m_stop {false};
    mutable std::mutex m_mutex;
    std::condition_variable m_published;
    // take() is woken by the digest of an index from this one on.
    std::atomic<int> m_wakeAt {std::numeric_limits<int>::max()};
    static constexpr int wakeBatch = 64;
    std::atomic<int> m_highest {-1}; // the highest index published
    std::vector<Slot> m_slots;
    std::vector<Found> m_found;
    const VerifiedDigests *const m_record;
    const std::shared_ptr<Runs> m_runs;
};
