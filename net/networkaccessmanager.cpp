#include "net/networkaccessmanager.h"

#include "net/ftpreply.h"

#include <QNetworkProxy>

NetworkAccessManager::NetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
{
    setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

QNetworkReply *NetworkAccessManager::createRequest(Operation operation,
                                                   const QNetworkRequest &request,
                                                   QIODevice *outgoingData)
{
    if (operation == GetOperation
        && request.url().scheme().compare(QLatin1String("ftp"), Qt::CaseInsensitive) == 0) {
        QNetworkProxy ftpProxy = proxy();
        if (ftpProxy.type() == QNetworkProxy::DefaultProxy)
            ftpProxy = QNetworkProxy::applicationProxy();
        return new FtpReply(request, ftpProxy, this);
    }
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
