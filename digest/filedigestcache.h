#pragma once

#include <QByteArray>
#include <QString>

// MD5 digests of files that this process has just written, computed from the
// bytes as they were written, so that the check that follows need not read
// the file again. An entry counts only while the file keeps the identity,
// size and modification time it had when it was recorded; anything else is
// read and hashed as usual. Safe to use from any thread.
//
// A process-wide table beside the DigestService, which does not use it: the
// steps that write files record their digests, the checks and the list step
// look them up. Locks: one mutex guards the table; it is held only while an
// entry is looked up, added or removed, never while a file is read.
class FileDigestCache
{
public:
    FileDigestCache() = delete;

    // Records md5 (raw digest bytes) for the file as it is now.
    static void record(const QString &path, const QByteArray &md5);
    // The recorded digest, if the file is still the one recorded; else empty.
    static QByteArray lookup(const QString &path);
    static void forget(const QString &path);
    // Whether no digest is kept: then no lookup can find one.
    static bool isEmpty();
};
