// Compiling the file lists of an update over an installation that is already
// current, against md5sum over the same files in the same run: time ratio
// (target <= 1.1).
//
//   bench_filelists [--files N] [--size MIB] [--dir DIR]
//
// Writes an installation of N files (default 5000) of MIB mebibytes in all
// (default 1024) of pseudo-random bytes below DIR (default: the system's
// temporary directory), with a product ini listing every file with its MD5
// sum, reads every file once to settle the page cache, then times md5sum over
// all files and the list step alternately, three times each, and compares the
// best runs. Each list step runs in a child process of its own, as md5sum
// does. Exit code 0 when the target is met.

#include "benchutil.h"

#include "app/configuration.h"
#include "formats/productini.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstring>
#include <limits>

namespace {

QTextStream out(stdout);

const QString clientType = QStringLiteral("client_linux_amd64");

// Runs the list step over the installation as the update does, and prints
// the lengths of the three lists.
int runChild(const QString &appRoot, const QString &tempDir)
{
    Configuration::setAppRootPath(appRoot);
    Configuration configuration;
    configuration.m_clientType = clientType;
    configuration.m_tempDir = tempDir;
    FileSpecifications lists;
    RunSettings settings = configuration.settings();
    settings.sessionDir = tempDir;
    MakeDownloadReplaceListTaskSpecification task(settings, lists, nullptr, 1.0);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    task.execute();
    loop.exec();
    out << (task.state == Finished ? "ok " : "failed ") << lists.downloads.size() << ' '
        << lists.replaces.size() << ' ' << lists.deletes.size() << Qt::endl;
    return task.state == Finished ? 0 : 1;
}

quint64 nextRandom(quint64 &state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Writes the installation and the product ini; returns the relative paths.
QStringList writeInstallation(const QString &appRoot, const QString &tempDir, int count,
                              qint64 totalSize)
{
    QStringList files;
    QByteArray ini = "[files]\n";
    quint64 state = 0x9e3779b97f4a7c15ull;
    const qint64 base = totalSize / count;
    qint64 written = 0;
    qint64 deviation = 0;
    QByteArray chunk;
    for (int i = 0; i < count; ++i) {
        // Pairs of files vary around the mean in opposite directions, so the
        // sizes add up to the total; the last file takes what is left.
        qint64 size = base;
        if (i == count - 1) {
            size = totalSize - written;
        } else if (i % 2 == 0) {
            deviation = qint64(nextRandom(state) % quint64(base)) - base / 2;
            size = base + deviation;
        } else {
            size = base - deviation;
        }
        const QString path = QStringLiteral("dir%1/file%2.dat")
                                 .arg(i % 50, 2, 10, QLatin1Char('0'))
                                 .arg(i, 4, 10, QLatin1Char('0'));
        QDir().mkpath(appRoot + QStringLiteral("/dir%1").arg(i % 50, 2, 10, QLatin1Char('0')));
        QFile file(appRoot + QLatin1Char('/') + path);
        if (!file.open(QIODevice::WriteOnly))
            return QStringList();
        chunk.resize(size);
        auto *bytes = reinterpret_cast<unsigned char *>(chunk.data());
        for (qint64 b = 0; b < size; b += 8) {
            const quint64 word = nextRandom(state);
            memcpy(bytes + b, &word, size_t(qMin<qint64>(8, size - b)));
        }
        if (file.write(chunk) != size)
            return QStringList();
        written += size;
        ini += path.toUtf8() + '='
            + QCryptographicHash::hash(chunk, QCryptographicHash::Md5).toHex()
            + "::" + QByteArray::number(size) + '\n';
        files.append(path);
    }
    QFile product(tempDir + QLatin1Char('/') + ProductIni::iniName(clientType));
    if (!product.open(QIODevice::WriteOnly) || product.write(ini) != ini.size())
        return QStringList();
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args[0] == QLatin1String("--child"))
        return runChild(args[1], args[2]);

    const QHash<QString, QString> options = bench::options(args);
    const int count = options.value(QStringLiteral("--files"), QStringLiteral("5000")).toInt();
    const qint64 mebibytes
        = options.value(QStringLiteral("--size"), QStringLiteral("1024")).toLongLong();
    QTemporaryDir temp(bench::tempDirTemplate(options.value(QStringLiteral("--dir"))));
    if (!temp.isValid() || count <= 0 || mebibytes <= 0) {
        out << "cannot create a temporary directory" << Qt::endl;
        return 2;
    }
    const QString appRoot = temp.filePath(QStringLiteral("root"));
    const QString tempDir = temp.filePath(QStringLiteral("download"));
    QDir().mkpath(appRoot);
    QDir().mkpath(tempDir);
    out << "writing " << count << " files, " << mebibytes << " MiB, to " << appRoot << Qt::endl;
    const QStringList files = writeInstallation(appRoot, tempDir, count, mebibytes * 1024 * 1024);
    if (files.size() != count) {
        out << "cannot write the installation" << Qt::endl;
        return 2;
    }

    QByteArray output;
    const QString md5sum = QStringLiteral("md5sum");
    if (bench::timedRun(md5sum, files, appRoot, &output) < 0) { // settles the page cache
        out << "md5sum failed" << Qt::endl;
        return 2;
    }

    double bestPeer = std::numeric_limits<double>::max();
    double bestList = std::numeric_limits<double>::max();
    const QString self = QCoreApplication::applicationFilePath();
    const QByteArray allCurrent = "ok 0 0 0\n";
    for (int round = 0; round < 3; ++round) {
        const double peer = bench::timedRun(md5sum, files, appRoot, &output);
        if (peer < 0 || output.count('\n') != count) {
            out << "md5sum failed" << Qt::endl;
            return 2;
        }
        const double list = bench::timedRun(self, {QStringLiteral("--child"), appRoot, tempDir},
                                            appRoot, &output);
        if (list < 0 || output != allCurrent) {
            out << "the list step failed or listed files: " << output << Qt::endl;
            return 2;
        }
        out << "round " << round + 1 << ": md5sum " << QString::number(peer, 'f', 3)
            << " s, file lists " << QString::number(list, 'f', 3) << " s" << Qt::endl;
        bestPeer = qMin(bestPeer, peer);
        bestList = qMin(bestList, list);
    }

    const double ratio = bestList / bestPeer;
    const bool fastEnough = ratio <= 1.1;
    out << "md5sum:     " << QString::number(mebibytes / bestPeer, 'f', 0) << " MiB/s" << Qt::endl;
    out << "file lists: " << QString::number(mebibytes / bestList, 'f', 0) << " MiB/s" << Qt::endl;
    out << "time ratio file lists/md5sum: " << QString::number(ratio, 'f', 2)
        << " (target <= 1.10) " << (fastEnough ? "PASS" : "FAIL") << Qt::endl;
    return fastEnough ? 0 : 1;
}
