#include "localservers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtDebug>

#include <unistd.h>

LocalServers::LocalServers(QObject *parent)
    : QObject(parent)
{ }

LocalServers::~LocalServers()
{
    stopAll();
}

quint16 LocalServers::freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

quint16 LocalServers::freeUdpPort()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return 0;
    return socket.localPort();
}

QString LocalServers::binDir()
{
    const QByteArray dir = qgetenv("MORVANE_BIN_DIR");
    if (!dir.isEmpty())
        return QString::fromLocal8Bit(dir);
    return QCoreApplication::applicationDirPath();
}

QString LocalServers::sourceDir()
{
    const QByteArray dir = qgetenv("MORVANE_SOURCE_DIR");
    if (!dir.isEmpty())
        return QString::fromLocal8Bit(dir);
    return QDir(binDir() + QStringLiteral("/../..")).absolutePath();
}

QProcess *LocalServers::startProcess(const QString &program, const QStringList &arguments,
                                     const QString &workingDirectory,
                                     QProcess::ProcessChannelMode mode)
{
    auto *process = new QProcess(this);
    process->setProcessChannelMode(mode);
    if (!workingDirectory.isEmpty())
        process->setWorkingDirectory(workingDirectory);
    process->start(program, arguments);
    if (!process->waitForStarted(5000)) {
        qWarning() << "could not start" << program << arguments << process->errorString();
        delete process;
        return nullptr;
    }
    m_processes.append(process);
    return process;
}

void LocalServers::stopAll()
{
    for (QProcess *process : std::as_const(m_processes)) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
        delete process;
    }
    m_processes.clear();
}

LocalServers::RefServer LocalServers::startRefServer(const QStringList &options,
                                                     quint16 versionPort, quint16 bannerPort)
{
    QStringList arguments {QStringLiteral("--bind"),         QStringLiteral("127.0.0.1"),
                           QStringLiteral("--version-port"), QString::number(versionPort),
                           QStringLiteral("--banner-port"),  QString::number(bannerPort)};
    arguments += options;
    QProcess *process = startProcess(binDir() + QStringLiteral("/mrvrefserver"), arguments);
    return process ? awaitListening(process, arguments) : RefServer();
}

LocalServers::RefServer LocalServers::startUpdateServer(const QString &configFile)
{
    const QStringList arguments {configFile};
    QProcess *process = startProcess(binDir() + QStringLiteral("/mrvupdated"), arguments, QString(),
                                     QProcess::SeparateChannels);
    if (!process)
        return RefServer();
    process->setReadChannel(QProcess::StandardError);
    return awaitListening(process, arguments);
}

QString LocalServers::waitForLogLine(QProcess *process, const QString &prefix)
{
    for (;;) {
        while (!process->canReadLine()) {
            if (!process->waitForReadyRead(10000))
                return QString();
        }
        const QString line = QString::fromUtf8(process->readLine()).trimmed();
        if (line.startsWith(prefix))
            return line;
    }
}

LocalServers::RefServer LocalServers::awaitListening(QProcess *process,
                                                     const QStringList &arguments)
{
    RefServer server;
    // The servers print "listening version udp 127.0.0.1:PORT" and
    // "listening banner udp 127.0.0.1:PORT" once both sockets are bound.
    QDeadlineTimer deadline(10000);
    while (server.versionPort == 0 || server.bannerPort == 0) {
        while (!process->canReadLine()) {
            if (deadline.hasExpired()
                || !process->waitForReadyRead(int(deadline.remainingTime()))) {
                qWarning() << process->program() << "did not start listening" << arguments;
                m_processes.removeOne(process);
                process->kill();
                process->waitForFinished(3000);
                delete process;
                return RefServer();
            }
        }
        const QString line = QString::fromLatin1(process->readLine()).trimmed();
        const quint16 port = line.section(QLatin1Char(':'), -1).toUShort();
        if (line.startsWith(QLatin1String("listening version ")))
            server.versionPort = port;
        else if (line.startsWith(QLatin1String("listening banner ")))
            server.bannerPort = port;
    }
    server.process = process;
    return server;
}

QString LocalServers::makeWorkDir()
{
    auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath()
                                               + QStringLiteral("/morvane-server-XXXXXX"));
    if (!dir->isValid())
        return QString();
    const QString path = dir->path();
    m_workDirs.push_back(std::move(dir));
    return path;
}

bool LocalServers::writeTextFile(const QString &path, const QString &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text.toUtf8()) >= 0;
}

bool LocalServers::waitForPort(QProcess *process, quint16 port)
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (process->state() == QProcess::NotRunning)
            return false;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        process->waitForFinished(50);
    }
    return false;
}

