#include "net/curlreply.h"

#include "net/curlmulti.h"
#include "net/schemeprofile.h"
#include "net/urltext.h"

#include <curl/curl.h>

#include <QCoreApplication>
#include <QPointer>

#include <cstring>

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
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return QNetworkReply::ProtocolUnknownError;
    case CURLE_WEIRD_SERVER_REPLY:
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

// The error Qt's HTTP stack gives an answer of 400 or more.
QNetworkReply::NetworkError errorFromHttpStatus(int status)
{
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status > 500 ? QNetworkReply::UnknownServerError
                            : QNetworkReply::UnknownContentError;
    }
}

bool startsWithNoCase(const QByteArray &line, const char *prefix)
{
    const size_t length = std::strlen(prefix);
    return size_t(line.size()) >= length && qstrnicmp(line.constData(), prefix, uint(length)) == 0;
}

} // namespace

CurlReply::CurlReply(const QNetworkRequest &request, const QNetworkProxy &proxy, CurlMulti *multi,
                     QObject *parent)
    : QNetworkReply(parent)
    , m_scheme(SchemeProfile::of(request.url()))
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    setFinished(false);
    QNetworkReply::open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    // The transfer starts at once, but nothing can be reported before the
    // event loop runs, so the caller has time to connect. A failure to start
    // is reported from there as well.
    if (m_easy && m_scheme && setUp(proxy, multi->caBundle()) && multi->add(this, m_easy.get())) {
        m_multi = multi;
        return;
    }
    const CURLcode failure = !m_easy ? CURLE_OUT_OF_MEMORY
        : !m_scheme                  ? CURLE_UNSUPPORTED_PROTOCOL
                                     : CURLE_FAILED_INIT;
    QMetaObject::invokeMethod(
        this, [this, failure] { complete(failure); }, Qt::QueuedConnection);
}

CurlReply::~CurlReply()
{
    stopTransfer();
}

bool CurlReply::isHttp() const
{
    return m_scheme && m_scheme->http;
}

bool CurlReply::setUp(const QNetworkProxy &proxy, const QByteArray &caBundle)
{
    if (!m_easy.setRequest(request(), *m_scheme, caBundle))
        return false;
    m_easy.setProxy(proxy, *m_scheme);
    CURL *easy = m_easy.get();
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlReply::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    if (isHttp()) {
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlReply::headerCallback);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    }
    return true;
}

size_t CurlReply::writeCallback(char *data, size_t size, size_t count, void *userData)
{
    auto *self = static_cast<CurlReply *>(userData);
    const size_t bytes = size * count;
    // Keep at most about one read buffer of unread data: libcurl holds the
    // rest until the reader catches up and the transfer is resumed.
    const qint64 limit = self->readBufferSize();
    if (limit > 0 && self->buffered() > 0 && self->buffered() + qint64(bytes) > limit) {
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
    self->m_multi->schedule(self);
    return bytes;
}

size_t CurlReply::headerCallback(char *data, size_t size, size_t count, void *userData)
{
    const size_t bytes = size * count;
    static_cast<CurlReply *>(userData)->headerLine(
        QByteArray::fromRawData(data, qsizetype(bytes)).trimmed());
    return bytes;
}

void CurlReply::headerLine(const QByteArray &line)
{
    if (line.startsWith("HTTP/")) {
        // "HTTP/1.1 200 OK", "HTTP/2 404": a new answer, perhaps after a 1xx one.
        const QList<QByteArray> parts = line.split(' ');
        m_status = parts.value(1).toInt();
        m_reason = line.mid(parts.value(0).size() + parts.value(1).size() + 2);
        m_contentLength = -1;
        m_location.clear();
        m_contentRange.clear();
        m_headersDone = false;
    } else if (line.isEmpty()) {
        if (m_status >= 200) {
            m_headersDone = true;
            m_multi->schedule(this);
        }
    } else if (startsWithNoCase(line, "content-length:")) {
        bool ok = false;
        const qint64 length = line.mid(15).trimmed().toLongLong(&ok);
        m_contentLength = ok && length >= 0 ? length : -1;
    } else if (startsWithNoCase(line, "location:")) {
        m_location = line.mid(9).trimmed();
    } else if (startsWithNoCase(line, "content-range:")) {
        m_contentRange = line.mid(14).trimmed();
    }
}

void CurlReply::transferDone(int curlCode)
{
    m_result = curlCode;
}

// Reports what the callbacks collected; called by CurlMulti from the event
// loop only, so that receivers may read, abort or delete the reply inside the
// signals.
void CurlReply::deliver()
{
    if (m_done)
        return;
    QPointer<CurlReply> guard(this);
    const bool metaDataDue = isHttp() ? m_headersDone : (m_received > 0 || m_result == CURLE_OK);
    if (!m_metaDataSent && metaDataDue) {
        reportMetaData();
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
    if (m_result >= 0)
        complete(m_result);
}

void CurlReply::reportMetaData()
{
    m_metaDataSent = true;
    if (isHttp()) {
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, m_status);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, m_reason);
        if (m_status >= 300 && m_status < 400 && !m_location.isEmpty())
            setAttribute(QNetworkRequest::RedirectionTargetAttribute,
                         url().resolved(QUrl::fromEncoded(m_location)));
        m_total = m_contentLength;
        // A resumed download checks the range it got.
        if (!m_contentRange.isEmpty())
            setRawHeader("Content-Range", m_contentRange);
    } else {
        curl_off_t length = -1;
        if (curl_easy_getinfo(m_easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length)
            == CURLE_OK)
            m_total = length >= 0 ? qint64(length) : -1;
    }
    if (m_total >= 0)
        setHeader(QNetworkRequest::ContentLengthHeader, m_total);
}

