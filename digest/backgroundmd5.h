#pragma once

#include "digest/digestservice.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QObject;

// The MD5 of a stream of bytes, computed on a stream thread of the
// DigestService (one for all streams, side by side in vector lanes, where the
// processor has them; else one per core) while the caller goes on receiving
// and writing. Chunks wait in that thread's queue, shared by its streams and
// bounded in size: addData() waits while it is full, so memory stays the
// same however fast the bytes arrive. Not thread-safe itself; meant for one
// owner on one thread.
class BackgroundMd5
{
public:
    BackgroundMd5();
    // Whatever is still queued is dropped and finish()'s call never comes.
    ~BackgroundMd5();
    BackgroundMd5(const BackgroundMd5 &) = delete;
    BackgroundMd5 &operator=(const BackgroundMd5 &) = delete;

    // Starts a new digest, dropping what was queued for the old one.
    void reset();
    // A hint for the digest just started, given for a small file: hash its
    // bytes on the caller's thread as they come rather than queue them
    // behind other files' bytes. Taken only where the hashing threads hash
    // one stream at a time: with vector lanes, the hashing thread hashes
    // several files for little more than one, and the caller's thread stays
    // free for the transfers.
    void setInline(bool inline_);
    // Hashes the first size bytes of the file at path, read on the hashing
    // thread. Fewer bytes than that (the file shrank, or cannot be read)
    // make a digest that cannot match.
    void addFilePrefix(const QString &path, qint64 size);
    void addData(QByteArray data);
    // Once every byte queued so far is hashed, calls done with the digest
    // through context's event loop; never after reset() or destruction.
    void finish(QObject *context, std::function<void(const QByteArray &)> done);

private:
    void push(DigestService::Job job);

    std::shared_ptr<DigestService::Stream> m_stream;
    bool m_inline = false;
};
