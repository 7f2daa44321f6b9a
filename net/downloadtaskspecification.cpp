#include "net/downloadtaskspecification.h"

#include "net/mirrors.h"
#include "net/urltext.h"
#include "tasks/failurecause.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// As much as one read of the transfer hands over: each chunk is one write to
// the file, with no buffer of the file's own between.
constexpr qint64 chunkSize = 128 * 1024;
constexpr qint64 readBufferSize = 1024 * 1024;
constexpr qint64 inlineHashLimit = 2 * chunkSize;
} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     Mirrors *mirrorList, const QString &path,
                                                     const QString &fileName,
                                                     long long expectedSize, QObject *parent,
                                                     double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , m_manager(manager)
    , m_mirrorList(mirrorList)
    , m_reply(this)
    , m_path(path)
    , m_file(fileName)
    , m_expectedSize(expectedSize)
    , m_initialExpectedSize(expectedSize)
{ }

DownloadTaskSpecification::~DownloadTaskSpecification() = default;

void DownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Downloading %1").arg(m_path));
    state = Running;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    m_lacking.clear();
    m_statedSize = -1;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(QStringLiteral("Downloading %1 finished").arg(m_path));
    releaseSlot();
    finish();
}

qint64 DownloadTaskSpecification::byteLimit() const
{
    return m_initialExpectedSize >= 0 ? m_initialExpectedSize : m_sizeLimit;
}

bool DownloadTaskSpecification::refuseOversize(qint64 bytes)
{
    const qint64 limit = byteLimit();
    if (limit < 0 || bytes <= limit)
        return false;
    // Not the file asked for: nothing of this transfer is kept.
    restartWhole(QStringLiteral("Mirror %1 sent more than the %2 bytes expected of %3, "
                                "abandoning the transfer")
                     .arg(m_mirror.name, QString::number(limit), m_path),
                 true);
    return true;
}

qint64 DownloadTaskSpecification::wholeSize() const
{
    return m_initialExpectedSize >= 0 ? m_initialExpectedSize : m_statedSize;
}

QString DownloadTaskSpecification::mirrorFileUrl() const
{
    return m_mirror.url + QLatin1Char('/') + m_path;
}

QString DownloadTaskSpecification::origin() const
{
    QString text = QStringLiteral("mirror %1 at %2")
                       .arg(m_mirror.name, UrlText::withoutUserInfo(m_mirror.url));
    if (resumed())
        text += QStringLiteral(", which continued an earlier part");
    return text;
}

QString DownloadTaskSpecification::onMirror(const QString &reason) const
{
    return QStringLiteral("%1 (mirror %2)").arg(reason, m_mirror.name);
}

void DownloadTaskSpecification::releaseSlot()
{
    if (m_holdsSlot)
        m_mirrorList->releaseMirror(m_mirror.name);
    m_holdsSlot = false;
}

