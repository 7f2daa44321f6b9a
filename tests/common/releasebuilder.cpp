#include "releasebuilder.h"

#include "localservers.h"

#include "fileops/publickey.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

const QString ReleaseBuilder::CLIENT_TYPE = QStringLiteral("client_linux_amd64");
const QString ReleaseBuilder::FILES_SECTION = QStringLiteral("files");

namespace {

const QFile::Permissions plainMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
    | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
const QFile::Permissions executableMode
    = plainMode | QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;

QString keysDir()
{
    return LocalServers::sourceDir() + QStringLiteral("/keys/");
}

QString privateKey()
{
    return keysDir() + QStringLiteral("dev_private.key");
}

// The files an installation needs to be runnable: what the updater marks
// executable after installing them.
bool looksExecutable(const QString &relativePath)
{
    const QFileInfo info(relativePath);
    return info.fileName().startsWith(QLatin1String("mrvclient_"))
        || info.fileName() == QLatin1String("update")
        || info.completeSuffix() == QLatin1String("so")
        || info.completeSuffix() == QLatin1String("so.4");
}

QByteArray versioned(const QByteArray &what, int version, int repeat)
{
    return (what + " of version " + QByteArray::number(version) + "\n").repeated(repeat);
}

QString octal(QFile::Permissions permissions)
{
    // Qt keeps the owner's bits twice (Owner and User); the mode has them once.
    const uint bits = uint(permissions);
    const uint mode = ((bits >> 12) & 07) << 6 | ((bits >> 4) & 07) << 3 | (bits & 07);
    return QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0'));
}

} // namespace

ReleaseBuilder::ReleaseBuilder() = default;

QString ReleaseBuilder::path(const QString &relative) const
{
    return relative.isEmpty() ? m_work.path() : m_work.filePath(relative);
}

bool ReleaseBuilder::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool ReleaseBuilder::updaterTrustsDevelopmentKey()
{
    QFile der(keysDir() + QStringLiteral("dev_public.der"));
    if (!der.open(QIODevice::ReadOnly))
        return false;
    const QByteArray key = der.readAll();
    return key == QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), key.size());
}

ReleaseBuilder::Files ReleaseBuilder::sampleClient(int version)
{
    Files files;
    files.insert(QStringLiteral("mrvclient_linux_amd64"),
                 versioned("\x7f"
                           "ELF client",
                           version, 300));
    files.insert(QStringLiteral("mrvclient_runscript.sh"),
                 "#!/bin/sh\ncd \"$(dirname \"$0\")\" && exec ./mrvclient_linux_amd64 \"$@\"\n");
    files.insert(QStringLiteral("update"), versioned("updater", version, 100));
    files.insert(QStringLiteral("libQtCore.so.4"), QByteArray("Qt core library\n").repeated(200));
    files.insert(QStringLiteral("lib/libgame.so"), versioned("game library", version, 400));
    files.insert(QStringLiteral("data/readme.txt"), "Morvane 3 Client\n");
    files.insert(QStringLiteral("data/textures.pak"), QByteArray("texture block\n").repeated(1500));
    files.insert(QStringLiteral("data/levels/level1.dat"), versioned("level one", version, 800));
    if (version == 1) {
        files.insert(QStringLiteral("data/obsolete.txt"), "dropped after version 1\n");
        files.insert(QStringLiteral("lib/libold.so"), "old plug-in\n");
    } else {
        files.insert(QStringLiteral("data/news.txt"), versioned("news", version, 3));
        files.insert(QStringLiteral("data/levels/level2.dat"),
                     versioned("level two", version, 900));
        files.insert(QStringLiteral("media/music/theme.ogg"), versioned("theme", version, 700));
    }
    return files;
}

QString ReleaseBuilder::clientDir(int version) const
{
    return m_work.filePath(QStringLiteral("clients/%1").arg(version));
}

QString ReleaseBuilder::makeClient(int version, const Files &files)
{
    const QString dir = clientDir(version);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString target = dir + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(target).path());
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(it.value()) != it.value().size()) {
            fail(QStringLiteral("Cannot write %1: %2").arg(target, file.errorString()));
            return QString();
        }
        file.close();
        QFile::setPermissions(target, looksExecutable(it.key()) ? executableMode : plainMode);
    }
    return dir;
}

bool ReleaseBuilder::runPublisher(const QStringList &arguments)
{
    QProcess publisher;
    publisher.start(LocalServers::binDir() + QStringLiteral("/mrvpublish"), arguments);
    if (!publisher.waitForFinished(60000))
        return fail(QStringLiteral("mrvpublish did not finish: %1").arg(publisher.errorString()));
    if (publisher.exitStatus() != QProcess::NormalExit || publisher.exitCode() != 0)
        return fail(QString::fromLocal8Bit(publisher.readAllStandardError()).trimmed());
    return true;
}

