#include "fileops/filepatchfunc.h"

#include "digest/filedigestcache.h"
#include "fileops/fileophook.h"
#include "fileops/uniquefd.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

// The frame header is read before anything is decoded; its reader is part
// of the API that the shared library exports as experimental.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t copyBufferSize = 1 << 20;

// A file descriptor and, optionally, a mapping of the file, released together.
// A failing step leaves the system's reason in error().
class MappedFile
{
public:
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile()
    {
        if (m_data)
            ::munmap(m_data, size_t(m_size));
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Copies the regular file path, at most limit bytes, into a file of its
    // own in directory, which has no name once it is made, and maps the copy
    // for reading. Nothing but this object reaches the copy: whatever happens
    // to the original later (shortened, rewritten, unreadable) cannot reach
    // the mapping, where it would end the process with SIGBUS. A read error,
    // or a change while the copy is made, fails the copy.
    bool copyForReading(const QString &path, const QString &directory, qint64 limit)
    {
        const UniqueFd in(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        struct stat before;
        if (in.get() < 0 || ::fstat(in.get(), &before) != 0)
            return failWith(errno);
        if (!S_ISREG(before.st_mode))
            return failWith(QStringLiteral("not a regular file"));
        if (before.st_size > limit)
            return failWith(QStringLiteral("%1 bytes, more than the %2 allowed")
                                .arg(before.st_size)
                                .arg(limit));
        QByteArray name = QFile::encodeName(directory) + "/.patchcopy-XXXXXX";
        m_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_fd < 0)
            return failWith(errno);
        ::unlink(name.constData());
        m_size = before.st_size;
        // Only advice: a refusal changes nothing.
        ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        FileOpHook::reached();

        QByteArray buffer(qsizetype(copyBufferSize), Qt::Uninitialized);
        qint64 copied = 0;
        while (copied < m_size) {
            const ssize_t n = ::read(in.get(), buffer.data(),
                                     size_t(qMin<qint64>(m_size - copied, qint64(copyBufferSize))));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return failWith(errno);
            if (n == 0)
                return failWith(QStringLiteral("it changed while it was read"));
            if (!writeAll(buffer.constData(), n))
                return failWith(QStringLiteral("cannot copy it to %1: %2")
                                    .arg(directory, qt_error_string(errno)));
            copied += n;
        }
        // Shortened and grown again, or written to meanwhile: what was read
        // may be a mixture.
        struct stat after;
        if (::fstat(in.get(), &after) != 0 || after.st_size != before.st_size
            || after.st_mtim.tv_sec != before.st_mtim.tv_sec
            || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
            return failWith(QStringLiteral("it changed while it was read"));
        return map(PROT_READ, MAP_PRIVATE);
    }

    // A new file of exactly size bytes, its blocks reserved first: a full
    // disk is an error here, not a fault while the mapping is written.
    bool create(const QString &path, qint64 size)
    {
        m_fd = ::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return failWith(errno);
        m_size = size;
        // Returns the error instead of setting errno.
        const int reserved = size > 0 ? ::posix_fallocate(m_fd, 0, off_t(size)) : 0;
        if (reserved != 0)
            return failWith(reserved);
        return map(PROT_READ | PROT_WRITE, MAP_SHARED);
    }

    // Unmaps and closes; false if the kernel reports a failed write.
    bool close()
    {
        bool ok = true;
        if (m_data && ::munmap(m_data, size_t(m_size)) != 0)
            ok = failWith(errno);
        m_data = nullptr;
        if (m_fd >= 0 && ::close(m_fd) != 0 && ok)
            ok = failWith(errno);
        m_fd = -1;
        return ok;
    }

    void advise(int advice)
    {
        if (m_data)
            ::madvise(m_data, size_t(m_size), advice);
    }

    char *data() const { return static_cast<char *>(m_data); }
    qint64 size() const { return m_size; }
    QString error() const { return m_error; }

private:
    bool map(int protection, int flags)
    {
        if (m_size == 0)
            return true;
        m_data = ::mmap(nullptr, size_t(m_size), protection, flags, m_fd, 0);
        if (m_data == MAP_FAILED) {
            m_data = nullptr;
            return failWith(errno);
        }
        return true;
    }

    bool writeAll(const char *data, qint64 size)
    {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, size_t(size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            data += n;
            size -= n;
        }
        return true;
    }

    bool failWith(int error) { return failWith(qt_error_string(error)); }
    bool failWith(const QString &reason)
    {
        m_error = reason;
        return false;
    }

    int m_fd = -1;
    void *m_data = nullptr;
    qint64 m_size = 0;
    QString m_error;
};

struct DCtxFree
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

} // namespace

FilePatchFunc::FilePatchFunc(const QString &base, const QString &patch,
                             const QString &destination, qint64 targetSize)
    : base(base)
    , patch(patch)
    , destination(destination)
    , targetSize(targetSize)
{ }

int FilePatchFunc::windowLogFor(qint64 baseSize, qint64 targetSize)
{
    const qint64 largest = qMax(qMax<qint64>(baseSize, targetSize), 1);
    int highBit = 0;
    while ((largest >> (highBit + 1)) != 0)
        ++highBit;
    const int windowLog = qMax(highBit + 1, int(ZSTD_WINDOWLOG_MIN));
    return windowLog > MaxWindowLog ? -1 : windowLog;
}

bool FilePatchFunc::fail(const QString &reason)
{
    emit message(QStringLiteral("Patch %1 cannot be applied: %2").arg(patch, reason));
    return false;
}

bool FilePatchFunc::run()
{
    // Written beside the destination and named only when complete, so that a
    // part is never taken for a download to continue.
    const QString output = destination + QStringLiteral(".patching");
    const bool ok = apply(output);
    if (!ok) {
        QFile::remove(output);
        return false;
    }
    FileDigestCache::forget(destination);
    if (::rename(QFile::encodeName(output).constData(),
                 QFile::encodeName(destination).constData())
        != 0) {
        QFile::remove(output);
        return fail(QStringLiteral("cannot rename %1 to %2").arg(output, destination));
    }
    // The check that follows uses this digest instead of reading the file again.
    FileDigestCache::record(destination, m_digest);
    return true;
}

bool FilePatchFunc::apply(const QString &output)
{
    if (targetSize < 0 || windowLogFor(0, targetSize) < 0)
        return fail(QStringLiteral("the files are too large for a patch"));
    // Both are read through copies of their own beside the output: the
    // installed file may be changed by another program while the patch is
    // applied, and the session directory is not ours alone either. A patch
    // longer than any frame of the signed size is none.
    const QString directory = QFileInfo(output).absolutePath();
    MappedFile old;
    if (!old.copyForReading(base, directory, (qint64(1) << MaxWindowLog) - 1))
        return fail(QStringLiteral("cannot read %1: %2").arg(base, old.error()));
    MappedFile delta;
    if (!delta.copyForReading(patch, directory, qint64(ZSTD_compressBound(size_t(targetSize)))))
        return fail(QStringLiteral("cannot read the patch: %1").arg(delta.error()));
    const int windowLog = windowLogFor(old.size(), targetSize);

    // One frame of exactly the patch's size, no larger window than the two
    // files need, and no other size than the signed one.
    ZSTD_frameHeader header;
    if (delta.size() == 0
        || ZSTD_getFrameHeader(&header, delta.data(), size_t(delta.size())) != 0
        || header.frameType != ZSTD_frame || header.dictID != 0)
        return fail(QStringLiteral("not a zstd frame"));
    if (header.windowSize > (1ull << windowLog))
        return fail(QStringLiteral("the frame asks for a window of %1 bytes, more than the %2 "
                                   "allowed")
                        .arg(header.windowSize)
                        .arg(1ull << windowLog));
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN
        && header.frameContentSize != quint64(targetSize))
        return fail(QStringLiteral("it makes %1 bytes, not the %2 expected")
                        .arg(header.frameContentSize)
                        .arg(targetSize));
    if (ZSTD_findFrameCompressedSize(delta.data(), size_t(delta.size())) != size_t(delta.size()))
        return fail(QStringLiteral("not exactly one zstd frame"));

    const std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context)
        return fail(QStringLiteral("not enough memory"));
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLog);
    if (old.size() > 0
        && ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), old.data(), size_t(old.size()))))
        return fail(QStringLiteral("not enough memory"));

    MappedFile result;
    if (!result.create(output, targetSize))
        return fail(QStringLiteral("cannot write %1: %2").arg(output, result.error()));
    old.advise(MADV_SEQUENTIAL);
    delta.advise(MADV_SEQUENTIAL);
    // Decoded in one call straight into the mapped output: no window buffer
    // is allocated, and the output cannot grow beyond the signed size.
    const size_t made = ZSTD_decompressDCtx(context.get(), result.data(), size_t(targetSize),
                                            delta.data(), size_t(delta.size()));
    if (ZSTD_isError(made))
        return fail(QString::fromLatin1(ZSTD_getErrorName(made)));
    if (made != size_t(targetSize))
        return fail(QStringLiteral("it makes %1 bytes, not the %2 expected")
                        .arg(made)
                        .arg(targetSize));

    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(QByteArrayView(result.data(), targetSize));
    if (!result.close())
        return fail(QStringLiteral("cannot write %1: %2").arg(output, result.error()));
    m_digest = hash.result();
    return true;
}
