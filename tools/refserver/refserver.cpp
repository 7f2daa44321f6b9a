#include "refserver.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cstdio>

RefServer::RefServer(const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_versionSocket(new QUdpSocket(this))
    , m_bannerSocket(new QUdpSocket(this))
    , m_otherSocket(new QUdpSocket(this))
{
    connect(m_versionSocket, &QUdpSocket::readyRead, this, &RefServer::onVersionDatagrams);
    connect(m_bannerSocket, &QUdpSocket::readyRead, this, &RefServer::onBannerDatagrams);
}

bool RefServer::start(QString *errorText)
{
    const struct
    {
        QUdpSocket *socket;
        quint16 port;
        const char *name;
    } sockets[] = {{m_versionSocket, m_settings.versionPort, "version"},
                   {m_bannerSocket, m_settings.bannerPort, "banner"}};
    for (const auto &entry : sockets) {
        if (!entry.socket->bind(m_settings.bindAddress, entry.port)) {
            *errorText = QStringLiteral("cannot bind %1 port %2: %3")
                             .arg(QLatin1String(entry.name))
                             .arg(entry.port)
                             .arg(entry.socket->errorString());
            return false;
        }
    }
    if (m_settings.answerFromOtherPort && !m_otherSocket->bind(m_settings.bindAddress, 0)) {
        *errorText
            = QStringLiteral("cannot bind reply socket: %1").arg(m_otherSocket->errorString());
        return false;
    }
    std::printf("listening version udp %s:%u\n", qPrintable(m_settings.bindAddress.toString()),
                unsigned(m_versionSocket->localPort()));
    std::printf("listening banner udp %s:%u\n", qPrintable(m_settings.bindAddress.toString()),
                unsigned(m_bannerSocket->localPort()));
    std::fflush(stdout);
    return true;
}

void RefServer::onVersionDatagrams()
{
    while (m_versionSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = m_versionSocket->receiveDatagram();
        if (m_settings.silent || !request.isValid())
            continue;
        QByteArray payload;
        if (request.data() == QByteArray("3\0", 2))
            payload = m_settings.versions;
        else if (request.data() == QByteArray("*\0", 2) && !m_settings.noNews)
            payload = m_settings.news;
        else
            continue;
        if (!m_settings.noTerminator)
            payload.append('\0');
        reply(m_versionSocket, payload, request.senderAddress(), quint16(request.senderPort()));
    }
}

void RefServer::onBannerDatagrams()
{
    while (m_bannerSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = m_bannerSocket->receiveDatagram();
        if (m_settings.silent || !request.isValid() || m_settings.banner.isEmpty())
            continue;
        if (request.data() != QByteArray("\x01\x01", 2))
            continue;
        // The banner reply carries no terminator.
        reply(m_bannerSocket, m_settings.banner, request.senderAddress(),
              quint16(request.senderPort()));
    }
}

void RefServer::reply(QUdpSocket *socket, const QByteArray &payload, const QHostAddress &to,
                      quint16 port)
{
    QUdpSocket *from = m_settings.answerFromOtherPort ? m_otherSocket : socket;
    from->writeDatagram(payload, to, port);
}
