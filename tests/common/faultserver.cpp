#include "faultserver.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

FaultServer::FaultServer(const QByteArray &body, QObject *parent)
    : QObject(parent)
    , m_body(body)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FaultServer::onNewConnection);
}

bool FaultServer::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString FaultServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void FaultServer::setFault(const QString &pathEnd, const QByteArray &fault)
{
    m_faults.append({pathEnd.toUtf8(), fault});
}

int FaultServer::requestCount(const QString &fault) const
{
    int count = 0;
    for (const QString &path : m_requests) {
        if (path.section(QLatin1Char('/'), 1, 1) == fault)
            ++count;
    }
    return count;
}

void FaultServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) { m_bytesSent += n; });
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
            if (request->endsWith("\r\n\r\n"))
                return; // already answered; ignore anything further
            request->append(socket->readAll());
            if (!request->contains("\r\n\r\n"))
                return;
            request->truncate(request->indexOf("\r\n\r\n") + 4);
            const QByteArray path = request->split(' ').value(1);
            const qsizetype range = request->toLower().indexOf("\r\nrange: bytes=");
            answer(socket, path,
                   range < 0 ? -1 : request->mid(range + 15).split('-').value(0).toLongLong());
        });
    }
}

static QByteArray header(const QByteArray &status, qint64 length, bool close = true)
{
    QByteArray text = "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\n";
    if (length >= 0)
        text += "Content-Length: " + QByteArray::number(length) + "\r\n";
    if (close)
        text += "Connection: close\r\n";
    return text + "\r\n";
}

void FaultServer::answer(QTcpSocket *socket, const QByteArray &path, qint64 rangeFrom)
{
    m_requests.append(QString::fromLatin1(path));
    static const QList<QByteArray> faults
        = {"403",  "404",     "500",      "302", "stall", "reset", "more", "endless",
           "huge", "trickle", "badrange", "416", "cut",   "pace",  "ahead"};
    const bool rangeAsked = rangeFrom >= 0;
    QByteArray fault = path.split('/').value(1);
    for (const auto &[pathEnd, pathFault] : std::as_const(m_faults)) {
        if (path.endsWith(pathEnd))
            fault = pathFault;
    }
    static const QRegularExpression counted(QStringLiteral("^(cut|pace|ahead)(\\d+)$"));
    const QRegularExpressionMatch match = counted.match(QString::fromLatin1(fault));
    const qint64 amount = match.captured(2).toLongLong();
    if (match.hasMatch())
        fault = match.captured(1).toLatin1();
    QByteArray body = m_body;
    if (!m_directory.isEmpty()) {
        QFile file(m_directory + QString::fromUtf8(QByteArray::fromPercentEncoding(path)));
        if (file.open(QIODevice::ReadOnly))
            body = file.readAll();
        else if (!faults.contains(fault))
            fault = "404";
    }
    const auto closeWhenWritten = [socket] {
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
            if (socket->bytesToWrite() == 0)
                socket->disconnectFromHost();
        });
    };

    if (fault == "416" && rangeAsked) {
        socket->write(header("416 Range Not Satisfiable", 0));
        closeWhenWritten();
    } else if (fault == "badrange" && rangeAsked) {
        // The whole body, presented as if it were the rest that was asked for.
        QByteArray reply = header("206 Partial Content", body.size());
        reply.insert(reply.size() - 2,
                     "Content-Range: bytes 0-" + QByteArray::number(body.size() - 1) + '/'
                         + QByteArray::number(body.size()) + "\r\n");
        socket->write(reply + body);
        closeWhenWritten();
    } else if (fault == "403" || fault == "404" || fault == "500") {
        socket->write(header(fault + " Fault", 5) + "Fault");
        closeWhenWritten();
    } else if (fault == "cut" || fault == "pace" || fault == "ahead") {
        const bool ranged = rangeAsked && fault != "ahead";
        const qint64 from = ranged ? qBound<qint64>(0, rangeFrom, body.size()) : 0;
        QByteArray reply = header(ranged ? "206 Partial Content" : "200 OK", body.size() - from);
        if (ranged)
            reply.insert(reply.size() - 2,
                         "Content-Range: bytes " + QByteArray::number(from) + '-'
                             + QByteArray::number(body.size() - 1) + '/'
                             + QByteArray::number(body.size()) + "\r\n");
        socket->write(reply);
        auto *timer = new QTimer(socket);
        const bool cut = fault != "pace";
        const qint64 step = fault == "ahead" ? qMax<qint64>(rangeFrom, 0) + amount : amount;
        connect(timer, &QTimer::timeout, socket, [=, rest = body.mid(from)]() mutable {
            socket->write(rest.left(step));
            rest.remove(0, step);
            if (cut || rest.isEmpty()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(cut ? 0 : 100);
    } else if (fault == "302") {
        QByteArray reply = header("302 Found", 0);
        reply.insert(reply.size() - 2, "Location: http://127.0.0.1:1/elsewhere\r\n");
        socket->write(reply);
        closeWhenWritten();
    } else if (fault == "stall") {
        socket->write(header("200 OK", body.size(), false));
    } else if (fault == "reset") {
        socket->write(header("200 OK", body.size()) + body.left(body.size() / 2));
        // Let the half body leave, then reset instead of closing cleanly.
        QTimer::singleShot(100, socket, [socket] {
            socket->flush();
            const struct linger hard = {1, 0};
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                         sizeof hard);
            socket->abort();
            socket->deleteLater();
        });
    } else if (fault == "more") {
        socket->write(header("200 OK", 2 * body.size()) + body + body);
        closeWhenWritten();
    } else if (fault == "trickle") {
        socket->write(header("200 OK", -1));
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
        timer->start(100);
    } else if (fault == "endless" || fault == "huge") {
        socket->write(header("200 OK", fault == "huge" ? qint64(1) << 30 : -1));
        const QByteArray chunk(64 * 1024, 'x');
        socket->write(chunk);
        // Keep about one chunk queued until the client goes away.
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, chunk] {
            if (socket->bytesToWrite() < chunk.size())
                socket->write(chunk);
        });
    } else {
        socket->write(header("200 OK", body.size()) + body);
        closeWhenWritten();
    }
}