void DownloadTaskSpecification::startDownload()
{
    const bool partHeld = holdsPart(QFileInfo(m_file.fileName()));
    switch (m_mirrorList->getRandomMirror(m_mirror, m_lacking, partHeld)) {
    case Mirrors::MirrorTaken:
        m_holdsSlot = true;
        break;
    case Mirrors::AllMirrorsExcluded:
        // Every mirror left said it lacks the file: a fault of the release,
        // not of the mirrors.
        if (m_optional) {
            emit message(QStringLiteral("No mirror has %1").arg(m_path));
        } else {
            emit error(QStringLiteral("File %1 is missing on every mirror").arg(m_path));
            emit failureCause(FailureCause::missingOnEveryMirror(m_path));
        }
        errorCancel();
        return;
    case Mirrors::AllSlotsBusy:
        // Every slot is busy: try again once some transfer on the manager has
        // ended and its own handling is complete.
        connect(m_manager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    case Mirrors::NoMirrorLeft:
    default:
        // The mirror list has said once that no working mirror is left, or
        // a local fault that ends the run has been reported.
        errorCancel();
        return;
    }

    // A file of a chunk or two is hashed as it arrives.
    m_md5.setInline(m_initialExpectedSize >= 0 && m_initialExpectedSize <= inlineHashLimit);
    // A pipe or a socket at the path (nothing this program makes) would hold
    // the main thread in open() for ever; the session directory is this
    // program's own, and such an entry holds no bytes: it goes.
    const QByteArray local = QFile::encodeName(m_file.fileName());
    struct stat entry;
    if (::lstat(local.constData(), &entry) == 0
        && (S_ISFIFO(entry.st_mode) || S_ISSOCK(entry.st_mode))) {
        emit message(QStringLiteral("Removing %1, which is no file").arg(m_file.fileName()));
        ::unlink(local.constData());
    }
    // Only mirrors that send the whole file are left for the part: asking for
    // the rest would bring the whole file on top of it.
    if (partHeld && m_mirror.ignoresRanges) {
        emit message(QStringLiteral("fetching %1 from the start on mirror %2, which ignores ranges")
                         .arg(m_path, m_mirror.name));
        m_file.remove();
    }
    const QFileInfo existing(m_file.fileName());
    m_resumeFrom = resumableBytes(existing);
    m_partAtStart = m_resumeFrom;
    // An empty file (made ahead of the transfer) is appended to: truncating
    // it, empty as it is, makes ext4 start writing it back as it is closed,
    // on this thread.
    const bool append = m_resumeFrom > 0
        || (existing.isFile() && !existing.isSymLink() && existing.size() == 0);
    const QIODevice::OpenMode mode = QIODevice::Unbuffered
        | (append ? QIODevice::WriteOnly | QIODevice::Append
                  : QIODevice::WriteOnly | QIODevice::Truncate);
    if (!m_file.open(mode)) {
        const int openError = errno;
        localError(QStringLiteral("Unable to create file %1 for saving: %2")
                       .arg(m_file.fileName(), m_file.errorString()),
                   openError, m_expectedSize - m_resumeFrom);
        return;
    }

    QNetworkRequest request {QUrl(mirrorFileUrl())};
    if (m_resumeFrom > 0) {
        emit message(
            QStringLiteral("continuing %1 at %2 bytes").arg(m_path, QString::number(m_resumeFrom)));
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeFrom) + '-');
        if (wholeSize() > 0)
            setProgress(double(m_resumeFrom) / double(wholeSize()));
    }
    m_transferClock.start();
    m_reply.reset(m_manager->get(request));
    if (!m_reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        releaseSlot();
        errorCancel();
        return;
    }
    // Memory must not grow with what a mirror sends: the network side waits
    // while that much is unread. A file known to be smaller never fills it.
    m_reply->setReadBufferSize(readBufferSize);
    if (!m_reply->isRunning()) {
        errorRetry(onMirror(m_reply->errorString()));
        return;
    }
    connect(m_reply.get(), &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_reply.get(), &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_reply.get(), &QNetworkReply::finished, this,
            &DownloadTaskSpecification::onDownloadFinished);
    connect(m_reply.get(), &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *)
{
    disconnect(m_manager, nullptr, this, nullptr);
    // A task that stopped while it waited must not start again.
    if (m_reply || state != Running)
        return;
    startDownload();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_reply)
        return;
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    bool ok = false;
    const int code = status.toInt(&ok);
    if (!status.isNull() && !(ok && (code == 200 || (code == 206 && m_resumeFrom > 0)))) {
        if (ok && code == 416 && m_resumeFrom > 0) {
            // The mirror's file is not longer than our part of it: it is
            // not the file expected. Charged, lest a mirror keep a file
            // starting over; the file is fetched whole.
            restartWhole(
                QStringLiteral("%1 refused to resume at byte %2, starting over")
                    .arg(UrlText::withoutUserInfo(mirrorFileUrl()), QString::number(m_resumeFrom)),
                true);
            return;
        }
        if (isNotOnMirror(status)) {
            notOnMirror();
            return;
        }
        // Any other answer, redirects included, disqualifies the mirror.
        m_mirrorList->removeMirror(m_mirror.name);
        // One arg() call: a "%2" inside the URL (an encoded "/") is not a placeholder.
        errorRetry(
            QStringLiteral("%1 returned %2")
                .arg(UrlText::withoutUserInfo(mirrorFileUrl()), QString::number(ok ? code : 0)));
        return;
    }
    if (ok && code == 200 && m_resumeFrom > 0) {
        // The mirror ignored the range and sends the whole file: the part
        // starts over with this transfer, which is judged as one from byte 0
        // (the part it replaced is no progress of it), and no part goes to
        // this mirror again while another one can continue it.
        m_mirrorList->noteIgnoresRanges(m_mirror.name);
        m_file.resize(0);
        m_md5.reset();
        m_hashed = 0;
        m_resumeFrom = 0;
        m_partAtStart = 0;
        setProgress(0);
    } else if (ok && code == 206 && !rangeMatches()) {
        // Another part, or a part of another file: charged, so that no
        // mirror can keep a file starting over.
        const QString range = QString::fromLatin1(m_reply->rawHeader("Content-Range"));
        restartWhole(QStringLiteral("Mirror %1 answered the resumed download of %2 with the "
                                    "range \"%3\", starting over")
                         .arg(m_mirror.name, m_path, range),
                     true);
        return;
    }
    // A body announced larger than allowed is not worth starting.
    bool lengthKnown = false;
    const qint64 announced
        = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&lengthKnown);
    if (!lengthKnown)
        return;
    if (refuseOversize(m_resumeFrom + announced))
        return;
    // A file of unknown size can be continued once an answer said how long it is.
    if (m_initialExpectedSize < 0 && m_resumeFrom == 0)
        m_statedSize = announced;
}

