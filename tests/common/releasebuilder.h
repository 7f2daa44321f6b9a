#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

// Lays out what a whole update run meets, for tests and demonstrations:
// client directories of versions, mirror trees holding releases made by
// bin/mrvpublish with the development key, and application roots with an
// installed version, mirrors.ini and update.ini. Client directories live in a
// temporary directory that goes with the object; mirror trees and application
// roots go wherever the caller says. A failing call returns false (or an
// empty path) and leaves the reason in errorString().
class ReleaseBuilder
{
public:
    // Relative path below the client directory -> content.
    using Files = QMap<QString, QByteArray>;

    static const QString CLIENT_TYPE; // "client_linux_amd64"
    static const QString FILES_SECTION; // mirror directory of the client files

    ReleaseBuilder();

    bool isValid() const { return m_work.isValid(); }
    QString errorString() const { return m_error; }
    // A path inside the builder's own temporary directory.
    QString path(const QString &relative = QString()) const;

    // Releases are signed with the development key in keys/; false if the
    // updater under test was built to trust another public key.
    static bool updaterTrustsDevelopmentKey();

    // A client of the kinds of files an update treats differently: client
    // binaries, the start script, the updater itself and a Qt library
    // (special files), a plug-in library, data files in subdirectories, and
    // "*.dat" files meant to be published gzip-compressed. Version 1 has two
    // files that later versions drop; versions 2 and later add files, some in
    // new subdirectories. Contents that change carry the version number;
    // the others are the same in every version.
    static Files sampleClient(int version);
    // The globs under which sampleClient()'s compressed files are published.
    static QStringList sampleGzipGlobs() { return {QStringLiteral("*.dat")}; }

    // Writes the client directory of a version. Client binaries, scripts and
    // libraries get mode 0755, the other files 0644. Returns the directory.
    QString makeClient(int version, const Files &files);
    QString clientDir(int version) const;

    // Runs "mrvpublish release" for the client of version into mirrorRoot.
    // The "delete" section lists the files of the client of previousVersion
    // (0: none) that this version no longer has; patches are made from the
    // clients of the versions in patchFrom.
    bool publish(int version, const QString &mirrorRoot, const QStringList &gzipGlobs = {},
                 int previousVersion = 0, const QList<int> &patchFrom = {});
    // Signs a file again with the development key, after a test changed it.
    bool sign(const QString &file);
    // Signs a file with a key of its own, which no updater trusts.
    bool signWithOtherKey(const QString &file);
    // The product ini of a published version below a mirror root.
    static QString productIniPath(const QString &mirrorRoot, int version);

    // Copies a tree, for a faulty mirror made from a good one.
    bool copyTree(const QString &from, const QString &to);

    // Makes appRoot an installation: the client of installedVersion (0: an
    // empty root) copied in with its modes, mirrors.ini naming mirrorUrls as
    // mirrors "m1", "m2", ... in that order, and update.ini holding settings
    // ("update/streams" -> 1).
    bool prepareAppRoot(const QString &appRoot, int installedVersion, const QStringList &mirrorUrls,
                        const QVariantMap &settings = {});
    static bool writeMirrorList(const QString &appRoot, const QStringList &mirrorUrls);

    // Every entry below dir, sorted, one line each: "path <mode> <md5>" for a
    // file, "path/ <mode>" for a directory (modes in octal). Without modes
    // only the contents and the directory structure count. Entries named in
    // ignored (relative paths) are left out.
    static QStringList snapshot(const QString &dir, bool withModes = true,
                                const QStringList &ignored = {});

private:
    bool fail(const QString &error);
    bool runPublisher(const QStringList &arguments);

    QTemporaryDir m_work;
    QString m_error;
};
