// mirrors.ini as an update run reads it, followed by a run's use of the list:
// slots taken until none is free or left, errors charged, slots released.
#include "fuzz/fuzzsupport.h"

#include "net/random.h"
#include "net/mirrors.h"

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = Fuzz::freshPath(QStringLiteral(".ini"));
    Fuzz::writeFile(path, Fuzz::bytes(data, size));
    Random::seed(1);

    Mirrors mirrors;
    const bool listed = mirrors.initDefault(path, 43);
    QFile::remove(path);
    if (!listed)
        return 0;

    QList<QString> taken;
    for (int round = 0; round < 64; ++round) {
        FTPSiteAccessData mirror;
        const int result = mirrors.getRandomMirror(mirror);
        if (result == 1)
            break;
        if (result == 2) {
            // Every slot is busy: a transfer ends, as a failure every other time.
            const QString name = taken.takeFirst();
            if (round % 2)
                mirrors.addMirrorError(name);
            mirrors.releaseMirror(name);
            continue;
        }
        if (!mirror.url.endsWith(QStringLiteral("/43")))
            Fuzz::fail("mirror URL without the version", mirror.url);
        taken.append(mirror.name);
    }
    return 0;
}
