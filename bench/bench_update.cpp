// Whole updates from a local nginx mirror (two mirror names, six transfers at
// a time) holding a release made by mrvpublish, against the same work done by
// standard tools in the same run: "curl -Z --parallel-max 6" for the
// downloads, "md5sum -c" for the checks and "cp" to put the files in place.
// Each update runs in a child process, whose peak resident size is reported.
//
//   big      2000 changed files, 1 GiB together        update <= 1.0x peers
//   small    4000 changed files of 64 KiB              update <= 1.2x peers
//   scale    2000 and 8000 files of 64 KiB: the time outside the downloading
//            step, per doubling of the count            <= 2.2x; and the
//            updater itself (build/bin/update --nouser, on Qt's offscreen
//            platform) updating the 8000 files, its peak resident size as
//            "/usr/bin/time -f %M" gives it              <= 64 MiB
//   resume   one 256 MiB file, the first run killed at about half: the
//            second run fetches <= 55 % of its bytes
// Besides, the deleting step of the big set against "rm -rf" of the same
// files, and the peak resident size of every update (<= 64 MiB).
//
//   bench_update [--set big|small|scale|resume]   all sets, or the one named
//   bench_update --child APP_ROOT SYSTEM_TEMP
//                         runs one update of APP_ROOT to version 2 and prints
//                         its peak resident size in kB and the milliseconds of
//                         its downloading and its deleting steps

#include "benchrelease.h"
#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

const qint64 mebibyte = 1024 * 1024;
const qint64 gibibyte = 1024 * mebibyte;
const int oldVersion = bench::PublishedRelease::OLD_VERSION;
const int newVersion = bench::PublishedRelease::NEW_VERSION;
const qint64 memoryTargetKb = 64 * 1024;
const double scaleTarget = 2.2;
const double resumeTarget = 0.55;
const qint64 resumeFileSize = 256 * mebibyte;

// One set of client files: how many, and the size of each.
struct FileSet
{
    QString name;
    int count = 0;
    std::function<qint64(int)> size;
    int runs = 3;
    double target = 0; // update time over the peers' at most; 0: not compared
};

FileSet bigSet()
{
    // Sizes between half and one and a half times the mean, 1 GiB together.
    return {QStringLiteral("big"), 2000, bench::spreadSizes(2000, gibibyte), 5, 1.0};
}

FileSet smallSet(int count, double target = 0)
{
    return {QStringLiteral("%1 x 64 KiB").arg(count), count, [](int) { return 64 * 1024; }, 3,
            target};
}

bool writeClient(const QString &dir, const FileSet &set, int version)
{
    return bench::writeClient(dir, set.count, set.size, version);
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
    std::printf("%lld %lld %lld\n", static_cast<long long>(bench::peakRssKiB()),
                static_cast<long long>(run.between(QStringLiteral("Downloading files"),
                                                   QStringLiteral("Starting file updates"))),
                static_cast<long long>(run.between(QStringLiteral("Starting deleting files"),
                                                   QStringLiteral("Remove temporary files"))));
    return 0;
}

// A release of one set on a local nginx, an installation of the old version
// that lists it twice as a mirror, and the peers' lists.
class Bench
{
public:
    explicit Bench(QTextStream &out)
        : m_out(out)
    { }

    bool prepare(const FileSet &set)
    {
        m_out << "set " << set.name << ": preparing in " << path(QString()) << Qt::endl;
        m_set = set;
        if (!m_release.publish(set.count, set.size)
            || !m_release.prepareInstallation({url(), url()})
            || !m_release.preparePeerUpdate(url())) {
            m_out << m_release.errorString() << Qt::endl;
            return false;
        }
        return true;
    }

    QString appRoot() const { return m_release.appRoot(); }
    QString systemTemp() const { return m_release.systemTemp(); }
    QString path(const QString &name) const { return m_release.path(name); }
    QString url() const { return m_release.url(); }
    LocalServers &servers() { return m_release.servers(); }

