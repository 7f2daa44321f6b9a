#pragma once

#include "sys/uniquefd.h"

#include <QString>

#include <sys/stat.h>

class QFile;

// Opens a path for reading only when it is a regular file, and without
// waiting: a FIFO at the path would wait for a writer for ever, and a device
// never ends. Tells afterwards whether the file changed while it was read.
// Nothing is kept between calls; any thread may use it.
class RegularFile
{
public:
    // The descriptor, read-only and closed on exec; an invalid one with errno
    // set when the path cannot be opened, EINVAL when it is no regular file.
    // info, when given, receives the file's status. flags are added to the
    // open's own: O_NOFOLLOW refuses a symbolic link at path (ELOOP).
    static UniqueFd open(const QString &path, struct stat *info = nullptr, int flags = 0);
    // The same, handed to file for unbuffered reading; file closes it.
    static bool open(QFile &file, const QString &path);
    // Whether the file open at fd still has the size and modification time
    // of before, its status when reading began. One grown, shortened, or
    // written to meanwhile (even to the same size) has changed, and what was
    // read of it may be a mixture; so has one whose status cannot be read.
    static bool isUnchanged(const UniqueFd &fd, const struct stat &before);
};
