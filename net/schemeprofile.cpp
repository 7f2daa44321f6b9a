#include "net/schemeprofile.h"

#include <QUrl>

namespace {

const SchemeProfile profiles[] = {
    {"http", true, 3, SchemeProfile::Resume::RangeHeader, false},
    {"https", true, 3, SchemeProfile::Resume::RangeHeader, true},
    {"ftp", false, 1, SchemeProfile::Resume::RestOffset, false},
};

} // namespace

const SchemeProfile *SchemeProfile::find(const QString &scheme)
{
    for (const SchemeProfile &profile : profiles) {
        if (scheme.compare(QLatin1String(profile.name), Qt::CaseInsensitive) == 0)
            return &profile;
    }
    return nullptr;
}

const SchemeProfile *SchemeProfile::of(const QUrl &url)
{
    return find(url.scheme());
}

const SchemeProfile *SchemeProfile::ofText(const QString &url)
{
    const qsizetype end = url.indexOf(QLatin1String("://"));
    return end < 0 ? nullptr : find(url.left(end));
}
