// The updater itself as players start it, on large installations: every
// start of the game goes through it, and on most starts nothing changed.
// Each run is build/bin/update --nouser TYPE VERSION on Qt's offscreen
// platform, copied into an installation that lists a local nginx twice as a
// mirror (as bench_update's scale set runs it); its time is the whole run's
// wall time less the fixed 3000 ms it waits unattended (2000 ms before the
// update starts, 1000 ms before the client starts), its peak resident size
// the kernel's count as "/usr/bin/time -f %M" gives it.
//
//   noop100k  100,000 files of 4 KiB, all current, page cache warm: runs 2
//             to 4 (the first finds no record of verified files: it reads
//             every file and writes the record), against "md5sum -c" of the
//             same files                   <= 0.25x, peak <= 64 MiB
//   noop1g    2000 files of 1 GiB together, all current, the page cache
//             dropped before each run and before each md5sum: runs 2 to 4
//                                          <= 0.1x
//   full100k  one whole update of 100,000 changed files of 4 KiB, against
//             "curl -Z --parallel-max 6", "md5sum -c" and "cp -R" as in
//             bench_update                 <= 1.0x, peak <= 96 MiB
//   peak8000  three whole updates of 8000 changed files of 4 KiB
//                                          peak <= 48 MiB
// The 100k sets share one release; all sets take about five minutes. Where
// the page cache cannot be dropped (not root, or /proc/sys read-only) noop1g
// says so and is measured warm. A run that should fetch nothing and fetches
// a file (nginx's log says) misses its target.
//
//   bench_bigame [--set noop100k|noop1g|full100k|peak8000]   all, or one

#include "benchrelease.h"
#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const qint64 kibibyte = 1024;
const qint64 gibibyte = kibibyte * kibibyte * kibibyte;
const int oldVersion = bench::PublishedRelease::OLD_VERSION;
const int newVersion = bench::PublishedRelease::NEW_VERSION;
// What an unattended run waits by design: before the update, before the
// client starts.
const double fixedDelaysMs = 2000 + 1000;

const double noopTarget = 0.25;
const double coldNoopTarget = 0.1;
const double fullTarget = 1.0;
const qint64 noopPeakTargetKb = 64 * kibibyte;
const qint64 fullPeakTargetKb = 96 * kibibyte;
const qint64 smallPeakTargetKb = 48 * kibibyte;

// Measured runs per set: the 100k sets take minutes.
const int noopRuns = 3;
const int fullRuns = 1;
const int peakRuns = 3;

// Empties the page cache, as "sync; echo 3 > /proc/sys/vm/drop_caches"
// does; false with the reason where this process may not.
bool dropPageCache(QString *problem)
{
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    const bool dropped = fd >= 0 && ::write(fd, "3\n", 2) == 2;
    if (!dropped)
        *problem = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return dropped;
}

// A release of count files on a local nginx and an installation that lists
// it twice as a mirror, updated by the updater itself.
class Installation
{
public:
    explicit Installation(QTextStream &out)
        : m_out(out)
    { }

    bool prepare(const QString &name, int count, const std::function<qint64(int)> &size)
    {
        m_out << name << ": publishing " << count << " files in " << m_release.path(QString())
              << Qt::endl;
        QElapsedTimer timer;
        timer.start();
        if (!m_release.publish(count, size)
            || !m_release.prepareInstallation({m_release.url(), m_release.url()})
            || !m_release.preparePeerUpdate(m_release.url())) {
            m_out << m_release.errorString() << Qt::endl;
            return false;
        }
        if (!writeInstalledSums()) {
            m_out << "cannot write md5sum's list of the installed files" << Qt::endl;
            return false;
        }
        m_out << QString::asprintf("%s: written and published in %.1f s", qPrintable(name),
                                   timer.elapsed() / 1e3)
              << Qt::endl;
        return true;
    }

