#include "net/backgroundmd5.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {
// Bytes waiting to be hashed on one thread, all its streams together.
constexpr qint64 queueLimit = 2 * 1024 * 1024;
constexpr qint64 fileChunk = 256 * 1024;
} // namespace

namespace {
class Worker;
} // namespace

struct BackgroundMd5::Stream
{
    Worker *worker = nullptr;
    QCryptographicHash hash {QCryptographicHash::Md5};
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

void hashFilePrefix(QCryptographicHash &hash, const QString &path, qint64 size)
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
// one of them, so its bytes are hashed in order; streams are spread over as
// many threads as there are cores.
class Worker
{
public:
    static Worker *next()
    {
        static const int count = qBound(1, QThread::idealThreadCount(), 4);
        static Worker *const workers = new Worker[count];
        static std::atomic<unsigned> turn {0};
        return &workers[turn++ % unsigned(count)];
    }

    void push(Job job)
    {
        const qint64 size = job.data.size();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [&] { return m_queued == 0 || m_queued + size <= queueLimit; });
        m_queued += size;
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
            Job job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_work.wait(lock, [this] { return !m_jobs.empty(); });
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            process(job);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_queued -= job.data.size();
            }
            m_space.notify_all();
        }
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
            const QByteArray digest = stream.hash.result();
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
        } else if (!job.data.isEmpty()) {
            stream.hash.addData(job.data);
        } else {
            hashFilePrefix(stream.hash, job.path, job.prefix);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_space;
    std::deque<Job> m_jobs;
    qint64 m_queued = 0;
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

void BackgroundMd5::addFilePrefix(const QString &path, qint64 size)
{
    if (m_inline) {
        hashFilePrefix(m_stream->hash, path, size);
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
        m_stream->hash.addData(data);
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
            [stream = m_stream, done = std::move(done), digest = m_stream->hash.result()] {
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
