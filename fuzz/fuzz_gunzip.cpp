// The gzip unpacker of the replacement step: the input is the downloaded
// file. Beyond the sanitizers, a finding is a failed unpack that leaves its
// destination behind.
#include "fuzz/fuzzsupport.h"

#include "fileops/fileunzipfunc.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString source = Fuzz::freshPath(QStringLiteral(".gz"));
    const QString destination = Fuzz::freshPath(QString());
    Fuzz::writeFile(source, Fuzz::bytes(data, size));

    FileUnzipFunc func(source, destination);
    const bool ok = func.run();
    if (!ok && QFile::exists(destination))
        Fuzz::fail("failed unpack left its destination", destination);
    QFile::remove(source);
    QFile::remove(destination);
    return 0;
}
