#pragma once

#include <QStringList>

#include <atomic>
#include <thread>

// Makes empty files, in list order, on a thread of its own, ahead of the
// transfers that will fill them. Where the file system spends far longer
// making a file than writing 64 KiB to it (as ext4 without a journal does
// shortly after thousands of deletions), the transfers then find their files
// made. A path that exists already is left alone, and nothing is ever
// followed, truncated or written: whoever fills a file still opens it with
// O_CREAT, so a file not made ahead costs only the time it did before.
class FileCreateAhead
{
public:
    // Empty paths stand for files that are not made ahead.
    explicit FileCreateAhead(QStringList paths);
    // Stops and waits for the thread.
    ~FileCreateAhead();
    FileCreateAhead(const FileCreateAhead &) = delete;
    FileCreateAhead &operator=(const FileCreateAhead &) = delete;

    // The file at index is being filled: the files before it need not be made.
    void reached(int index);

private:
    void run();

    const QStringList m_paths;
    std::atomic<bool> m_stop {false};
    std::atomic<int> m_reached {-1};
    std::thread m_thread;
};
