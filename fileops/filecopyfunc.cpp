#include "fileops/filecopyfunc.h"

#include <QFile>

FileCopyFunc::FileCopyFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{ }

bool FileCopyFunc::run()
{
    // QFile::copy writes into a temporary file beside the destination and
    // renames it at the end, so a failed copy leaves no partial file.
    return QFile::copy(source, destination);
}
