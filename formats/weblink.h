#pragma once

class QUrl;

namespace WebLink {

// Whether url may leave the updater as a web link: a valid http or https
// address with a host. Anything else from the network (file, ftp, custom
// handlers) is neither fetched nor handed to the browser, and the update
// server accepts no other for its banner.
bool isWebLink(const QUrl &url);

} // namespace WebLink
