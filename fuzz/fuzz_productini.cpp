// The product ini as the file-list step reads it: the input is the verified
// product ini in the temporary directory of a small installation. Beyond the
// sanitizers, a finding is any listed path that would reach outside the
// application root or the temporary directory.
#include "fuzz/fuzzsupport.h"

#include "app/configuration.h"
#include "formats/productini.h"
#include "update/makedownloadreplacelistfunc.h"

#include <QDir>
#include <QFile>

#include <memory>

namespace {

Configuration *s_configuration = nullptr;
QString s_appRoot;
QString s_tempDir;
int s_counter = 0;

void checkPath(const QString &root, const QString &path)
{
    if (!Fuzz::staysInside(root, path))
        Fuzz::fail("listed path leaves its directory", path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    s_appRoot = Fuzz::scratchDir() + QStringLiteral("/root");
    s_tempDir = Fuzz::scratchDir() + QStringLiteral("/temp");
    QDir().mkpath(s_appRoot + QStringLiteral("/lib"));
    QDir().mkpath(s_tempDir + QStringLiteral("/data"));
    // The files the seeds name, so that the comparisons find current, already
    // downloaded and missing files. MD5 sums: readme.txt
    // b1946ac92492d2347c6235b4d2611184, lib/libx.so 7dd30896a524bfafa03b33d15bc7e62a,
    // old.txt 814fa5ca98406a903e22b43d9b610105, data/new.bin
    // 9cd599a3523898e6a12e13ec787da50a.
    Fuzz::writeFile(s_appRoot + QStringLiteral("/readme.txt"), "hello\n");
    Fuzz::writeFile(s_appRoot + QStringLiteral("/lib/libx.so"), "library\n");
    Fuzz::writeFile(s_appRoot + QStringLiteral("/old.txt"), "old\n");
    Fuzz::writeFile(s_tempDir + QStringLiteral("/data/new.bin"), "new\n");
    Configuration::setAppRootPath(s_appRoot);
    s_configuration = new Configuration;
    s_configuration->m_tempDir = s_tempDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A new client type each time gives the product ini a new name.
    s_configuration->m_clientType = QStringLiteral("client_%1").arg(++s_counter);
    const QString iniPath
        = s_tempDir + QLatin1Char('/') + ProductIni::iniName(s_configuration->m_clientType);
    Fuzz::writeFile(iniPath, Fuzz::bytes(data, size));

    auto lists = std::make_shared<FileSpecifications>();
    RunSettings settings = s_configuration->settings();
    settings.sessionDir = s_tempDir;
    MakeDownloadReplaceListFunc func(settings, lists);
    const bool ok = func.run();
    QFile::remove(iniPath);
    if (!ok)
        return 0;

    for (const FileDownloadSpecification &download : std::as_const(lists->downloads))
        checkPath(s_tempDir, download.filePath);
    for (const FileReplaceSpecification &replace : std::as_const(lists->replaces)) {
        checkPath(s_tempDir, replace.filePath);
        checkPath(s_appRoot, replace.pureDestFilePath());
        checkPath(s_appRoot, replace.oldDestFileName());
    }
    for (const QString &path : std::as_const(lists->deletes))
        checkPath(s_appRoot, path);
    if (lists->patchList.isValid())
        checkPath(s_tempDir, lists->patchList.name);
    return 0;
}