    struct Update
    {
        double ms = -1;
        qint64 peakKb = 0;
        double downloadMs = -1;
        double deleteMs = -1;
    };

    // One update of the installation of the old version, in a child.
    Update update()
    {
        Update result;
        QDir(systemTemp()).removeRecursively();
        QDir().mkpath(systemTemp());
        if (!writeClient(appRoot(), m_set, oldVersion))
            return result;
        ::sync();
        QByteArray output;
        const double seconds
            = bench::timedChild({QStringLiteral("--child"), appRoot(), systemTemp()}, &output);
        ::sync();
        const QList<QByteArray> fields = output.simplified().split(' ');
        if (seconds < 0 || fields.size() != 3)
            return result;
        result.ms = seconds * 1e3;
        result.peakKb = fields[0].toLongLong();
        result.downloadMs = fields[1].toDouble();
        result.deleteMs = fields[2].toDouble();
        return result;
    }

    // One update of the installation of the old version by the updater
    // itself, as players run it, but unattended and without a display; its
    // peak resident size in KiB, or -1 if it failed.
    qint64 updaterPeakKb()
    {
        QDir(systemTemp()).removeRecursively();
        QDir().mkpath(systemTemp());
        // It works on the directory it lies in.
        const QString updater = appRoot() + QStringLiteral("/update");
        QFile::remove(updater);
        if (!writeClient(appRoot(), m_set, oldVersion)
            || !QFile::copy(LocalServers::binDir() + QStringLiteral("/update"), updater))
            return -1;
        ::sync();
        qint64 peakKb = 0;
        const double seconds = bench::timedRunWithPeak(
            updater,
            {QStringLiteral("--nouser"), ReleaseBuilder::CLIENT_TYPE, QString::number(newVersion)},
            appRoot(),
            {QStringLiteral("TMPDIR=") + systemTemp(), QStringLiteral("QT_QPA_PLATFORM=offscreen")},
            path(QStringLiteral("updater.log")), &peakKb);
        ::sync();
        return seconds < 0 ? -1 : peakKb;
    }

    // The peers on the same installation; -1 if one failed.
    double peers() { return m_release.peerUpdateMs(); }

    // "rm -rf" of the old version's files, as the deleting step finds them.
    double removal()
    {
        const QString dir = path(QStringLiteral("old"));
        if (!writeClient(dir, m_set, oldVersion))
            return -1;
        ::sync();
        QElapsedTimer timer;
        timer.start();
        const bool ok = bench::runProgram(QStringLiteral("rm"), {QStringLiteral("-rf"), dir});
        const double ms = timer.nsecsElapsed() / 1e6;
        ::sync();
        return ok ? ms : -1;
    }

private:
    QTextStream &m_out;
    bench::PublishedRelease m_release;
    FileSet m_set;
};

struct SetResult
{
    bool ok = false;
    double updateMs = 0;
    double peerMs = 0;
    double outsideMs = 0; // update less its downloading step
    double deleteMs = 0;
    double removalMs = 0;
    qint64 peakKb = 0;
    qint64 updaterPeakKb = 0; // the highest of the updater's own runs
};

