#pragma once

#include "sys/uniquefd.h"
#include "tasks/asyncfunc.h"

#include <QString>

struct stat;

// Copies an installed file (a path below root) into a new file at
// destination, byte for byte: never a second name of the installed file,
// which the update moves aside and deletes later. No symbolic link is
// followed on the way from root to the file, only a regular file is read,
// and only when it still has exactly size bytes; a file that changes while
// it is read fails the copy. The copy appears under its final name only
// complete, with its MD5 digest recorded in FileDigestCache for the check
// that follows. A failure is reported once through message(), and leaves
// nothing at destination. Runs on a pool thread or synchronously.
class InstalledCopyFunc : public ASyncFunc
{
    Q_OBJECT
public:
    InstalledCopyFunc(const QString &root, const QString &path, const QString &destination,
                      qint64 size);

    bool run() override;

    // Opens the regular file at path below root for reading, following no
    // symbolic link in any of path's components, and fills info; an invalid
    // descriptor with errno set otherwise (ELOOP for a link, EINVAL for what
    // is no regular file or a path that leaves root).
    static UniqueFd openBelow(const QString &root, const QString &path, struct stat &info);

    QString root;
    QString path;
    QString destination;
    qint64 size;

private:
    bool fail(const QString &reason);
};
