#include "net/curlmulti.h"

#include "net/curleasy.h"
#include "net/curlreply.h"

#include <curl/curl.h>

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <mutex>

namespace {

constexpr int sweepIntervalMs = 100;

// A deadline of libcurl's, capped to what a QTimer takes.
void armTimer(QTimer *timer, long timeoutMs)
{
    timer->start(int(qMin<long>(timeoutMs, 24 * 3600 * 1000)));
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The CA file libcurl reads by default: the system's store.
QByteArray systemCaBundle()
{
    QByteArray bundle;
    const CurlEasy easy;
    char *path = nullptr;
    if (easy && curl_easy_getinfo(easy.get(), CURLINFO_CAINFO, &path) == CURLE_OK && path) {
        QFile file(QString::fromLocal8Bit(path));
        if (file.open(QIODevice::ReadOnly))
            bundle = file.readAll();
    }
    return bundle;
}

} // namespace

void CurlMulti::MultiCleanup::operator()(CURLM *multi) const
{
    curl_multi_cleanup(multi);
}

CurlMulti::CurlMulti(QObject *parent)
    : QObject(parent)
{
    initCurlOnce();
    m_multi.reset(curl_multi_init());
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    // A coarse timer may fire a little early; libcurl then finds nothing due
    // and, its deadline unchanged, never asks for the timer again.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    if (!m_multi)
        return;
    curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
    curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
    curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(m_multi.get(), CURLMOPT_MAXCONNECTS, MaxCachedConnections);
    // HTTP/2 transfers to a server share a connection; HTTP/1.1 ones get a
    // connection each, as many as the mirrors' slots let run, kept alive.
    curl_multi_setopt(m_multi.get(), CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, 0L);
    // libcurl 7.88 can leave an FTP transfer on a reused connection waiting to
    // open its data connection with neither a socket nor a deadline to wake it
    // (the second file from the same directory). While transfers run, every
    // transfer is given a turn now and then.
    m_sweep = new QTimer(this);
    m_sweep->setInterval(sweepIntervalMs);
    connect(m_sweep, &QTimer::timeout, this, [this] {
        if (m_replies.empty()) {
            m_sweep->stop();
            return;
        }
        int running = 0;
        curl_multi_perform(m_multi.get(), &running);
        collectFinished();
        dispatch();
    });
}

CurlMulti::~CurlMulti()
{
    const std::vector<CurlReply *> replies = m_replies;
    for (CurlReply *reply : replies)
        reply->detach();
    if (!m_multi)
        return;
    // Closing the cached connections must not touch the notifiers any more.
    curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERFUNCTION, nullptr);
    m_multi.reset();
}

bool CurlMulti::add(CurlReply *reply, CURL *easy)
{
    if (!m_multi || curl_multi_add_handle(m_multi.get(), easy) != CURLM_OK)
        return false;
    m_replies.push_back(reply);
    if (!m_sweep->isActive())
        m_sweep->start();
    // The timer callback asks for an immediate first kick.
    return true;
}

void CurlMulti::remove(CurlReply *reply, CURL *easy)
{
    curl_multi_remove_handle(m_multi.get(), easy);
    m_replies.erase(std::remove(m_replies.begin(), m_replies.end(), reply), m_replies.end());
    if (reply->m_scheduled) {
        reply->m_scheduled = false;
        std::replace(m_pending.begin(), m_pending.end(), reply, static_cast<CurlReply *>(nullptr));
    }
    for (std::vector<CurlReply *> *batch : m_dispatching)
        std::replace(batch->begin(), batch->end(), reply, static_cast<CurlReply *>(nullptr));
}

void CurlMulti::schedule(CurlReply *reply)
{
    if (reply->m_scheduled)
        return;
    reply->m_scheduled = true;
    m_pending.push_back(reply);
}

void CurlMulti::kick()
{
    drive(CURL_SOCKET_TIMEOUT, 0);
}

void CurlMulti::setCaCertificates(const QByteArray &pem)
{
    if (pem.isEmpty()) {
        m_caBundle = QByteArray();
        return;
    }
    // The system's store, read once for the process: a bundle replaces it.
    static const QByteArray system = systemCaBundle();
    m_caBundle = system + '\n' + pem;
    if (!pem.endsWith('\n'))
        m_caBundle += '\n';
}

int CurlMulti::socketCallback(CURL *, int socket, int what, void *userData, void *)
{
    static_cast<CurlMulti *>(userData)->watchSocket(socket, what);
    return 0;
}

int CurlMulti::timerCallback(CURLM *, long timeoutMs, void *userData)
{
    QTimer *timer = static_cast<CurlMulti *>(userData)->m_timer;
    if (timeoutMs < 0)
        timer->stop();
    else
        armTimer(timer, timeoutMs);
    return 0;
}

QSocketNotifier *CurlMulti::notifier(int socket, bool write)
{
    if (size_t(socket) >= m_sockets.size())
        m_sockets.resize(size_t(socket) + 1);
    QSocketNotifier *&notifier
        = write ? m_sockets[size_t(socket)].write : m_sockets[size_t(socket)].read;
    if (!notifier) {
        notifier = new QSocketNotifier(
            socket, write ? QSocketNotifier::Write : QSocketNotifier::Read, this);
        const int mask = write ? CURL_CSELECT_OUT : CURL_CSELECT_IN;
        connect(notifier, &QSocketNotifier::activated, this,
                [this, socket, mask] { drive(socket, mask); });
    }
    return notifier;
}

void CurlMulti::watchSocket(int socket, int what)
{
    if (socket < 0)
        return;
    const bool read = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool write = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (read)
        notifier(socket, false)->setEnabled(true);
    else if (size_t(socket) < m_sockets.size() && m_sockets[size_t(socket)].read)
        m_sockets[size_t(socket)].read->setEnabled(false);
    if (write)
        notifier(socket, true)->setEnabled(true);
    else if (size_t(socket) < m_sockets.size() && m_sockets[size_t(socket)].write)
        m_sockets[size_t(socket)].write->setEnabled(false);
}

void CurlMulti::drive(int socket, int eventMask)
{
    if (!m_multi)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi.get(), curl_socket_t(socket), eventMask, &running);
    collectFinished();
    dispatch();
    // The timer is armed again from libcurl's own deadline, so that no
    // transfer waits on a timer that was lost on the way.
    long timeoutMs = -1;
    if (m_multi && curl_multi_timeout(m_multi.get(), &timeoutMs) == CURLM_OK && timeoutMs >= 0
        && (!m_timer->isActive() || m_timer->remainingTime() > timeoutMs))
        armTimer(m_timer, timeoutMs);
}

void CurlMulti::collectFinished()
{
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi.get(), &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CurlReply *reply = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &reply);
        if (!reply)
            continue;
        reply->transferDone(message->data.result);
        schedule(reply);
    }
}

// Receivers may read, abort, delete or start replies, and even run an event
// loop that drives this multi handle again; a reply that goes away meanwhile
// is cleared from the batches still to be reported.
void CurlMulti::dispatch()
{
    while (!m_pending.empty()) {
        std::vector<CurlReply *> batch;
        batch.swap(m_pending);
        m_dispatching.push_back(&batch);
        for (size_t i = 0; i < batch.size(); ++i) {
            CurlReply *reply = batch[i];
            if (!reply)
                continue;
            batch[i] = nullptr;
            reply->m_scheduled = false;
            reply->deliver();
        }
        m_dispatching.pop_back();
    }
}
