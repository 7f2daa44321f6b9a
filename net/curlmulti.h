#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>
#include <vector>

class CurlReply;
class QSocketNotifier;
class QTimer;

typedef void CURL;
typedef void CURLM;

// The libcurl multi handle that carries every transfer of one
// NetworkAccessManager, driven by the owning thread's event loop (socket
// notifiers and one timer). Its connection cache keeps connections to a
// server open between transfers, so that the next file to the same mirror
// goes out at once over the same connection (or as another HTTP/2 stream).
// Owned by the manager; each CurlReply adds its easy handle here and is told
// when it has something to report, always after libcurl has returned.
class CurlMulti : public QObject
{
    Q_OBJECT
public:
    explicit CurlMulti(QObject *parent = nullptr);
    ~CurlMulti() override;

    // Idle connections kept for reuse, over all servers: one for each slot
    // of a mirror that takes the most a mirror may take.
    static constexpr long MaxCachedConnections = 64;

    // Starts the transfer of reply's easy handle; false if libcurl refuses it.
    bool add(CurlReply *reply, CURL *easy);
    // Stops the transfer (an unfinished one closes its connection) and
    // forgets the reply. Never called from inside a libcurl callback.
    void remove(CurlReply *reply, CURL *easy);
    // The reply has news (data, headers, its end) to report once control is
    // back outside libcurl.
    void schedule(CurlReply *reply);
    // Lets libcurl go on with a transfer that was resumed after a pause.
    void kick();

    // The CA certificates (PEM) that this handle's transfers trust in
    // addition to the system's, replacing those given before; the bundle is
    // null while there are none, and then libcurl reads the system's store
    // itself.
    void setCaCertificates(const QByteArray &pem);
    QByteArray caBundle() const { return m_caBundle; }

private:
    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static int socketCallback(CURL *easy, int socket, int what, void *userData, void *socketData);
    static int timerCallback(CURLM *multi, long timeoutMs, void *userData);

    void watchSocket(int socket, int what);
    QSocketNotifier *notifier(int socket, bool write);
    void drive(int socket, int eventMask);
    void collectFinished();
    void dispatch();

    struct MultiCleanup
    {
        void operator()(CURLM *multi) const;
    };
    std::unique_ptr<CURLM, MultiCleanup> m_multi;
    QTimer *m_sweep = nullptr;
    QTimer *m_timer = nullptr;
    // Indexed by descriptor; a notifier outlives its socket (disabled) and
    // serves the next socket with the same number.
    std::vector<SocketWatch> m_sockets;
    std::vector<CurlReply *> m_replies;
    std::vector<CurlReply *> m_pending;
    // Batches being reported right now (nested when a receiver runs an event
    // loop); a reply removed meanwhile is cleared from them.
    std::vector<std::vector<CurlReply *> *> m_dispatching;
    QByteArray m_caBundle;
};
