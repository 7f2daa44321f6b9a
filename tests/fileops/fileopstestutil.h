#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTest>

// Content large enough to take several rounds of the unpacking loop, partly
// compressible, the same in every run.
inline QByteArray sampleContent(int size)
{
    QByteArray data;
    data.reserve(size);
    quint32 x = 12345;
    int line = 0;
    while (data.size() < size) {
        data += "line " + QByteArray::number(line++) + ": ";
        for (int i = 0; i < 24; ++i) {
            x = x * 1103515245u + 12345u;
            data += char('a' + (x >> 16) % 26);
        }
        data += '\n';
    }
    data.truncate(size);
    return data;
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

// Compresses source into destination with the system's gzip program.
inline bool gzipFile(const QString &source, const QString &destination)
{
    QProcess gzip;
    gzip.setStandardOutputFile(destination);
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), source});
    return gzip.waitForFinished(30000) && gzip.exitStatus() == QProcess::NormalExit
        && gzip.exitCode() == 0;
}

// A directory in which nothing can be created. Permission bits do not bind
// root, so then /proc stands in for it.
inline QString unwritableDir(const QString &base)
{
    const QString dir = base + QStringLiteral("/readonly");
    QDir().mkpath(dir);
    QFile::setPermissions(dir,
                          QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                              | QFile::ReadOther | QFile::ExeOther);
    QFile probe(dir + QStringLiteral("/probe"));
    if (!probe.open(QIODevice::WriteOnly))
        return dir;
    probe.remove();
    return QStringLiteral("/proc");
}
