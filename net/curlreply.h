#pragma once

#include "net/curleasy.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QNetworkReply>

class CurlMulti;
class SchemeProfile;

// A streaming reply for one http, https or ftp GET, made by
// NetworkAccessManager and carried by libcurl on the manager's CurlMulti.
// It behaves like Qt's own replies: metaDataChanged (for http(s) once the
// headers are in, with the status code, reason phrase and Content-Length
// set), readyRead and downloadProgress while data arrives, then finished
// exactly once (after errorOccurred on failure; an HTTP status of 400 or more
// is such a failure, reported after its body). Redirects are never followed:
// a 3xx ends like any other answer, its status available. ftp has no status.
// With a read buffer size set, at most about that much body data is held:
// the transfer is paused while the reader is behind (0, the default, holds
// everything, as with Qt's replies). abort() stops at once with OperationCanceledError.
//
// A "Range: bytes=N-" request header is sent as it is over http(s) and
// becomes a restart at offset N (REST) for ftp.
//
// Proxy: only an HTTP proxy is used, for http as a proxy that forwards the
// request, for https and ftp as a CONNECT tunnel; any other proxy type
// (SOCKS, caching proxies) means a direct connection. The environment's
// proxy variables are never read.
class CurlReply : public QNetworkReply
{
    Q_OBJECT
public:
    CurlReply(const QNetworkRequest &request, const QNetworkProxy &proxy, CurlMulti *multi,
              QObject *parent = nullptr);
    ~CurlReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    friend class CurlMulti;

    static size_t writeCallback(char *data, size_t size, size_t count, void *userData);
    static size_t headerCallback(char *data, size_t size, size_t count, void *userData);

    bool setUp(const QNetworkProxy &proxy, const QByteArray &caBundle);
    void headerLine(const QByteArray &line);
    // Called by CurlMulti, outside libcurl.
    void transferDone(int curlCode);
    void deliver();
    void detach();

    void reportMetaData();
    void resumeIfDrained();
    void complete(int curlCode);
    void stopTransfer();
    qint64 buffered() const { return m_buffer.size() - m_readPos; }
    bool isHttp() const;

    CurlMulti *m_multi = nullptr;
    // Null for a scheme without a profile: such a transfer never starts.
    const SchemeProfile *m_scheme;
    CurlEasy m_easy;
    bool m_scheduled = false;

    // Of the last header block (a later status line starts a new one).
    int m_status = 0;
    QByteArray m_reason;
    qint64 m_contentLength = -1;
    QByteArray m_location;
    QByteArray m_contentRange;
    bool m_headersDone = false;

    QByteArray m_buffer;
    qint64 m_readPos = 0;
    qint64 m_received = 0;
    qint64 m_total = -1;
    qint64 m_reportedReceived = -1;
    int m_result = -1;
    bool m_paused = false;
    bool m_resumeQueued = false;
    bool m_metaDataSent = false;
    bool m_done = false;
};
