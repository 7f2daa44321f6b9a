#pragma once

#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Starts the servers that tests talk to on loopback (the reference update
// server, and later nginx, the FTP server, the proxy and the fault server),
// each on a free port, and stops all of them when it is destroyed.
// Tests never start servers on their own; they go through this class.
class LocalServers : public QObject
{
    Q_OBJECT
public:
    explicit LocalServers(QObject *parent = nullptr);
    ~LocalServers() override;

    // A port on 127.0.0.1 that was free a moment ago.
    static quint16 freeTcpPort();
    static quint16 freeUdpPort();

    // Directory of the built executables (build/bin).
    static QString binDir();
    // Root of the source tree.
    static QString sourceDir();

    // Starts a program and keeps it until stopAll() or destruction.
    // Returns nullptr, with a warning, if it does not start.
    QProcess *startProcess(const QString &program, const QStringList &arguments,
                           const QString &workingDirectory = QString());

    void stopAll();

private:
    QList<QProcess *> m_processes;
};
