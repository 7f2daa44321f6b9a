#pragma once

#include "app/updatechannel.h"

#include <QList>
#include <QPair>
#include <QString>

// Asks the update server over UDP which client version is current on each
// channel and fetches the news text. checkUpdate() blocks for at most 5000 ms
// per reply; the socket exists only during that call.
class UpdateChecker
{
public:
    bool checkUpdate();
    // After a failed checkUpdate(): why, as the player's line (FailureCause).
    QString failureCause() const { return m_failureCause; }
    // The (version number text, version name) pair of the channel, or two null
    // strings if the server sent no entry for it.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;
    // The pairs of a version list reply's text (cut at its first zero byte):
    // one per comma-separated entry, empty entries kept.
    static QList<QPair<QString, QString>> parseVersionList(const QByteArray &text);

    // Tests only: the server to ask. Defaults: BANNER_SERVER, port 17384.
    static void setServer(const QString &host, quint16 port);

    QList<QPair<QString, QString>> m_versions;
    QString m_news;

private:
    bool readFromServer();
    // Records cause and returns false.
    bool fail(const QString &cause);

    QString m_failureCause;
};
