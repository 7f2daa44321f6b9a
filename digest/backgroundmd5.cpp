#include "digest/backgroundmd5.h"

#include "digest/md5.h"
#include "digest/md5lanes.h"

#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {
constexpr qint64 fileChunk = 256 * 1024;

// With vector lanes, one thread hashing six streams side by side costs less
// than two hashing three each one after the other, but the lanes need the
// bytes of several streams at hand, and a stream's bytes come in bursts of up
// to a megabyte: one thread, a deeper queue, and a short wait for the other
// streams' bytes before a batch. Without lanes, one thread per core.
bool gathering()
{
    return Md5Lanes::parallel();
}

// Bytes waiting to be hashed on one thread, all its streams together.
qint64 queueLimit()
{
    return gathering() ? 8 * 1024 * 1024 : 2 * 1024 * 1024;
}

constexpr std::chrono::milliseconds gatherTime {5};
} // namespace

namespace {
class Worker;
} // namespace

struct BackgroundMd5::Stream
{
    Worker *worker = nullptr;
    Md5 md5;
    // Guards abandoned against a result being posted as the owner goes.
    std::mutex mutex;
    bool abandoned = false;
};

struct BackgroundMd5::Job
{
    std::shared_ptr<BackgroundMd5::Stream> stream;
    QByteArray data;
    QString path; // with data empty: the first prefix bytes of this file
    qint64 prefix = 0;
    bool finish = false;
    QObject *context = nullptr; // alive while the stream is not abandoned
    std::function<void(const QByteArray &)> done;
};

namespace {

void hashFilePrefix(Md5 &hash, const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
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

using Job = BackgroundMd5::Job;

// A hashing thread; they live as long as the process. Each stream keeps to
// one of them, so its bytes are hashed in order; streams are spread over
// the threads in turn.
class Worker
{
public:
    static Worker *next()
    {
        static const int count = gathering() ? 1 : qBound(1, QThread::idealThreadCount(), 4);
        static Worker *const workers = new Worker[count];
        static std::atomic<unsigned> turn {0};
        return &workers[turn++ % unsigned(count)];
    }

    void push(Job job)
    {
        const qint64 size = job.data.size();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [&] { return m_queued == 0 || m_queued + size <= m_limit; });
        m_queued += size;
        m_waiting += size == 0;
        m_jobs.push_back(std::move(job));
        m_work.notify_one();
    }

    Worker()
    {
        std::thread([this] { run(); }).detach();
    }

private:

    void run()
    {
        for (;;) {
            std::deque<Job> batch;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_work.wait(lock, [this] { return !m_jobs.empty(); });
                if (gathering()) {
                    m_work.wait_for(lock, gatherTime, [this] {
                        return m_queued >= m_limit * 3 / 4 || m_waiting > 0;
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
        std::unordered_map<BackgroundMd5::Stream *, size_t> queueOf;
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
        BackgroundMd5::Stream &stream = *job.stream;
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
};

} // namespace

BackgroundMd5::BackgroundMd5()
    : m_stream(std::make_shared<Stream>())
{ }

BackgroundMd5::~BackgroundMd5()
{
    std::lock_guard<std::mutex> lock(m_stream->mutex);
    m_stream->abandoned = true;
}

void BackgroundMd5::reset()
{
    {
        std::lock_guard<std::mutex> lock(m_stream->mutex);
        m_stream->abandoned = true;
    }
    m_stream = std::make_shared<Stream>();
}

void BackgroundMd5::push(Job job)
{
    // The thread is chosen with the first bytes, so that streams that never
    // hash anything do not upset the spread.
    if (!m_stream->worker)
        m_stream->worker = Worker::next();
    m_stream->worker->push(std::move(job));
}

void BackgroundMd5::setInline(bool inline_)
{
    m_inline = inline_ && !gathering();
}

void BackgroundMd5::addFilePrefix(const QString &path, qint64 size)
{
    if (m_inline) {
        hashFilePrefix(m_stream->md5, path, size);
        return;
    }
    Job job;
    job.stream = m_stream;
    job.path = path;
    job.prefix = size;
    push(std::move(job));
}

void BackgroundMd5::addData(QByteArray data)
{
    if (data.isEmpty())
        return;
    if (m_inline) {
        m_stream->md5.addData(data);
        return;
    }
    Job job;
    job.stream = m_stream;
    job.data = std::move(data);
    push(std::move(job));
}

void BackgroundMd5::finish(QObject *context, std::function<void(const QByteArray &)> done)
{
    if (m_inline) {
        // Through the event loop all the same, as from the hashing thread.
        QMetaObject::invokeMethod(
            context,
            [stream = m_stream, done = std::move(done), digest = m_stream->md5.result()] {
                if (!stream->abandoned)
                    done(digest);
            },
            Qt::QueuedConnection);
        return;
    }
    Job job;
    job.stream = m_stream;
    job.finish = true;
    job.context = context;
    job.done = std::move(done);
    push(std::move(job));
}
