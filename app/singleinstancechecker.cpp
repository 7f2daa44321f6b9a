#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int connectTimeoutMs = 1000;
constexpr int writeTimeoutMs = 1000;
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);

    const QString name = getLocalServerName();
    // A copy that answers on the name keeps it. Otherwise whatever lies under
    // the name is the socket of a copy that crashed, which would leave this
    // copy and every later one unguarded: it is removed before listening.
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(connectTimeoutMs))
        return;
    QLocalServer::removeServer(name);
    // Only the user who runs the updater may ask it to come to the front.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->listen(name);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_connection)
        m_connection->close();
}

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(writeTimeoutMs);
}

QString SingleInstanceChecker::getLocalServerName()
{
    return getLocalServerName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::getLocalServerName(const QString &executablePath,
                                                  const QString &homePath)
{
    QString key = executablePath.toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 crc = qChecksum(key.toUtf8(), Qt::ChecksumIso3309);
    return QStringLiteral("MRVClientUpdate") + QString::number(crc, 16);
}

bool SingleInstanceChecker::isListening() const
{
    return m_server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    disposeConnection();
    m_connection = m_server->nextPendingConnection();
    if (m_connection)
        connect(m_connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_connection)
        return;
    QByteArray bytes = m_connection->readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    // The connection is the sender of the signal being handled: it goes
    // once control is back in the event loop.
    disposeConnection();
    emit otherInstanceActivate(QString::fromLatin1(bytes));
}

void SingleInstanceChecker::disposeConnection()
{
    if (!m_connection)
        return;
    disconnect(m_connection, nullptr, this, nullptr);
    m_connection->deleteLater();
    m_connection = nullptr;
}
