// Whole updates over an emulated access line (accessline.h) in front of a
// local nginx that holds a release made by mrvpublish: the installation lists
// the line twice as a mirror, so both mirrors share its delay and bandwidth.
// Each update runs in a child process, from an installation without client
// files; curl fetches the same files through the same line beside it. The
// line's time is the release's bytes over the line's bandwidth.
//
//   line    the line alone, curl -Z --parallel-max 32 fetching 2000 x 64 KiB
//           through it to /dev/null without a limit and at 100 Mbit/s: it
//           carries >= 95 % of 100 Mbit/s on <= 25 % of a core
//   many    2000 x 64 KiB, 100 Mbit/s, 60 ms, slots=16 on both mirrors and
//           streams=32: update <= 1.3x the line's time; curl with 32
//   large   8 x 64 MiB over the same line, the default settings: update
//           <= 1.05x the line's time; curl with 6
//   resets  12 x 4 MiB, 100 Mbit/s, 40 ms, each connection reset after 1 to
//           4 MiB sent to it: the update succeeds and the line carries
//           <= 1.3x the release's bytes
//   slow    3 x 160 KiB, 24 kbit/s, 300 ms: the update succeeds (about three
//           minutes)
//
//   bench_line [--set line|many|large|resets|slow]   all sets, or the one named
//   bench_line --child APP_ROOT SYSTEM_TEMP
//                         runs one update of APP_ROOT and prints the
//                         milliseconds of its downloading step

#include "accessline.h"
#include "benchrelease.h"
#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextStream>
#include <QUrl>

#include <cstdio>

