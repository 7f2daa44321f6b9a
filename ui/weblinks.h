#pragma once

#include <QString>

class QUrl;

// The maker's web site and the one way links leave the updater.
namespace WebLinks {

// The address that the logo, the news ticker and the copyright notice open.
QString makerWebSite();

// Hands url to the desktop's browser if it is an http or https address and
// returns whether it did. Other schemes (file, ftp, custom handlers) are never
// opened: banner links come from the network.
bool openInBrowser(const QUrl &url);

} // namespace WebLinks
