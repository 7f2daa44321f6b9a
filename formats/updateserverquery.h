#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// The update server's queries as the updater asks them and the servers answer
// them: on the version port "3\0" for the version list and "*\0" for the news,
// on the banner port 0x01 0x01 for the banner line, each answered with one
// datagram of which the updater reads at most the given size. The version
// list and the news end at their zero byte; the banner line has none.
class UpdateServerQuery
{
public:
    static constexpr quint16 VersionPort = 17384;
    static constexpr quint16 BannerPort = 2009;

    // Every request is two bytes.
    static constexpr int RequestSize = 2;
    static constexpr char VersionListRequest[RequestSize] = {'3', '\0'};
    static constexpr char NewsRequest[RequestSize] = {'*', '\0'};
    static constexpr char BannerRequest[RequestSize] = {'\x01', '\x01'};

    // How long the updater waits for the reply to one request.
    static constexpr int ReplyTimeoutMs = 5000;

    static constexpr int VersionListMax = 511;
    static constexpr int NewsMax = 4095;
    static constexpr int BannerMax = 1024;

    // One entry per channel, in channel order, "<version>[#<name>]", joined
    // by ","; empty entries keep their place.
    static QList<QPair<QString, QString>> readVersionList(const QByteArray &text);
    static QString versionEntry(const QString &version, const QString &name);
    // The reply: the entries joined and the zero byte.
    static QByteArray versionListReply(const QStringList &entries);

    // "<image url>,<click url>"; false unless there are exactly two parts.
    static bool readBanner(const QByteArray &reply, QString *imageUrl, QString *clickUrl);
    static QByteArray bannerReply(const QString &imageUrl, const QString &clickUrl);
};
