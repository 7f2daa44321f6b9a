#pragma once

#include <QString>

// Makes one zstd patch that turns an old file into a new one ("patch-from":
// the old file as prefix, long-distance matching, a window that covers the
// larger file, compression level 3), as FilePatchFunc applies it. Both files
// are mapped, not read into memory. Reentrant: one object per thread.
class PatchMaker
{
public:
    enum Result { Made, NotWorthIt, Failed };

    // Writes the patch to target unless it would reach sizeLimit bytes (or
    // the files are too large for a patch): then NotWorthIt and no target.
    // On success md5 and size describe the patch; on failure error says why.
    Result make(const QString &oldFile, const QString &newFile, const QString &target,
                qint64 sizeLimit);

    QString md5;
    qint64 size = 0;
    QString error;
};
