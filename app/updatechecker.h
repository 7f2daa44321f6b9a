#pragma once

#include "formats/updatechannel.h"
#include "net/versionquery.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class Configuration;

// Settles the version that the command line left open by asking the update
// server: the version query and, after each failure, the Retry/Abort box
// (unattended: Abort at once), until the server answers or the player gives
// up; the configuration then takes the answer for its channel. checkUpdate()
// ends with done() exactly once, from the event loop. Owned by start-up; the
// configuration is lent to it.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    explicit UpdateChecker(Configuration &configuration,
                           const VersionQuery::Server &server = VersionQuery::Server(),
                           QObject *parent = nullptr);

    void checkUpdate();
    // The (version number text, version name) pair of the channel, or two null
    // strings if the server sent no entry for it.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;
    // The pairs of a version list reply's text (cut at its first zero byte):
    // one per comma-separated entry, empty entries kept.
    static QList<QPair<QString, QString>> parseVersionList(const QByteArray &text);

    // The server's answer: one pair per channel, and the news text.
    QList<QPair<QString, QString>> m_versions;
    QString m_news;

signals:
    // settled: the configuration is complete. Otherwise the program ends with
    // exit code 1: the player gave up, the answer held no version for the
    // channel, or the configuration reported a fatal error.
    void done(bool settled);

private:
    void onQueryDone(bool answered);

    Configuration &m_configuration;
    VersionQuery m_query;
};
