#include "app/singleinstancechecker.h"

#include "sys/uniquefd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int connectTimeoutMs = 1000;
constexpr int writeTimeoutMs = 1000;

// Whether the process at the other end of a connected local socket runs as
// this user: another user's listener, or one that connects to us, is ignored.
bool peerIsThisUser(const QLocalSocket &socket)
{
    struct ucred credentials {};
    socklen_t size = sizeof(credentials);
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                        &size)
        == 0
        && credentials.uid == ::geteuid();
}

// Connects to the running copy of this user, if there is one.
bool connectToRunningCopy(QLocalSocket &socket, const QString &path)
{
    if (path.isEmpty())
        return false;
    socket.connectToServer(path, QIODevice::ReadWrite);
    return socket.waitForConnected(connectTimeoutMs) && peerIsThisUser(socket);
}
} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);

    const QString path = getLocalServerPath();
    if (path.isEmpty())
        return;
    // A copy of this user that answers on the name keeps it. Otherwise
    // whatever lies under the name is the socket of a copy that crashed,
    // which would leave this copy and every later one unguarded: it is
    // removed before listening.
    QLocalSocket probe;
    if (connectToRunningCopy(probe, path))
        return;
    probe.abort();
    QLocalServer::removeServer(path);
    // Only the user who runs the updater may ask it to come to the front.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->listen(path);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_server->close();
    if (m_connection)
        m_connection->close();
}

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    // A listener of another user, or one that does not answer, is no running
    // copy: nothing is sent to it.
    QLocalSocket socket;
    if (!connectToRunningCopy(socket, getLocalServerPath()))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(writeTimeoutMs);
}

UniqueFd SingleInstanceChecker::lockInstallation(bool *heldElsewhere)
{
    *heldElsewhere = false;
    // Close-on-exec: the client started after the update must not hold the
    // lock for as long as it runs.
    UniqueFd fd;
    const QString directory = socketDirectory();
    if (!directory.isEmpty()) {
        const QByteArray path
            = QFile::encodeName(directory + QLatin1Char('/') + getLocalServerName() + ".lock");
        fd.reset(::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    }
    if (!fd.isValid())
        fd.reset(::open(QFile::encodeName(QCoreApplication::applicationDirPath()).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.isValid())
        return fd;
    int result;
    do
        result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return fd;
    *heldElsewhere = errno == EWOULDBLOCK;
    return UniqueFd();
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

QString SingleInstanceChecker::getLocalServerPath()
{
    const QString directory = socketDirectory();
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + getLocalServerName();
}

QString SingleInstanceChecker::socketDirectory()
{
    // The same folder for every start of this user, from a desktop session,
    // cron or ssh alike: a folder taken from the session's environment would
    // let two copies that started in different ways update one installation
    // at once.
    const QString directory
        = QDir::tempPath() + QStringLiteral("/morvane-") + QString::number(::geteuid());
    const QByteArray path = QFile::encodeName(directory);
    ::mkdir(path.constData(), S_IRWXU);
    // Opened without following a link, so that the checks and the mode apply
    // to the directory itself, which nobody else can then replace.
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid())
        return QString();
    struct stat status;
    const bool ours = ::fstat(fd.get(), &status) == 0 && status.st_uid == ::geteuid()
        && ((status.st_mode & 077) == 0 || ::fchmod(fd.get(), S_IRWXU) == 0);
    return ours ? directory : QString();
}

bool SingleInstanceChecker::isListening() const
{
    return m_server->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    disposeConnection();
    m_connection = m_server->nextPendingConnection();
    if (m_connection && !peerIsThisUser(*m_connection)) {
        m_connection->abort();
        disposeConnection();
    }
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
