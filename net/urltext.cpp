#include "net/urltext.h"

#include <QRegularExpression>
#include <QString>

QString UrlText::withoutUserInfo(const QString &text)
{
    // The user info is what stands before the last "@" of the authority,
    // which ends at the first "/", "?" or "#": taking all of it leaves
    // nothing of a password that itself holds an "@".
    static const QRegularExpression userInfo(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.\\-]*://)[^/?#\\s]*@"));
    QString result = text;
    result.replace(userInfo, QStringLiteral("\\1"));
    return result;
}
