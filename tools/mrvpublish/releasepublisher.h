#pragma once

#include <QList>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

// Lays out one client version on a mirror, as the updater expects it:
// MIRROR_ROOT/<version>/ with every client file below the "files" section
// directory (gzip-compressed, in the five-field form, where a --gzip glob
// matches), the signed product ini "<client type>.ini" (naming its version and
// client type in [General]) with its ".sig", and
// "changelog_client.txt". With earlier client trees to patch from, zstd
// patches "patches/<key>.<old md5>.zst" and their list "<client type>.patches",
// named with its MD5 sum and size in [General]. Files are stored and patches
// made on every core. The "delete" section lists every file that a release of
// the same client type already below the mirror root installs or deletes, or
// that an earlier client tree holds, and this version lacks; a release whose
// "delete" section would name a file that the updater needs in the
// application root fails, and so does a --gzip glob that matches no file.
// Every file and directory of the client directory is read whole, or the
// release fails. The release is built under a hidden temporary name beside its target and
// renamed at the end, so a mirror never holds half a version; those of runs
// that were killed go at the next run. build() runs once; on failure
// errorString() says why.
class EarlierReleases;
class RsaKey;

class ReleasePublisher
{
public:
    struct Options
    {
        QString keyPath;
        QString clientType;
        QString version;
        QStringList gzipGlobs;
        // Earlier client trees whose releases are not below mirrorRoot.
        QStringList previousDirs;
        QString changelogPath;
        QString clientDir;
        QString mirrorRoot;
        QStringList patchFromDirs;
        // Publish a symbolic link in clientDir as what it leads to, when that
        // lies inside clientDir; without it, any link is refused.
        bool followLinks = false;
        // Files and bytes done, shown on standard error when it is a terminal.
        bool showProgress = false;
    };

    explicit ReleasePublisher(const Options &options);

    bool build();
    QString errorString() const { return m_error; }
    // The version directory, once build() succeeded.
    QString releaseDir() const { return m_releaseDir; }
    // Lines for the publisher, once build() succeeded: what the release
    // holds and saves, and warnings.
    const QStringList &summary() const { return m_summary; }
    const QStringList &warnings() const { return m_warnings; }

    // Why text cannot name a version, or an empty string.
    static QString versionFault(const QString &text);
    // True for the key pair in keys/, whose private half is public.
    static bool isDevelopmentKey(RsaKey &key);
    static QString developmentKeyWarning(const QString &keyPath);

private:
    struct FileJob;
    class Progress;

    bool fail(const QString &error);
    bool checkOptions();
    bool planFile(const QString &relativePath, FileJob &job);
    void runJob(FileJob &job, const QString &stagingDir, Progress &progress) const;
    bool writePatchList(const QString &path, const std::vector<FileJob> &jobs);
    bool writeProductIni(const QString &path, const QStringList &deletes);
    bool checkGzipGlobs();
    bool checkDeletes(const QStringList &deletes, const EarlierReleases &earlier);
    bool isGzipped(const QString &relativePath) const;
    void summarize(const std::vector<FileJob> &jobs, qsizetype deletes,
                   const QStringList &earlierVersions, const QStringList &leftovers);

    Options m_options;
    QString m_error;
    QString m_releaseDir;
    QStringList m_files; // below the client directory, sorted
    QSet<QString> m_previousFiles; // below the earlier client trees
    QList<QRegularExpression> m_gzipPatterns; // of the --gzip globs, in their order
    QList<int> m_gzipMatches; // the files each glob matches
    QStringList m_summary;
    QStringList m_warnings;
    QMap<QString, QString> m_entries; // product ini key -> value
    QString m_patchListValue; // "<name>::<md5>::<size>", empty without patches
};
