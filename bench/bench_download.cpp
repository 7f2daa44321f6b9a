// Fetches two sets of files from local nginx mirrors with DownloadTaskSpecifications,
// six at a time over two HTTP mirrors, their files made ahead of them as the
// download step makes them, and the same sets with one
// `curl -Z --parallel-max 6` process from the same server, alternating, and
// prints the median time ratio (ours / curl; target <= 1.1) and our peak
// resident memory per set (it must not grow with the file size). Bare GETs
// on Qt's own HTTP stack (a plain QNetworkAccessManager) are timed as well,
// for comparison with the libcurl engine our manager uses.
//
// Usage: bench_download [rounds [small|large|huge [ours]]]   (default: 9 rounds, small
// and large; "huge", 4 files of 512 MiB, only on request, shows that memory stays put;
// "ours" runs only our side, without a ratio, for a profiler to watch)
//
// The files go below QDir::tempPath() (TMPDIR=/dev/shm keeps them in memory).
// On an ext4 file system without a journal, creating a file steps over every
// inode freed in the last few minutes one by one, so shortly after a large
// delete (an earlier run of this benchmark, a test suite) both sides measure
// mostly that, and the ratio drifts towards 1.

#include "benchutil.h"

#include "fileops/diskworker.h"
#include "localservers.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "net/networkaccessmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <malloc.h>
#include <sys/resource.h>

namespace {

struct FileSet
{
    QString name;
    QString dir; // below the version directory
    int count;
    qint64 size;
};

const int version = 1;

bool makeSet(const QString &root, const FileSet &set)
{
    const QString dir = QStringLiteral("%1/%2/%3").arg(root).arg(version).arg(set.dir);
    if (!QDir().mkpath(dir))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 7919) ^ (i >> 9));
    for (int i = 0; i < set.count; ++i) {
        QFile file(QStringLiteral("%1/f%2").arg(dir).arg(i));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (qint64 left = set.size; left > 0;) {
            block[0] = char(i);
            const qint64 n = qMin<qint64>(left, block.size());
            file.write(block.constData(), n);
            left -= n;
        }
    }
    return true;
}

void resetPeakRss()
{
    // Heap the previous runs freed would otherwise count as ours.
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// User plus system CPU seconds of this process or of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every run writes into a new directory; they are removed only after a whole
// set. Deleting thousands of files right before the next run would make the
// file system's inode allocation (which skips just-freed inodes) the thing
// measured, and unevenly so for the two sides.
QString freshDir(const QString &parent, const QString &name)
{
    const QString path = parent + QLatin1Char('/') + name;
    QDir().mkpath(path);
    return path;
}

// Our side: a driver that keeps six downloads running, with the files made
// ahead of them, as the download step does.
double runOurs(const QString &mirrorsIni, const FileSet &set, const QString &outDir, bool &ok)
{
    DiskWorker disk;
    NetworkAccessManager manager;
    // As the engine sets it up without a configured proxy.
    manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    Mirrors mirrors;
    mirrors.initDefault(mirrorsIni, version);

    QEventLoop loop;
    int next = 0;
    int running = 0;
    int done = 0;
    ok = true;
    std::function<void()> startMore = [&] {
        while (running < 6 && next < set.count) {
            const int i = next++;
            disk.reached(i);
            auto *task = new DownloadTaskSpecification(
                &manager, &mirrors, QStringLiteral("%1/f%2").arg(set.dir).arg(i),
                QStringLiteral("%1/f%2").arg(outDir).arg(i), set.size, &manager, 1.0);
            ++running;
            QObject::connect(task, &TaskSpecification::finished, &loop, [&, task] {
                --running;
                ++done;
                task->deleteLater();
                if (done == set.count)
                    loop.quit();
                else
                    startMore();
            });
            QObject::connect(task, &TaskSpecification::canceled, &loop, [&, task] {
                ok = false;
                task->deleteLater();
                loop.quit();
            });
            QObject::connect(task, &TaskSpecification::error, &loop,
                             [](const QString &text) { qWarning("%s", qPrintable(text)); });
            task->execute();
        }
    };

    QElapsedTimer timer;
    timer.start();
    QByteArray names;
    for (int i = 0; i < set.count; ++i)
        DiskWorker::appendName(&names, QStringLiteral("f%1").arg(i));
    disk.makeAhead(outDir, std::move(names));
    QMetaObject::invokeMethod(&loop, startMore, Qt::QueuedConnection);
    loop.exec();
    disk.stopMaking();
    return timer.nsecsElapsed() / 1e9;
}

// Reference: Qt's own HTTP stack (bare GETs on a plain QNetworkAccessManager,
// the body written to the file as it arrives), six at a time from one mirror.
double runPlainQt(const QString &baseUrl, const FileSet &set, const QString &outDir, bool &ok)
{
    QNetworkAccessManager manager;
    QEventLoop loop;
    int next = 0;
    int done = 0;
    ok = true;
    std::function<void()> startOne = [&] {
        const int i = next++;
        auto *file = new QFile(QStringLiteral("%1/f%2").arg(outDir).arg(i));
        file->open(QIODevice::WriteOnly | QIODevice::Truncate);
        QNetworkReply *reply = manager.get(QNetworkRequest(
            QUrl(QStringLiteral("%1/%2/%3/f%4").arg(baseUrl).arg(version).arg(set.dir).arg(i))));
        if (set.size > 1024 * 1024)
            reply->setReadBufferSize(1024 * 1024);
        QObject::connect(reply, &QNetworkReply::readyRead, &loop,
                         [reply, file] { file->write(reply->readAll()); });
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&, reply, file] {
            file->write(reply->readAll());
            ok = ok && reply->error() == QNetworkReply::NoError;
            delete file;
            reply->deleteLater();
            if (++done == set.count)
                loop.quit();
            else if (next < set.count)
                startOne();
        });
    };
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(
        &loop,
        [&] {
            for (int i = 0; i < 6 && next < set.count; ++i)
                startOne();
        },
        Qt::QueuedConnection);
    loop.exec();
    return timer.nsecsElapsed() / 1e9;
}