SetResult measure(QTextStream &out, const FileSet &set, bool withPeers, bool withRemoval,
                  bool withUpdater = false)
{
    SetResult result;
    Bench bench(out);
    if (!bench.prepare(set))
        return result;
    std::vector<double> updates, peers, outside, deletes, removals;
    for (int run = 0; run < set.runs; ++run) {
        const Bench::Update update = bench.update();
        if (update.ms < 0 || update.downloadMs < 0)
            return result;
        updates.push_back(update.ms);
        outside.push_back(update.ms - update.downloadMs);
        deletes.push_back(update.deleteMs);
        result.peakKb = std::max(result.peakKb, update.peakKb);
        QString line = QString::asprintf("  run %d: update %.1f ms (downloading %.1f ms, "
                                         "deleting %.1f ms)",
                                         run + 1, update.ms, update.downloadMs, update.deleteMs);
        if (withPeers) {
            peers.push_back(bench.peers());
            if (peers.back() < 0)
                return result;
            line += QString::asprintf(", peers %.1f ms", peers.back());
        }
        if (withRemoval) {
            removals.push_back(bench.removal());
            if (removals.back() < 0)
                return result;
            line += QString::asprintf(", rm -rf %.1f ms", removals.back());
        }
        out << line << "   load " << bench::loadAverage() << Qt::endl;
    }
    for (int run = 0; withUpdater && run < set.runs; ++run) {
        const qint64 peakKb = bench.updaterPeakKb();
        if (peakKb < 0) {
            out << "the updater failed; its log: " << bench.path(QStringLiteral("updater.log"))
                << Qt::endl;
            return result;
        }
        result.updaterPeakKb = std::max(result.updaterPeakKb, peakKb);
        out << "  run " << run + 1 << ": the updater itself, peak resident size " << peakKb
            << " kB   load " << bench::loadAverage() << Qt::endl;
    }
    result.ok = true;
    result.updateMs = bench::median(updates);
    result.peerMs = bench::median(peers);
    result.outsideMs = bench::median(outside);
    result.deleteMs = bench::median(deletes);
    result.removalMs = bench::median(removals);
    return result;
}

bool compareWithPeers(QTextStream &out, const FileSet &set, bool withRemoval)
{
    const SetResult r = measure(out, set, true, withRemoval);
    if (!r.ok) {
        out << "FAILED RUN\n";
        return false;
    }
    const double ratio = r.updateMs / r.peerMs;
    const bool speedMet = ratio <= set.target;
    const bool memoryMet = r.peakKb > 0 && r.peakKb <= memoryTargetKb;
    out << QString::asprintf("set %s, median of %d runs: update %.1f ms   curl+md5sum+cp %.1f ms"
                             "   ratio %.2f (target <= %.1f) %s",
                             qPrintable(set.name), set.runs, r.updateMs, r.peerMs, ratio,
                             set.target, bench::verdict(speedMet))
        << Qt::endl;
    bool deleteMet = true;
    if (withRemoval) {
        deleteMet = r.deleteMs <= r.removalMs;
        out << QString::asprintf("set %s: deleting step %.1f ms   rm -rf %.1f ms   ratio %.2f "
                                 "(target <= 1.0) %s",
                                 qPrintable(set.name), r.deleteMs, r.removalMs,
                                 r.deleteMs / r.removalMs, bench::verdict(deleteMet))
            << Qt::endl;
    }
    out << QString::asprintf("set %s: peak resident size of the update %lld kB (target <= %lld "
                             "kB) %s",
                             qPrintable(set.name), static_cast<long long>(r.peakKb),
                             static_cast<long long>(memoryTargetKb), bench::verdict(memoryMet))
        << Qt::endl;
    return speedMet && memoryMet && deleteMet;
}

bool scaling(QTextStream &out)
{
    const SetResult few = measure(out, smallSet(2000), false, false);
    const SetResult many = few.ok ? measure(out, smallSet(8000), false, false, true) : SetResult();
    if (!many.ok) {
        out << "FAILED RUN\n";
        return false;
    }
    // Two doublings from 2000 to 8000 files.
    const double perDoubling = std::sqrt(many.outsideMs / few.outsideMs);
    const bool met = perDoubling <= scaleTarget;
    const bool memoryMet = many.peakKb <= memoryTargetKb && few.peakKb <= memoryTargetKb
        && many.updaterPeakKb <= memoryTargetKb;
    out << QString::asprintf("scale: outside the downloading step, 2000 files %.1f ms, 8000 "
                             "files %.1f ms: %.2fx per doubling (target <= %.1f) %s",
                             few.outsideMs, many.outsideMs, perDoubling, scaleTarget,
                             bench::verdict(met))
        << Qt::endl;
    out << QString::asprintf("scale: peak resident size %lld / %lld kB; the updater itself "
                             "(update --nouser, offscreen) for 8000 files %lld kB, highest of "
                             "%d runs (target <= %lld kB) %s",
                             static_cast<long long>(few.peakKb),
                             static_cast<long long>(many.peakKb),
                             static_cast<long long>(many.updaterPeakKb), smallSet(8000).runs,
                             static_cast<long long>(memoryTargetKb), bench::verdict(memoryMet))
        << Qt::endl;
    return met && memoryMet;
}

