#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

// A tiny HTTP/1.1 server on 127.0.0.1 for the faults real mirrors will not
// make on demand. The first path segment picks the answer:
//   /404/...   404 Not Found          /302/...   302 Found (elsewhere)
//   /500/...   500 Internal Server Error
//   /stall/... 200 with a Content-Length, then silence (connection kept open)
//   /reset/... 200, half the body, then a connection reset
//   /more/...  200 announcing and sending twice the body
//   /endless/... 200 without a length, body bytes until the client hangs up
//   anything else: 200 with the body.
// Every answer but stall and endless closes the connection.
class FaultServer : public QObject
{
    Q_OBJECT
public:
    explicit FaultServer(const QByteArray &body, QObject *parent = nullptr);

    // Starts listening on a free port; false on failure.
    bool start();
    // "http://127.0.0.1:port" (no trailing slash).
    QString baseUrl() const;
    const QByteArray &body() const { return m_body; }
    // Paths requested so far, in order.
    QStringList requestedPaths() const { return m_requests; }
    int requestCount(const QString &fault) const;

private:
    void onNewConnection();
    void answer(QTcpSocket *socket, const QByteArray &path);

    QTcpServer m_server;
    QByteArray m_body;
    QStringList m_requests;
};
