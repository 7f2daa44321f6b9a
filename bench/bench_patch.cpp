// An update by patches: 20 data files of 32 MiB, each changed the way a game
// release changes its data (1 % of its 4 KiB blocks rewritten, three
// insertions of 100 KB, one cut of 200 KB), and 5 unchanged ones, published
// with "mrvpublish release --patch-from" and installed from a local nginx by
// the engine (in a child process). Against peers measured in the same run:
//   - bytes fetched: at most 1.1 times the sum of "zstd -3 --long
//     --patch-from" outputs for the changed files, at most 0.6 times what
//     "rsync --no-whole-file --stats" reports as sent;
//   - update time: at most 1.2 times "zstd -d --patch-from" of every patch
//     and "cp" of the results into place, flushed to disk ("sync FILE...");
//   - the update's peak anonymous memory (RssAnon): at most 64 MiB, also for
//     one file of 512 MiB;
//   - publishing time: at most 1.5 times "zstd -3 --long --patch-from" over
//     the same files, two at a time.
// Medians of several runs; the load average before and after is printed,
// since the machine may be busy with other work.
//
//   bench_patch [runs]    runs the benchmark (default 3 runs)
//   bench_patch --child APP_ROOT SYSTEM_TEMP
//                         updates APP_ROOT to version 2 and prints its peak
//                         RssAnon in KiB
//   bench_patch --apply BASE PATCH OUTPUT SIZE
//                         applies one patch as the updater does and prints
//                         the time it took, for a profiler

#include "benchutil.h"

#include "fileops/filepatchfunc.h"

#include "localservers.h"
#include "releasebuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const qint64 mebibyte = 1024 * 1024;
const int changedFiles = 20;
const int unchangedFiles = 5;
const qint64 fileSize = 32 * mebibyte;
const qint64 largeSize = 512 * mebibyte;
const int oldVersion = 1;
const int newVersion = 2;
const double fetchedVsZstd = 1.1;
const double fetchedVsRsync = 0.6;
const double updateVsZstd = 1.2;
const double publishVsZstd = 1.5;
const qint64 anonTargetKiB = 64 * 1024;

quint64 nextRandom(quint64 &x)
{
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

QByteArray randomBytes(qint64 size, quint64 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ull + 1;
    auto *words = reinterpret_cast<quint64 *>(data.data());
    for (qint64 i = 0; i < size / 8; ++i)
        words[i] = nextRandom(x);
    return data;
}

// The next version of a data file: 1 % of its 4 KiB blocks rewritten, three
// insertions of 100 KB, one cut of 200 KB.
QByteArray changed(QByteArray data, quint64 seed)
{
    quint64 x = seed * 0xD1B54A32D192ED03ull + 7;
    const qint64 blocks = data.size() / 4096;
    for (qint64 b = 0; b < blocks; ++b) {
        if (nextRandom(x) % 100 == 0)
            data.replace(b * 4096, 4096, randomBytes(4096, nextRandom(x)));
    }
    for (int i = 0; i < 3; ++i)
        data.insert(qsizetype(nextRandom(x) % quint64(data.size())),
                    randomBytes(100 * 1000, nextRandom(x)));
    data.remove(qsizetype(nextRandom(x) % quint64(data.size() - 200 * 1000)), 200 * 1000);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QString dataFile(int index)
{
    return QStringLiteral("data/pack%1.dat").arg(index, 2, 10, QLatin1Char('0'));
}

// Both versions of a client: count files of size, the first `changedCount`
// of them changed in the new version.
bool writeClients(ReleaseBuilder &builder, int count, int changedCount, qint64 size)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray old = randomBytes(size, quint64(i + 1));
        if (!writeFile(builder.clientDir(oldVersion) + QLatin1Char('/') + dataFile(i), old)
            || !writeFile(builder.clientDir(newVersion) + QLatin1Char('/') + dataFile(i),
                          i < changedCount ? changed(old, quint64(i + 1)) : old))
            return false;
    }
    return true;
}

bool shell(const QString &script, QByteArray *output = nullptr)
{
    return bench::timedRun(QStringLiteral("bash"), {QStringLiteral("-c"), script}, QString(),
                           output)
        >= 0;
}

double timedShell(const QString &script)
{
    return bench::timedRun(QStringLiteral("bash"), {QStringLiteral("-c"), script}, QString(),
                           nullptr);
}

QString quoted(const QString &path)
{
    return QLatin1Char('\'') + path + QLatin1Char('\'');
}

