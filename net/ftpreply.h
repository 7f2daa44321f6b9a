#pragma once

#include <QByteArray>
#include <QHash>
#include <QNetworkProxy>
#include <QNetworkReply>

class QSocketNotifier;
class QTimer;

typedef void CURL;
typedef void CURLM;

// A streaming reply for one ftp GET, made by NetworkAccessManager and run by
// libcurl's multi interface on the owning thread's event loop (socket
// notifiers and a timer). It behaves like Qt's own replies: metaDataChanged,
// readyRead and downloadProgress while data arrives, then finished exactly
// once (after errorOccurred on failure); there is no HTTP status attribute.
// At most a bounded amount of body data is held: the transfer is paused while
// the reader is behind. abort() stops at once with OperationCanceledError.
//
// Proxy: only an HTTP proxy is used, as a CONNECT tunnel for the control and
// data connections; any other proxy type (SOCKS, caching proxies) means a
// direct connection. The environment's proxy variables are never read.
class FtpReply : public QNetworkReply
{
    Q_OBJECT
public:
    FtpReply(const QNetworkRequest &request, const QNetworkProxy &proxy, QObject *parent = nullptr);
    ~FtpReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

    // Body bytes held before the transfer is paused (unless a read buffer size is set).
    static constexpr qint64 DefaultBufferLimit = 256 * 1024;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static size_t writeCallback(char *data, size_t size, size_t count, void *userData);
    static int socketCallback(CURL *easy, int socket, int what, void *userData, void *socketData);
    static int timerCallback(CURLM *multi, long timeoutMs, void *userData);

    void start();
    void watchSocket(int socket, int what);
    void drive(int socket, int eventMask);
    void deliver();
    void resumeIfDrained();
    void complete(int curlCode);
    void stopTransfer();
    qint64 bufferLimit() const;
    qint64 buffered() const { return m_buffer.size() - m_readPos; }

    CURLM *m_multi = nullptr;
    CURL *m_easy = nullptr;
    QTimer *m_timer = nullptr;
    QHash<int, SocketWatch> m_sockets;
    QNetworkProxy m_proxy;
    char m_errorBuffer[256];

    QByteArray m_buffer;
    qint64 m_readPos = 0;
    qint64 m_received = 0;
    qint64 m_total = -1;
    qint64 m_reportedReceived = -1;
    bool m_paused = false;
    bool m_resumeQueued = false;
    bool m_metaDataSent = false;
    bool m_done = false;
};
