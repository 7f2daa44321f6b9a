// MD5 check of a large file through CheckSigFunc against md5sum on the same
// file in the same run: throughput ratio (target >= 0.9) and the check's peak
// resident memory (target < 64 MiB).
//
//   bench_md5 [--size MIB] [--dir DIR]
//
// Writes a file of MIB mebibytes (default 1024) of pseudo-random bytes in DIR
// (default: the system's temporary directory), reads it once to settle the
// page cache, then times md5sum and the check alternately, three times each,
// and compares the best runs. Each check runs in a child process of its own
// so that its peak resident size is its own. Exit code 0 when both targets
// are met.

#include "benchutil.h"

#include "fileops/checksigfunc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>
#include <limits>

namespace {

QTextStream out(stdout);

int runChild(const QString &file, const QString &md5)
{
    CheckSigFunc check(file, md5);
    const bool ok = check.run();
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %ld\n", ok ? "ok" : "mismatch", usage.ru_maxrss);
    return ok ? 0 : 1;
}

bool writeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9e3779b97f4a7c15ull;
    for (qint64 written = 0; written < size; written += chunk.size()) {
        auto *words = reinterpret_cast<quint64 *>(chunk.data());
        for (int i = 0; i < chunk.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("--child"))
        return runChild(args[1], args[2]);

    const QHash<QString, QString> options = bench::options(args);
    const qint64 mebibytes
        = options.value(QStringLiteral("--size"), QStringLiteral("1024")).toLongLong();
    QTemporaryDir temp(bench::tempDirTemplate(options.value(QStringLiteral("--dir"))));
    if (!temp.isValid() || mebibytes <= 0) {
        out << "cannot create a temporary directory" << Qt::endl;
        return 2;
    }
    const QString file = temp.filePath(QStringLiteral("payload"));
    const qint64 size = mebibytes * 1024 * 1024;
    out << "writing " << mebibytes << " MiB to " << file << Qt::endl;
    if (!writeFile(file, size)) {
        out << "cannot write " << file << Qt::endl;
        return 2;
    }

    QByteArray output;
    if (bench::timedRun(QStringLiteral("md5sum"), {file}, QString(), &output)
        < 0) { // settles the page cache
        out << "md5sum failed" << Qt::endl;
        return 2;
    }
    const QString md5 = QString::fromLatin1(output.left(32));

    double bestPeer = std::numeric_limits<double>::max();
    double bestCheck = std::numeric_limits<double>::max();
    long peakKiB = 0;
    const QString self = QCoreApplication::applicationFilePath();
    for (int round = 0; round < 3; ++round) {
        const double peer = bench::timedRun(QStringLiteral("md5sum"), {file}, QString(), &output);
        const double check
            = bench::timedRun(self, {QStringLiteral("--child"), file, md5}, QString(), &output);
        if (peer < 0 || check < 0 || !output.startsWith("ok ")) {
            out << "a run failed: " << output << Qt::endl;
            return 2;
        }
        peakKiB = qMax(peakKiB, output.mid(3).trimmed().toLong());
        out << "round " << round + 1 << ": md5sum " << QString::number(peer, 'f', 3)
            << " s, CheckSigFunc " << QString::number(check, 'f', 3) << " s" << Qt::endl;
        bestPeer = qMin(bestPeer, peer);
        bestCheck = qMin(bestCheck, check);
    }

    const double ratio = bestPeer / bestCheck;
    const double peakMiB = peakKiB / 1024.0;
    const bool fastEnough = ratio >= 0.9;
    const bool smallEnough = peakMiB < 64;
    out << "md5sum:       " << QString::number(mebibytes / bestPeer, 'f', 0) << " MiB/s"
        << Qt::endl;
    out << "CheckSigFunc: " << QString::number(mebibytes / bestCheck, 'f', 0) << " MiB/s"
        << Qt::endl;
    out << "throughput ratio CheckSigFunc/md5sum: " << QString::number(ratio, 'f', 2)
        << " (target >= 0.90) " << (fastEnough ? "PASS" : "FAIL") << Qt::endl;
    out << "peak resident memory of the check: " << QString::number(peakMiB, 'f', 1)
        << " MiB (target < 64 MiB) " << (smallEnough ? "PASS" : "FAIL") << Qt::endl;
    return fastEnough && smallEnough ? 0 : 1;
}
