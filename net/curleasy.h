#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

class QNetworkProxy;
class QNetworkRequest;
class SchemeProfile;

typedef void CURL;
struct curl_slist;

// One libcurl easy handle and what libcurl reads through it while it runs
// (the request's header list, the error text), freed together. The one
// place where a request's transfer options become libcurl options: the URL,
// the schemes allowed, headers or a resume offset as the scheme's profile
// says, the trusted CA certificates and the proxy. The callbacks and the
// multi handle stay with its owner, the CurlReply.
class CurlEasy
{
public:
    CurlEasy();
    ~CurlEasy();
    CurlEasy(const CurlEasy &) = delete;
    CurlEasy &operator=(const CurlEasy &) = delete;

    CURL *get() const { return m_easy.get(); }
    explicit operator bool() const { return bool(m_easy); }
    // Frees the handle and its header list now.
    void reset();

    // The options of request over scheme, trusting the CA certificates of
    // caBundle (PEM) instead of the system's store unless it is null; false
    // when memory runs out.
    bool setRequest(const QNetworkRequest &request, const SchemeProfile &scheme,
                    const QByteArray &caBundle);
    // Only an HTTP proxy is used: for http as a proxy that forwards the
    // request, for https and ftp as a CONNECT tunnel. Any other proxy type
    // means a direct connection, and the environment's proxy variables are
    // never read.
    void setProxy(const QNetworkProxy &proxy, const SchemeProfile &scheme);

    // libcurl's own text of the last failure; empty when it gave none.
    QString errorText() const;

private:
    struct SlistFree
    {
        void operator()(curl_slist *list) const;
    };
    struct EasyCleanup
    {
        void operator()(CURL *easy) const;
    };

    // Declared first, freed last: the handle reads the list until it goes.
    std::unique_ptr<curl_slist, SlistFree> m_headers;
    std::unique_ptr<CURL, EasyCleanup> m_easy;
    char m_errorBuffer[256];
};
