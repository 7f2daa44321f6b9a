#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QObject;
struct RunSettings;

// One test's installation: a temporary application root and a private system
// temporary directory (TMPDIR), side by side in one temporary work directory.
// Destruction waits for the global thread pool, then puts back every global
// that tests set: the application root and TMPDIR; the directories go
// last.
class ScopedAppRoot
{
public:
    // rootName: the root's directory name in the work directory.
    explicit ScopedAppRoot(const QString &rootName = QStringLiteral("app"));
    ~ScopedAppRoot();
    ScopedAppRoot(const ScopedAppRoot &) = delete;
    ScopedAppRoot &operator=(const ScopedAppRoot &) = delete;

    // False if a directory could not be made.
    bool isValid() const { return m_valid; }
    // The application root, and a path in it.
    QString path() const;
    QString filePath(const QString &name) const;
    // The system temporary directory (TMPDIR), and a path in it.
    QString tempPath() const;
    QString tempFilePath(const QString &name) const;
    // A path in the work directory, outside the root and TMPDIR.
    QString workFilePath(const QString &name) const;
    // The settings of a run in this installation: the root, and TMPDIR as
    // its session directory.
    RunSettings settings() const;

    // Engines that start-up and the window make while the root exists, and
    // whose owner names no banner server, ask 127.0.0.1:port for their
    // banner instead of the update server: each is given the address before
    // its first queued call, the banner query's.
    void askBannersAt(quint16 port);

private:
    std::unique_ptr<QObject> m_bannerRedirect;
    QTemporaryDir m_work;
    QString m_rootName;
    QByteArray m_savedTmpDir;
    bool m_hadTmpDir = false;
    bool m_valid = false;
};