bool DownloadTaskSpecification::isNotOnMirror(const QVariant &status) const
{
    bool ok = false;
    const int code = status.toInt(&ok);
    if (!ok)
        return false;
    // Object stores and CDNs answer 403 or redirect for a key they lack; for
    // a file that the release needs, only a plain "not found" is believed.
    if (m_optional)
        return code >= 300 && code < 500;
    return code == 404 || code == 410;
}

bool DownloadTaskSpecification::rangeMatches() const
{
    // "bytes first-last/total": the rest of the file from where we stopped.
    const QByteArray range = m_reply->rawHeader("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return false;
    const QList<QByteArray> parts = range.mid(6).split('/');
    const QList<QByteArray> span = parts.value(0).split('-');
    bool firstOk = false;
    bool lastOk = false;
    const qint64 first = span.value(0).toLongLong(&firstOk);
    const qint64 last = span.value(1).toLongLong(&lastOk);
    const QByteArray total = parts.value(1);
    const qint64 size = wholeSize();
    return parts.size() == 2 && span.size() == 2 && firstOk && lastOk && first == m_resumeFrom
        && last == size - 1 && (total == "*" || total == QByteArray::number(size));
}

bool DownloadTaskSpecification::holdsPart(const QFileInfo &info) const
{
    // Only a file of known size is continued, and only from a part shorter
    // than it.
    const qint64 size = wholeSize();
    return !m_onePiece && size > 0 && info.isFile() && !info.isSymLink() && info.size() > 0
        && info.size() < size;
}

qint64 DownloadTaskSpecification::resumableBytes(const QFileInfo &info)
{
    // The part is hashed first (unless it is what this task wrote and hashed
    // already), so that the digest of the whole file comes from the bytes
    // written. Should the part not read back whole, the digest fails the
    // check and the file is fetched again.
    if (!holdsPart(info)) {
        m_md5.reset();
        m_hashed = 0;
        return 0;
    }
    if (m_hashed != info.size()) {
        m_md5.reset();
        m_md5.addFilePrefix(m_file.fileName(), info.size());
        m_hashed = info.size();
    }
    return info.size();
}

void DownloadTaskSpecification::restartWhole(const QString &reason, bool charge)
{
    // The part is dropped and the file asked for again, from a mirror chosen
    // anew.
    if (charge)
        m_mirrorList->addMirrorError(m_mirror.name);
    resetDownload();
    m_file.remove();
    m_statedSize = -1;
    if (!reason.isEmpty())
        emit message(reason);
    startDownload();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    // A continued transfer states the length of the rest.
    if (bytesTotal > 0 && m_expectedSize == -1)
        m_expectedSize = m_resumeFrom + bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    for (;;) {
        if (!m_reply)
            return true;
        m_idleTicks = 0;
        const qint64 available = m_reply->bytesAvailable();
        if (available <= 0)
            return true;

        // One copy out of the transfer: the chunk is written from and then
        // handed to the hashing thread as it is.
        QByteArray chunk(qMin(available, chunkSize), Qt::Uninitialized);
        const qint64 bytesRead = m_reply->read(chunk.data(), chunk.size());
        if (bytesRead < 0) {
            brokeOff(onMirror(m_reply->errorString()));
            return false;
        }
        if (bytesRead == 0)
            return true;

        // A mirror may not fill the disk: anything beyond the size known from
        // the product ini (0 included), or beyond the limit of a file of
        // unknown size, is the mirror's fault.
        if (refuseOversize(m_resumeFrom + m_bytesReceived + bytesRead))
            return false;

        chunk.truncate(bytesRead);
        // A write cut short by a full disk says nothing of why; the write of
        // the rest then fails with the system's reason.
        qint64 written = 0;
        // What the file still needs from this chunk on.
        const qint64 stillToWrite
            = m_expectedSize > 0 ? m_expectedSize - m_resumeFrom - m_bytesReceived : bytesRead;
        while (written < bytesRead) {
            const qint64 count = m_file.write(chunk.constData() + written, bytesRead - written);
            const int writeError = errno;
            if (count < 0) {
                localError(QStringLiteral("Error writing to file %1: %2")
                               .arg(m_file.fileName(), m_file.errorString()),
                           writeError, stillToWrite - written);
                return false;
            }
            if (count == 0) {
                localError(QStringLiteral("Error writing to file %1. Should write %2 bytes but "
                                          "wrote %3 bytes")
                               .arg(m_file.fileName(), QString::number(bytesRead),
                                    QString::number(written)),
                           writeError, stillToWrite - written);
                return false;
            }
            written += count;
        }

        m_md5.addData(std::move(chunk));
        m_hashed += bytesRead;
        m_bytesReceived += bytesRead;
        if (m_expectedSize >= 1)
            setProgress(
                qMin(1.0, double(m_resumeFrom + m_bytesReceived) / double(m_expectedSize)));
    }
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_reply)
        return;
    const QNetworkReply::NetworkError failure = m_reply->error();
    if (failure != QNetworkReply::NoError) {
        // An HTTP status has been judged already: these come from ftp, which
        // answers 550 both for a file and for a folder that is not there.
        if (m_bytesReceived == 0
            && (failure == QNetworkReply::ContentNotFoundError
                || failure == QNetworkReply::ContentAccessDenied)) {
            notOnMirror();
            return;
        }
        if (failure == QNetworkReply::AuthenticationRequiredError) {
            m_mirrorList->removeMirror(m_mirror.name);
            m_reply->close();
            errorRetry(onMirror(m_reply->errorString()));
            return;
        }
        // What arrived before the break belongs to the part.
        const QString reason = onMirror(m_reply->errorString());
        if (readData() && m_reply)
            brokeOff(reason);
        return;
    }
    if (!readData())
        return;
    // The last buffered bytes may still fail to reach the disk.
    if (!m_file.flush()) {
        const int flushError = errno;
        localError(QStringLiteral("Error writing to file %1: %2")
                       .arg(m_file.fileName(), m_file.errorString()),
                   flushError, 0);
        return;
    }
    m_reply->close();
    m_reply.reset();
    m_file.close();
    // A whole transfer's rate counts as well, for a second at the least.
    if (m_bytesReceived > 0)
        m_mirrorList->noteRate(
            m_mirror.name, m_bytesReceived * 1000 / qMax<qint64>(1000, m_transferClock.elapsed()));
    // The mirror is free for the next transfer while the last bytes are hashed.
    releaseSlot();
    m_md5.finish(this, [this](const QByteArray &digest) {
        if (state != Running)
            return;
        m_writtenMd5 = digest;
        downloadFinished();
    });
}

