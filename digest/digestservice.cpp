#include "digest/digestservice.h"

#include "digest/md5lanes.h"
#include "sys/regularfile.h"

#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <chrono>
#include <unordered_map>

namespace {
constexpr qint64 fileChunk = 256 * 1024;

// Bytes waiting to be hashed on one stream thread, all its streams together.
qint64 queueLimit()
{
    return DigestService::gathering() ? 8 * 1024 * 1024 : 2 * 1024 * 1024;
}

constexpr std::chrono::milliseconds gatherTime {5};
} // namespace

// A stream thread and its queue. Its thread runs while it is started; a job
// queued while it is stopped starts it again.
class DigestService::StreamThread
{
public:
    ~StreamThread() { stop(); }

    void start()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        startLocked();
    }

    void stop()
    {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_started)
                return;
            m_stopping = true;
            thread.swap(m_thread);
        }
        m_work.notify_one();
        thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = false;
        m_started = false;
        // Work that came while the thread was ending.
        if (!m_jobs.empty())
            startLocked();
    }

    void push(Job job)
    {
        const qint64 size = job.data.size();
        std::unique_lock<std::mutex> lock(m_mutex);
        startLocked();
        m_space.wait(lock, [&] { return m_queued == 0 || m_queued + size <= m_limit; });
        m_queued += size;
        m_waiting += size == 0;
        m_jobs.push_back(std::move(job));
        m_work.notify_one();
    }