    // Writes the installed files of a version over the installation's.
    bool install(int version)
    {
        const bool written = m_release.writeClientFiles(m_release.appRoot(), version);
        ::sync();
        return written;
    }

    struct Run
    {
        double ms = -1; // less the fixed delays
        qint64 peakKb = 0;
        int fetched = 0; // client files nginx sent
    };

    // One run of the updater on the installation as it is. The executable
    // is copied in once: the record of verified files belongs to it.
    Run update()
    {
        Run run;
        const QString systemTemp = m_release.systemTemp();
        QDir(systemTemp).removeRecursively();
        QDir().mkpath(systemTemp);
        const QString updater = m_release.appRoot() + QStringLiteral("/update");
        if (!QFile::exists(updater)
            && !QFile::copy(LocalServers::binDir() + QStringLiteral("/update"), updater))
            return run;
        const int fetchedBefore = fetchedFiles();
        const QString log = m_release.path(QStringLiteral("updater.log"));
        const double seconds = bench::timedRunWithPeak(
            updater,
            {QStringLiteral("--nouser"), ReleaseBuilder::CLIENT_TYPE, QString::number(newVersion)},
            m_release.appRoot(),
            {QStringLiteral("TMPDIR=") + systemTemp, QStringLiteral("QT_QPA_PLATFORM=offscreen")},
            log, &run.peakKb);
        if (seconds < 0) {
            printTail(log);
            return run;
        }
        run.ms = seconds * 1e3 - fixedDelaysMs;
        run.fetched = fetchedFiles() - fetchedBefore;
        return run;
    }

    // "md5sum -c" of the installed files; -1 if it failed.
    double md5sum()
    {
        QElapsedTimer timer;
        timer.start();
        const bool ok = bench::runProgram(QStringLiteral("md5sum"),
                                          {QStringLiteral("-c"), QStringLiteral("--quiet"),
                                           m_release.path(QStringLiteral("installed.md5"))},
                                          m_release.appRoot());
        return ok ? timer.nsecsElapsed() / 1e6 : -1;
    }

    double peers() { return m_release.peerUpdateMs(); }

private:
    // md5sum's list of the installed files, from the peers' list of the
    // downloaded ones ("<md5>  files/<path>").
    bool writeInstalledSums()
    {
        QFile peerSums(m_release.peerSumsFile());
        QFile sums(m_release.path(QStringLiteral("installed.md5")));
        if (!peerSums.open(QIODevice::ReadOnly) || !sums.open(QIODevice::WriteOnly))
            return false;
        QByteArray list = peerSums.readAll();
        list.replace("  " + ReleaseBuilder::FILES_SECTION.toLatin1() + '/', "  ");
        return sums.write(list) == list.size();
    }

    // The client files nginx sent so far, from its access log.
    int fetchedFiles()
    {
        const QByteArray files = '/' + ReleaseBuilder::FILES_SECTION.toLatin1() + '/';
        int count = 0;
        for (const QByteArray &line :
             m_release.servers().nginxAccessLog(m_release.url()).split('\n'))
            count += line.contains(files) ? 1 : 0;
        return count;
    }

    void printTail(const QString &log)
    {
        QFile file(log);
        file.open(QIODevice::ReadOnly);
        m_out << "the updater failed; the end of its log (" << log << "):" << Qt::endl;
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        for (qsizetype i = std::max<qsizetype>(0, lines.size() - 20); i < lines.size(); ++i)
            m_out << "  | " << lines[i] << Qt::endl;
    }

    QTextStream &m_out;
    bench::PublishedRelease m_release;
};

std::function<qint64(int)> smallFiles()
{
    return [](int) {
        return 4 * kibibyte;
    };
}

void failedRun(QTextStream &out, const char *set)
{
    out << set << ": FAILED RUN" << Qt::endl;
}

