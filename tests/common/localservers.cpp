#include "localservers.h"

#include <QCoreApplication>
#include <QDir>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtDebug>

LocalServers::LocalServers(QObject *parent)
    : QObject(parent)
{
}

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