void DownloadTaskSpecification::notOnMirror()
{
    emit message(QStringLiteral("%1 is not on mirror %2").arg(m_path, m_mirror.name));
    m_lacking.insert(m_mirror.name);
    resetDownload(true);
    startDownload();
}

bool DownloadTaskSpecification::errorRetry(const QString &reason)
{
    retry(reason, true);
    return true;
}

void DownloadTaskSpecification::retry(const QString &reason, bool charge)
{
    if (charge)
        m_mirrorList->addMirrorError(m_mirror.name);
    resetDownload(true);
    // A reply's error text may quote the URL it was given.
    emit message(UrlText::withoutUserInfo(reason));
    startDownload();
}

void DownloadTaskSpecification::brokeOff(const QString &reason)
{
    // A line that drops now and then costs no mirror: the next transfer
    // takes up the file where this one stopped. A transfer that brought
    // little is charged, so that a mirror breaking off at once cannot keep
    // the file going for ever; so is one that stopped at the file's end
    // without ending, as the next would start over. In one piece nothing is
    // continued and every break is charged. A mirror that ignores ranges
    // cannot take up what it broke off: its transfers from byte 0 are
    // charged whatever they brought, so that it cannot keep a file
    // starting over for ever.
    retry(reason,
          !continuable() || progressOfTransfer() < MinimumProgress || wholeFromRangeIgnorer());
}

bool DownloadTaskSpecification::wholeFromRangeIgnorer()
{
    return m_resumeFrom == 0 && m_mirrorList->ignoresRanges(m_mirror.name);
}

