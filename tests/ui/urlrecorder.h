#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Takes the place of the desktop's browser in tests: every URL that the
// updater hands to QDesktopServices::openUrl() for one of the given schemes is
// recorded instead of opened. Unregisters itself when destroyed.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    explicit UrlRecorder(const QStringList &schemes
                         = {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("ftp"),
                            QStringLiteral("file"), QStringLiteral("morvane")})
        : m_schemes(schemes)
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlRecorder() override
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }

private:
    QStringList m_schemes;
};