qint64 CurlReply::bytesAvailable() const
{
    return buffered() + QNetworkReply::bytesAvailable();
}

qint64 CurlReply::readData(char *data, qint64 maxSize)
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

void CurlReply::resumeIfDrained()
{
    if (!m_paused || m_resumeQueued || buffered() > readBufferSize() / 2)
        return;
    // Resuming may call the write callback at once; never do that inside a read.
    m_resumeQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_resumeQueued = false;
            if (!m_easy || !m_multi || m_done || !m_paused)
                return;
            m_paused = false;
            curl_easy_pause(m_easy.get(), CURLPAUSE_CONT);
            m_multi->kick();
        },
        Qt::QueuedConnection);
}

void CurlReply::complete(int curlCode)
{
    if (m_done)
        return;
    m_done = true;
    const auto code = CURLcode(curlCode);
    NetworkError failure = NoError;
    QString reason;
    if (code != CURLE_OK) {
        failure = errorFromCurl(code);
        reason = m_easy.errorText();
        if (reason.isEmpty())
            reason = QString::fromUtf8(curl_easy_strerror(code));
    } else if (isHttp() && m_status >= 400) {
        failure = errorFromHttpStatus(m_status);
        reason = QCoreApplication::translate("QNetworkReply",
                                             "Error transferring %1 - server replied: %2")
                     .arg(url().toString(QUrl::RemoveUserInfo), QString::fromLatin1(m_reason));
    }
    // The reason ends up in the log, the mirror's password must not: libcurl's
    // own texts are taken through the same filter.
    reason = UrlText::withoutUserInfo(reason);
    stopTransfer();
    setFinished(true);
    QPointer<CurlReply> guard(this);
    if (failure != NoError) {
        setError(failure, reason);
        emit errorOccurred(failure);
        if (!guard)
            return;
    }
    emit finished();
}

void CurlReply::stopTransfer()
{
    if (m_multi && m_easy)
        m_multi->remove(this, m_easy.get());
    m_multi = nullptr;
    m_easy.reset();
}

// The multi handle goes away before this reply: the transfer is dropped
// without a word, as the manager that owned it is gone.
void CurlReply::detach()
{
    stopTransfer();
}

void CurlReply::abort()
{
    if (m_done)
        return;
    m_done = true;
    stopTransfer();
    m_buffer.clear();
    m_readPos = 0;
    setFinished(true);
    setError(OperationCanceledError, tr("Operation canceled"));
    QPointer<CurlReply> guard(this);
    emit errorOccurred(OperationCanceledError);
    if (guard)
        emit finished();
}

void CurlReply::close()
{
    if (!m_done)
        abort();
    QNetworkReply::close();
}
