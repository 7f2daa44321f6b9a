#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

// Applies a zstd patch made with the installed file as its reference
// ("patch-from": one frame, the old file as prefix) and writes the new file.
// The old file and the patch are first copied by reading them, each into a
// nameless file beside the output; those copies and the output are reached
// through mappings, so memory stays small whatever their sizes, and nothing
// that happens to the originals later can end the process with a signal. A
// read error or a change while they are copied fails the patch, and so does
// an output that the disk has no room for. The output must come out at
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
