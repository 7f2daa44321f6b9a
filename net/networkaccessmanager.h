#pragma once

#include <QNetworkAccessManager>

class CurlMulti;
class QSslCertificate;

// The updater's network access object: every http, https and ftp GET goes
// to a CurlReply (libcurl) on one multi handle owned by the manager, so that
// connections to a mirror are kept open and reused from file to file (HTTP/2
// where a server offers it over TLS). Other requests are Qt's. Redirects are
// never followed; a mirror that redirects is answered by its status code.
// Certificates and host names are verified against the system's CA store and
// the CA certificates that the owner gives the manager.
// Only an HTTP proxy set on the manager is used, for every scheme; with any
// other proxy type transfers connect directly.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit NetworkAccessManager(QObject *parent = nullptr);

    // Trusts these CA certificates too, besides the system's, from this
    // manager's next transfer on; replaces those given before.
    void setCaCertificates(const QList<QSslCertificate> &certificates);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData = nullptr) override;

private:
    CurlMulti *m_multi;
};
