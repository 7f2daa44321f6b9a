#include "formats/updateserverquery.h"

QList<QPair<QString, QString>> UpdateServerQuery::readVersionList(const QByteArray &text)
{
    QList<QPair<QString, QString>> versions;
    const QString versionList = QString::fromLatin1(text);
    for (const QString &entry : versionList.split(QLatin1Char(','), Qt::KeepEmptyParts)) {
        const int hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 0)
            versions.append(qMakePair(entry, QString()));
        else
            versions.append(qMakePair(entry.left(hash), entry.mid(hash + 1)));
    }
    return versions;
}

QString UpdateServerQuery::versionEntry(const QString &version, const QString &name)
{
    return name.isEmpty() ? version : version + QLatin1Char('#') + name;
}

QByteArray UpdateServerQuery::versionListReply(const QStringList &entries)
{
    return entries.join(QLatin1Char(',')).toLatin1() + '\0';
}

bool UpdateServerQuery::readBanner(const QByteArray &reply, QString *imageUrl, QString *clickUrl)
{
    const QStringList parts = QString::fromLatin1(reply).split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    *imageUrl = parts.at(0);
    *clickUrl = parts.at(1);
    return true;
}

QByteArray UpdateServerQuery::bannerReply(const QString &imageUrl, const QString &clickUrl)
{
    return (imageUrl + QLatin1Char(',') + clickUrl).toLatin1();
}