bool ReleaseBuilder::publish(int version, const QString &mirrorRoot, const QStringList &gzipGlobs,
                             int previousVersion, const QList<int> &patchFrom)
{
    QStringList arguments {QStringLiteral("release"),
                           QStringLiteral("--key"),
                           privateKey(),
                           QStringLiteral("--type"),
                           CLIENT_TYPE,
                           QStringLiteral("--version"),
                           QString::number(version)};
    for (const QString &glob : gzipGlobs)
        arguments << QStringLiteral("--gzip") << glob;
    if (previousVersion > 0)
        arguments << QStringLiteral("--previous") << clientDir(previousVersion);
    for (int old : patchFrom)
        arguments << QStringLiteral("--patch-from") << clientDir(old);
    arguments << clientDir(version) << mirrorRoot;
    return runPublisher(arguments);
}

bool ReleaseBuilder::sign(const QString &file)
{
    QFile::remove(file + QStringLiteral(".sig"));
    return runPublisher({QStringLiteral("sign"), privateKey(), file});
}

bool ReleaseBuilder::signWithOtherKey(const QString &file)
{
    const QString key = m_work.filePath(QStringLiteral("other.key"));
    if (!QFileInfo::exists(key)
        && !runPublisher({QStringLiteral("keygen"), key, m_work.filePath("other.der")}))
        return false;
    QFile::remove(file + QStringLiteral(".sig"));
    return runPublisher({QStringLiteral("sign"), key, file});
}

QString ReleaseBuilder::productIniPath(const QString &mirrorRoot, int version)
{
    return QStringLiteral("%1/%2/%3.ini").arg(mirrorRoot).arg(version).arg(CLIENT_TYPE);
}

bool ReleaseBuilder::copyTree(const QString &from, const QString &to)
{
    const QDir source(from);
    if (!source.exists())
        return fail(QStringLiteral("No directory %1").arg(from));
    QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        const QString target = to + QLatin1Char('/') + source.relativeFilePath(entry);
        if (it.fileInfo().isDir()) {
            if (!QDir().mkpath(target))
                return fail(QStringLiteral("Cannot create %1").arg(target));
            continue;
        }
        QDir().mkpath(QFileInfo(target).path());
        // QFile::copy keeps the modes.
        if (!QFile::copy(entry, target))
            return fail(QStringLiteral("Cannot copy %1 to %2").arg(entry, target));
    }
    return true;
}

bool ReleaseBuilder::writeMirrorList(const QString &appRoot, const QStringList &mirrorUrls)
{
    QSettings settings(appRoot + QStringLiteral("/mirrors.ini"), QSettings::IniFormat);
    settings.clear();
    settings.beginWriteArray(QStringLiteral("mirrors"), int(mirrorUrls.size()));
    for (int i = 0; i < mirrorUrls.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("mirror"), QStringLiteral("m%1").arg(i + 1));
    }
    settings.endArray();
    for (int i = 0; i < mirrorUrls.size(); ++i)
        settings.setValue(QStringLiteral("m%1/url").arg(i + 1), mirrorUrls[i]);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool ReleaseBuilder::prepareAppRoot(const QString &appRoot, int installedVersion,
                                    const QStringList &mirrorUrls, const QVariantMap &settings)
{
    if (!QDir().mkpath(appRoot))
        return fail(QStringLiteral("Cannot create %1").arg(appRoot));
    if (installedVersion > 0 && !copyTree(clientDir(installedVersion), appRoot))
        return false;
    if (!writeMirrorList(appRoot, mirrorUrls))
        return fail(QStringLiteral("Cannot write mirrors.ini in %1").arg(appRoot));
    QSettings updateIni(appRoot + QStringLiteral("/update.ini"), QSettings::IniFormat);
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        updateIni.setValue(it.key(), it.value());
    updateIni.sync();
    if (updateIni.status() != QSettings::NoError)
        return fail(QStringLiteral("Cannot write update.ini in %1").arg(appRoot));
    return true;
}

QStringList ReleaseBuilder::snapshot(const QString &dir, bool withModes, const QStringList &ignored)
{
    QStringList lines;
    const QDir base(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        const QString relative = base.relativeFilePath(entry);
        if (ignored.contains(relative))
            continue;
        const QFileInfo info = it.fileInfo();
        QString line = relative;
        if (info.isDir())
            line += QLatin1Char('/');
        if (withModes)
            line += QLatin1Char(' ') + octal(info.permissions());
        if (!info.isDir()) {
            QFile file(entry);
            QCryptographicHash hash(QCryptographicHash::Md5);
            if (file.open(QIODevice::ReadOnly) && hash.addData(&file))
                line += QLatin1Char(' ') + QString::fromLatin1(hash.result().toHex());
            else
                line += QStringLiteral(" unreadable");
        }
        lines.append(line);
    }
    lines.sort();
    return lines;
}
