// A patch as the updater applies it to an installed file: the input is the
// patch, the installed file and the signed size are fixed. Beyond the
// sanitizers, a finding is an output of another size than the signed one, an
// output left after a failure, or a part left under the temporary name.
#include "fuzz/fuzzsupport.h"

#include "fileops/filepatchfunc.h"

#include <QFile>
#include <QFileInfo>

namespace {

// The installed file the seeds were made against: byte i is (i * 7919) >> 3;
// the new file has "0123456789" at offset 30000 instead. Same size.
constexpr qint64 TargetSize = 65536;
QString s_base;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    QByteArray base(TargetSize, Qt::Uninitialized);
    for (qint64 i = 0; i < TargetSize; ++i)
        base[i] = char((i * 7919) >> 3);
    s_base = Fuzz::scratchDir() + QStringLiteral("/installed");
    Fuzz::writeFile(s_base, base);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString patch = Fuzz::freshPath(QStringLiteral(".zst"));
    const QString output = Fuzz::freshPath(QStringLiteral(".out"));
    Fuzz::writeFile(patch, Fuzz::bytes(data, size));
    FilePatchFunc func(s_base, patch, output, TargetSize);
    const bool ok = func.run();
    if (ok && QFileInfo(output).size() != TargetSize)
        Fuzz::fail("output of another size than the signed one", output);
    if (!ok && QFileInfo::exists(output))
        Fuzz::fail("output left after a failure", output);
    if (QFileInfo::exists(output + QStringLiteral(".patching")))
        Fuzz::fail("part left under the temporary name", output);
    QFile::remove(patch);
    QFile::remove(output);
    return 0;
}
