#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

// Applies a zstd patch made with the installed file as its reference
// ("patch-from": one frame, the old file as prefix) and writes the new file.
// The old file, the patch and the output are reached through mapped files, so
// memory stays small whatever their sizes. The output must come out at
// exactly targetSize bytes; a frame that asks for a larger window than the two
// files need, or that would decode to more or fewer bytes, is refused. The
// output appears under its final name only complete, with its MD5 digest
// recorded in FileDigestCache; after a failure nothing is left of it. Runs on
// a pool thread or synchronously; failures are reported through message().
class FilePatchFunc : public ASyncFunc
{
    Q_OBJECT
public:
    FilePatchFunc(const QString &base, const QString &patch, const QString &destination,
                  qint64 targetSize);

    bool run() override;

    // The largest window a patch may use: 2 GiB, so larger files get none.
    static constexpr int MaxWindowLog = 31;
    // The window log that patches between files of these sizes are made with
    // and that a patch may ask for; -1 if the files are too large for one.
    static int windowLogFor(qint64 baseSize, qint64 targetSize);

    QString base;
    QString patch;
    QString destination;
    qint64 targetSize;

private:
    bool apply(const QString &output);
    bool fail(const QString &reason);

    QByteArray m_digest;
};
