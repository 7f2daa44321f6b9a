#include "net/ftpreply.h"

#include <curl/curl.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>
#include <mutex>

namespace {

QNetworkReply::NetworkError errorFromCurl(CURLcode code)
{
    switch (code) {
    case CURLE_LOGIN_DENIED:
        return QNetworkReply::AuthenticationRequiredError;
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
        return QNetworkReply::ContentNotFoundError;
    case CURLE_REMOTE_ACCESS_DENIED:
        return QNetworkReply::ContentAccessDenied;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
        return QNetworkReply::TimeoutError;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return QNetworkReply::ProtocolUnknownError;
    case CURLE_FTP_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return QNetworkReply::ProtocolFailure;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

FtpReply::FtpReply(const QNetworkRequest &request, const QNetworkProxy &proxy, QObject *parent)
    : QNetworkReply(parent)
    , m_proxy(proxy)
{
    m_errorBuffer[0] = '\0';
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    setFinished(false);
    QNetworkReply::open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    // Like Qt's own replies, nothing is emitted before the caller could connect.
    QMetaObject::invokeMethod(this, &FtpReply::start, Qt::QueuedConnection);
}

FtpReply::~FtpReply()
{
    stopTransfer();
}

void FtpReply::start()
{
    if (m_done)
        return;
    initCurlOnce();
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    if (!m_multi || !m_easy) {
        complete(CURLE_OUT_OF_MEMORY);
        return;
    }

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });

    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &FtpReply::socketCallback);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &FtpReply::timerCallback);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

    const QByteArray url = request().url().toEncoded();
    curl_easy_setopt(m_easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &FtpReply::writeCallback);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_PRIVATE, this);

    if (m_proxy.type() == QNetworkProxy::HttpProxy) {
        const QByteArray proxyUrl = "http://" + QUrl::toAce(m_proxy.hostName()) + ':'
            + QByteArray::number(m_proxy.port());
        curl_easy_setopt(m_easy, CURLOPT_PROXY, proxyUrl.constData());
        curl_easy_setopt(m_easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (!m_proxy.user().isEmpty()) {
            curl_easy_setopt(m_easy, CURLOPT_PROXYUSERNAME, m_proxy.user().toUtf8().constData());
            curl_easy_setopt(m_easy, CURLOPT_PROXYPASSWORD,
                             m_proxy.password().toUtf8().constData());
        }
    } else {
        // An empty proxy also keeps curl away from the proxy environment variables.
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
    }

    const CURLMcode added = curl_multi_add_handle(m_multi, m_easy);
    if (added != CURLM_OK) {
        complete(CURLE_FAILED_INIT);
        return;
    }
    // The timer callback asks for an immediate first kick.
}

size_t FtpReply::writeCallback(char *data, size_t size, size_t count, void *userData)
{
    auto *self = static_cast<FtpReply *>(userData);
    const size_t bytes = size * count;
    // Keep at most about one buffer limit of unread data: curl holds the rest
    // until the reader catches up and the transfer is resumed.
    if (self->buffered() > 0 && self->buffered() + qint64(bytes) > self->bufferLimit()) {
        self->m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (self->m_readPos > 0 && self->m_readPos == self->m_buffer.size()) {
        self->m_buffer.resize(0);
        self->m_readPos = 0;
    } else if (self->m_readPos > 0 && self->m_readPos >= self->m_buffer.size() / 2) {
        self->m_buffer.remove(0, self->m_readPos);
        self->m_readPos = 0;
    }
    self->m_buffer.append(data, qsizetype(bytes));
    self->m_received += qint64(bytes);
    return bytes;
}

int FtpReply::socketCallback(CURL *, int socket, int what, void *userData, void *)
{
    static_cast<FtpReply *>(userData)->watchSocket(socket, what);
    return 0;
}

int FtpReply::timerCallback(CURLM *, long timeoutMs, void *userData)
{
    auto *self = static_cast<FtpReply *>(userData);
    if (!self->m_timer)
        return 0;
    if (timeoutMs < 0)
        self->m_timer->stop();
    else
        self->m_timer->start(int(timeoutMs));
    return 0;
}

void FtpReply::watchSocket(int socket, int what)
{
    SocketWatch &watch = m_sockets[socket];
    auto ensure = [this, socket](QSocketNotifier *&notifier, QSocketNotifier::Type type,
                                 int eventMask, bool wanted) {
        if (!wanted) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
                notifier = nullptr;
            }
            return;
        }
        if (!notifier) {
            notifier = new QSocketNotifier(socket, type, this);
            connect(notifier, &QSocketNotifier::activated, this,
                    [this, socket, eventMask] { drive(socket, eventMask); });
        }
        notifier->setEnabled(true);
    };
    const bool remove = what == CURL_POLL_REMOVE;
    ensure(watch.read, QSocketNotifier::Read, CURL_CSELECT_IN,
           !remove && (what == CURL_POLL_IN || what == CURL_POLL_INOUT));
    ensure(watch.write, QSocketNotifier::Write, CURL_CSELECT_OUT,
           !remove && (what == CURL_POLL_OUT || what == CURL_POLL_INOUT));
    if (remove)
        m_sockets.remove(socket);
}

