#pragma once

#include "net/replyholder.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QTextEdit;
class QTimer;

// The dialog of "View Changes": fetches "changelog_client.txt" of one client
// version from a mirror chosen at random, trying every other mirror once when
// one fails, answers with a redirection page, sends more than 1 MiB or takes
// longer than 2 s, and shows it as text that loads no resources. At most one
// dialog exists (m_instance); it deletes itself when closed.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT
public:
    explicit ChangeLogViewer(QWidget *parent);
    ~ChangeLogViewer() override;

    // Opens the dialog for version, or brings the open one to the front
    // without loading again. A new dialog fetches with manager, which must
    // outlive it, or with a manager of its own when none is given.
    static void showRemoteChangeLogDialog(QWidget *parent, const QString &version,
                                          QNetworkAccessManager *manager = nullptr);

    // Requests the change log from the next untried mirror; an empty version
    // keeps the one given before.
    void requestRemote(const QString &version);
    // The next base URL to try, or an empty string when every one was tried.
    QString getRemoteUrl();
    QString getRandomMirror();
    // Shows text and sizes the dialog to its widest line.
    void load(const QString &text);

    // The dialog that is open, or null.
    static ChangeLogViewer *m_instance;

private slots:
    void onRequestFinished();
    void onRequestTimeout();
    void onReadyRead();

private:
    void releaseReply();

    QTextEdit *m_textEdit = nullptr;
    QNetworkAccessManager *m_manager = nullptr; // lent by the opener, or a child
    ReplyHolder m_reply {this};
    QTimer *m_timeoutTimer = nullptr;
    QStringList m_mirrorUrls;
    bool m_mirrorsLoaded = false;
    QString m_version;
    QByteArray m_body; // of the request in progress
};
