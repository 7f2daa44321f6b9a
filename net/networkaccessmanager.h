#pragma once

#include <QNetworkAccessManager>

// The updater's network access object: Qt serves every request except ftp
// GETs, which go to FtpReply (libcurl), so that ftp mirrors keep working.
// Redirects are never followed; a mirror that redirects is answered by its
// status code. For ftp, only an HTTP proxy is used (as a CONNECT tunnel);
// with any other proxy type ftp transfers connect directly.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit NetworkAccessManager(QObject *parent = nullptr);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData = nullptr) override;
};