bool DownloadTaskSpecification::continuable() const
{
    return !m_onePiece && wholeSize() > 0 && m_resumeFrom + m_bytesReceived < wholeSize();
}

bool DownloadTaskSpecification::endSlowTransfer(qint64 rate)
{
    const int window = m_mirrorList->slowTransferWindow();
    const qint64 better = m_mirrorList->bestRateElsewhere(m_mirror.name, qint64(window) * 1000);
    const auto line = [&](const QString &outcome) {
        return QStringLiteral("Mirror %1 sent %2 at %3 bytes/s over the last %4 s, %5")
            .arg(m_mirror.name, m_path, QString::number(rate), QString::number(window), outcome);
    };
    // A mirror is at fault when another one did much better in the same
    // time, or when nothing that slow can be a line that carries an update.
    // A slow move must bring the file a little further, and cannot move a
    // transfer from byte 0 off a mirror that ignores ranges for free.
    if (rate < FloorRate || (better > 0 && better >= BetterFactor * rate)
        || (!m_onePiece
            && (!continuable() || progressOfTransfer() < FloorRate * window
                || wholeFromRangeIgnorer()))) {
        retry(line(QStringLiteral("abandoning the transfer")), true);
        return true;
    }
    // The line is slow, not the mirror. Moving the file to a mirror chosen
    // anew may find a faster way; in one piece it would start over instead.
    if (m_onePiece)
        return false;
    retry(line(QStringLiteral("moving the transfer")), false);
    return true;
}

void DownloadTaskSpecification::localError(const QString &reason, int errorNumber, qint64 bytesLeft)
{
    // The volume is asked as the fault left it, before this file's part goes.
    const QString cause = FailureCause::forWriteError(m_file.fileName(), errorNumber,
                                                      quint64(qMax<qint64>(bytesLeft, 0)));
    // The transfer stops before anyone hears of the fault: whatever the
    // report sets off, no tick can time this transfer out and charge its
    // mirror. The same disk holds every download of the run, so none of them
    // starts again; the run ends with this one report.
    resetDownload();
    m_mirrorList->stopHandingOut();
    emit error(reason);
    emit failureCause(cause);
    errorCancel();
}

void DownloadTaskSpecification::resetDownload(bool keepPartial)
{
    releaseSlot();
    if (!m_mirror.name.isNull())
        m_mirror.name = QString();
    m_reply.reset();
    m_idleTicks = 0;
    if (m_file.isOpen()) {
        m_file.close();
        // Only a part of a file of known size can be continued.
        if (!keepPartial || wholeSize() <= 0 || m_file.size() == 0)
            m_file.remove();
    }
    // The digest goes on with a part that is continued.
    if (!keepPartial || !m_file.exists()) {
        m_md5.reset();
        m_hashed = 0;
    }
    m_bytesAtLastTick = 0;
    m_bytesReceived = 0;
    m_resumeFrom = 0;
    m_partAtStart = 0;
    m_recentTicks.clear();
    m_expectedSize = m_initialExpectedSize;
    setProgress(0);
}

void DownloadTaskSpecification::timeTick(unsigned long long &downloadDone,
                                         unsigned long long &downloadTotal,
                                         unsigned long long &speed, bool &downloading)
{
    downloadDone = quint64(m_resumeFrom + m_bytesReceived);
    downloadTotal = m_expectedSize < 0 ? 0 : quint64(m_expectedSize);
    speed = quint64(m_bytesReceived - m_bytesAtLastTick);
    m_bytesAtLastTick = m_bytesReceived;

    if (state != Running || !m_reply)
        return;
    if (++m_idleTicks > m_mirror.timeout) {
        brokeOff(QStringLiteral("file %1 timed out on mirror %2").arg(m_path, m_mirror.name));
        return;
    }
    // A byte now and then keeps the idle count at zero; the average over the
    // window catches such a trickle.
    m_recentTicks.append(m_bytesReceived);
    const int window = m_mirrorList->slowTransferWindow();
    if (m_recentTicks.size() > window) {
        const qint64 rate = (m_bytesReceived - m_recentTicks.takeFirst()) / window;
        m_mirrorList->noteRate(m_mirror.name, rate);
        if (rate < MinimumRate && endSlowTransfer(rate))
            return;
    }
    downloading = true;
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    disconnect(m_manager, nullptr, this, nullptr);
    // The part fetched so far stays for the next run of the session to continue.
    resetDownload(true);
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *)
{
    disconnect(m_manager, nullptr, this, nullptr);
    if (m_reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(m_path));
        resetDownload(true);
    }
    errorCancel();
}
