#include "net/banner.h"

#include "formats/weblink.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimerEvent>
#include <QUdpSocket>
#include <QUrl>

namespace {
const QByteArray request(UpdateServerQuery::BannerRequest, UpdateServerQuery::RequestSize);
constexpr int maxReplySize = UpdateServerQuery::BannerMax;
} // namespace

Banner::Banner(const Server &server, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , m_socket(new QUdpSocket(this))
{
    m_socket->bind(QHostAddress::Any, 0);
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    QHostInfo::lookupHost(m_server.host, this, &Banner::onResolved);
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    m_serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_serverAddress = address;
            break;
        }
    }
    if (!m_serverAddress.isNull())
        sendRequest();
}

void Banner::sendRequest()
{
    if (m_socket->writeDatagram(request, m_serverAddress, m_server.port) != request.size()) {
        m_timer.stop();
        return;
    }
    m_timer.start(m_server.replyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (m_timeoutCount == 0) {
        ++m_timeoutCount;
        sendRequest();
    } else {
        ++m_timeoutCount;
        m_timer.stop();
    }
}

void Banner::onReadyRead()
{
    // Every pending datagram is read: one left in the queue would hold back
    // the notification of the next.
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram(maxReplySize);
        if (!datagram.isValid())
            return;
        // Anyone can send a datagram to our port; only the server's counts,
        // and a stray one must not cut the wait for the real reply short.
        if (m_serverAddress.isNull() || datagram.senderPort() != m_server.port
            || !datagram.senderAddress().isEqual(m_serverAddress, QHostAddress::TolerantConversion))
            continue;
        m_timer.stop();
        handleReply(datagram.data());
    }
}

bool Banner::parseReply(const QByteArray &reply, QString &bannerUrl, QString &clickUrl)
{
    QString image;
    QString click;
    if (!UpdateServerQuery::readBanner(reply, &image, &click))
        return false;
    // The image is fetched and the link handed to the browser: nothing but
    // web addresses is taken from the network.
    if (!WebLink::isWebLink(QUrl(image)) || !WebLink::isWebLink(QUrl(click)))
        return false;
    bannerUrl = image;
    clickUrl = click;
    return true;
}

void Banner::handleReply(const QByteArray &reply)
{
    QString bannerUrl;
    QString clickUrl;
    if (parseReply(reply, bannerUrl, clickUrl))
        emit bannerFound(bannerUrl, clickUrl);
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    Q_UNUSED(socketError);
    m_timer.stop();
}
