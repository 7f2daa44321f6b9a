// The reply of the banner server: at most 1024 bytes, split into the image
// and click URLs. Beyond the sanitizers, a finding is an accepted URL that is
// not an http or https address with a host.
#include "fuzz/fuzzsupport.h"

#include "net/banner.h"

#include <QUrl>

namespace {

void checkUrl(const QString &text)
{
    const QUrl url(text);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        Fuzz::fail("banner reply accepted a URL that is not a web address", text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply = Fuzz::bytes(data, qMin(size, size_t(1024)));
    QString bannerUrl;
    QString clickUrl;
    if (Banner::parseReply(reply, bannerUrl, clickUrl)) {
        checkUrl(bannerUrl);
        checkUrl(clickUrl);
    }
    return 0;
}
