#include "fileops/filepatchfunc.h"

#include "fileops/filedigestcache.h"

#include <QCryptographicHash>
#include <QFile>

// The frame header is read before anything is decoded; its reader is part
// of the API that the shared library exports as experimental.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file descriptor and, optionally, a mapping of the file, released together.
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

    // A regular file opened for reading and mapped whole (nothing to map when empty).
    bool openForReading(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (m_fd < 0 || ::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode))
            return false;
        m_size = info.st_size;
        return map(PROT_READ, MAP_PRIVATE);
    }

    // A new file of exactly size bytes, its blocks reserved first: a full
    // disk is an error here, not a fault while the mapping is written.
    bool create(const QString &path, qint64 size)
    {
        m_fd = ::open(QFile::encodeName(path).constData(),
                      O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return false;
        m_size = size;
        if (size > 0 && ::posix_fallocate(m_fd, 0, off_t(size)) != 0)
            return false;
        return map(PROT_READ | PROT_WRITE, MAP_SHARED);
    }

    // Unmaps and closes; false if the kernel reports a failed write.
    bool close()
    {
        bool ok = true;
        if (m_data)
            ok = ::munmap(m_data, size_t(m_size)) == 0;
        m_data = nullptr;
        if (m_fd >= 0)
            ok = ::close(m_fd) == 0 && ok;
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

private:
    bool map(int protection, int flags)
    {
        if (m_size == 0)
            return true;
        m_data = ::mmap(nullptr, size_t(m_size), protection, flags, m_fd, 0);
        if (m_data == MAP_FAILED) {
            m_data = nullptr;
            return false;
        }
        return true;
    }

    int m_fd = -1;
    void *m_data = nullptr;
    qint64 m_size = 0;
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
    MappedFile old;
    if (!old.openForReading(base))
        return fail(QStringLiteral("cannot read %1").arg(base));
    MappedFile delta;
    if (!delta.openForReading(patch))
        return fail(QStringLiteral("cannot read the patch"));
    const int windowLog = windowLogFor(old.size(), targetSize);
    if (windowLog < 0 || targetSize < 0)
        return fail(QStringLiteral("the files are too large for a patch"));

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
        return fail(QStringLiteral("cannot write %1: %2").arg(output, qt_error_string(errno)));
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
        return fail(QStringLiteral("cannot write %1: %2").arg(output, qt_error_string(errno)));
    m_digest = hash.result();
    return true;
}