// The size of the session's copy of the one file, or -1 while there is none.
qint64 partSize(const QString &systemTemp)
{
    QDirIterator it(systemTemp, {QStringLiteral("file0000.bin")}, QDir::Files,
                    QDirIterator::Subdirectories);
    return it.hasNext() ? QFileInfo(it.next()).size() : -1;
}

// The body bytes nginx sent for the file, from its access log.
qint64 bytesSent(const QByteArray &accessLog)
{
    qint64 sum = 0;
    for (const QByteArray &line : accessLog.split('\n')) {
        if (!line.contains("file0000.bin"))
            continue;
        // ... "GET /path HTTP/1.1" status bytes connection requests
        const QList<QByteArray> fields = line.mid(line.lastIndexOf('"') + 1).simplified().split(' ');
        sum += fields.value(1).toLongLong();
    }
    return sum;
}

bool resume(QTextStream &out)
{
    const FileSet set {QStringLiteral("resume"), 1, [](int) { return resumeFileSize; }, 1, 0};
    Bench bench(out);
    if (!bench.prepare(set) || !writeClient(bench.appRoot(), set, oldVersion)) {
        out << "FAILED RUN\n";
        return false;
    }
    QDir().mkpath(bench.systemTemp());
    // The first run is killed once about half the file is on disk.
    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--child"), bench.appRoot(), bench.systemTemp()});
    QElapsedTimer timer;
    timer.start();
    qint64 part = -1;
    while (first.state() != QProcess::NotRunning && timer.elapsed() < 120000) {
        part = partSize(bench.systemTemp());
        if (part >= resumeFileSize / 2)
            break;
        QThread::msleep(5);
    }
    first.kill();
    first.waitForFinished(-1);
    part = partSize(bench.systemTemp());
    const qint64 sentBefore = bytesSent(bench.servers().nginxAccessLog(bench.url()));
    // The second run goes to the end.
    QByteArray output;
    const double seconds = bench::timedChild(
        {QStringLiteral("--child"), bench.appRoot(), bench.systemTemp()}, &output);
    const qint64 sentAfter = bytesSent(bench.servers().nginxAccessLog(bench.url()));
    if (seconds < 0 || part <= 0) {
        out << "FAILED RUN (part " << part << " bytes)\n";
        return false;
    }
    const double share = double(sentAfter - sentBefore) / double(resumeFileSize);
    const bool met = share <= resumeTarget;
    out << QString::asprintf("resume: killed with %lld of %lld bytes on disk; the second run "
                             "fetched %lld bytes, %.1f %% of the file (target <= %.0f %%) %s",
                             static_cast<long long>(part),
                             static_cast<long long>(resumeFileSize),
                             static_cast<long long>(sentAfter - sentBefore), share * 100,
                             resumeTarget * 100, bench::verdict(met))
        << Qt::endl;
    return met;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::MainStart start
        = bench::startMain(child, ReleaseBuilder::updaterTrustsDevelopmentKey);
    if (start.exitCode)
        return *start.exitCode;

    QTextStream out(stdout);
    const QString &only = start.set;
    const auto wanted = [&](const char *name) {
        return only.isEmpty() || only == QLatin1String(name);
    };
    out << "load " << bench::loadAverage() << Qt::endl;
    bool met = true;
    if (wanted("big"))
        met = compareWithPeers(out, bigSet(), true) && met;
    if (wanted("small"))
        met = compareWithPeers(out, smallSet(4000, 1.2), false) && met;
    if (wanted("scale"))
        met = scaling(out) && met;
    if (wanted("resume"))
        met = resume(out) && met;
    out << "load " << bench::loadAverage() << Qt::endl;
    return met ? 0 : 1;
}
