// The reply of the update server to the version request, as the start-up
// turns it into the version to install: parsed into the channels' entries,
// each entry's number text checked as the configuration does.
#include "fuzz/fuzzsupport.h"

#include "app/configuration.h"
#include "app/updatechecker.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The receiving end reads at most 511 bytes and cuts at the first zero.
    QByteArray text = Fuzz::bytes(data, qMin(size, size_t(511)));
    text = QByteArray(text.constData());

    Configuration owner;
    UpdateChecker checker(owner);
    checker.m_versions = UpdateChecker::parseVersionList(text);
    for (UpdateChannel channel : {StableChannel, BetaChannel, AlphaChannel}) {
        const QPair<QString, QString> entry = checker.getClientVersionByChannel(channel);
        if (entry.first.isEmpty())
            continue;
        Configuration configuration;
        if (configuration.getClientVersionFromString(entry.first, QStringLiteral("bad %1")))
            configuration.m_clientVersionName = entry.second;
    }
    return 0;
}
