#include "fileops/fileunzipfunc.h"

#include <QFile>

#include <zlib.h>

namespace {
const int BufferSize = 16384;
}

FileUnzipFunc::FileUnzipFunc(const QString &source, const QString &destination)
    : SlowFileOpFunc(source, destination)
{ }

bool FileUnzipFunc::run()
{
    const bool ok = unzipFile(destination, source);
    if (!ok)
        QFile::remove(destination);
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString &destination, const QString &source)
{
    // The file system's encoding, so that names outside ASCII are found.
    const QByteArray name = QFile::encodeName(source);

    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;

    gzFile stream = gzopen(name.constData(), "rb");
    if (!stream)
        return false;
    gzrewind(stream);

    char buffer[BufferSize];
    for (;;) {
        const int n = gzread(stream, buffer, BufferSize);
        if (n == 0) {
            // zlib hands out what it had of a stream that ends early and then
            // reports the end of data; only its error state tells the two apart.
            int err = Z_OK;
            gzerror(stream, &err);
            gzclose(stream);
            if (err != Z_OK) {
                out.remove();
                return false;
            }
            out.close();
            return out.error() == QFileDevice::NoError;
        }
        if (n < 0) {
            gzclose(stream);
            out.remove();
            return false;
        }
        if (out.write(buffer, n) < n) {
            gzclose(stream);
            out.remove();
            return false;
        }
    }
}
