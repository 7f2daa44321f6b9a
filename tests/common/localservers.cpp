#include "localservers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtDebug>

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
                                     const QString &workingDirectory)
{
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
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
    RefServer server;
    QStringList arguments {QStringLiteral("--bind"),         QStringLiteral("127.0.0.1"),
                           QStringLiteral("--version-port"), QString::number(versionPort),
                           QStringLiteral("--banner-port"),  QString::number(bannerPort)};
    arguments += options;
    QProcess *process = startProcess(binDir() + QStringLiteral("/mrvrefserver"), arguments);
    if (!process)
        return server;

    // The server prints "listening version udp 127.0.0.1:PORT" and
    // "listening banner udp 127.0.0.1:PORT" once both sockets are bound.
    QDeadlineTimer deadline(10000);
    while (server.versionPort == 0 || server.bannerPort == 0) {
        while (!process->canReadLine()) {
            if (deadline.hasExpired()
                || !process->waitForReadyRead(int(deadline.remainingTime()))) {
                qWarning() << "mrvrefserver did not start listening" << arguments;
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
