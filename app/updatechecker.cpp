#include "app/updatechecker.h"

#include "fileops/uniquefd.h"
#include "formats/updateserverquery.h"
#include "net/updateserver.h"
#include "tasks/failurecause.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int replyTimeoutMs = 5000;

struct ServerAddress
{
    QString host;
    quint16 port = 0;
};

ServerAddress &server()
{
    static ServerAddress address {BANNER_SERVER, UpdateServerQuery::VersionPort};
    return address;
}

bool sendRequest(int fd, const char (&request)[UpdateServerQuery::RequestSize])
{
    ssize_t sent;
    do {
        sent = ::send(fd, request, sizeof request, 0);
    } while (sent < 0 && errno == EINTR);
    return sent > 0;
}

// Receives one datagram of at most maxSize bytes within the reply time-out and
// returns its text up to the first zero byte; false on error or time-out, with
// errno set (ETIMEDOUT for the time-out).
bool receiveReply(int fd, int maxSize, QByteArray &text)
{
    QByteArray buffer(maxSize + 1, '\0');
    QDeadlineTimer deadline(replyTimeoutMs);
    for (;;) {
        pollfd pfd {fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready <= 0)
            return false;
        const ssize_t received = ::recv(fd, buffer.data(), size_t(maxSize), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return false;
        buffer[int(received)] = '\0';
        text = QByteArray(buffer.constData()); // up to the first zero byte
        return true;
    }
}

} // namespace

void UpdateChecker::setServer(const QString &host, quint16 port)
{
    server() = ServerAddress {host, port};
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = int(channel);
    if (index < 0 || index >= m_versions.size())
        return qMakePair(QString(), QString());
    return m_versions.at(index);
}

QList<QPair<QString, QString>> UpdateChecker::parseVersionList(const QByteArray &text)
{
    return UpdateServerQuery::readVersionList(text);
}

bool UpdateChecker::fail(const QString &cause)
{
    m_failureCause = cause;
    return false;
}

bool UpdateChecker::readFromServer()
{
    // A repeated exchange starts afresh, so the positions in the list stay
    // those of the channels.
    m_versions.clear();
    m_news.clear();
    m_failureCause.clear();
    const QString &name = server().host;
    // What went wrong with the last system call, in the player's words.
    const auto systemFailure = [this, &name] {
        if (errno == ETIMEDOUT)
            return fail(FailureCause::serverSilent(name, replyTimeoutMs / 1000));
        return fail(FailureCause::serverUnreachable(name, qt_error_string(errno)));
    };

    // Closed however the exchange ends.
    const UniqueFd udpSocket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    const int fd = udpSocket.get();
    if (fd < 0)
        return systemFailure();

    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *result = nullptr;
    const QByteArray host = QFile::encodeName(server().host);
    const QByteArray port = QByteArray::number(server().port);
    if (::getaddrinfo(host.constData(), port.constData(), &hints, &result) != 0 || !result)
        return fail(FailureCause::serverNotFound(name));
    // Connecting the socket makes the kernel drop datagrams from any other
    // address or port, so nobody but the server can choose the version.
    const int connected = ::connect(fd, result->ai_addr, result->ai_addrlen);
    ::freeaddrinfo(result);
    if (connected != 0)
        return systemFailure();

    QByteArray text;
    if (!sendRequest(fd, UpdateServerQuery::VersionListRequest)
        || !receiveReply(fd, UpdateServerQuery::VersionListMax, text))
        return systemFailure();
    m_versions = parseVersionList(text);

    if (!sendRequest(fd, UpdateServerQuery::NewsRequest)
        || !receiveReply(fd, UpdateServerQuery::NewsMax, text))
        return systemFailure();
    m_news = QString::fromLatin1(text);
    return true;
}