int child(const QStringList &args)
{
    if (args.size() != 4)
        return 2;
    // RssAnon has no high-water mark of its own: it is sampled.
    std::atomic<bool> done {false};
    std::atomic<qint64> peak {0};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max<qint64>(peak, bench::rssAnonKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const bench::UpdateRun run = bench::runUpdate(
        args.at(2), args.at(3), ReleaseBuilder::CLIENT_TYPE, newVersion, [](const QString &line) {
            return (!line.startsWith(QLatin1String("Downloading "))
                    || line.endsWith(QLatin1String("files")))
                && !line.startsWith(QLatin1String("Fetching "))
                && !line.startsWith(QLatin1String("add/replace"));
        });
    done = true;
    sampler.join();
    const int patched = int(run.log.filter(QRegularExpression(QStringLiteral(": patch$"))).size());
    if (!run.finished || patched == 0) {
        bench::printLog(run.log);
        return 1;
    }
    std::printf("%lld %d\n", static_cast<long long>(peak.load()), patched);
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    std::fprintf(stderr, "  CPU: %.2f s user, %.2f s system\n",
                 usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
                 usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
    return 0;
}

struct UpdateResult
{
    double seconds = -1;
    qint64 peakAnonKiB = -1;
    qint64 fetchedBytes = 0;
};

// One update of a fresh installation of the old version by the engine.
UpdateResult runUpdate(ReleaseBuilder &builder, LocalServers &servers, const QString &url,
                       const QString &mirrorRoot, const QString &name)
{
    UpdateResult result;
    const QString appRoot = builder.path(name + QStringLiteral("/app"));
    const QString systemTemp = builder.path(name + QStringLiteral("/tmp"));
    QDir(builder.path(name)).removeRecursively();
    QDir().mkpath(systemTemp);
    if (!builder.prepareAppRoot(appRoot, oldVersion, {url}))
        return result;
    const int before = int(LocalServers::requestedPaths(servers.nginxAccessLog(url)).size());
    ::sync();
    QByteArray output;
    const double seconds
        = bench::timedChild({QStringLiteral("--child"), appRoot, systemTemp}, &output);
    if (seconds < 0)
        return result;
    result.seconds = seconds;
    result.peakAnonKiB = output.split(' ').value(0).toLongLong();
    const QStringList paths = LocalServers::requestedPaths(servers.nginxAccessLog(url)).mid(before);
    for (const QString &path : paths)
        result.fetchedBytes += QFileInfo(mirrorRoot + path).size();
    QDir(builder.path(name)).removeRecursively();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--apply") && args.size() == 6) {
        QElapsedTimer timer;
        timer.start();
        FilePatchFunc patch(args[2], args[3], args[4], args[5].toLongLong());
        QObject::connect(&patch, &ASyncFunc::message, &app, [](const QString &line) {
            std::fprintf(stderr, "%s\n", qPrintable(line));
        });
        const bool ok = patch.run();
        std::printf("%.3f s\n", timer.nsecsElapsed() / 1e9);
        return ok ? 0 : 1;
    }
    const bench::MainStart start
        = bench::startMain(child, ReleaseBuilder::updaterTrustsDevelopmentKey);
    if (start.exitCode)
        return *start.exitCode;
    const int runs = qMax(1, args.value(1, QStringLiteral("3")).toInt());

    QTextStream out(stdout);
    const QString loadBefore = bench::loadAverage();
    ReleaseBuilder builder;
    out << "preparing " << changedFiles << " changed and " << unchangedFiles
        << " unchanged files of " << fileSize / mebibyte << " MiB in " << builder.path()
        << Qt::endl;
    if (!builder.isValid()
        || !writeClients(builder, changedFiles + unchangedFiles, changedFiles, fileSize)) {
        out << "cannot write the clients\n";
        return 1;
    }
    const QString oldDir = builder.clientDir(oldVersion);
    const QString newDir = builder.clientDir(newVersion);
    const QString key = LocalServers::sourceDir() + QStringLiteral("/keys/dev_private.key");

    // Publishing, against zstd over the same files on both cores.
    std::vector<double> publishTimes;
    std::vector<double> zstdTimes;
    QString mirrorRoot;
    const QString zstdOut = builder.path(QStringLiteral("zstd"));
    for (int run = 0; run < runs; ++run) {
        if (!mirrorRoot.isEmpty())
            QDir(mirrorRoot).removeRecursively();
        mirrorRoot = builder.path(QStringLiteral("mirror%1").arg(run));
        ::sync();
        publishTimes.push_back(bench::timedRun(
            LocalServers::binDir() + QStringLiteral("/mrvpublish"),
            {QStringLiteral("release"), QStringLiteral("--key"), key, QStringLiteral("--type"),
             ReleaseBuilder::CLIENT_TYPE, QStringLiteral("--version"), QString::number(newVersion),
             QStringLiteral("--patch-from"), oldDir, newDir, mirrorRoot},
            QString(), nullptr));
        QDir(zstdOut).removeRecursively();
        QDir().mkpath(zstdOut + QStringLiteral("/data"));
        ::sync();
        zstdTimes.push_back(
            timedShell(QStringLiteral("cd %1 && ls data/* | xargs -P2 -I{} zstd -q -f -3 --long "
                                      "--patch-from=%2/{} {} -o %3/{}.zst")
                           .arg(quoted(newDir), quoted(oldDir), quoted(zstdOut))));
        out << QString::asprintf("run %d: mrvpublish %.2f s, zstd %.2f s", run + 1,
                                 publishTimes.back(), zstdTimes.back())
            << Qt::endl;
        if (publishTimes.back() < 0 || zstdTimes.back() < 0) {
            out << "FAIL: publishing failed\n";
            return 1;
        }
    }
    qint64 zstdBytes = 0;
    for (int i = 0; i < changedFiles; ++i)
        zstdBytes += QFileInfo(zstdOut + QLatin1Char('/') + dataFile(i) + ".zst").size();

    // rsync's delta transfer of the same change, locally.
    const QString rsyncDest = builder.path(QStringLiteral("rsync"));
    QByteArray rsyncOutput;
    shell(QStringLiteral("cp -a %1 %2 && rsync -a --no-whole-file --stats %3/ %2/")
              .arg(quoted(oldDir), quoted(rsyncDest), quoted(newDir)),
          &rsyncOutput);
    const QRegularExpressionMatch sent
        = QRegularExpression(QStringLiteral("Total bytes sent: ([0-9,]+)"))
              .match(QString::fromLatin1(rsyncOutput));
    const qint64 rsyncBytes = sent.captured(1).remove(QLatin1Char(',')).toLongLong();
    QDir(rsyncDest).removeRecursively();

    // The update, against zstd -d and cp on a copy of the same installation.
    LocalServers servers;
    const QString url = servers.startNginx(mirrorRoot);
    if (url.isEmpty()) {
        out << "cannot start nginx\n";
        return 1;
    }
    const QString release = QStringLiteral("%1/%2/").arg(mirrorRoot).arg(newVersion);
    QString peerScript;
    const QString peerRoot = builder.path(QStringLiteral("peer"));
    const QString peerTemp = builder.path(QStringLiteral("peertmp"));
    for (int i = 0; i < changedFiles; ++i) {
        const QStringList patches = QDir(release + QStringLiteral("patches/data"))
                                        .entryList({QFileInfo(dataFile(i)).fileName() + ".*"});
        if (patches.size() != 1) {
            out << "FAIL: no patch published for " << dataFile(i) << Qt::endl;
            return 1;
        }
        peerScript += QStringLiteral("zstd -q -d --long=31 --patch-from=%1/%2 %3 -o %4/%2 && ")
                          .arg(quoted(peerRoot), dataFile(i),
                               quoted(release + QStringLiteral("patches/data/") + patches[0]),
                               quoted(peerTemp));
    }
    // The files are flushed to disk as the replacement step does.
    peerScript += QStringLiteral("cp %1/data/* %2/data/ && sync %2/data/*")
                      .arg(quoted(peerTemp), quoted(peerRoot));

    std::vector<double> updateTimes;
    std::vector<double> peerTimes;
    UpdateResult last;
    qint64 peakAnon = 0;
    for (int run = 0; run < runs; ++run) {
        last = runUpdate(builder, servers, url, mirrorRoot, QStringLiteral("update"));
        if (last.seconds < 0) {
            out << "FAIL: the update failed\n";
            return 1;
        }
        updateTimes.push_back(last.seconds);
        peakAnon = qMax(peakAnon, last.peakAnonKiB);
        QDir(peerRoot).removeRecursively();
        QDir(peerTemp).removeRecursively();
        QDir().mkpath(peerTemp + QStringLiteral("/data"));
        shell(QStringLiteral("cp -a %1 %2").arg(quoted(oldDir), quoted(peerRoot)));
        ::sync();
        rusage before;
        ::getrusage(RUSAGE_CHILDREN, &before);
        peerTimes.push_back(timedShell(peerScript));
        rusage after;
        ::getrusage(RUSAGE_CHILDREN, &after);
        std::fprintf(stderr, "  peers' CPU: %.2f s user, %.2f s system\n",
                     (after.ru_utime.tv_sec - before.ru_utime.tv_sec)
                         + (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6,
                     (after.ru_stime.tv_sec - before.ru_stime.tv_sec)
                         + (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6);
        out << QString::asprintf("run %d: update %.2f s (peak RssAnon %lld KiB, %lld bytes "
                                 "fetched), zstd -d + cp %.2f s",
                                 run + 1, last.seconds, static_cast<long long>(last.peakAnonKiB),
                                 static_cast<long long>(last.fetchedBytes), peerTimes.back())
            << Qt::endl;
    }
    QDir(peerRoot).removeRecursively();
    QDir(peerTemp).removeRecursively();
    QDir(mirrorRoot).removeRecursively();
    QDir(builder.clientDir(oldVersion)).removeRecursively();
    QDir(builder.clientDir(newVersion)).removeRecursively();

    // One large file: memory must not grow with it.
    ReleaseBuilder large;
    const QString largeMirror = large.path(QStringLiteral("mirror"));
    UpdateResult largeResult;
    if (writeClients(large, 1, 1, largeSize)
        && bench::timedRun(LocalServers::binDir() + QStringLiteral("/mrvpublish"),
                           {QStringLiteral("release"), QStringLiteral("--key"), key,
                            QStringLiteral("--type"), ReleaseBuilder::CLIENT_TYPE,
                            QStringLiteral("--version"), QString::number(newVersion),
                            QStringLiteral("--patch-from"), large.clientDir(oldVersion),
                            large.clientDir(newVersion), largeMirror},
                           QString(), nullptr)
            >= 0) {
        const QString largeUrl = servers.startNginx(largeMirror);
        largeResult = runUpdate(large, servers, largeUrl, largeMirror, QStringLiteral("update"));
    }
    out << QString::asprintf("one file of %lld MiB: update %.2f s, peak RssAnon %lld KiB",
                             static_cast<long long>(largeSize / mebibyte), largeResult.seconds,
                             static_cast<long long>(largeResult.peakAnonKiB))
        << Qt::endl;

    const double fetchedZstd = double(last.fetchedBytes) / double(zstdBytes);
    const double fetchedRsync = double(last.fetchedBytes) / double(rsyncBytes);
    const double update = bench::median(updateTimes) / bench::median(peerTimes);
    const double publish = bench::median(publishTimes) / bench::median(zstdTimes);
    const bool memoryMet = peakAnon > 0 && peakAnon <= anonTargetKiB && largeResult.seconds >= 0
        && largeResult.peakAnonKiB <= anonTargetKiB;
    const bool allMet = fetchedZstd <= fetchedVsZstd && rsyncBytes > 0
        && fetchedRsync <= fetchedVsRsync && update <= updateVsZstd && memoryMet
        && publish <= publishVsZstd;
    out << QString::asprintf("bytes fetched %lld vs zstd --patch-from outputs %lld: ratio %.3f "
                             "(target <= %.1f) %s",
                             static_cast<long long>(last.fetchedBytes),
                             static_cast<long long>(zstdBytes), fetchedZstd, fetchedVsZstd,
                             bench::verdict(fetchedZstd <= fetchedVsZstd))
        << Qt::endl;
    out << QString::asprintf("bytes fetched %lld vs rsync --no-whole-file sent %lld: ratio %.3f "
                             "(target <= %.1f) %s",
                             static_cast<long long>(last.fetchedBytes),
                             static_cast<long long>(rsyncBytes), fetchedRsync, fetchedVsRsync,
                             bench::verdict(rsyncBytes > 0 && fetchedRsync <= fetchedVsRsync))
        << Qt::endl;
    out << QString::asprintf("median of %d runs: update %.2f s vs zstd -d + cp %.2f s: ratio %.2f "
                             "(target <= %.1f) %s",
                             runs, bench::median(updateTimes), bench::median(peerTimes), update,
                             updateVsZstd, bench::verdict(update <= updateVsZstd))
        << Qt::endl;
    out << QString::asprintf("peak RssAnon of the update: %lld KiB, with one %lld MiB file %lld "
                             "KiB (target <= %lld KiB) %s",
                             static_cast<long long>(peakAnon),
                             static_cast<long long>(largeSize / mebibyte),
                             static_cast<long long>(largeResult.peakAnonKiB),
                             static_cast<long long>(anonTargetKiB), bench::verdict(memoryMet))
        << Qt::endl;
    out << QString::asprintf("median of %d runs: mrvpublish release --patch-from %.2f s vs zstd "
                             "-3 --long --patch-from on 2 cores %.2f s: ratio %.2f (target <= "
                             "%.1f) %s",
                             runs, bench::median(publishTimes), bench::median(zstdTimes), publish,
                             publishVsZstd, bench::verdict(publish <= publishVsZstd))
        << Qt::endl;
    out << "load average before " << loadBefore << ", after " << bench::loadAverage() << Qt::endl;
    return allMet ? 0 : 1;
}
