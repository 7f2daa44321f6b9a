#include "fileops/filepatchfunc.h"

#include "digest/filedigestcache.h"
#include "fileops/mappedfile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

// The frame header is read before anything is decoded; its reader is part
// of the API that the shared library exports as experimental.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdio>
#include <memory>
#include <sys/mman.h>

namespace {

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
