#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

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
                           const QString &workingDirectory = QString(),
                           QProcess::ProcessChannelMode mode = QProcess::ForwardedErrorChannel);

    void stopAll();

    // An update server (bin/mrvrefserver or bin/mrvupdated) as started below.
    struct RefServer
    {
        QProcess *process = nullptr;
        quint16 versionPort = 0;
        quint16 bannerPort = 0;
        bool isValid() const { return process != nullptr; }
    };
    // Starts the reference update server on 127.0.0.1 with the given options
    // (--versions, --news, --banner, --silent, ...). A port of 0 lets the
    // server take a free one; the ports it bound are returned once it listens.
    // Tests that pass the fixed ports 17384 and 2009 take RESOURCE_LOCK udpports.
    RefServer startRefServer(const QStringList &options = QStringList(), quint16 versionPort = 0,
                             quint16 bannerPort = 0);
    // The update server (bin/mrvupdated) with its configuration file. Its log
    // (standard error) stays in the process's read channel, for
    // waitForLogLine(); the ports it bound are returned once it listens.
    RefServer startUpdateServer(const QString &configFile);
    // Reads log lines until one starts with prefix and returns it, or a null
    // string if the process ends or says nothing more for 10 seconds.
    static QString waitForLogLine(QProcess *process, const QString &prefix);
    // nginx serving rootDir on 127.0.0.1 (as its own instance: private prefix,
    // configuration, pid and log files in a temporary directory). With https
    // (HTTP/2 offered), a self-signed certificate for 127.0.0.1 is made and,
    // if trusted, added to caCertificates(). Returns the base URL
    // ("http://127.0.0.1:port", no trailing slash), or an empty string, with
    // a warning, on failure.
    QString startNginx(const QString &rootDir, bool https = false, bool trusted = true);
    // The certificates of the trusted https servers started so far, for the
    // network access manager that fetches from them.
    QList<QSslCertificate> caCertificates() const { return m_trusted; }
    // vsftpd serving rootDir read-only to anonymous users. Any other login
    // (a user name with a password) is refused with 530. Returns
    // "ftp://127.0.0.1:port" or an empty string.
    QString startFtp(const QString &rootDir);
    // tinyproxy on 127.0.0.1; returns its port, or 0. Its log is read back
    // with proxyLog().
    quint16 startProxy();
    QByteArray proxyLog() const;
    // The access log (one line per request) of the nginx started with this
    // base URL; without one, of the nginx started last.
    QByteArray nginxAccessLog(const QString &baseUrl) const;
    QByteArray nginxAccessLog() const;
    // The connection (nginx's serial number) of each request in an nginx
    // access log, in order.
    static QStringList requestConnections(const QByteArray &accessLog);
    // The paths of the GET requests in an nginx access log, in order.
    static QStringList requestedPaths(const QByteArray &accessLog);

private:
    // Reads the "listening version/banner udp ADDRESS:PORT" lines.
    RefServer awaitListening(QProcess *process, const QStringList &arguments);
    QString makeWorkDir();
    bool waitForPort(QProcess *process, quint16 port);
    static bool writeTextFile(const QString &path, const QString &text);

    QList<QProcess *> m_processes;
    std::vector<std::unique_ptr<QTemporaryDir>> m_workDirs;
    QString m_proxyLogPath;
    QHash<QString, QString> m_nginxAccessLogPaths;
    QString m_lastNginx;
    QList<QSslCertificate> m_trusted;
};
