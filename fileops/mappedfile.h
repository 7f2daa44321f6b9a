#pragma once

#include "sys/uniquefd.h"

#include <QString>

// A file descriptor and a mapping of the whole file, released together when
// the object goes. A failing step leaves the system's reason in error().
// For one thread at a time.
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    // Maps the regular file path for reading as it is. Only for files no
    // other program changes meanwhile: one shortened under the mapping ends
    // the process with SIGBUS.
    bool mapForReading(const QString &path);
    // Copies the regular file path, at most limit bytes, into a file of its
    // own in directory, which has no name once it is made, and maps the copy
    // for reading. Nothing but this object reaches the copy: whatever happens
    // to the original later (shortened, rewritten, unreadable) cannot reach
    // the mapping, where it would end the process with SIGBUS. A read error,
    // or a change while the copy is made, fails the copy.
    bool copyForReading(const QString &path, const QString &directory, qint64 limit);
    // A new file of exactly size bytes, its blocks reserved first: a full
    // disk is an error here, not a fault while the mapping is written.
    bool create(const QString &path, qint64 size);
    // Unmaps and closes; false if the kernel reports a failed write.
    bool close();

    // Only advice (madvise): a refusal changes nothing.
    void advise(int advice);

    char *data() const { return static_cast<char *>(m_data); }
    qint64 size() const { return m_size; }
    QString error() const { return m_error; }

private:
    bool map(int protection, int flags);
    bool writeAll(const char *data, qint64 size);
    bool failWith(int error);
    bool failWith(const QString &reason);

    UniqueFd m_fd;
    void *m_data = nullptr;
    qint64 m_size = 0;
    QString m_error;
};
