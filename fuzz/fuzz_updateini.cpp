// update.ini as the updater reads it at start-up and when it prepares a run:
// proxy and streams, the channel with the alpha mirror, the session record.
// Each input is the update.ini of a new application root.
#include "fuzz/fuzzsupport.h"

#include "app/configuration.h"
#include "net/mirrors.h"
#include "update/updateinidata.h"

#include <QDir>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString root = Fuzz::freshPath(QString());
    QDir().mkpath(root);
    Configuration::setAppRootPath(root);
    Fuzz::writeFile(Configuration::getSettingsFilePath(), Fuzz::bytes(data, size));

    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    if (configuration.m_downloadConcurrency < 1)
        Fuzz::fail("no download streams", QString::number(configuration.m_downloadConcurrency));
    // A version on the command line: the update server is never asked.
    configuration.parseCommandLineOptions({QStringLiteral("update"), QStringLiteral("--nouser"),
                                           QStringLiteral("client_linux_amd64"),
                                           QStringLiteral("7")});

    int version = 0;
    QString type;
    QString dir;
    if (UpdateIniData::get(&version, &type, &dir) && !QDir::isAbsolutePath(dir))
        Fuzz::fail("session record with a relative directory", dir);
    if (configuration.m_updateChannel == AlphaChannel) {
        Mirrors mirrors;
        mirrors.initAlpha(UpdateIniData::filename(), configuration.m_clientVersion);
    }
    // A new record over whatever the file holds, then its removal.
    UpdateIniData::modify(configuration.m_clientVersion, Fuzz::scratchDir(),
                          configuration.m_clientType);
    if (!UpdateIniData::get(&version, &type, &dir) || version != configuration.m_clientVersion)
        Fuzz::fail("session record not read back", UpdateIniData::filename());
    UpdateIniData::cleanup();

    QDir(root).removeRecursively();
    return 0;
}
