#pragma once

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The MD5 digests of a list of files, computed ahead of the caller on a few
// threads of its own, each reading and hashing up to eight files side by
// side; the caller takes each digest once with take(). An empty path, or a
// file that cannot be opened or read to the size it had when opened, gives
// an empty digest. The destructor stops the threads and waits for them.
class FileDigests
{
public:
    FileDigests(QStringList paths, int threads);
    ~FileDigests();
    FileDigests(const FileDigests &) = delete;
    FileDigests &operator=(const FileDigests &) = delete;

    // Waits until the digest of the file at index is known.
    QByteArray take(int index);

private:
    void run();
    void publish(int index, QByteArray digest);

    const QStringList m_paths;
    std::atomic<int> m_next {0};
    std::atomic<bool> m_stop {false};
    std::mutex m_mutex;
    std::condition_variable m_published;
    std::vector<QByteArray> m_digests;
    std::vector<bool> m_known;
    std::vector<std::thread> m_threads;
};
