#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Lays out one client version on a mirror, as the updater expects it:
// MIRROR_ROOT/<version>/ with every client file below the "files" section
// directory (gzip-compressed, in the five-field form, where a --gzip glob
// matches), the signed product ini "<client type>.ini" (naming its version and
// client type in [General]) with its ".sig", and
// "changelog_client.txt". The release is built under a hidden temporary name
// beside its target and renamed at the end, so a mirror never holds half a
// version. build() runs once; on failure errorString() says why.
class ReleasePublisher
{
public:
    struct Options
    {
        QString keyPath;
        QString clientType;
        QString version;
        QStringList gzipGlobs;
        QString previousDir;
        QString changelogPath;
        QString clientDir;
        QString mirrorRoot;
    };

    // The section, and so the mirror directory, that holds the client files.
    static const QString FILES_SECTION;
    static const QString DELETE_SECTION;
    static const QString CHANGELOG_NAME;
    // Keys of the product ini's [General] section.
    static const QString VERSION_KEY;
    static const QString TYPE_KEY;

    explicit ReleasePublisher(const Options &options);

    bool build();
    QString errorString() const { return m_error; }
    // The version directory, once build() succeeded.
    QString releaseDir() const { return m_releaseDir; }

    // Relative paths of the files below dir, sorted; empty if there are none.
    static QStringList listFiles(const QString &dir);

private:
    bool fail(const QString &error);
    bool checkOptions();
    bool addFile(const QString &stagingDir, const QString &relativePath);
    bool storeFile(const QString &source, const QString &target, QString &md5, qint64 &size);
    bool storeGzipped(const QString &source, const QString &target, QString &md5, qint64 &size,
                      QString &plainMd5, qint64 &plainSize);
    bool writeProductIni(const QString &path, const QStringList &deletes);
    bool isGzipped(const QString &relativePath) const;

    Options m_options;
    QString m_error;
    QString m_releaseDir;
    QMap<QString, QString> m_entries; // product ini key -> value
};
