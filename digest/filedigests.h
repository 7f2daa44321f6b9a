#pragma once

#include "digest/verifieddigests.h"

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The MD5 digests of a list of files, computed ahead of the caller on up to
// the given number of the DigestService's file threads, each reading and
// hashing up to eight files side by side; the caller takes each digest once
// with take(). An empty path, or a file that cannot be opened or read to the
// size it had when opened, gives an empty digest. With a record of verified
// digests, a file that still has its recorded identity is not read. The
// destructor stops the work on this list and waits until no file thread is
// left in it.
//
// Locks: m_mutex guards the digests and which of them are known; the runs'
// own mutex guards the count of file threads working on this list.
class FileDigests
{
public:
    // The path of each of count files; called from the file threads, in
    // list order, once per file. An empty path gives an empty digest.
    using PathOf = std::function<QString(int index)>;

    // known, if not null, is lent for the life of the list.
    FileDigests(int count, PathOf pathOf, int threads, const VerifiedDigests *known = nullptr);
    ~FileDigests();
    FileDigests(const FileDigests &) = delete;
    FileDigests &operator=(const FileDigests &) = delete;

    // Waits until the digest of the file at index is known. identity, if not
    // null, receives what identified the file when it was read (or when its
    // recorded digest was taken); a zero inode when that is not known.
    QByteArray take(int index, VerifiedDigests::Identity *identity = nullptr);

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
                 const VerifiedDigests::Identity &identity = {});

    // What is known of one file: a few values, so that a list of many
    // thousand files stays small.
    struct Slot
    {
        VerifiedDigests::Identity identity;
        char md5[16];
        bool hasDigest = false;
        bool known = false;
    };

    const int m_count;
    const PathOf m_pathOf;
    std::atomic<int> m_next {0};
    std::atomic<bool> m_stop {false};
    std::mutex m_mutex;
    std::condition_variable m_published;
    std::vector<Slot> m_slots;
    const VerifiedDigests *const m_record;
    const std::shared_ptr<Runs> m_runs;
};