QString LocalServers::startNginx(const QString &rootDir, bool https, bool trusted)
{
    const QString dir = makeWorkDir();
    const quint16 port = freeTcpPort();
    if (dir.isEmpty() || port == 0)
        return QString();

    QString server = QStringLiteral("        listen 127.0.0.1:%1").arg(port);
    if (https) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                       dir + "/key.pem", "-out", dir + "/cert.pem"});
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            qWarning() << "openssl could not make a certificate" << openssl.readAllStandardError();
            return QString();
        }
        if (trusted)
            m_trusted += QSslCertificate::fromPath(dir + "/cert.pem");
        server += QStringLiteral(" ssl http2;\n        ssl_certificate %1/cert.pem;\n"
                                 "        ssl_certificate_key %1/key.pem")
                      .arg(dir);
    }
    server += QLatin1Char(';');

    QFile templateFile(QStringLiteral(MORVANE_NGINX_CONF_TEMPLATE));
    if (!templateFile.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read" << templateFile.fileName();
        return QString();
    }
    // Workers of a root-started nginx would run as nobody, who cannot read
    // private temporary directories; so they keep the launching user.
    const QString user = ::geteuid() == 0 ? QStringLiteral("user root;") : QString();
    const QString conf = QString::fromUtf8(templateFile.readAll())
                             .replace(QLatin1String("@USER@"), user)
                             .replace(QLatin1String("@DIR@"), dir)
                             .replace(QLatin1String("@ROOT@"), rootDir)
                             .replace(QLatin1String("@SERVER@"), server);
    if (!writeTextFile(dir + "/nginx.conf", conf))
        return QString();

    QProcess *process = startProcess(
        QStringLiteral("nginx"), {"-e", dir + "/error.log", "-p", dir, "-c", dir + "/nginx.conf"});
    if (!process || !waitForPort(process, port)) {
        qWarning() << "nginx did not come up";
        return QString();
    }
    const QString baseUrl
        = QStringLiteral("%1://127.0.0.1:%2").arg(https ? "https" : "http").arg(port);
    m_nginxAccessLogPaths.insert(baseUrl, dir + "/access.log");
    m_lastNginx = baseUrl;
    return baseUrl;
}

QString LocalServers::startFtp(const QString &rootDir)
{
    const QString dir = makeWorkDir();
    const quint16 port = freeTcpPort();
    if (dir.isEmpty() || port == 0 || !QDir(dir).mkdir(QStringLiteral("empty")))
        return QString();

    // run_as_launching_user keeps vsftpd away from the system's accounts and
    // chroot; only anonymous reads are allowed, so any named login gets 530.
    const QString conf = QStringLiteral("listen=YES\n"
                                        "listen_ipv6=NO\n"
                                        "listen_address=127.0.0.1\n"
                                        "listen_port=%1\n"
                                        "background=NO\n"
                                        "run_as_launching_user=YES\n"
                                        "seccomp_sandbox=NO\n"
                                        "anonymous_enable=YES\n"
                                        "no_anon_password=YES\n"
                                        "anon_root=%2\n"
                                        "local_enable=NO\n"
                                        "write_enable=NO\n"
                                        "pasv_enable=YES\n"
                                        "pasv_address=127.0.0.1\n"
                                        "connect_from_port_20=NO\n"
                                        "max_clients=200\n"
                                        "max_per_ip=200\n"
                                        "xferlog_enable=NO\n"
                                        "vsftpd_log_file=%3/vsftpd.log\n"
                                        "secure_chroot_dir=%3/empty\n")
                             .arg(QString::number(port), rootDir, dir);
    if (!writeTextFile(dir + "/vsftpd.conf", conf))
        return QString();
    QProcess *process = startProcess(QStringLiteral("vsftpd"), {dir + "/vsftpd.conf"});
    if (!process || !waitForPort(process, port)) {
        qWarning() << "vsftpd did not come up";
        return QString();
    }
    return QStringLiteral("ftp://127.0.0.1:%1").arg(port);
}

quint16 LocalServers::startProxy()
{
    const QString dir = makeWorkDir();
    const quint16 port = freeTcpPort();
    if (dir.isEmpty() || port == 0)
        return 0;
    m_proxyLogPath = dir + "/tinyproxy.log";
    const QString conf = QStringLiteral("Port %1\n"
                                        "Listen 127.0.0.1\n"
                                        "Timeout 60\n"
                                        "LogFile \"%2\"\n"
                                        "LogLevel Connect\n"
                                        "MaxClients 100\n"
                                        "Allow 127.0.0.1\n")
                             .arg(QString::number(port), m_proxyLogPath);
    if (!writeTextFile(dir + "/tinyproxy.conf", conf))
        return 0;
    QProcess *process
        = startProcess(QStringLiteral("tinyproxy"), {"-d", "-c", dir + "/tinyproxy.conf"});
    if (!process || !waitForPort(process, port)) {
        qWarning() << "tinyproxy did not come up";
        return 0;
    }
    return port;
}

static QByteArray readWhole(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QByteArray LocalServers::proxyLog() const
{
    return readWhole(m_proxyLogPath);
}

QByteArray LocalServers::nginxAccessLog(const QString &baseUrl) const
{
    return readWhole(m_nginxAccessLogPaths.value(baseUrl));
}

QByteArray LocalServers::nginxAccessLog() const
{
    return nginxAccessLog(m_lastNginx);
}

QStringList LocalServers::requestConnections(const QByteArray &accessLog)
{
    QStringList connections;
    for (const QByteArray &line : accessLog.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 2)
            connections.append(QString::fromLatin1(fields.at(fields.size() - 2)));
    }
    return connections;
}

QStringList LocalServers::requestedPaths(const QByteArray &accessLog)
{
    QStringList paths;
    static const QRegularExpression get(QStringLiteral("\"GET ([^ ]+) HTTP"));
    for (const QByteArray &line : accessLog.split('\n')) {
        const QRegularExpressionMatch match = get.match(QString::fromLatin1(line));
        if (match.hasMatch())
            paths.append(match.captured(1));
    }
    return paths;
}
