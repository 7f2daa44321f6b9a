#include "benchrelease.h"

#include "benchutil.h"
#include "formats/productini.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <algorithm>

#include <unistd.h>

namespace bench {

namespace {

const int filesPerDirectory = 100;

bool writeClientFile(const QString &path, qint64 size, int index, int version)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    quint64 x
        = 0x9E3779B97F4A7C15ull * quint64(index + 1) + quint64(version) * 0xD1B54A32D192ED03ull;
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 left = size;
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

// mrvpublish as ReleaseBuilder::publish() runs it, but without its limit of
// a minute: a release of 100,000 files takes about half of one on an idle
// machine, and more beside a build.
bool publishRelease(int version, const QString &clientDir, const QString &mirrorRoot,
                    QString *error)
{
    QProcess publisher;
    publisher.start(LocalServers::binDir() + QStringLiteral("/mrvpublish"),
                    {QStringLiteral("release"), QStringLiteral("--key"),
                     LocalServers::sourceDir() + QStringLiteral("/keys/dev_private.key"),
                     QStringLiteral("--type"), ReleaseBuilder::CLIENT_TYPE,
                     QStringLiteral("--version"), QString::number(version), clientDir, mirrorRoot});
    if (publisher.waitForFinished(-1) && publisher.exitStatus() == QProcess::NormalExit
        && publisher.exitCode() == 0)
        return true;
    *error = publisher.error() == QProcess::FailedToStart
        ? publisher.errorString()
        : QString::fromLocal8Bit(publisher.readAllStandardError()).trimmed();
    return false;
}

} // namespace

QString clientFilePath(int index)
{
    return QStringLiteral("data/pack%1/file%2.bin")
        .arg(index / filesPerDirectory, 2, 10, QLatin1Char('0'))
        .arg(index, 4, 10, QLatin1Char('0'));
}

bool writeClient(const QString &dir, int count, const std::function<qint64(int)> &size, int version)
{
    for (int i = 0; i < count; ++i) {
        if (!writeClientFile(dir + QLatin1Char('/') + clientFilePath(i), size(i), i, version))
            return false;
    }
    return true;
}

std::function<qint64(int)> spreadSizes(int count, qint64 total)
{
    const qint64 mean = total / count;
    const auto spread = [mean](int index) {
        return mean / 2 + (qint64(index) * 7919 % 1000) * mean / 1000;
    };
    // The last file takes what is left.
    qint64 last = total;
    for (int i = 0; i < count - 1; ++i)
        last -= spread(i);
    return [=](int index) {
        return index == count - 1 ? last : spread(index);
    };
}

bool PublishedRelease::publish(int count, const std::function<qint64(int)> &size)
{
    if (!m_builder.isValid())
        return fail(QStringLiteral("cannot create a temporary directory"));
    m_count = count;
    m_size = size;
    if (!writeClient(m_builder.clientDir(NEW_VERSION), count, size, NEW_VERSION))
        return fail(QStringLiteral("cannot write the client files"));
    QString error;
    if (!publishRelease(NEW_VERSION, m_builder.clientDir(NEW_VERSION), mirrorRoot(), &error))
        return fail(QStringLiteral("cannot publish the release: ") + error);
    // The mirror holds the files now.
    QDir(m_builder.clientDir(NEW_VERSION)).removeRecursively();
    m_url = m_servers.startNginx(mirrorRoot());
    if (m_url.isEmpty())
        return fail(QStringLiteral("cannot start nginx"));
    return true;
}

qint64 PublishedRelease::publishedBytes() const
{
    qint64 sum = 0;
    QDirIterator it(QStringLiteral("%1/%2").arg(mirrorRoot()).arg(NEW_VERSION), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        sum += it.fileInfo().size();
    }
    return sum;
}

bool PublishedRelease::writeClientFiles(const QString &dir, int version) const
{
    return writeClient(dir, m_count, m_size, version);
}

bool PublishedRelease::prepareInstallation(const QStringList &mirrorUrls, int mirrorSlots,
                                           const QVariantMap &settings)
{
    if (!m_builder.prepareAppRoot(appRoot(), 0, mirrorUrls, settings))
        return fail(m_builder.errorString());
    if (mirrorSlots == 0)
        return true;
    QSettings mirrors(appRoot() + QStringLiteral("/mirrors.ini"), QSettings::IniFormat);
    for (int i = 0; i < mirrorUrls.size(); ++i)
        mirrors.setValue(QStringLiteral("m%1/slots").arg(i + 1), mirrorSlots);
    mirrors.sync();
    return mirrors.status() == QSettings::NoError
        || fail(QStringLiteral("cannot write mirrors.ini"));
}

bool PublishedRelease::writePeerLists(const QString &baseUrl, const QString &outputDir,
                                      const QString &curlConfigFile, const QString &sumsFile)
{
    QSettings ini(ReleaseBuilder::productIniPath(mirrorRoot(), NEW_VERSION), QSettings::IniFormat);
    ini.beginGroup(ReleaseBuilder::FILES_SECTION);
    const QStringList keys = ini.allKeys();
    QFile curlConfig(curlConfigFile);
    QFile sums(sumsFile);
    if (keys.size() != m_count || !curlConfig.open(QIODevice::WriteOnly)
        || (!sumsFile.isEmpty() && !sums.open(QIODevice::WriteOnly)))
        return fail(QStringLiteral("cannot write the peers' lists"));
    const auto fetch = [&](const QString &name) {
        const QString output = outputDir.isEmpty() ? QStringLiteral("/dev/null")
                                                   : outputDir + QLatin1Char('/') + name;
        curlConfig.write(QStringLiteral("url = \"%1/%2/%3\"\noutput = \"%4\"\n")
                             .arg(baseUrl)
                             .arg(NEW_VERSION)
                             .arg(name, output)
                             .toUtf8());
    };
    const QString iniName = ProductIni::iniName(ReleaseBuilder::CLIENT_TYPE);
    fetch(iniName);
    fetch(ProductIni::signatureName(iniName));
    for (const QString &key : keys) {
        const QString file = ReleaseBuilder::FILES_SECTION + QLatin1Char('/') + key;
        fetch(file);
        if (sumsFile.isEmpty())
            continue;
        const QString md5 = ini.value(key).toString().section(QStringLiteral("::"), 0, 0);
        sums.write(QStringLiteral("%1  %2\n").arg(md5, file).toUtf8());
    }
    return true;
}

bool PublishedRelease::preparePeerUpdate(const QString &baseUrl)
{
    return writePeerLists(baseUrl, path(QStringLiteral("peertmp")),
                          path(QStringLiteral("curl.conf")), peerSumsFile());
}

double PublishedRelease::peerUpdateMs()
{
    const QString peerRoot = path(QStringLiteral("peer"));
    const QString peerTemp = path(QStringLiteral("peertmp"));
    QDir(peerRoot).removeRecursively();
    QDir(peerTemp).removeRecursively();
    QDir().mkpath(peerTemp);
    if (!writeClientFiles(peerRoot, OLD_VERSION))
        return -1;
    ::sync();
    QElapsedTimer timer;
    timer.start();
    const bool ok
        = runProgram(QStringLiteral("curl"),
                     {QStringLiteral("-Z"), QStringLiteral("--parallel-max"), QStringLiteral("6"),
                      QStringLiteral("-sSf"), QStringLiteral("--no-progress-meter"),
                      QStringLiteral("--create-dirs"), QStringLiteral("--config"),
                      path(QStringLiteral("curl.conf"))})
        && runProgram(QStringLiteral("md5sum"),
                      {QStringLiteral("-c"), QStringLiteral("--quiet"), peerSumsFile()}, peerTemp)
        && runProgram(QStringLiteral("cp"),
                      {QStringLiteral("-R"), peerTemp + QStringLiteral("/files/."), peerRoot});
    const double ms = timer.nsecsElapsed() / 1e6;
    ::sync();
    return ok ? ms : -1;
}

bool PublishedRelease::fail(const QString &error)
{
    m_error = error;
    return false;
}

} // namespace bench
