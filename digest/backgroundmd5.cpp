#include "digest/backgroundmd5.h"

#include <QMetaObject>
#include <QObject>

BackgroundMd5::BackgroundMd5()
    : m_stream(std::make_shared<DigestService::Stream>())
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
    m_stream = std::make_shared<DigestService::Stream>();
}

void BackgroundMd5::push(DigestService::Job job)
{
    DigestService::instance().push(std::move(job));
}

void BackgroundMd5::setInline(bool inline_)
{
    m_inline = inline_ && !DigestService::gathering();
}

void BackgroundMd5::addFilePrefix(const QString &path, qint64 size)
{
    if (m_inline) {
        DigestService::hashFilePrefix(m_stream->md5, path, size);
        return;
    }
    DigestService::Job job;
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
    DigestService::Job job;
    job.stream = m_stream;
    job.data = std::move(data);
    push(std::move(job));
}

void BackgroundMd5::finish(QObject *context, std::function<void(const QByteArray &)> done)
{
    if (m_inline) {
        // Through the event loop all the same, as from the stream thread.
        QMetaObject::invokeMethod(
            context,
            [stream = m_stream, done = std::move(done), digest = m_stream->md5.result()] {
                if (!stream->abandoned)
                    done(digest);
            },
            Qt::QueuedConnection);
        return;
    }
    DigestService::Job job;
    job.stream = m_stream;
    job.finish = true;
    job.context = context;
    job.done = std::move(done);
    push(std::move(job));
}
