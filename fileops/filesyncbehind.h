#pragma once

#include <QList>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

// Sends files to the disk (fdatasync) on a thread of its own, in the order
// given, while the caller goes on. A file installed later must be on disk
// before it takes its name; one sent already costs nothing then, and the
// waits for the disk fall while the transfers run instead of during the
// installation. Files that cannot be opened are skipped; nothing is followed
// or changed.
class FileSyncBehind
{
public:
    FileSyncBehind();
    // Stops and waits for the thread; files not yet sent are left to the
    // file system.
    ~FileSyncBehind();
    FileSyncBehind(const FileSyncBehind &) = delete;
    FileSyncBehind &operator=(const FileSyncBehind &) = delete;

    void add(const QString &path);

private:
    void run();
    bool stopping();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    QList<QString> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};
