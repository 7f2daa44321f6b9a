#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QUdpSocket;

// The reference update server: answers the version request "3\0" with the
// version list and the news request "*\0" with the news text on one port, and
// the banner request 0x01 0x01 with "image-url,click-url" on another.
class RefServer : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QHostAddress bindAddress = QHostAddress::LocalHost;
        quint16 versionPort = 17384;
        quint16 bannerPort = 2009;
        QByteArray versions;
        QByteArray news;
        QByteArray banner; // empty: banner requests stay unanswered
        bool silent = false; // never answer anything
        bool noTerminator = false; // version and news replies without the zero byte
        bool answerFromOtherPort = false; // replies leave from a third socket
        bool noNews = false; // the news request stays unanswered
    };

    explicit RefServer(const Settings &settings, QObject *parent = nullptr);

    // Binds both ports; prints one "listening" line per port on success.
    bool start(QString *errorText);

private:
    void onVersionDatagrams();
    void onBannerDatagrams();
    void reply(QUdpSocket *socket, const QByteArray &payload, const QHostAddress &to, quint16 port);

    Settings m_settings;
    QUdpSocket *m_versionSocket;
    QUdpSocket *m_bannerSocket;
    QUdpSocket *m_otherSocket;
};
