#pragma once

#include "digest/md5.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QObject;

// The threads that compute the process's MD5 digests off the main thread:
// the stream threads that hash the bytes of downloads as they arrive
// (BackgroundMd5: one thread for all streams, side by side in vector lanes,
// where the processor has them; else one per core, at most four), and the
// file threads that hash lists of installed files (FileDigests: one per
// core, at most four, each reading up to eight files side by side).
//
// One service per process, made on first use and destroyed at exit. The
// updater's start-up starts it on the main thread before the window exists,
// and stops it once the event loop has ended and the window and the engine
// are gone. Processes without that start-up (the tools and the tests) have
// its threads started by their first digest and stopped by the destructor
// at exit. Work given to a stopped service starts its threads again.
//
// Locks: m_runMutex orders start() and stop(); each stream thread's mutex
// guards its queue, the count of bytes in it and whether its thread runs;
// m_fileMutex guards the file threads' queue and whether they run; each
// Stream's mutex guards its abandoned flag. No lock is held while hashing.
class DigestService
{
public:
    static DigestService &instance();

    ~DigestService();
    DigestService(const DigestService &) = delete;
    DigestService &operator=(const DigestService &) = delete;

    // Starts the threads that are not running.
    void start();
    // Lets the threads finish the work already given to them, then ends and
    // joins them.
    void stop();

    // Whether the stream threads hash several streams side by side, which
    // pays only with the bytes of several streams at hand.
    static bool gathering();

    class StreamThread;

    // The digest of one stream of bytes, shared by its owner and the jobs
    // queued for it.
    struct Stream
    {
        StreamThread *thread = nullptr; // chosen with the first job
        Md5 md5;
        // Guards abandoned against a result being posted as the owner goes.
        std::mutex mutex;
        bool abandoned = false;
    };

    // Work for a stream thread: bytes, a file's first bytes, or the end of
    // the digest.
    struct Job
    {
        std::shared_ptr<Stream> stream;
        QByteArray data;
        QString path; // with data empty: the first prefix bytes of this file
        qint64 prefix = 0;
        bool finish = false;
        QObject *context = nullptr; // alive while the stream is not abandoned
        std::function<void(const QByteArray &)> done;
    };

    // Queues job on its stream's thread, chosen in turn with the stream's
    // first job, so that a stream's bytes are hashed in order; waits while
    // that thread's queue is full.
    void push(Job job);

    // Hashes the first size bytes of the file at path into hash. Fewer bytes
    // than that (the file shrank, or cannot be read) make a digest that
    // cannot match.
    static void hashFilePrefix(Md5 &hash, const QString &path, qint64 size);

    // Runs job on one of the file threads, once one is free.
    void runFileJob(std::function<void()> job);

private:
    DigestService();
    void startFileThreads();
    void runFileThread();

    std::mutex m_runMutex;

    std::vector<std::unique_ptr<StreamThread>> m_streamThreads;
    std::atomic<unsigned> m_turn {0};

    const int m_fileThreadCount;
    std::mutex m_fileMutex;
    std::condition_variable m_fileWork;
    std::deque<std::function<void()>> m_fileJobs;
    std::vector<std::thread> m_fileThreads;
    bool m_fileStopping = false;
};
