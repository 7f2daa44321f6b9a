// Copy and gunzip of a large file through the tasks, against cp and
// "gzip -dc >" of the same file in the same run, each followed by "sync" of
// the new file (the tasks flush theirs to disk before it takes its name), and
// the peak memory of both tasks for two file sizes, measured in child
// processes.
//
//   bench_fileops            runs the benchmark
//   bench_fileops --child copy|unzip SOURCE DESTINATION
//                            runs one task and prints its peak resident size

#include "benchutil.h"

#include "fileops/filecopytaskspecification.h"
#include "fileops/fileunziptaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const qint64 mebibyte = 1024 * 1024;
const qint64 largeSize = 256 * mebibyte;
const qint64 smallSize = 64 * mebibyte;
const int runs = 5;
const double speedTarget = 1.2;
const double memoryTarget = 1.1;

// Runs one task to its end on this thread's event loop; true if it finished.
bool runTask(bool unzip, const QString &source, const QString &destination)
{
    QScopedPointer<SlowFileOpSpecification> task;
    if (unzip)
        task.reset(new FileUnzipTaskSpecification(nullptr, source, destination, nullptr, 1));
    else
        task.reset(new FileCopyTaskSpecification(nullptr, source, destination, nullptr, 1));
    QEventLoop loop;
    QObject::connect(task.data(), &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(task.data(), &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    task->execute();
    loop.exec();
    return task->state == Finished;
}

// Binary-like content: runs of noise between repeated records; gzip packs it
// to about a third.
bool writeSample(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(mebibyte, Qt::Uninitialized);
    quint32 x = 2463534242u;
    qint64 written = 0;
    while (written < size) {
        char *p = block.data();
        for (int i = 0; i < block.size(); ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            p[i] = (i / 64) % 3 == 0 ? char(x) : char("morvane record "[i % 15]);
        }
        if (file.write(block) != block.size())
            return false;
        written += block.size();
    }
    return true;
}

// Times fn once; the destination is removed and the page cache's dirty data
// written out before, so that no run pays for another's writes.
double timeOnce(const QString &destination, const std::function<bool()> &fn, bool *ok)
{
    QFile::remove(destination);
    ::sync();
    QElapsedTimer timer;
    timer.start();
    if (!fn())
        *ok = false;
    const double ms = timer.nsecsElapsed() / 1e6;
    ::sync();
    return ms;
}

struct Comparison
{
    double taskMs;
    double peerMs;
    bool ok;
};

// Alternates task and peer so that both meet the same cache state.
Comparison compare(const std::function<bool()> &task, const std::function<bool()> &peer,
                   const QString &destination)
{
    std::vector<double> taskTimes;
    std::vector<double> peerTimes;
    bool ok = true;
    for (int i = 0; i < runs; ++i) {
        taskTimes.push_back(timeOnce(destination, task, &ok));
        peerTimes.push_back(timeOnce(destination, peer, &ok));
    }
    QFile::remove(destination);
    return {bench::median(taskTimes), bench::median(peerTimes), ok};
}

// Peak resident size in kB of a child that runs one task.
qint64 childPeakKb(const QString &operation, const QString &source, const QString &destination)
{
    QFile::remove(destination);
    QByteArray output;
    if (bench::timedChild({QStringLiteral("--child"), operation, source, destination}, &output) < 0)
        return -1;
    QFile::remove(destination);
    return output.trimmed().toLongLong();
}

int child(const QStringList &args)
{
    if (args.size() != 5)
        return 2;
    if (!runTask(args.at(2) == QLatin1String("unzip"), args.at(3), args.at(4)))
        return 1;
    std::printf("%lld\n", static_cast<long long>(bench::peakRssKiB()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bench::MainStart start = bench::startMain(child);
    if (start.exitCode)
        return *start.exitCode;

    QTextStream out(stdout);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        out << "cannot create a temporary directory\n";
        return 1;
    }
    const QString large = dir.filePath(QStringLiteral("large.bin"));
    const QString small = dir.filePath(QStringLiteral("small.bin"));
    const QString destination = dir.filePath(QStringLiteral("out.bin"));
    out << "preparing " << largeSize / mebibyte << " MiB and " << smallSize / mebibyte
        << " MiB files in " << dir.path() << Qt::endl;
    if (!writeSample(large, largeSize) || !writeSample(small, smallSize)
        || !bench::runProgram(QStringLiteral("gzip"),
                              {QStringLiteral("-k"), QStringLiteral("-n"), large})
        || !bench::runProgram(QStringLiteral("gzip"),
                              {QStringLiteral("-k"), QStringLiteral("-n"), small})) {
        out << "cannot prepare the data files\n";
        return 1;
    }
    const QString largeGz = large + QStringLiteral(".gz");
    const QString smallGz = small + QStringLiteral(".gz");
    out << "compressed: " << QFile(largeGz).size() / mebibyte << " MiB" << Qt::endl;

    bool pass = true;
    auto report = [&](const char *what, const char *peer, const Comparison &c) {
        const double ratio = c.taskMs / c.peerMs;
        const bool met = c.ok && ratio <= speedTarget;
        pass = pass && met;
        out << QString::asprintf("%-7s task %8.1f ms   %-10s %8.1f ms   ratio %.2f (target <= "
                                 "%.1f) %s",
                                 what, c.taskMs, peer, c.peerMs, ratio, speedTarget,
                                 !c.ok     ? "FAILED RUN"
                                     : met ? "ok"
                                           : "MISSED")
            << Qt::endl;
    };

    out << "median of " << runs << " runs, " << largeSize / mebibyte << " MiB:" << Qt::endl;
    const auto flushed = [&] {
        return bench::runProgram(QStringLiteral("sync"), {destination});
    };
    report(
        "copy", "cp+sync",
        compare(
            [&] { return runTask(false, large, destination); },
            [&] {
                return bench::runProgram(QStringLiteral("cp"), {large, destination}) && flushed();
            },
            destination));
    report("gunzip", "gzip+sync",
           compare([&] { return runTask(true, largeGz, destination); },
                   [&] {
                       return bench::runProgram(QStringLiteral("gzip"),
                                                {QStringLiteral("-dc"), largeGz}, QString(),
                                                destination)
                           && flushed();
                   },
                   destination));

    out << "peak resident size of a child running one task:" << Qt::endl;
    const struct
    {
        const char *name;
        QString smallSource;
        QString largeSource;
    } memoryCases[] = {{"copy", small, large}, {"unzip", smallGz, largeGz}};
    for (const auto &c : memoryCases) {
        const qint64 smallKb = childPeakKb(QLatin1String(c.name), c.smallSource, destination);
        const qint64 largeKb = childPeakKb(QLatin1String(c.name), c.largeSource, destination);
        const double ratio = smallKb > 0 ? double(largeKb) / smallKb : 0;
        const bool met = smallKb > 0 && largeKb > 0 && ratio <= memoryTarget;
        pass = pass && met;
        out << QString::asprintf(
            "%-7s %lld MiB: %lld kB   %lld MiB: %lld kB   ratio %.2f "
            "(target <= %.1f, constant in the file size) %s",
            c.name, static_cast<long long>(smallSize / mebibyte), static_cast<long long>(smallKb),
            static_cast<long long>(largeSize / mebibyte), static_cast<long long>(largeKb), ratio,
            memoryTarget, met ? "ok" : "MISSED")
            << Qt::endl;
    }
    return pass ? 0 : 1;
}
