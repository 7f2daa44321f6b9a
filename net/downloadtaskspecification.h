#pragma once

#include "net/backgroundmd5.h"
#include "net/ftpsiteaccessdata.h"
#include "tasks/taskspecification.h"

#include <QFile>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class Mirrors;
class QFileInfo;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file of the update from a mirror chosen by the mirror list into
// a local file, retrying on a newly chosen mirror after every failure (each
// one charged to the failing mirror) until it succeeds or no mirror is left.
// A local file that cannot be written is this machine's fault: the task ends
// at once with error() and the system's reason, and failureCause() in the
// player's words, charges no mirror, and no download of the run starts again.
// It holds at most one mirror slot and gives it back exactly once. Ends with
// finished() on success, canceled() otherwise. A part of the file that an
// earlier run left (killed or cancelled) is continued with a range request.
// The manager and the mirror list are lent, not owned.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    DownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrorList,
                              const QString &path, const QString &fileName, long long expectedSize,
                              QObject *parent, double parentProgressRange);
    ~DownloadTaskSpecification() override;

    // The mirror in use; after success, the one that delivered the file (its
    // owner drops that mirror when the file then fails its check).
    FTPSiteAccessData m_mirror;

    // At most this many bytes are accepted from a mirror when the size is not
    // known in advance (-1: no limit). A known size is always the limit.
    void setSizeLimit(qint64 bytes) { m_sizeLimit = bytes; }

    // An optional file need not be on every mirror: a mirror that answers
    // that it does not have it (404, 410, or no such file on ftp) is not
    // charged, and the next is asked; when no mirror that has not been asked
    // is left, the task ends with canceled() after "No mirror has <path>".
    void setOptional(bool optional) { m_optional = optional; }
    // A transfer that averages under MinimumRate bytes a second over this
    // many ticks is abandoned. Tests shorten the window.
    static constexpr qint64 MinimumRate = 1024;
    static void setSlowTransferWindow(int ticks);

    // After success: the MD5 digest (raw bytes) of the whole file, computed
    // from the bytes as they were written.
    QByteArray writtenMd5() const { return m_writtenMd5; }
    // After success: whether the file was continued from a part that an
    // earlier run left, rather than fetched whole.
    bool resumed() const { return m_resumeFrom > 0; }

public slots:
    void execute() override;
    void reset() override;
    void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                  unsigned long long &speed, bool &downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *task) override;
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply *reply);

private:
    void startDownload();
    bool readData();
    // The most bytes this transfer may deliver; -1 for no limit.
    qint64 byteLimit() const;
    // True, after charging the mirror and retrying, if bytes exceed the limit.
    bool refuseOversize(qint64 bytes);
    bool errorRetry(const QString &reason);
    // A failure of this machine, not of the mirror: stop the transfer, stop
    // the run's downloads, report it once with its cause (the system's
    // errorNumber, bytesLeft of the file still to write) and give up.
    void localError(const QString &reason, int errorNumber, qint64 bytesLeft);
    // keepPartial: a part of a file of known size stays for a later run.
    void resetDownload(bool keepPartial = false);
    // Drops the local part and asks for the whole file again.
    void restartWhole(const QString &reason = QString());
    // The size of a part left by an earlier run that this transfer continues
    // (0: fetch the whole file), from info on the local file as found; the
    // part is hashed on the way.
    qint64 resumableBytes(const QFileInfo &info);
    bool rangeMatches() const;
    void releaseSlot();
    QString mirrorFileUrl() const;
    // An optional file that this mirror does not have: ask another one.
    void notOnMirror();

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrorList;
    // A reply is only ever released through the event loop: it may be the
    // sender of the signal being handled.
    struct ReplyDeleter
    {
        void operator()(QNetworkReply *reply) const;
    };
    std::unique_ptr<QNetworkReply, ReplyDeleter> m_reply;
    // Disconnects the reply from this task and releases it.
    void dropReply();
    int m_idleTicks = 0;
    QString m_path;
    QFile m_file;
    qint64 m_bytesAtLastTick = 0;
    qint64 m_expectedSize;
    qint64 m_initialExpectedSize;
    qint64 m_bytesReceived = 0;
    qint64 m_sizeLimit = -1;
    qint64 m_resumeFrom = 0;
    BackgroundMd5 m_md5; // of the bytes written, part included
    QByteArray m_writtenMd5;
    // Bytes received at each of the last ticks of the transfer, oldest first.
    QVector<qint64> m_recentTicks;
    // m_mirror.name stays after success for the owner; this says whether its
    // slot is still ours to give back.
    bool m_holdsSlot = false;
    bool m_optional = false;
    // The mirrors that said they do not have the optional file.
    QSet<QString> m_lacking;
};
