// A whole update of 2000 changed files, 1 GiB together, from a local nginx
// mirror holding a release made by mrvpublish, against the same work done by
// standard tools in the same run: "curl -Z --parallel-max 6" for the
// downloads, "md5sum -c" for the checks and "cp" to put the files in place.
// The update runs in a child process, whose peak resident size is reported.
//
//   bench_update          runs the benchmark
//   bench_update --child APP_ROOT SYSTEM_TEMP
//                         runs one update of APP_ROOT to version 2 and prints
//                         its peak resident size in kB

#include "benchutil.h"

#include "localservers.h"
#include "releasebuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTextStream>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const qint64 gibibyte = 1024 * 1024 * 1024;
const int fileCount = 2000;
const int filesPerDirectory = 100;
const int oldVersion = 1;
const int newVersion = 2;
const int runs = 5;
const double speedTarget = 1.3;
const qint64 memoryTargetKb = 100 * 1024;

QString relativePath(int index)
{
    return QStringLiteral("data/pack%1/file%2.bin")
        .arg(index / filesPerDirectory, 2, 10, QLatin1Char('0'))
        .arg(index, 4, 10, QLatin1Char('0'));
}

qint64 fileSize(int index)
{
    // Sizes between half and one and a half times the mean, 1 GiB together.
    const qint64 mean = gibibyte / fileCount;
    if (index == fileCount - 1) {
        qint64 rest = gibibyte;
        for (int i = 0; i < fileCount - 1; ++i)
            rest -= fileSize(i);
        return rest;
    }
    return mean / 2 + (qint64(index) * 7919 % 1000) * mean / 1000;
}

