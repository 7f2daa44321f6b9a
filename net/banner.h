#pragma once

#include "formats/updateserverquery.h"
#include "net/updateserver.h"

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

class QUdpSocket;

// Asks the banner server, once, which banner image to show and where a click
// on it leads: one two-byte UDP request, repeated once after a 5 s time-out.
// bannerFound() is emitted for every well-formed reply from the server's
// address and port (normally once); a banner that cannot be had is never
// reported. Owned by the update engine, which names the server.
class Banner : public QObject
{
    Q_OBJECT
public:
    // The server asked and how long each request waits for its reply; by
    // default the update server.
    using Server = UpdateServerAddress<UpdateServerQuery::BannerPort>;

    explicit Banner(const Server &server, QObject *parent = nullptr);

    void run();

    // Splits a reply into the image URL and the click URL; false unless it is
    // exactly two http or https addresses joined by one comma.
    static bool parseReply(const QByteArray &reply, QString &bannerUrl, QString &clickUrl);

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();
    void handleReply(const QByteArray &reply);

    const Server m_server;
    QUdpSocket *m_socket = nullptr;
    QBasicTimer m_timer;
    QHostAddress m_serverAddress;
    int m_timeoutCount = 0;
};
