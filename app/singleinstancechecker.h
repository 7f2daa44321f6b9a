#pragma once

#include "sys/uniquefd.h"

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// One copy of the updater per installation and user. The static
// checkExistingInstance() is the side of a copy that starts later: it hands its
// message to the running copy. An object of the class is the running copy's
// side, owned by the main window; it emits otherInstanceActivate() once per
// message received. The socket lies in a directory only the user can enter,
// and either side talks only to a process of the same user.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstanceChecker(QObject *parent);
    ~SingleInstanceChecker() override;

    // True if another copy is running and has received message.
    static bool checkExistingInstance(const QString &message);

    // Takes the lock that makes this copy the one of this installation and
    // user: an exclusive flock() on "<server name>.lock" in the socket
    // directory (or, where there is none, on the application root), which the
    // kernel frees when the process ends, so that a copy that died never
    // blocks. The lock is held while the returned descriptor is open. An
    // invalid descriptor with heldElsewhere set: another copy holds it;
    // without: no lock could be made, and the copy runs unguarded.
    static UniqueFd lockInstallation(bool *heldElsewhere);

    // "MRVClientUpdate" and the CRC-16 of this executable's path (lower case)
    // and the user's home directory, in hexadecimal.
    static QString getLocalServerName();
    static QString getLocalServerName(const QString &executablePath, const QString &homePath);
    // The socket's full path: the server name in the socket directory, or an
    // empty string when there is no safe directory (then there is no guard).
    static QString getLocalServerPath();
    // "morvane-<uid>" in the system's temporary directory, made with mode
    // 0700 if missing, and used only if it is a real directory of the user
    // (its mode is then made 0700). Empty when it will not do.
    static QString socketDirectory();

    bool isListening() const;

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    void disposeConnection();

    QLocalServer *m_server = nullptr;
    QLocalSocket *m_connection = nullptr;
};
