#pragma once

#include "fileops/uniquefd.h"

#include <QString>

#include <sys/stat.h>

class QFile;

// Opens a path for reading only when it is a regular file, and without
// waiting: a FIFO at the path would wait for a writer for ever, and a device
// never ends. Nothing is kept between calls; any thread may use it.
class RegularFile
{
public:
    // The descriptor, read-only and closed on exec; an invalid one with errno
    // set when the path cannot be opened, EINVAL when it is no regular file.
    // info, when given, receives the file's status.
    static UniqueFd open(const QString &path, struct stat *info = nullptr);
    // The same, handed to file for unbuffered reading; file closes it.
    static bool open(QFile &file, const QString &path);
};