namespace {

const qint64 kibibyte = 1024;
const qint64 mebibyte = 1024 * kibibyte;
const qint64 megabitPerSecond = 1'000'000;
// The line's own check: the share of its bandwidth it carries for curl at
// least, and the share of a core its thread takes at most.
const double lineRateTarget = 0.95;
const double lineCpuTarget = 0.25;
// A child that runs this much longer than the line's time is stuck.
const int childTimeLimitFactor = 10;
const int childTimeLimitMinMs = 600'000;

struct LineSet
{
    QString name;
    int count = 0;
    qint64 fileSize = 0;
    bench::AccessLine::Parameters line;
    int mirrorSlots = 0; // in each mirror's section of mirrors.ini; 0: not set
    int streams = 0; // in update.ini; 0: not set
    int curlTransfers = 0; // curl beside the update; 0: none
    double timeTarget = 0; // the update's time over the line's, at most
    double bytesTarget = 0; // bytes carried over the release's, at most
};

bench::AccessLine::Parameters line(qint64 bitsPerSecond, int roundTripMs, qint64 resetAfterMin = 0,
                                   qint64 resetAfterMax = 0)
{
    bench::AccessLine::Parameters parameters;
    parameters.bitsPerSecond = bitsPerSecond;
    parameters.roundTripMs = roundTripMs;
    parameters.resetAfterMin = resetAfterMin;
    parameters.resetAfterMax = resetAfterMax;
    return parameters;
}

QList<LineSet> lineSets()
{
    const auto broadband = line(100 * megabitPerSecond, 60);
    return {
        {QStringLiteral("many"), 2000, 64 * kibibyte, broadband, 16, 32, 32, 1.3, 0},
        {QStringLiteral("large"), 8, 64 * mebibyte, broadband, 0, 0, 6, 1.05, 0},
        {QStringLiteral("resets"), 12, 4 * mebibyte,
         line(100 * megabitPerSecond, 40, 1 * mebibyte, 4 * mebibyte), 0, 0, 0, 0, 1.3},
        {QStringLiteral("slow"), 3, 160 * kibibyte, line(24'000, 300), 0, 0, 0, 0, 0},
    };
}

int child(const QStringList &args)
{
    if (args.size() != 4)
        return 2;
    const bench::UpdateRun run
        = bench::runUpdate(args.at(2), args.at(3), ReleaseBuilder::CLIENT_TYPE,
                           bench::PublishedRelease::NEW_VERSION, [](const QString &line) {
                               return !line.startsWith(QLatin1String("Downloading files/"))
                                   && !line.startsWith(QLatin1String("add/replace"))
                                   && !line.startsWith(QLatin1String("Downloading client_"));
                           });
    // The steps printed tell why an update failed: every line but the
    // file-by-file ones is one.
    if (!run.finished)
        return 1;
    std::printf("%lld\n",
                static_cast<long long>(run.between(QStringLiteral("Downloading files"),
                                                   QStringLiteral("Starting file updates"))));
    return 0;
}

quint16 portOf(const QString &url)
{
    return quint16(QUrl(url).port());
}

QString fileSize(qint64 bytes)
{
    return bytes % mebibyte == 0 ? QStringLiteral("%1 MiB").arg(bytes / mebibyte)
                                 : QStringLiteral("%1 KiB").arg(bytes / kibibyte);
}

QString megabytes(qint64 bytes)
{
    return QString::asprintf("%.1f MB", bytes / 1e6);
}

// curl fetching every file of the release through the line with the given
// transfers at a time, per the configuration written before; its seconds, or
// a negative value if it failed.
double curl(int transfers, const QString &configFile)
{
    return bench::timedRun(QStringLiteral("curl"),
                           {QStringLiteral("-Z"), QStringLiteral("--parallel-max"),
                            QString::number(transfers), QStringLiteral("-sSf"),
                            QStringLiteral("--no-progress-meter"), QStringLiteral("--create-dirs"),
                            QStringLiteral("--config"), configFile},
                           QString(), nullptr);
}

// The line alone: what it carries for curl with 32 transfers, and its CPU.
bool lineItself(QTextStream &out)
{
    const int count = 2000;
    const qint64 size = 64 * kibibyte;
    out << "set line: curl -Z --parallel-max 32 of " << count << " x 64 KiB to /dev/null"
        << Qt::endl;
    bench::PublishedRelease release;
    const QString config = release.path(QStringLiteral("curl.conf"));
    if (!release.publish(count, [=](int) { return size; })) {
        out << release.errorString() << "\nFAILED RUN" << Qt::endl;
        return false;
    }
    bool met = true;
    for (const qint64 bits : {qint64(0), 100 * megabitPerSecond}) {
        const auto parameters = line(bits, 0);
        bench::AccessLine accessLine;
        if (!accessLine.start(portOf(release.url()), parameters)
            || !release.writePeerLists(accessLine.url(), QString(), config)) {
            out << accessLine.errorString() << release.errorString() << "\nFAILED RUN" << Qt::endl;
            return false;
        }
        const double seconds = curl(32, config);
        const bench::AccessLine::Counters counters = accessLine.counters();
        if (seconds < 0) {
            out << "curl failed\nFAILED RUN" << Qt::endl;
            return false;
        }
        const double rate = counters.toClients * 8 / seconds;
        const double cpu = counters.cpuSeconds / seconds;
        QString text = QString::asprintf(
            "line: %s, %d connections: %s in %.2f s, %.0f Mbit/s; the line's thread %.2f s CPU, "
            "%.0f %% of a core",
            qPrintable(bench::AccessLine::describe(parameters)), int(counters.connections),
            qPrintable(megabytes(counters.toClients)), seconds, rate / 1e6, counters.cpuSeconds,
            cpu * 100);
        if (bits > 0) {
            const bool rateMet = rate >= lineRateTarget * bits;
            const bool cpuMet = cpu <= lineCpuTarget;
            text += QString::asprintf(" (target >= %.0f %% of the bandwidth %s, <= %.0f %% of "
                                      "a core %s)",
                                      lineRateTarget * 100, bench::verdict(rateMet),
                                      lineCpuTarget * 100, bench::verdict(cpuMet));
            met = met && rateMet && cpuMet;
        }
        out << text << "   load " << bench::loadAverage() << Qt::endl;
    }
    return met;
}

bool measure(QTextStream &out, const LineSet &set)
{
    QString settings;
    if (set.mirrorSlots > 0)
        settings += QStringLiteral("; slots=%1 on both mirrors").arg(set.mirrorSlots);
    if (set.streams > 0)
        settings += QStringLiteral("; streams=%1").arg(set.streams);
    out << "set " << set.name << ": " << set.count << " x " << fileSize(set.fileSize) << " over "
        << bench::AccessLine::describe(set.line) << settings << Qt::endl;
    bench::PublishedRelease release;
    bench::AccessLine accessLine;
    const qint64 size = set.fileSize;
    QVariantMap updateIni;
    if (set.streams > 0)
        updateIni.insert(QStringLiteral("update/streams"), set.streams);
    if (!release.publish(set.count, [=](int) { return size; })
        || !accessLine.start(portOf(release.url()), set.line)
        || !release.prepareInstallation({accessLine.url(), accessLine.url()}, set.mirrorSlots,
                                        updateIni)) {
        out << release.errorString() << accessLine.errorString() << "\nFAILED RUN" << Qt::endl;
        return false;
    }
    const qint64 releaseBytes = release.publishedBytes();
    const double lineSeconds = releaseBytes * 8.0 / set.line.bitsPerSecond;
    out << "  " << release.path(QString()) << ": " << megabytes(releaseBytes)
        << QString::asprintf(" to fetch, the line's time %.2f s", lineSeconds) << Qt::endl;

    QDir().mkpath(release.systemTemp());
    const bench::AccessLine::Counters before = accessLine.counters();
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    const bool updated
        = bench::timedChild(
              {QStringLiteral("--child"), release.appRoot(), release.systemTemp()}, &output,
              std::max(childTimeLimitMinMs, int(lineSeconds * 1000 * childTimeLimitFactor)))
        >= 0;
    const double seconds = timer.nsecsElapsed() / 1e9;
    const bench::AccessLine::Counters after = accessLine.counters();
    const qint64 carried = after.toClients - before.toClients;
    out << QString::asprintf(
        "  update %s in %.2f s (downloading step %s), %.2fx the line's "
        "time; the line carried %s, %.2fx the release, on %lld "
        "connections, %lld reset; its thread %.2f s CPU",
        updated ? "succeeded" : "FAILED", seconds,
        updated ? qPrintable(QString::asprintf("%.2f s", output.trimmed().toDouble() / 1000)) : "-",
        seconds / lineSeconds, qPrintable(megabytes(carried)), double(carried) / releaseBytes,
        static_cast<long long>(after.connections - before.connections),
        static_cast<long long>(after.resets - before.resets), after.cpuSeconds - before.cpuSeconds)
        << "   load " << bench::loadAverage() << Qt::endl;

    QString peer;
    if (set.curlTransfers > 0) {
        const QString config = release.path(QStringLiteral("curl.conf"));
        const double curlSeconds
            = release.writePeerLists(accessLine.url(), release.path(QStringLiteral("peer")), config)
            ? curl(set.curlTransfers, config)
            : -1;
        if (curlSeconds < 0) {
            out << "curl failed\nFAILED RUN" << Qt::endl;
            return false;
        }
        peer = QString::asprintf("; curl -Z --parallel-max %d %.2f s = %.2fx", set.curlTransfers,
                                 curlSeconds, curlSeconds / lineSeconds);
        out << "  " << peer.mid(2) << "   load " << bench::loadAverage() << Qt::endl;
    }

    bool met = updated;
    QString verdict;
    if (set.timeTarget > 0) {
        met = met && seconds / lineSeconds <= set.timeTarget;
        verdict = QString::asprintf("update %.2f s = %.2fx the line's time (target <= %.2f) %s",
                                    seconds, seconds / lineSeconds, set.timeTarget,
                                    bench::verdict(met));
    } else if (set.bytesTarget > 0) {
        met = met && double(carried) / releaseBytes <= set.bytesTarget;
        verdict
            = QString::asprintf("update %s; the line carried %.2fx the release's bytes "
                                "(target: succeeds, <= %.2f) %s",
                                updated ? "succeeded" : "failed", double(carried) / releaseBytes,
                                set.bytesTarget, bench::verdict(met));
    } else {
        verdict = QString::asprintf("update %s in %.1f s, %.2fx the line's time (target: "
                                    "succeeds) %s",
                                    updated ? "succeeded" : "failed", seconds,
                                    seconds / lineSeconds, bench::verdict(met));
    }
    out << "set " << set.name << " (" << bench::AccessLine::describe(set.line) << "): " << verdict
        << peer << Qt::endl;
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
    const QList<LineSet> sets = lineSets();
    if (!only.isEmpty() && only != QLatin1String("line")
        && std::none_of(sets.begin(), sets.end(),
                        [&](const LineSet &set) { return set.name == only; })) {
        out << "no set " << only << Qt::endl;
        return 2;
    }
    out << "load " << bench::loadAverage() << Qt::endl;
    bool met = true;
    if (only.isEmpty() || only == QLatin1String("line"))
        met = lineItself(out) && met;
    for (const LineSet &set : sets) {
        if (only.isEmpty() || only == set.name)
            met = measure(out, set) && met;
    }
    out << "load " << bench::loadAverage() << Qt::endl;
    return met ? 0 : 1;
}