// Incompressible content, different for each file and version.
bool writeClientFile(const QString &path, int index, int version)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    quint64 x
        = 0x9E3779B97F4A7C15ull * quint64(index + 1) + quint64(version) * 0xD1B54A32D192ED03ull;
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 left = fileSize(index);
    while (left > 0) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (size_t i = 0; i < block.size() / sizeof(quint64); ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            words[i] = x;
        }
        const qint64 n = std::min<qint64>(left, block.size());
        if (file.write(block.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

bool writeClient(const QString &dir, int version)
{
    for (int i = 0; i < fileCount; ++i) {
        if (!writeClientFile(dir + QLatin1Char('/') + relativePath(i), i, version))
            return false;
    }
    return true;
}

int child(const QStringList &args)
{
    if (args.size() != 4)
        return 2;
    const bench::UpdateRun run = bench::runUpdate(
        args.at(2), args.at(3), ReleaseBuilder::CLIENT_TYPE, newVersion, [](const QString &line) {
            return !line.startsWith(QLatin1String("Downloading files/"))
                && !line.startsWith(QLatin1String("add/replace"))
                && !line.startsWith(QLatin1String("Downloading client_"));
        });
    if (!run.finished) {
        bench::printLog(run.log);
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(bench::peakRssKiB()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--child"))
        return child(args);

    QTextStream out(stdout);
    if (!ReleaseBuilder::updaterTrustsDevelopmentKey()) {
        out << "built with another public key than the development key\n";
        return 1;
    }
    ReleaseBuilder builder;
    if (!builder.isValid()) {
        out << "cannot create a temporary directory\n";
        return 1;
    }
    const QString mirrorRoot = builder.path(QStringLiteral("mirror"));
    const QString appRoot = builder.path(QStringLiteral("app"));
    const QString systemTemp = builder.path(QStringLiteral("tmp"));
    const QString peerRoot = builder.path(QStringLiteral("peer"));
    const QString peerTemp = builder.path(QStringLiteral("peertmp"));
    out << "preparing " << fileCount << " files of " << gibibyte / (1024 * 1024) << " MiB in "
        << builder.path() << Qt::endl;
    if (!writeClient(builder.clientDir(newVersion), newVersion)
        || !builder.publish(newVersion, mirrorRoot)) {
        out << "cannot publish the release: " << builder.errorString() << Qt::endl;
        return 1;
    }
    // The client directory is no longer needed; the mirror holds the files.
    QDir(builder.clientDir(newVersion)).removeRecursively();

    LocalServers servers;
    const QString url = servers.startNginx(mirrorRoot);
    if (url.isEmpty() || !builder.prepareAppRoot(appRoot, 0, {url})) {
        out << "cannot start nginx or prepare the installation\n";
        return 1;
    }

    // The peers' lists: every file of the product ini, as curl fetches and
    // md5sum checks them.
    const QString release = QStringLiteral("%1/%2/").arg(mirrorRoot).arg(newVersion);
    QSettings ini(ReleaseBuilder::productIniPath(mirrorRoot, newVersion), QSettings::IniFormat);
    ini.beginGroup(ReleaseBuilder::FILES_SECTION);
    const QStringList keys = ini.allKeys();
    QFile curlConfig(builder.path(QStringLiteral("curl.conf")));
    QFile sums(builder.path(QStringLiteral("sums.md5")));
    if (keys.size() != fileCount || !curlConfig.open(QIODevice::WriteOnly)
        || !sums.open(QIODevice::WriteOnly)) {
        out << "cannot write the peers' lists\n";
        return 1;
    }
    const QString iniName = ReleaseBuilder::CLIENT_TYPE + QStringLiteral(".ini");
    for (const QString &name : {iniName, iniName + QStringLiteral(".sig")}) {
        curlConfig.write(QStringLiteral("url = \"%1/%2/%3\"\noutput = \"%4/%3\"\n")
                             .arg(url)
                             .arg(newVersion)
                             .arg(name, peerTemp)
                             .toUtf8());
    }
    for (const QString &key : keys) {
        const QString path = ReleaseBuilder::FILES_SECTION + QLatin1Char('/') + key;
        curlConfig.write(QStringLiteral("url = \"%1/%2/%3\"\noutput = \"%4/%3\"\n")
                             .arg(url)
                             .arg(newVersion)
                             .arg(path, peerTemp)
                             .toUtf8());
        const QString md5 = ini.value(key).toString().section(QStringLiteral("::"), 0, 0);
        sums.write(QStringLiteral("%1  %2\n").arg(md5, path).toUtf8());
    }
    curlConfig.close();
    sums.close();

    std::vector<double> updateTimes;
    std::vector<double> peerTimes;
    qint64 peakKb = 0;
    bool ok = true;
    for (int run = 0; run < runs && ok; ++run) {
        // The updater, on an installation of the old version.
        QDir(systemTemp).removeRecursively();
        QDir().mkpath(systemTemp);
        ok = writeClient(appRoot, oldVersion);
        ::sync();
        QByteArray output;
        const double updateSeconds
            = bench::timedChild({QStringLiteral("--child"), appRoot, systemTemp}, &output);
        ok = ok && updateSeconds >= 0;
        updateTimes.push_back(updateSeconds * 1e3);
        peakKb = std::max(peakKb, output.trimmed().toLongLong());
        ::sync();

        // The peers, on the same installation.
        QDir(peerRoot).removeRecursively();
        QDir(peerTemp).removeRecursively();
        QDir().mkpath(peerTemp);
        ok = ok && writeClient(peerRoot, oldVersion);
        ::sync();
        QElapsedTimer timer;
        timer.start();
        ok = ok
            && bench::runProgram(QStringLiteral("curl"),
                                 {QStringLiteral("-Z"), QStringLiteral("--parallel-max"),
                                  QStringLiteral("6"), QStringLiteral("-sSf"),
                                  QStringLiteral("--no-progress-meter"),
                                  QStringLiteral("--create-dirs"), QStringLiteral("--config"),
                                  curlConfig.fileName()})
            && bench::runProgram(QStringLiteral("md5sum"),
                                 {QStringLiteral("-c"), QStringLiteral("--quiet"), sums.fileName()},
                                 peerTemp)
            && bench::runProgram(
                 QStringLiteral("cp"),
                 {QStringLiteral("-R"), peerTemp + QStringLiteral("/files/."), peerRoot});
        peerTimes.push_back(timer.nsecsElapsed() / 1e6);
        ::sync();
        out << QString::asprintf("run %d: update %.1f ms, peers %.1f ms", run + 1,
                                 updateTimes.back(), peerTimes.back())
            << Qt::endl;
    }
    if (!ok) {
        out << "FAILED RUN\n";
        return 1;
    }

    const double updateMs = bench::median(updateTimes);
    const double peerMs = bench::median(peerTimes);
    const double ratio = updateMs / peerMs;
    const bool speedMet = ratio <= speedTarget;
    const bool memoryMet = peakKb > 0 && peakKb < memoryTargetKb;
    out << QString::asprintf("median of %d runs: update %.1f ms   curl+md5sum+cp %.1f ms   "
                             "ratio %.2f (target <= %.1f) %s",
                             runs, updateMs, peerMs, ratio, speedTarget, speedMet ? "ok" : "MISSED")
        << Qt::endl;
    out << QString::asprintf("peak resident size of the update: %lld kB (target < %lld kB) %s",
                             static_cast<long long>(peakKb), static_cast<long long>(memoryTargetKb),
                             memoryMet ? "ok" : "MISSED")
        << Qt::endl;
    return speedMet && memoryMet ? 0 : 1;
}