// An installation of the published version: a first run that records what
// it verified, then runs that find nothing changed, each beside md5sum of
// the same files; cold drops the page cache before each of them.
bool noop(QTextStream &out, Installation &installation, const char *set, bool cold, double target,
          qint64 peakTargetKb)
{
    if (!installation.install(newVersion)) {
        failedRun(out, set);
        return false;
    }
    QString coldProblem;
    if (cold && !dropPageCache(&coldProblem)) {
        out << set << ": cannot drop the page cache (" << coldProblem
            << "): measured with a warm cache" << Qt::endl;
        cold = false;
    }
    const Installation::Run first = installation.update();
    if (first.ms < 0) {
        failedRun(out, set);
        return false;
    }
    out << QString::asprintf("  first run (no record yet: reads every file): %.1f ms, peak %lld "
                             "kB, %d files fetched",
                             first.ms, static_cast<long long>(first.peakKb), first.fetched)
        << "   load " << bench::loadAverage() << Qt::endl;
    if (first.fetched != 0) {
        out << set << ": the installation was current, yet files were fetched" << Qt::endl;
        failedRun(out, set);
        return false;
    }
    // Warm: md5sum reads the files once before it is timed.
    if (!cold && installation.md5sum() < 0) {
        failedRun(out, set);
        return false;
    }
    std::vector<double> updates, sums;
    qint64 peakKb = 0;
    int fetched = 0;
    for (int i = 0; i < noopRuns; ++i) {
        QString problem;
        if (cold)
            dropPageCache(&problem);
        const Installation::Run run = installation.update();
        if (cold)
            dropPageCache(&problem);
        const double sum = installation.md5sum();
        if (run.ms < 0 || sum < 0) {
            failedRun(out, set);
            return false;
        }
        updates.push_back(run.ms);
        sums.push_back(sum);
        peakKb = std::max(peakKb, run.peakKb);
        fetched += run.fetched;
        out << QString::asprintf("  run %d: update %.1f ms, peak %lld kB, %d files fetched; "
                                 "md5sum %.1f ms",
                                 i + 2, run.ms, static_cast<long long>(run.peakKb), run.fetched,
                                 sum)
            << "   load " << bench::loadAverage() << Qt::endl;
    }
    const double update = bench::median(updates);
    const double sum = bench::median(sums);
    const bool speedMet = fetched == 0 && update <= target * sum;
    out << QString::asprintf("%s, median of runs 2-%d, page cache %s: update %.1f ms (less the "
                             "fixed %.0f ms)   md5sum -c %.1f ms   ratio %.2f (target <= %.2f) %s",
                             set, noopRuns + 1, cold ? "dropped" : "warm", update, fixedDelaysMs,
                             sum, update / sum, target, bench::verdict(speedMet))
        << Qt::endl;
    if (fetched != 0)
        out << set << ": the installation was current, yet " << fetched << " files were fetched"
            << Qt::endl;
    if (peakTargetKb == 0)
        return speedMet;
    const bool memoryMet = peakKb > 0 && peakKb <= peakTargetKb;
    out << QString::asprintf("%s: peak resident size of the updater %lld kB, highest of runs "
                             "2-%d (target <= %lld kB) %s",
                             set, static_cast<long long>(peakKb), noopRuns + 1,
                             static_cast<long long>(peakTargetKb), bench::verdict(memoryMet))
        << Qt::endl;
    return speedMet && memoryMet;
}

