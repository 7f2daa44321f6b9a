#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// What the releases of one client type already below a mirror root put on
// players' machines: the paths, below the application root, of the files
// their product inis list, and of the files they delete. A player may come
// from any of them, so a new release deletes whichever of these it lacks.
// The product inis are read as the updater reads them, each at most as large
// as the updater accepts, and every path is checked as the updater checks it
// before it is taken; a release without a product ini of the client type
// belongs to another type and is passed over.
class EarlierReleases
{
public:
    // False, with error() set, at the first product ini that cannot be read
    // or names a path that the updater would refuse.
    bool read(const QString &mirrorRoot, const QString &clientType);

    const QSet<QString> &paths() const { return m_paths; }
    // The newest version directory whose product ini names the path, or an
    // empty string.
    QString lastVersionWith(const QString &path) const { return m_lastVersion.value(path); }
    // The version directories read, in ascending order.
    const QStringList &versions() const { return m_versions; }
    const QString &error() const { return m_error; }

private:
    bool readProductIni(const QString &path, const QString &version);
    bool fail(const QString &text);

    QSet<QString> m_paths;
    QHash<QString, QString> m_lastVersion;
    QStringList m_versions;
    QString m_error;
};
