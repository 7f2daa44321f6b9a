#include "net/versionquery.h"

#include "tasks/failurecause.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimerEvent>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// The text of a reply: up to its first zero byte, or all of it.
QByteArray replyText(const QByteArray &datagram)
{
    const int zero = int(datagram.indexOf('\0'));
    return zero < 0 ? datagram : datagram.left(zero);
}

// The first error that the kernel queued for the socket (IP_RECVERR), such
// as ECONNREFUSED from an ICMP "port unreachable" in answer to a request, or
// 0; the queue is emptied, or its entries would wake the socket for ever.
// Qt's check for a pending datagram clears the socket's plain error before
// readyRead() comes, so this queue is where the reason is still to be had.
int takeQueuedError(qintptr socket)
{
    int first = 0;
    for (;;) {
        alignas(cmsghdr) char control[512];
        msghdr message {};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t received;
        do {
            received = ::recvmsg(int(socket), &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        if (received < 0)
            return first;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_RECVERR || first)
                continue;
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(header), sizeof error);
            first = int(error.ee_errno);
        }
    }
}

} // namespace

VersionQuery::VersionQuery(const Server &server, QObject *parent)
    : QObject(parent)
    , m_server(server)
{ }

VersionQuery::~VersionQuery()
{
    abortQuery();
}

void VersionQuery::start()
{
    abortQuery();
    // A repeated exchange starts afresh, so the positions in the list stay
    // those of the channels.
    m_versions.clear();
    m_news.clear();
    m_failureCause.clear();
    m_step = Resolving;
    m_lookupId = QHostInfo::lookupHost(m_server.host, this, &VersionQuery::onResolved);
}

void VersionQuery::onResolved(const QHostInfo &hostInfo)
{
    m_lookupId = -1;
    QHostAddress address;
    if (hostInfo.error() == QHostInfo::NoError) {
        const QList<QHostAddress> addresses = hostInfo.addresses();
        for (const QHostAddress &candidate : addresses) {
            if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
                address = candidate;
                break;
            }
        }
    }
    if (address.isNull()) {
        finish(false, FailureCause::serverNotFound(m_server.host));
        return;
    }

    m_step = Connecting;
    m_socket = std::make_unique<QUdpSocket>();
    QUdpSocket *socket = m_socket.get();
    connect(socket, &QUdpSocket::connected, this, &VersionQuery::onConnected);
    connect(socket, &QUdpSocket::readyRead, this, &VersionQuery::onReadyRead);
    // Connecting the socket makes the kernel drop datagrams from any other
    // address or port, so nobody but the server can choose the version. A
    // UDP socket connects at once (connected() comes from inside the call);
    // should it not, the wait for the first reply covers it.
    m_timer.start(m_server.replyTimeoutMs, this);
    socket->connectToHost(address, m_server.port);
    if (m_socket.get() == socket && socket->state() == QAbstractSocket::UnconnectedState)
        finish(false, FailureCause::serverUnreachable(m_server.host, socket->errorString()));
}

void VersionQuery::onConnected()
{
    if (m_step != Connecting)
        return;
    // An ICMP error in answer to a request (nothing listens on the port, the
    // host cannot be reached) is kept with its reason: see takeQueuedError().
    const int on = 1;
    ::setsockopt(int(m_socket->socketDescriptor()), IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    m_step = AwaitingVersions;
    sendRequest(UpdateServerQuery::VersionListRequest);
}

void VersionQuery::sendRequest(const char (&request)[UpdateServerQuery::RequestSize])
{
    QUdpSocket *socket = m_socket.get();
    if (socket->write(request, sizeof request) <= 0) {
        finish(false, FailureCause::serverUnreachable(m_server.host, socket->errorString()));
        return;
    }
    m_timer.start(m_server.replyTimeoutMs, this);
}

void VersionQuery::onReadyRead()
{
    QUdpSocket *socket = m_socket.get();
    const int queuedError = takeQueuedError(socket->socketDescriptor());
    bool received = false;
    // Every pending datagram is read: one left in the queue would hold back
    // the notification of the next. Replies match requests only by their
    // order on the socket.
    while (m_socket.get() == socket && socket->hasPendingDatagrams()) {
        const int maxSize = m_step == AwaitingVersions ? UpdateServerQuery::VersionListMax
                                                       : UpdateServerQuery::NewsMax;
        const QNetworkDatagram datagram = socket->receiveDatagram(maxSize);
        if (!datagram.isValid()) {
            finish(false, FailureCause::serverUnreachable(m_server.host, socket->errorString()));
            return;
        }
        received = true;
        handleReply(datagram.data());
    }
    if (!received && queuedError != 0 && m_socket.get() == socket)
        finish(false, FailureCause::serverUnreachable(m_server.host, qt_error_string(queuedError)));
}

void VersionQuery::handleReply(const QByteArray &datagram)
{
    const QByteArray text = replyText(datagram);
    if (m_step == AwaitingVersions) {
        m_versions = UpdateServerQuery::readVersionList(text);
        m_step = AwaitingNews;
        sendRequest(UpdateServerQuery::NewsRequest);
    } else if (m_step == AwaitingNews) {
        m_news = QString::fromLatin1(text);
        finish(true);
    }
}

void VersionQuery::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    // Whole seconds, as the player reads them; a shorter wait says 1.
    const int seconds = qMax(1, (m_server.replyTimeoutMs + 999) / 1000);
    finish(false, FailureCause::serverSilent(m_server.host, seconds));
}

void VersionQuery::finish(bool ok, const QString &cause)
{
    abortQuery();
    if (!ok) {
        // Nothing of an exchange that broke off is offered.
        m_versions.clear();
        m_news.clear();
    }
    m_failureCause = cause;
    emit done(ok);
}

void VersionQuery::abortQuery()
{
    m_step = Idle;
    m_timer.stop();
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_socket) {
        // The socket may be inside one of its own signals.
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
    }
}