// Whole updates of the installation from the old version, each beside the
// peers' (unless target is 0).
bool full(QTextStream &out, Installation &installation, const char *set, int count, int runs,
          double target, qint64 peakTargetKb)
{
    std::vector<double> updates, peers;
    qint64 peakKb = 0;
    for (int i = 0; i < runs; ++i) {
        if (!installation.install(oldVersion)) {
            failedRun(out, set);
            return false;
        }
        const Installation::Run run = installation.update();
        const double peer = run.ms < 0 || target == 0 ? 0 : installation.peers();
        if (run.ms < 0 || peer < 0 || run.fetched < count) {
            if (run.ms >= 0)
                out << set << ": " << run.fetched << " of " << count << " files fetched"
                    << Qt::endl;
            failedRun(out, set);
            return false;
        }
        updates.push_back(run.ms);
        peers.push_back(peer);
        peakKb = std::max(peakKb, run.peakKb);
        QString line = QString::asprintf("  run %d: update %.1f ms, peak %lld kB", i + 1, run.ms,
                                         static_cast<long long>(run.peakKb));
        if (target > 0)
            line += QString::asprintf("; curl+md5sum+cp %.1f ms", peer);
        out << line << "   load " << bench::loadAverage() << Qt::endl;
    }
    const double update = bench::median(updates);
    const QByteArray which
        = runs == 1 ? QByteArray("one run") : "median of " + QByteArray::number(runs) + " runs";
    bool met = true;
    if (target > 0) {
        const double peer = bench::median(peers);
        met = update <= target * peer;
        out << QString::asprintf("%s, %s: update %.1f ms (less the fixed %.0f ms)"
                                 "   curl+md5sum+cp %.1f ms   ratio %.2f (target <= %.1f) %s",
                                 set, which.constData(), update, fixedDelaysMs, peer, update / peer,
                                 target, bench::verdict(met))
            << Qt::endl;
    } else {
        out << QString::asprintf("%s, %s: update %.1f ms (less the fixed %.0f ms)", set,
                                 which.constData(), update, fixedDelaysMs)
            << Qt::endl;
    }
    const bool memoryMet = peakKb > 0 && peakKb <= peakTargetKb;
    out << QString::asprintf("%s: peak resident size of the updater %lld kB, %s (target <= "
                             "%lld kB) %s",
                             set, static_cast<long long>(peakKb),
                             runs == 1 ? "one run" : "highest of the runs",
                             static_cast<long long>(peakTargetKb), bench::verdict(memoryMet))
        << Qt::endl;
    return met && memoryMet;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::MainStart start = bench::startMain([](const QStringList &) { return 2; },
                                                    ReleaseBuilder::updaterTrustsDevelopmentKey);
    if (start.exitCode)
        return *start.exitCode;

    QTextStream out(stdout);
    const auto wanted = [&](const char *name) {
        return start.set.isEmpty() || start.set == QLatin1String(name);
    };
    out << "load " << bench::loadAverage() << Qt::endl;
    bool met = true;
    const int manyFiles = 100000;
    if (wanted("noop100k") || wanted("full100k")) {
        Installation installation(out);
        if (!installation.prepare(QStringLiteral("100k"), manyFiles, smallFiles())) {
            failedRun(out, "100k");
            met = false;
        } else {
            if (wanted("noop100k"))
                met = noop(out, installation, "noop100k", false, noopTarget, noopPeakTargetKb)
                    && met;
            if (wanted("full100k"))
                met = full(out, installation, "full100k", manyFiles, fullRuns, fullTarget,
                           fullPeakTargetKb)
                    && met;
        }
    }
    if (wanted("noop1g")) {
        Installation installation(out);
        const bool prepared = installation.prepare(QStringLiteral("noop1g"), 2000,
                                                   bench::spreadSizes(2000, gibibyte));
        if (!prepared)
            failedRun(out, "noop1g");
        met = prepared && noop(out, installation, "noop1g", true, coldNoopTarget, 0) && met;
    }
    if (wanted("peak8000")) {
        Installation installation(out);
        const bool prepared = installation.prepare(QStringLiteral("peak8000"), 8000, smallFiles());
        if (!prepared)
            failedRun(out, "peak8000");
        met = prepared && full(out, installation, "peak8000", 8000, peakRuns, 0, smallPeakTargetKb)
            && met;
    }
    out << "load " << bench::loadAverage() << Qt::endl;
    return met ? 0 : 1;
}