void FtpReply::drive(int socket, int eventMask)
{
    if (!m_multi || m_done)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, curl_socket_t(socket), eventMask, &running);
    deliver();
}

// Reports what the callbacks collected; called from the event loop only, so
// that receivers may read, abort or delete the reply inside the signals.
void FtpReply::deliver()
{
    QPointer<FtpReply> guard(this);
    int curlCode = -1;
    int queued = 0;
    while (CURLMsg *msg = curl_multi_info_read(m_multi, &queued)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_easy)
            curlCode = msg->data.result;
    }

    if (!m_metaDataSent && (m_received > 0 || curlCode == CURLE_OK)) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK
            && length >= 0) {
            m_total = length;
            setHeader(QNetworkRequest::ContentLengthHeader, qint64(length));
        }
        m_metaDataSent = true;
        emit metaDataChanged();
        if (!guard || m_done)
            return;
    }
    if (m_received != m_reportedReceived && m_metaDataSent) {
        m_reportedReceived = m_received;
        emit downloadProgress(m_received, m_total);
        if (!guard || m_done)
            return;
        if (buffered() > 0) {
            emit readyRead();
            if (!guard || m_done)
                return;
        }
    }
    if (curlCode >= 0)
        complete(curlCode);
}

qint64 FtpReply::bytesAvailable() const
{
    return buffered() + QNetworkReply::bytesAvailable();
}

qint64 FtpReply::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, buffered());
    if (count <= 0)
        return m_done ? -1 : 0;
    std::memcpy(data, m_buffer.constData() + m_readPos, size_t(count));
    m_readPos += count;
    if (m_readPos == m_buffer.size()) {
        m_buffer.resize(0);
        m_readPos = 0;
    }
    resumeIfDrained();
    return count;
}

void FtpReply::resumeIfDrained()
{
    if (!m_paused || m_resumeQueued || buffered() > bufferLimit() / 2)
        return;
    // Resuming may call the write callback at once; never do that inside a read.
    m_resumeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_resumeQueued = false;
            if (!m_easy || m_done || !m_paused)
                return;
            m_paused = false;
            curl_easy_pause(m_easy, CURLPAUSE_CONT);
            drive(CURL_SOCKET_TIMEOUT, 0);
        },
        Qt::QueuedConnection);
}

qint64 FtpReply::bufferLimit() const
{
    return readBufferSize() > 0 ? readBufferSize() : DefaultBufferLimit;
}

void FtpReply::complete(int curlCode)
{
    if (m_done)
        return;
    m_done = true;
    const auto code = CURLcode(curlCode);
    QString reason;
    if (code != CURLE_OK) {
        reason = QString::fromUtf8(m_errorBuffer).trimmed();
        if (reason.isEmpty())
            reason = QString::fromUtf8(curl_easy_strerror(code));
    }
    stopTransfer();
    setFinished(true);
    QPointer<FtpReply> guard(this);
    if (code != CURLE_OK) {
        setError(errorFromCurl(code), reason);
        emit errorOccurred(error());
        if (!guard)
            return;
    }
    emit finished();
}

void FtpReply::stopTransfer()
{
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }
    for (SocketWatch &watch : m_sockets) {
        for (QSocketNotifier *notifier : {watch.read, watch.write}) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
            }
        }
    }
    m_sockets.clear();
    if (m_multi && m_easy)
        curl_multi_remove_handle(m_multi, m_easy);
    if (m_easy)
        curl_easy_cleanup(m_easy);
    if (m_multi)
        curl_multi_cleanup(m_multi);
    m_easy = nullptr;
    m_multi = nullptr;
}

void FtpReply::abort()
{
    if (m_done)
        return;
    m_done = true;
    stopTransfer();
    m_buffer.clear();
    m_readPos = 0;
    setFinished(true);
    setError(OperationCanceledError, tr("Operation canceled"));
    QPointer<FtpReply> guard(this);
    emit errorOccurred(OperationCanceledError);
    if (guard)
        emit finished();
}

void FtpReply::close()
{
    if (!m_done)
        abort();
    QNetworkReply::close();
}
