#pragma once

#include "localservers.h"
#include "releasebuilder.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

// The release that the update benchmarks publish with the test fixtures, and
// the installation they update to it.
namespace bench {

// The path below the client directory of client file number index, a
// hundred files to a directory.
QString clientFilePath(int index);

// Writes count client files of the version below dir, file number i of
// size(i) bytes, with incompressible content different for each file and
// version.
bool writeClient(const QString &dir, int count, const std::function<qint64(int)> &size,
                 int version);

// The sizes of count files of total bytes together, each between half and
// one and a half times their mean.
std::function<qint64(int)> spreadSizes(int count, qint64 total);

// Version NEW_VERSION of a client of count files, published by mrvpublish
// into a mirror tree that a local nginx serves, for an installation to be
// updated to. The files, the mirror tree and nginx last as long as the object;
// a failing call returns false and leaves the reason in errorString().
class PublishedRelease
{
public:
    static constexpr int OLD_VERSION = 1;
    static constexpr int NEW_VERSION = 2;

    bool publish(int count, const std::function<qint64(int)> &size);
    QString errorString() const { return m_error; }

    // A path inside the release's temporary directory.
    QString path(const QString &name) const { return m_builder.path(name); }
    QString appRoot() const { return path(QStringLiteral("app")); }
    QString systemTemp() const { return path(QStringLiteral("tmp")); }
    QString mirrorRoot() const { return path(QStringLiteral("mirror")); }
    // nginx's base URL.
    QString url() const { return m_url; }
    LocalServers &servers() { return m_servers; }
    // The bytes of everything published for the version: what a fresh
    // installation fetches.
    qint64 publishedBytes() const;
    // Writes the client files of a version (OLD_VERSION or NEW_VERSION, as
    // published) below dir.
    bool writeClientFiles(const QString &dir, int version) const;

    // Makes appRoot() an installation without client files that lists the
    // URLs as mirrors "m1", "m2", ..., each with the given number of slots in
    // its section of mirrors.ini (0: no such key), and holds the settings in
    // update.ini.
    bool prepareInstallation(const QStringList &mirrorUrls, int mirrorSlots = 0,
                             const QVariantMap &settings = {});

    // Writes curl's configuration that fetches the product ini, its signature
    // and every client file from baseUrl into outputDir (or to /dev/null
    // without one), and, if sumsFile is given, md5sum's list of the client
    // files relative to outputDir.
    bool writePeerLists(const QString &baseUrl, const QString &outputDir,
                        const QString &curlConfigFile, const QString &sumsFile = QString());

    // The peers of a whole update: the same work as an update of OLD_VERSION,
    // done by standard tools on a fresh copy of it in path("peer").
    // preparePeerUpdate() writes their lists once: curl's configuration that
    // fetches from baseUrl into path("peertmp"), and md5sum's list of the
    // client files, peerSumsFile(), relative to it ("files/<path>").
    bool preparePeerUpdate(const QString &baseUrl);
    QString peerSumsFile() const { return path(QStringLiteral("sums.md5")); }
    // "curl -Z --parallel-max 6", "md5sum -c" and "cp -R" of the files into
    // the copy: their milliseconds, or -1 if one failed.
    double peerUpdateMs();

private:
    bool fail(const QString &error);

    ReleaseBuilder m_builder;
    LocalServers m_servers;
    QString m_url;
    QString m_error;
    int m_count = 0;
    std::function<qint64(int)> m_size;
};

} // namespace bench
