#include "net/curleasy.h"

#include "net/schemeprofile.h"

#include <curl/curl.h>

#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QUrl>

void CurlEasy::SlistFree::operator()(curl_slist *list) const
{
    curl_slist_free_all(list);
}

void CurlEasy::EasyCleanup::operator()(CURL *easy) const
{
    curl_easy_cleanup(easy);
}

CurlEasy::CurlEasy()
    : m_easy(curl_easy_init())
{
    m_errorBuffer[0] = '\0';
}

CurlEasy::~CurlEasy() = default;

void CurlEasy::reset()
{
    m_easy.reset();
    m_headers.reset();
}

QString CurlEasy::errorText() const
{
    return QString::fromUtf8(m_errorBuffer).trimmed();
}

bool CurlEasy::setRequest(const QNetworkRequest &request, const SchemeProfile &scheme,
                          const QByteArray &caBundle)
{
    CURL *easy = m_easy.get();
    const QByteArray url = request.url().toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    // Fewer, larger deliveries; libcurl's default is 16 KiB.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 128L * 1024);

    if (scheme.http) {
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
        // Transfers that start together towards a server not yet connected
        // wait for the first connection to learn whether it speaks HTTP/2,
        // and then share it as streams, instead of each opening its own.
        // Plain http is HTTP/1.1, one transfer per connection: nothing to wait for.
        if (scheme.multiplexes)
            curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    }
    if (scheme.resume == SchemeProfile::Resume::RangeHeader) {
        const QList<QByteArray> names = request.rawHeaderList();
        for (const QByteArray &name : names) {
            const QByteArray line = name + ": " + request.rawHeader(name);
            curl_slist *list = curl_slist_append(m_headers.get(), line.constData());
            if (!list)
                return false;
            // Lines after the first are appended to the same list.
            if (!m_headers)
                m_headers.reset(list);
        }
        if (m_headers)
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers.get());
    } else {
        const QByteArray range = request.rawHeader("Range");
        bool ok = false;
        const qint64 offset = range.startsWith("bytes=") && range.endsWith('-')
            ? range.mid(6, range.size() - 7).toLongLong(&ok)
            : -1;
        if (ok && offset >= 0)
            curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, curl_off_t(offset));
    }

    if (!caBundle.isNull()) {
        curl_blob blob {const_cast<char *>(caBundle.constData()), size_t(caBundle.size()),
                        CURL_BLOB_COPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    return true;
}

void CurlEasy::setProxy(const QNetworkProxy &proxy, const SchemeProfile &scheme)
{
    CURL *easy = m_easy.get();
    // An empty proxy and an empty no-proxy list also keep libcurl away from
    // the proxy environment variables.
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    if (proxy.type() != QNetworkProxy::HttpProxy) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        return;
    }
    const QString name = proxy.hostName();
    const QByteArray host = name.contains(QLatin1Char(':'))
        ? '[' + name.toLatin1() + ']' // an IPv6 address
        : QUrl::toAce(name);
    const QByteArray proxyUrl = "http://" + host + ':' + QByteArray::number(proxy.port());
    curl_easy_setopt(easy, CURLOPT_PROXY, proxyUrl.constData());
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // https always tunnels; plain http is forwarded by the proxy.
    if (!scheme.http)
        curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
    if (!proxy.user().isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxy.user().toUtf8().constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxy.password().toUtf8().constData());
    }
}
