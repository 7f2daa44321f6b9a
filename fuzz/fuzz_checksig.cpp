// The signature check of the product ini against the compiled-in key. The
// input holds both files: two bytes of signature length (little endian), the
// signature (as much of it as there is), then the product ini.
#include "fuzz/fuzzsupport.h"

#include "fileops/checksigfunc.h"
#include "formats/productini.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    const int declared = input.size() >= 2 ? quint8(input[0]) | quint8(input[1]) << 8 : 0;
    const QByteArray rest = input.mid(2);
    const QByteArray signature = rest.left(declared);
    const QByteArray content = rest.mid(signature.size());

    const QString path = Fuzz::freshPath(QStringLiteral(".ini"));
    Fuzz::writeFile(path, content);
    Fuzz::writeFile(ProductIni::signatureName(path), signature);
    CheckSigFunc check(path, QString());
    check.run();
    QFile::remove(path);
    QFile::remove(ProductIni::signatureName(path));
    return 0;
}
