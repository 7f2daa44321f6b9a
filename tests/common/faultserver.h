#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

// A tiny HTTP/1.1 server on 127.0.0.1 for the faults real mirrors will not
// make on demand. The first path segment picks the answer:
//   /404/...   404 Not Found          /302/...   302 Found (elsewhere)
//   /500/...   500 Internal Server Error     /403/...   403 Forbidden
//   /stall/... 200 with a Content-Length, then silence (connection kept open)
//   /reset/... 200, half the body, then a connection reset
//   /more/...  200 announcing and sending twice the body
//   /endless/... 200 without a length, body bytes until the client hangs up
//   /huge/...  200 announcing 1 GiB, then body bytes until the client hangs up
//   /trickle/... 200 without a length, then one byte every 100 ms
//   /cutN/... /paceN/...  the body (or the range asked for, as 206): its
//              first N bytes, then the connection closed; N bytes every 100 ms
//   /aheadN/...  200 with the whole body, whatever range is asked for,
//              closed N bytes past the range's start
//   /badrange/... a range request gets 206 with the whole body as bytes 0-
//   /416/...   a range request gets 416 Range Not Satisfiable
//   (without a range request, the last two answer like any other path)
//   anything else: 200 with the body, or with the file below the served
//   directory (404 when there is none).
// A fault set for the end of a path applies whatever the first segment is.
// Every answer but stall, endless, huge and trickle closes the connection.
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
    // Serves the files below dir for paths without a fault.
    void serveDirectory(const QString &dir) { m_directory = dir; }
    // Answers every path that ends with pathEnd with the fault.
    void setFault(const QString &pathEnd, const QByteArray &fault);
    // Paths requested so far, in order.
    QStringList requestedPaths() const { return m_requests; }
    int requestCount(const QString &fault) const;
    // Bytes written to clients so far, headers included.
    qint64 bytesSent() const { return m_bytesSent; }

private:
    void onNewConnection();
    void answer(QTcpSocket *socket, const QByteArray &path, qint64 rangeFrom); // -1: no range

    QTcpServer m_server;
    QByteArray m_body;
    QString m_directory;
    QList<QPair<QByteArray, QByteArray>> m_faults;
    QStringList m_requests;
    qint64 m_bytesSent = 0;
};
