#include "patchmaker.h"

#include "fileops/filepatchfunc.h"
#include "fileops/mappedfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zstd.h>

#include <sys/mman.h>

#include <memory>

namespace {

constexpr int CompressionLevel = 3;
constexpr size_t OutputChunk = 1024 * 1024;

struct CCtxFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};

} // namespace

PatchMaker::Result PatchMaker::make(const QString &oldFile, const QString &newFile,
                                    const QString &target, qint64 sizeLimit)
{
    md5.clear();
    size = 0;
    error.clear();
    MappedFile old;
    MappedFile current;
    const bool oldMapped = old.mapForReading(oldFile);
    if (!oldMapped || !current.mapForReading(newFile)) {
        error = QStringLiteral("Cannot read %1").arg(oldMapped ? newFile : oldFile);
        return Failed;
    }
    old.advise(MADV_SEQUENTIAL);
    current.advise(MADV_SEQUENTIAL);
    const int windowLog = FilePatchFunc::windowLogFor(old.size(), current.size());
    if (windowLog < 0 || sizeLimit <= 0)
        return NotWorthIt;

    const std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    if (!context) {
        error = QStringLiteral("Not enough memory to make a patch");
        return Failed;
    }
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, CompressionLevel);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setPledgedSrcSize(context.get(), quint64(current.size()));
    if (old.size() > 0)
        ZSTD_CCtx_refPrefix(context.get(), old.data(), size_t(old.size()));

    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        error = QStringLiteral("Cannot create the directory of %1").arg(target);
        return Failed;
    }
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = QStringLiteral("Cannot write file %1: %2").arg(target, out.errorString());
        return Failed;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(OutputChunk, Qt::Uninitialized);
    ZSTD_inBuffer input {current.data(), size_t(current.size()), 0};
    for (;;) {
        ZSTD_outBuffer output {chunk.data(), size_t(chunk.size()), 0};
        const size_t left = ZSTD_compressStream2(context.get(), &output, &input, ZSTD_e_end);
        if (ZSTD_isError(left)) {
            out.remove();
            error = QStringLiteral("Cannot make a patch for %1: %2")
                        .arg(newFile, QString::fromLatin1(ZSTD_getErrorName(left)));
            return Failed;
        }
        size += qint64(output.pos);
        if (size >= sizeLimit) {
            // Not small enough to be worth fetching instead of the file.
            out.remove();
            size = 0;
            return NotWorthIt;
        }
        hash.addData(QByteArrayView(chunk.constData(), qsizetype(output.pos)));
        if (out.write(chunk.constData(), qint64(output.pos)) != qint64(output.pos)) {
            out.remove();
            error = QStringLiteral("Cannot write file %1: %2").arg(target, out.errorString());
            return Failed;
        }
        if (left == 0)
            break;
    }
    if (!out.flush()) {
        out.remove();
        error = QStringLiteral("Cannot write file %1: %2").arg(target, out.errorString());
        return Failed;
    }
    md5 = QString::fromLatin1(hash.result().toHex());
    return Made;
}
