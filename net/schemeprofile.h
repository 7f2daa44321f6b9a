#pragma once

#include <QString>

class QUrl;

// What the updater knows of each URL scheme it fetches files from (http,
// https and ftp), in one table: whether it speaks HTTP, how many transfers a
// mirror of it runs at once unless mirrors.ini says otherwise, and how a
// transfer continues a part; and whether transfers to one server may share a
// connection (HTTP/2, offered over TLS only). Any other scheme has no profile and is not
// fetched by libcurl.
class SchemeProfile
{
public:
    enum class Resume {
        RangeHeader, // the request's "Range: bytes=N-" header goes out as it is
        RestOffset, // the header's offset becomes a restart at N (REST)
    };

    // The scheme's name, in lower case.
    const char *name;
    bool http;
    int defaultSlots;
    Resume resume;
    bool multiplexes;

    // The profile of a scheme, in either letter case; null for any scheme
    // not in the table.
    static const SchemeProfile *find(const QString &scheme);
    static const SchemeProfile *of(const QUrl &url);
    // The profile of a URL as written in a list ("HTTP://host/..."): its
    // text up to "://" names the scheme.
    static const SchemeProfile *ofText(const QString &url);
};
