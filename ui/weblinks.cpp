#include "ui/weblinks.h"

#include <QDesktopServices>
#include <QUrl>

namespace WebLinks {

QString makerWebSite()
{
    return QStringLiteral("https://www.morvane.example/");
}

bool openInBrowser(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    return QDesktopServices::openUrl(url);
}

} // namespace WebLinks
