#include "net/networkaccessmanager.h"

#include "net/curlmulti.h"
#include "net/curlreply.h"
#include "net/schemeprofile.h"

#include <QNetworkProxy>
#include <QSslCertificate>

NetworkAccessManager::NetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
    , m_multi(new CurlMulti(this))
{
    setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

void NetworkAccessManager::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    QByteArray pem;
    for (const QSslCertificate &certificate : certificates)
        pem += certificate.toPem();
    m_multi->setCaCertificates(pem);
}

QNetworkReply *NetworkAccessManager::createRequest(Operation operation,
                                                   const QNetworkRequest &request,
                                                   QIODevice *outgoingData)
{
    if (operation == GetOperation && SchemeProfile::of(request.url())) {
        QNetworkProxy transferProxy = proxy();
        if (transferProxy.type() == QNetworkProxy::DefaultProxy)
            transferProxy = QNetworkProxy::applicationProxy();
        return new CurlReply(request, transferProxy, m_multi, this);
    }
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
