#pragma once

#include <QCoreApplication>
#include <QString>

// The player's line about why an update run failed: one sentence in words a
// player understands, translated (context "FailureCause"), naming the folder,
// file or figures concerned. A task that knows why it fails emits one through
// TaskSpecification::failureCause() before it ends; the run keeps the first
// that reaches the engine. Also the one place that asks a volume how much
// room it has and whether it may be written.
class FailureCause
{
    Q_DECLARE_TR_FUNCTIONS(FailureCause)
public:
    FailureCause() = delete;

    static QString notEnoughSpace(const QString &folder, quint64 needed, quint64 available);
    // path: a folder or a file.
    static QString notWritable(const QString &path);
    static QString notSignedWithKey();
    static QString otherRelease(int version);
    static QString damagedOnEveryMirror(const QString &file);
    static QString missingOnEveryMirror(const QString &file);
    static QString noMirrorReachable();
    static QString noWorkingMirror();
    static QString fileListUnusable();
    static QString installFailed(const QString &folder);
    static QString deleteFailed(const QString &folder);
    static QString serverNotFound(const QString &host);
    static QString serverSilent(const QString &host, int seconds);
    static QString serverUnreachable(const QString &host, const QString &reason);
    static QString writeFailed(const QString &path, const QString &reason);

    // The cause of a failed write of path whose system error was
    // errorNumber: no space (bytesLeft still to write, 0 if unknown), no
    // permission or a read-only volume, or else the system's reason.
    static QString forWriteError(const QString &path, int errorNumber, quint64 bytesLeft = 0);
    // The cause of a failed write into folder whose error is not known: the
    // folder cannot be written, or its volume has less than bytes free.
    // Empty if neither holds.
    static QString probeFolder(const QString &folder, quint64 bytes);

    // Bytes the volume of path still gives to this user; false if it cannot
    // be asked.
    static bool availableBytes(const QString &path, quint64 &bytes, quint64 *blockSize = nullptr);
    // The folder may have entries created, renamed and removed: permission,
    // a writable volume, no immutable flag. Root's bypass of permission bits
    // is no bypass of the other two.
    static bool folderWritable(const QString &folder);
};
