// The patch list as the download step reads it, against a small download
// list. Beyond the sanitizers, a finding is a patch given to a file without
// an installed copy, a patch larger than its file, or one whose path on the
// mirror would leave the version directory.
#include "fuzz/fuzzsupport.h"

#include "update/patchlist.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The files the seeds name: a.bin and dir/b.gz installed (MD5 sums of
    // 32 "a" and 32 "b"), new.txt not.
    QList<FileDownloadSpecification> downloads(3);
    downloads[0].filePath = QStringLiteral("a.bin");
    downloads[0].installedMd5 = QString(32, QLatin1Char('a'));
    downloads[1].filePath = QStringLiteral("dir/b.gz");
    downloads[1].installedMd5 = QString(32, QLatin1Char('b'));
    downloads[2].filePath = QStringLiteral("new.txt");
    for (FileDownloadSpecification &file : downloads)
        file.size = 1000;
    PatchList list;
    list.apply(Fuzz::bytes(data, size),
               {QStringLiteral("a.bin"), QStringLiteral("dir/b.gz"), QStringLiteral("new.txt"),
                QStringLiteral("same.txt")},
               downloads);
    for (const FileDownloadSpecification &file : std::as_const(downloads)) {
        if (!file.hasPatch())
            continue;
        if (file.installedMd5.isEmpty())
            Fuzz::fail("patch for a file without an installed copy", file.filePath);
        if (file.patchSize > file.size)
            Fuzz::fail("patch larger than its file", file.filePath);
        if (!Fuzz::staysInside(QStringLiteral("/version"), file.patchPath()))
            Fuzz::fail("patch path leaves the version directory", file.patchPath());
    }
    return 0;
}
