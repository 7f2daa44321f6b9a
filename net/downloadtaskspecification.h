#pragma once

#include "digest/backgroundmd5.h"
#include "net/ftpsiteaccessdata.h"
#include "net/replyholder.h"
#include "tasks/taskspecification.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QString>
#include <QVector>

class Mirrors;
class QFileInfo;
class QNetworkAccessManager;
class QNetworkReply;
class QVariant;

// Fetches one file of the update from a mirror chosen by the mirror list into
// a local file, retrying on a newly chosen mirror after every failure until
// it succeeds or no mirror is left. A failure is charged to the mirror that
// failed, except a transfer that breaks off after bringing the file at least
// MinimumProgress further, or that is moved for being slow while no other
// mirror did much better: such a transfer is continued from the bytes kept
// (a range request) on a mirror chosen anew. A part of the file that an
// earlier run left (killed or cancelled) is continued the same way.
// A mirror that answers a range request with the whole file is marked in
// the mirror list: that transfer starts the part over from byte 0, parts go
// to mirrors that honour ranges (or, with none left, start over), and a
// transfer from byte 0 that such a mirror breaks off or is slow in is charged.
// A local file that cannot be written is this machine's fault: the task ends
// at once with error() and the system's reason, and failureCause() in the
// player's words, charges no mirror, and no download of the run starts again.
// It holds at most one mirror slot and gives it back exactly once. Ends with
// finished() on success, canceled() otherwise.
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

    // A mirror that answers that it does not have the file (404 or 410, no
    // such file on ftp) is not charged: it keeps serving other files, and
    // another mirror is asked for this one. When no mirror that was not
    // asked is left, the task ends with canceled() after error() "File
    // <path> is missing on every mirror".
    // An optional file is not on a mirror that answers it with any 3xx or
    // 4xx status either, and when no mirror has it the task ends with
    // canceled() after the message "No mirror has <path>".
    void setOptional(bool optional) { m_optional = optional; }
    // In one piece from one mirror: no part is continued, a transfer that
    // breaks off is charged and starts over, and a slow one is not moved
    // unless it is charged. For a file that failed its check after it was
    // put together from several transfers.
    void setInOnePiece(bool onePiece) { m_onePiece = onePiece; }

    // A transfer that averages under MinimumRate bytes a second over the
    // slow-transfer window of the mirror list (ticks) is moved to a mirror
    // chosen anew; it is charged only when it fell under FloorRate or a
    // transfer from another mirror did BetterFactor times its rate in the
    // same time.
    static constexpr qint64 MinimumRate = 1024;
    static constexpr qint64 FloorRate = 64;
    static constexpr qint64 BetterFactor = 4;
    // A transfer that breaks off is charged unless it brought the file this
    // many bytes further.
    static constexpr qint64 MinimumProgress = 64 * 1024;

    // After success: the MD5 digest (raw bytes) of the whole file, computed
    // from the bytes as they were written.
    QByteArray writtenMd5() const { return m_writtenMd5; }
    // After success: whether the file was put together from more than one
    // transfer (a part that an earlier run left, or an earlier transfer of
    // this one), rather than fetched in one piece.
    bool resumed() const { return m_resumeFrom > 0; }
    // The bytes of the file fetched so far, as the transfer figures count them.
    qint64 bytesDone() const { return m_resumeFrom + m_bytesReceived; }
    // After success, for log lines: "mirror <name> at <url>" (the URL without
    // user info) of the mirror that delivered the file, with ", which
    // continued an earlier part" when it did not send all of it.
    QString origin() const;

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
    // Charges the mirror and starts another transfer; the part is kept.
    bool errorRetry(const QString &reason);
    // Starts another transfer, continuing the part; charges the mirror if
    // asked to.
    void retry(const QString &reason, bool charge);
    // The transfer ended early: continued at no charge if it brought the
    // file far enough, else charged.
    void brokeOff(const QString &reason);
    // At a tick that found the transfer too slow: moves or charges it, and
    // says whether it ended; a transfer in one piece may go on.
    bool endSlowTransfer(qint64 rate);
    // A failure of this machine, not of the mirror: stop the transfer, stop
    // the run's downloads, report it once with its cause (the system's
    // errorNumber, bytesLeft of the file still to write) and give up.
    void localError(const QString &reason, int errorNumber, qint64 bytesLeft);
    // keepPartial: a part of a file of known size stays, for the next
    // transfer or a later run.
    void resetDownload(bool keepPartial = false);
    // Drops the local part and asks for the whole file again.
    void restartWhole(const QString &reason = QString(), bool charge = false);
    // The size of a part left by an earlier transfer or run that this
    // transfer continues (0: fetch the whole file), from info on the local
    // file as found; the part is hashed on the way unless it was already.
    qint64 resumableBytes(const QFileInfo &info);
    // Whether info is a part of the file that a transfer could continue.
    bool holdsPart(const QFileInfo &info) const;
    // The transfer is one from byte 0 on a mirror that ignores ranges.
    bool wholeFromRangeIgnorer();
    bool rangeMatches() const;
    // The size of the whole file: the expected size, or else the one an
    // answer of this run stated; -1 while neither is known.
    qint64 wholeSize() const;
    // Whether the next transfer can take up the file where this one is.
    bool continuable() const;
    // How much further the current transfer brought the file.
    qint64 progressOfTransfer() const { return m_resumeFrom + m_bytesReceived - m_partAtStart; }
    void releaseSlot();
    QString mirrorFileUrl() const;
    // A reason that does not say which mirror it comes from (a transfer's
    // error text), with the mirror's name.
    QString onMirror(const QString &reason) const;
    // This mirror does not have the file: ask another one.
    void notOnMirror();
    bool isNotOnMirror(const QVariant &status) const;

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrorList;
    ReplyHolder m_reply;
    int m_idleTicks = 0;
    QString m_path;
    QFile m_file;
    qint64 m_bytesAtLastTick = 0;
    qint64 m_expectedSize;
    qint64 m_initialExpectedSize;
    qint64 m_bytesReceived = 0;
    qint64 m_sizeLimit = -1;
    qint64 m_resumeFrom = 0;
    // The size of the part when the current transfer started.
    qint64 m_partAtStart = 0;
    // The whole size, as an answer stated it, when none was expected.
    qint64 m_statedSize = -1;
    BackgroundMd5 m_md5; // of the bytes written, part included
    // How many bytes of the local file m_md5 has been given.
    qint64 m_hashed = 0;
    QElapsedTimer m_transferClock;
    QByteArray m_writtenMd5;
    // Bytes received at each of the last ticks of the transfer, oldest first.
    QVector<qint64> m_recentTicks;
    // m_mirror.name stays after success for the owner; this says whether its
    // slot is still ours to give back.
    bool m_holdsSlot = false;
    bool m_optional = false;
    bool m_onePiece = false;
    // The mirrors that said they do not have the file.
    QSet<QString> m_lacking;
};
