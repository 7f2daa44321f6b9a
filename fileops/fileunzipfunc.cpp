#include "fileops/fileunzipfunc.h"

#include "fileops/fileophook.h"
#include "fileops/gzfile.h"
#include "fileops/wholefile.h"
#include "sys/regularfile.h"

#include <QFile>

namespace {
constexpr int bufferSize = 16384;
}

FileUnzipFunc::FileUnzipFunc(const QString &source, const QString &destination, int mode)
    : SlowFileOpFunc(source, destination, mode)
{ }

bool FileUnzipFunc::run()
{
    return unzipFile(destination, source);
}

bool FileUnzipFunc::unzipFile(const QString &destination, const QString &source)
{
    // Unpacked under a temporary name: a failure, or the end of the process,
    // leaves the destination as it was.
    WholeFile out(destination);
    if (!out.open())
        return false;

    // Only a regular file: a pipe at the path would wait for a writer for ever.
    UniqueFd in = RegularFile::open(source);
    if (!in.isValid())
        return false;
    const GzFile stream(gzdopen(in.get(), "rb"));
    if (!stream)
        return false;
    in.release(); // closed by gzclose()
    gzrewind(stream.get());

    char buffer[bufferSize];
    bool first = true;
    for (;;) {
        const int n = gzread(stream.get(), buffer, bufferSize);
        if (n == 0) {
            // zlib hands out what it had of a stream that ends early and then
            // reports the end of data; only its error state tells the two apart.
            int err = Z_OK;
            gzerror(stream.get(), &err);
            return err == Z_OK && out.commit(mode);
        }
        if (n < 0 || !out.write(buffer, n))
            return false;
        if (first) {
            first = false;
            FileOpHook::reached();
        }
    }
}
