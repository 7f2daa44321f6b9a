#include "ui/weblinks.h"

#include "formats/weblink.h"

#include <QDesktopServices>
#include <QUrl>

namespace WebLinks {

QString makerWebSite()
{
    return QStringLiteral("https://www.morvane.example/");
}

bool openInBrowser(const QUrl &url)
{
    return WebLink::isWebLink(url) && QDesktopServices::openUrl(url);
}

} // namespace WebLinks