double runCurl(const QString &baseUrl, const FileSet &set, const QString &outDir,
               const QString &configPath, bool &ok)
{
    QFile config(configPath);
    config.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QTextStream out(&config);
    for (int i = 0; i < set.count; ++i) {
        out << "url = \"" << baseUrl << '/' << version << '/' << set.dir << "/f" << i << "\"\n";
        out << "output = \"" << outDir << "/f" << i << "\"\n";
    }
    out.flush();
    config.close();

    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"),
               {"-Z", "--parallel-max", "6", "--no-progress-meter", "--fail", "-K", configPath});
    ok = curl.waitForFinished(-1) && curl.exitCode() == 0;
    return timer.nsecsElapsed() / 1e9;
}

bool sameFiles(const QString &outDir, const FileSet &set)
{
    QDir dir(outDir);
    const QFileInfoList files = dir.entryInfoList(QDir::Files);
    if (files.size() != set.count)
        return false;
    return std::all_of(files.begin(), files.end(),
                       [&](const QFileInfo &info) { return info.size() == set.size; });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? qMax(1, atoi(argv[1])) : 9;
    const bool oursOnly = argc > 3 && QLatin1String(argv[3]) == QLatin1String("ours");

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench_download-XXXXXX"));
    const QString root = work.filePath(QStringLiteral("mirror"));
    QList<FileSet> sets = {{"2000 x 64 KiB", "small", 2000, 64 * 1024},
                           {"8 x 64 MiB", "large", 8, 64 * 1024 * 1024}};
    if (argc > 2 && QLatin1String(argv[2]) == QLatin1String("huge"))
        sets = {{"4 x 512 MiB", "huge", 4, 512 * 1024 * 1024}};
    else if (argc > 2)
        sets.removeIf([&](const FileSet &set) { return set.dir != QLatin1String(argv[2]); });
    for (const FileSet &set : sets) {
        if (!makeSet(root, set)) {
            fprintf(stderr, "cannot create the file set\n");
            return 1;
        }
    }

    LocalServers servers;
    const QString first = servers.startNginx(root);
    const QString second = servers.startNginx(root);
    if (first.isEmpty() || second.isEmpty()) {
        fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    const QString mirrorsIni = work.filePath(QStringLiteral("mirrors.ini"));
    {
        QFile ini(mirrorsIni);
        ini.open(QIODevice::WriteOnly);
        ini.write(QStringLiteral("[mirrors]\nsize=2\n1\\mirror=one\n2\\mirror=two\n"
                                 "[one]\nurl=%1\n[two]\nurl=%2\n")
                      .arg(first, second)
                      .toUtf8());
    }
    const QString outParent = work.filePath(QStringLiteral("out"));
    int failures = 0;
    QList<double> curlMedians;

    for (const FileSet &set : sets) {
        QList<double> ratios, ours, theirs, ourCpu, ourMainCpu, theirCpu;
        qint64 peak = 0;
        for (int round = 0; round < rounds; ++round) {
            double curlSeconds = 0, ourSeconds = 0;
            const auto measureCurl = [&] {
                bool ok = false;
                const QString outDir
                    = freshDir(outParent, QStringLiteral("curl-%1-%2").arg(set.dir).arg(round));
                const double childCpuBefore = cpuSeconds(RUSAGE_CHILDREN);
                curlSeconds
                    = runCurl(first, set, outDir, work.filePath(QStringLiteral("curl.cfg")), ok);
                theirCpu << cpuSeconds(RUSAGE_CHILDREN) - childCpuBefore;
                if (!ok || !sameFiles(outDir, set)) {
                    fprintf(stderr, "curl failed on %s\n", qPrintable(set.name));
                    ++failures;
                }
            };
            const auto measureOurs = [&] {
                bool ok = false;
                const QString outDir
                    = freshDir(outParent, QStringLiteral("ours-%1-%2").arg(set.dir).arg(round));
                resetPeakRss();
                const double selfCpuBefore = cpuSeconds(RUSAGE_SELF);
                const double mainCpuBefore = cpuSeconds(RUSAGE_THREAD);
                ourSeconds = runOurs(mirrorsIni, set, outDir, ok);
                ourCpu << cpuSeconds(RUSAGE_SELF) - selfCpuBefore;
                ourMainCpu << cpuSeconds(RUSAGE_THREAD) - mainCpuBefore;
                peak = qMax(peak, bench::peakRssKiB());
                if (!ok || !sameFiles(outDir, set)) {
                    fprintf(stderr, "our download failed on %s\n", qPrintable(set.name));
                    ++failures;
                }
            };
            if (oursOnly) {
                measureOurs();
                printf("%-14s round %d: ours %.3f s, CPU %.3f s (main thread %.3f s)\n",
                       qPrintable(set.name), round + 1, ourSeconds, ourCpu.last(),
                       ourMainCpu.last());
                ours << ourSeconds;
                continue;
            }
            // Alternate who goes first, so that drift in the machine's load and
            // the file system's state after a delete falls on both sides.
            if (round % 2) {
                measureOurs();
                measureCurl();
            } else {
                measureCurl();
                measureOurs();
            }
            ours << ourSeconds;
            theirs << curlSeconds;
            ratios << ourSeconds / curlSeconds;
            printf("%-14s round %d: ours %.3f s, curl %.3f s, ratio %.3f\n", qPrintable(set.name),
                   round + 1, ourSeconds, curlSeconds, ourSeconds / curlSeconds);
            fflush(stdout);
        }
        if (oursOnly) {
            printf("%-14s median: ours %.3f s, CPU %.3f s (main thread %.3f s); "
                   "our peak RSS %lld KiB\n",
                   qPrintable(set.name), bench::median(ours), bench::median(ourCpu),
                   bench::median(ourMainCpu), peak);
            QDir(outParent).removeRecursively();
            continue;
        }
        const double ratio = bench::median(ratios);
        printf("%-14s median: ours %.3f s, curl %.3f s, ratio %.3f (target <= 1.1) %s; "
               "CPU ours %.3f s, curl %.3f s; our peak RSS %lld KiB\n",
               qPrintable(set.name), bench::median(ours), bench::median(theirs), ratio,
               ratio <= 1.1 ? "PASS" : "FAIL", bench::median(ourCpu), bench::median(theirCpu),
               peak);
        fflush(stdout);
        curlMedians << bench::median(theirs);
        QDir(outParent).removeRecursively();
    }

    // Qt's own HTTP stack last: what it leaves allocated would count in our
    // peak memory.
    for (int i = 0; i < curlMedians.size(); ++i) {
        const FileSet &set = sets.at(i);
        QList<double> plain;
        for (int round = 0; round < rounds; ++round) {
            bool ok = false;
            const QString outDir
                = freshDir(outParent, QStringLiteral("qt-%1-%2").arg(set.dir).arg(round));
            plain << runPlainQt(first, set, outDir, ok);
            if (!ok || !sameFiles(outDir, set)) {
                fprintf(stderr, "plain Qt failed on %s\n", qPrintable(set.name));
                ++failures;
            }
        }
        printf("%-14s plain Qt GETs: median %.3f s, %.3f x curl's median\n", qPrintable(set.name),
               bench::median(plain), bench::median(plain) / curlMedians.at(i));
        fflush(stdout);
        QDir(outParent).removeRecursively();
    }
    return failures ? 1 : 0;
}
