#pragma once

#include "queryserver.h"
#include "serverconfig.h"

#include <QObject>
#include <QTimer>

class SignalPipe;

// mrvupdated at run time: answers with what its configuration file says,
// reads the file again on SIGHUP (a faulty file leaves the answers as they
// were), logs its counts to standard error once a minute unless it was idle,
// and quits the event loop on SIGTERM or SIGINT.
class UpdateDaemon : public QObject
{
    Q_OBJECT
public:
    explicit UpdateDaemon(const QString &configPath, QObject *parent = nullptr);

    // Reads the file and binds the ports; false, after logging why, if
    // either fails.
    bool start();

    static void log(const QString &line);

private:
    void onSignal(int signalNumber);
    void reload();
    void logCounts();
    QString countsText(const QueryServer::Counts &counts) const;

    QString m_path;
    ServerConfig m_config;
    QueryServer *m_server;
    SignalPipe *m_signals;
    QTimer m_countsTimer;
    QueryServer::Counts m_loggedCounts;
};
