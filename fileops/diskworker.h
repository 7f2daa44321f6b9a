#pragma once

#include <QList>
#include <QString>
#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// The download step's work on the disk beside the transfers, on two threads
// that live as long as this object, one for each kind of work:
//
// - Making empty files, in list order, ahead of the transfers that will fill
//   them. Where the file system spends far longer making a file than writing
//   64 KiB to it (as ext4 without a journal does shortly after thousands of
//   deletions), the transfers then find their files made. A path that exists
//   already is left alone, and nothing is ever followed, truncated or
//   written: whoever fills a file still opens it with O_CREAT, so a file not
//   made ahead costs only the time it did before.
// - Sending finished files to the disk (fdatasync), in the order given. A
//   file installed later must be on disk before it takes its name; one sent
//   already costs nothing then (SyncedFiles records it), and the waits for
//   the disk fall while the transfers run instead of during the
//   installation. Files that cannot be opened are skipped; nothing is
//   followed or changed.
//
// The two kinds run side by side: making thousands of files takes about as
// long as their transfers, and their syncs would otherwise be left to the
// installation.
class DiskWorker
{
public:
    DiskWorker();
    // Stops and waits for the threads; files not yet made or sent are left
    // to the transfers and to the file system.
    ~DiskWorker();
    DiskWorker(const DiskWorker &) = delete;
    DiskWorker &operator=(const DiskWorker &) = delete;

    // The files to make ahead, in order, in place of any earlier list: the
    // names (see appendName()) are relative to folder. Empty names stand for
    // files that are not made ahead.
    void makeAhead(const QString &folder, QByteArray names);
    // Adds the name of a file to make ahead to names: encoded, ended by a NUL.
    // A download list of 100,000 files is one buffer of their names, not a
    // list of 100,000 full paths.
    static void appendName(QByteArray *names, const QString &name);
    // The file at index of that list is being filled: the files before it
    // need not be made.
    void reached(int index);
    // No more files need to be made.
    void stopMaking();
    // Queues a file to be sent to the disk.
    void syncBehind(const QString &path);

private:
    void runMaking();
    void runSending();
    bool stopping();
    // Moves past the next name of the list; the mutex is held.
    void skipName();

    // Guards the lists and the stop flag below; never held while the disk is
    // waited for.
    std::mutex m_mutex;
    std::condition_variable m_makeWork;
    std::condition_variable m_syncWork;
    // The encoded folder and a slash; the names of the list, each ended by a
    // NUL; where the next name starts, and its index.
    QByteArray m_folder;
    QByteArray m_toMake;
    qsizetype m_cursor = 0;
    int m_nextToMake = 0;
    std::atomic<int> m_reached {-1};
    QList<QString> m_toSync;
    bool m_stop = false;
    std::thread m_maker;
    std::thread m_sender;
};
