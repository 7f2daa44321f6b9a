#include "digest/filedigests.h"

#include "digest/digestservice.h"
#include "digest/filedigestcache.h"
#include "digest/md5.h"
#include "digest/md5lanes.h"
#include "sys/regularfile.h"
#include "sys/uniquefd.h"

#include <QFile>

#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>

namespace {
// Bytes read from a file at a time; each lane of each file thread has its own.
constexpr qint64 chunkSize = 256 * 1024;
constexpr int takenAtOnce = 16;
// The folder of the last file looked at, open: the files of a list mostly
// come folder by folder, and a name looked up in an open folder costs less
// than a whole path.
struct Folder
{
    QByteArray path;
    UniqueFd fd;
    bool opened = false;
};

// stat() of the encoded path, through the folder when it is the last one's.
bool statBelow(Folder *folder, const QByteArray &path, struct stat *status)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return ::stat(path.constData(), status) == 0;
    const QByteArrayView parent(path.constData(), slash);
    if (!folder->opened || parent != QByteArrayView(folder->path)) {
        folder->opened = true;
        folder->path = parent.toByteArray();
        folder->fd = UniqueFd(::open(folder->path.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!folder->fd.isValid())
        return ::stat(path.constData(), status) == 0;
    return ::fstatat(folder->fd.get(), path.constData() + slash + 1, status, 0) == 0;
}

} // namespace

FileDigests::FileDigests(int count, PathOf pathOf, int threads, const VerifiedDigests *known)
    : m_count(count)
    , m_pathOf(std::move(pathOf))
    , m_slots(size_t(count))
    , m_record(known)
    , m_runs(std::make_shared<Runs>())
{
    // Pages of it are taken only as files are read: no copy as it grows.
    m_found.reserve(size_t(count));
    for (int i = 0; i < qMax(1, threads); ++i) {
        DigestService::instance().runFileJob([this, runs = m_runs] {
            {
                std::lock_guard<std::mutex> lock(runs->mutex);
                if (runs->closed)
                    return;
                ++runs->running;
            }
            run();
            {
                std::lock_guard<std::mutex> lock(runs->mutex);
                --runs->running;
            }
            runs->ended.notify_all();
        });
    }
}

FileDigests::~FileDigests()
{
    m_stop = true;
    std::unique_lock<std::mutex> lock(m_runs->mutex);
    m_runs->closed = true;
    m_runs->ended.wait(lock, [this] { return m_runs->running == 0; });
}

QByteArray FileDigests::take(int index, VerifiedDigests::Identity *identity, qint64 *recorded)
{
    const Slot &slot = m_slots[size_t(index)];
    if (!slot.known.load()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // Woken once the threads are a batch ahead, so that a taker as fast
        // as they are does not sleep and wake for each file; then for this
        // file alone, should it be the one they left behind. Each index is
        // published once: one beyond the highest so far is still to come.
        // A publisher sets known (or the highest index), then reads m_wakeAt;
        // this side sets m_wakeAt, then reads them: one of the two sees the
        // other, and the publisher notifies under the lock held here.
        m_wakeAt.store(qMin(index + wakeBatch, m_count - 1));
        if (m_wakeAt.load() > m_highest.load() && !slot.known.load())
            m_published.wait(lock);
        while (!slot.known.load()) {
            m_wakeAt.store(index);
            if (!slot.known.load())
                m_published.wait(lock);
        }
        m_wakeAt.store(std::numeric_limits<int>::max());
    }
    if (recorded)
        *recorded = slot.ref & recordedFlag ? qint64(slot.ref & ~recordedFlag) : -1;
    return digestOf(slot, identity);
}

QByteArray FileDigests::digest(int index) const
{
    return digestOf(m_slots[size_t(index)], nullptr);
}

QByteArray FileDigests::digestOf(const Slot &slot, VerifiedDigests::Identity *identity) const
{
    if (identity)
        *identity = VerifiedDigests::Identity();
    if (slot.ref & recordedFlag)
        return m_record->digestAt(qint64(slot.ref & ~recordedFlag));
    if (slot.ref == 0)
        return QByteArray();
    std::lock_guard<std::mutex> lock(m_mutex);
    const Found &found = m_found[slot.ref - 1];
    if (identity)
        *identity = found.identity;
    return QByteArray(found.md5, sizeof(found.md5));
}

void FileDigests::publish(int index, const QByteArray &digest,
                          const VerifiedDigests::Identity &identity, qint64 recorded)
{
    Slot &slot = m_slots[size_t(index)];
    if (recorded >= 0) {
        slot.ref = recordedFlag | quint32(recorded);
    } else if (digest.size() == int(sizeof(Found::md5))) {
        Found found;
        std::memcpy(found.md5, digest.constData(), sizeof(found.md5));
        found.identity = identity;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_found.push_back(found);
        slot.ref = quint32(m_found.size());
    }
    slot.known.store(true);
    int highest = m_highest.load();
    while (index > highest && !m_highest.compare_exchange_weak(highest, index)) { }
    if (index < m_wakeAt.load())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_published.notify_all();
}

void FileDigests::run()
{
    // The file each lane is reading; files are taken in list order, so the
    // caller waits little for the first ones.
    struct Lane
    {
        int index = -1;
        QFile file;
        VerifiedDigests::Identity identity;
        qint64 size = 0;
        qint64 done = 0;
        Md5 md5;
        QByteArray buffer;
    };
    Lane lanes[Md5Lanes::width];
    QByteArray encoded;
    Folder folder;
    std::pair<int, int> taken {0, 0}; // the indices this thread took, from first to second
    qint64 recordHint = 0; // where the next file likely is in the record
    Md5Lanes::feed([&](int i, Md5Lanes::Chunk &chunk) {
        Lane &lane = lanes[i];
        for (;;) {
            if (m_stop) {
                // Nobody waits for the digests any more, large files included.
                lane.file.close();
                return false;
            }
            if (lane.index >= 0) {
                if (lane.done < lane.size) {
                    const qint64 n = lane.file.read(lane.buffer.data(),
                                                    qMin(chunkSize, lane.size - lane.done));
                    if (n > 0) {
                        lane.done += n;
                        chunk = {&lane.md5, lane.buffer.constData(), n};
                        return true;
                    }
                    // A file that ends early or fails to read cannot match.
                    publish(lane.index, QByteArray());
                } else {
                    publish(lane.index, lane.md5.result(), lane.identity);
                }
                lane.file.close();
                lane.index = -1;
            }
            // Files are taken a few at a time: one after another they mostly
            // lie in one folder and follow each other in the record.
            if (taken.first >= taken.second) {
                const int first = m_next.fetch_add(takenAtOnce);
                taken = {first, qMin(first + takenAtOnce, m_count)};
            }
            const int index = taken.first++;
            if (index >= m_count)
                return false;
            m_pathOf(index, &encoded);
            if (encoded.isEmpty()) {
                publish(index, QByteArray());
                continue;
            }
            // A file this process has just written was hashed as it was written.
            QByteArray known = FileDigestCache::isEmpty()
                ? QByteArray()
                : FileDigestCache::lookup(QFile::decodeName(encoded));
            if (!known.isEmpty()) {
                publish(index, std::move(known));
                continue;
            }
            // A file that an earlier run read, unchanged since, is not read.
            struct stat status;
            if (m_record && statBelow(&folder, encoded, &status)) {
                qint64 recorded = recordHint;
                known = m_record->lookup(encoded, status, &recorded);
                recordHint = recorded + 1;
                if (!known.isEmpty()) {
                    publish(index, std::move(known), {}, recorded);
                    continue;
                }
            }
            if (!RegularFile::open(lane.file, QFile::decodeName(encoded))
                || ::fstat(lane.file.handle(), &status) != 0) {
                lane.file.close();
                publish(index, QByteArray());
                continue;
            }
            // What the file was when reading began: one changed meanwhile
            // has another change time by the next run.
            lane.identity = VerifiedDigests::Identity::of(status);
            lane.index = index;
            lane.size = lane.file.size();
            lane.done = 0;
            lane.md5.reset();
            // Of exactly that size: a buffer grown by resize() would take
            // twice as much.
            if (lane.buffer.isEmpty())
                lane.buffer = QByteArray(chunkSize, Qt::Uninitialized);
        }
    });
}
