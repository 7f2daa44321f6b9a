#pragma once

#include "formats/updateserverquery.h"
#include "net/updateserver.h"

#include <QBasicTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class QHostInfo;
class QUdpSocket;

// Asks the update server, once, which client version is current on each
// channel and then for the news text: the requests "3" and "*", each answered
// by one UDP datagram within the reply time-out, on one socket connected to
// the server's first IPv4 address. Driven by the event loop: start() ends
// with done() exactly once; destroying the query aborts it without a signal.
// Owned by whoever starts it, which may start it again once it is done.
class VersionQuery : public QObject
{
    Q_OBJECT
public:
    // The server asked, and how long each of its replies may take.
    using Server = UpdateServerAddress<UpdateServerQuery::VersionPort>;

    explicit VersionQuery(const Server &server, QObject *parent = nullptr);
    ~VersionQuery() override;

    void start();
    bool isRunning() const { return m_step != Idle; }

    // After done(true): the (version number text, version name) pairs of the
    // version list, one per entry in its order, and the news text.
    const QList<QPair<QString, QString>> &versions() const { return m_versions; }
    const QString &news() const { return m_news; }
    // After done(false): why, as the player's line (FailureCause).
    const QString &failureCause() const { return m_failureCause; }

signals:
    void done(bool ok);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    enum Step { Idle, Resolving, Connecting, AwaitingVersions, AwaitingNews };

    void onResolved(const QHostInfo &hostInfo);
    void onConnected();
    void onReadyRead();
    void sendRequest(const char (&request)[UpdateServerQuery::RequestSize]);
    void handleReply(const QByteArray &datagram);
    // Stops the query and emits done(); nothing of the query is used after.
    void finish(bool ok, const QString &cause = QString());
    void abortQuery();

    const Server m_server;
    Step m_step = Idle;
    int m_lookupId = -1;
    // The one socket of a query, released only in abortQuery().
    std::unique_ptr<QUdpSocket> m_socket;
    QBasicTimer m_timer;
    QList<QPair<QString, QString>> m_versions;
    QString m_news;
    QString m_failureCause;
};