private:
    void startLocked()
    {
        if (m_started)
            return;
        m_started = true;
        m_thread = std::thread([this] { run(); });
    }

    void run()
    {
        for (;;) {
            std::deque<Job> batch;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_work.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
                if (m_jobs.empty())
                    return;
                if (gathering()) {
                    m_work.wait_for(lock, gatherTime, [this] {
                        return m_queued >= m_limit * 3 / 4 || m_waiting > 0 || m_stopping;
                    });
                }
                batch.swap(m_jobs);
                m_waiting = 0;
            }
            hashBatch(batch);
        }
    }

    // The jobs of one stream, in their order.
    struct Queue
    {
        std::vector<Job *> jobs;
        size_t next = 0;
    };

    // Everything that was queued, the streams side by side in up to eight
    // lanes: hashing several streams at once costs little more than one.
    void hashBatch(std::deque<Job> &batch)
    {
        std::vector<Queue> queues;
        std::unordered_map<Stream *, size_t> queueOf;
        for (Job &job : batch) {
            const auto found = queueOf.emplace(job.stream.get(), queues.size());
            if (found.second)
                queues.emplace_back();
            queues[found.first->second].jobs.push_back(&job);
        }
        size_t nextQueue = 0;
        Queue *laneQueue[Md5Lanes::width] = {};
        Job *laneJob[Md5Lanes::width] = {};
        // The bytes before and after a chunk's whole blocks, files and
        // digests are hashed here, one stream at a time.
        Md5Lanes::feed([&](int lane, Md5Lanes::Chunk &chunk) {
            if (laneJob[lane]) {
                release(*laneJob[lane]);
                laneJob[lane] = nullptr;
            }
            for (;;) {
                Queue *&queue = laneQueue[lane];
                if (queue && queue->next == queue->jobs.size())
                    queue = nullptr;
                if (!queue && nextQueue < queues.size())
                    queue = &queues[nextQueue++];
                if (!queue)
                    return false;
                Job &job = *queue->jobs[queue->next++];
                if (job.data.isEmpty() || abandoned(job)) {
                    process(job);
                    release(job);
                    continue;
                }
                laneJob[lane] = &job;
                chunk = {&job.stream->md5, job.data.constData(), job.data.size()};
                return true;
            }
        });
    }

    void release(Job &job)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queued -= job.data.size();
        }
        m_space.notify_all();
        job.data = QByteArray();
    }

    static bool abandoned(const Job &job)
    {
        std::lock_guard<std::mutex> lock(job.stream->mutex);
        return job.stream->abandoned;
    }

    static void process(Job &job)
    {
        Stream &stream = *job.stream;
        {
            std::lock_guard<std::mutex> lock(stream.mutex);
            if (stream.abandoned)
                return;
        }
        if (job.finish) {
            const QByteArray digest = stream.md5.result();
            std::lock_guard<std::mutex> lock(stream.mutex);
            if (stream.abandoned)
                return;
            // The owner sets abandoned only on its own thread, where this
            // call runs: a result that arrives after a reset is dropped there.
            QMetaObject::invokeMethod(
                job.context,
                [streamRef = job.stream, done = std::move(job.done), digest] {
                    if (!streamRef->abandoned)
                        done(digest);
                },
                Qt::QueuedConnection);
        } else if (job.data.isEmpty()) {
            hashFilePrefix(stream.md5, job.path, job.prefix);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_space;
    std::deque<Job> m_jobs;
    const qint64 m_limit = queueLimit();
    qint64 m_queued = 0;
    int m_waiting = 0; // jobs that end a digest or read a file: not to be held back
    std::thread m_thread;
    bool m_started = false;
    bool m_stopping = false;
};

DigestService &DigestService::instance()
{
    static DigestService service;
    return service;
}

// With vector lanes, one thread hashing six streams side by side costs less
// than two hashing three each one after the other, but the lanes need the
// bytes of several streams at hand, and a stream's bytes come in bursts of up
// to a megabyte: one thread, a deeper queue, and a short wait for the other
// streams' bytes before a batch. Without lanes, one thread per core.
DigestService::DigestService()
    : m_fileThreadCount(qBound(1, QThread::idealThreadCount(), 4))
{
    const int streamThreads = gathering() ? 1 : m_fileThreadCount;
    for (int i = 0; i < streamThreads; ++i)
        m_streamThreads.push_back(std::make_unique<StreamThread>());
}

DigestService::~DigestService()
{
    stop();
}

bool DigestService::gathering()
{
    return Md5Lanes::parallel();
}

void DigestService::start()
{
    std::lock_guard<std::mutex> lock(m_runMutex);
    for (const auto &thread : m_streamThreads)
        thread->start();
    std::lock_guard<std::mutex> fileLock(m_fileMutex);
    startFileThreads();
}

void DigestService::stop()
{
    std::lock_guard<std::mutex> lock(m_runMutex);
    for (const auto &thread : m_streamThreads)
        thread->stop();
    std::vector<std::thread> fileThreads;
    {
        std::lock_guard<std::mutex> fileLock(m_fileMutex);
        m_fileStopping = true;
        fileThreads.swap(m_fileThreads);
    }
    m_fileWork.notify_all();
    for (std::thread &thread : fileThreads)
        thread.join();
    std::lock_guard<std::mutex> fileLock(m_fileMutex);
    m_fileStopping = false;
    // Work that came while the threads were ending.
    if (!m_fileJobs.empty())
        startFileThreads();
}

void DigestService::push(Job job)
{
    // The thread is chosen with the first bytes, so that streams that never
    // hash anything do not upset the spread.
    Stream &stream = *job.stream;
    if (!stream.thread)
        stream.thread = m_streamThreads[m_turn++ % unsigned(m_streamThreads.size())].get();
    stream.thread->push(std::move(job));
}

void DigestService::hashFilePrefix(Md5 &hash, const QString &path, qint64 size)
{
    // Only a regular file: a pipe at the path would hold the thread for ever.
    QFile file;
    if (!RegularFile::open(file, path))
        return;
    QByteArray buffer(int(qMin(size, fileChunk)), Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 n = file.read(buffer.data(), qMin(left, fileChunk));
        if (n <= 0)
            return;
        hash.addData(QByteArrayView(buffer.constData(), n));
        left -= n;
    }
}

void DigestService::runFileJob(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_fileMutex);
        startFileThreads();
        m_fileJobs.push_back(std::move(job));
    }
    m_fileWork.notify_one();
}

void DigestService::startFileThreads()
{
    if (!m_fileThreads.empty() || m_fileStopping)
        return;
    for (int i = 0; i < m_fileThreadCount; ++i)
        m_fileThreads.emplace_back([this] { runFileThread(); });
}

void DigestService::runFileThread()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_fileMutex);
            m_fileWork.wait(lock, [this] { return !m_fileJobs.empty() || m_fileStopping; });
            if (m_fileJobs.empty())
                return;
            job = std::move(m_fileJobs.front());
            m_fileJobs.pop_front();
        }
        job();
    }
}
