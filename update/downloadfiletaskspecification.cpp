#include "update/downloadfiletaskspecification.h"

#include "digest/filedigestcache.h"
#include "fileops/checksignaturetaskspecification.h"
#include "fileops/filepatchtaskspecification.h"
#include "fileops/installedcopytaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "tasks/failurecause.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

namespace {

// A patch that fails its check is fetched once more before the whole file.
constexpr int maxBadPatches = 2;

// The check's failure line names the mirror that sent the file.
void nameOrigin(DownloadTaskSpecification *download, CheckSignatureTaskSpecification *check)
{
    QObject::connect(download, &TaskSpecification::finished, check,
                     [download, check] { check->origin = download->origin(); });
}

} // namespace

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
    const FileDownloadSpecification &file, QNetworkAccessManager *manager, Mirrors *mirrors,
    const RunSettings &settings, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , file(file)
    , manager(manager)
    , mirrors(mirrors)
    , settings(settings)
{ }

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

QString DownloadFileTaskSpecification::localPath() const
{
    return settings.sessionDir + QLatin1Char('/') + file.filePath;
}

qint64 DownloadFileTaskSpecification::sizeLimit()
{
    // Without a size that bounds it, a download may take the room there is,
    // within reason; the MD5 sum decides whether it is the file.
    const QStorageInfo storage(QFileInfo(localPath()).absolutePath());
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : -1;
    const qint64 limit = available >= 0 ? qMin(available, MaxUnsizedDownload) : MaxUnsizedDownload;
    if (!m_sizeLimitReported) {
        m_sizeLimitReported = true;
        emit message(QStringLiteral("The product ini gives no usable size for %1; its download "
                                    "is held to %2 bytes, and its md5 sum decides")
                         .arg(file.filePath, QString::number(limit)));
    }
    return limit;
}

QString DownloadFileTaskSpecification::patchLocalPath() const
{
    return settings.sessionDir + QLatin1Char('/') + file.patchPath();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    if (!file.localSource.isEmpty()) {
        makeLocalCopySubtasks();
        return;
    }
    if (file.hasPatch() && !m_patchFailed) {
        makePatchSubtasks();
        return;
    }
    if (reportMethod && !m_patchFailed)
        emit message(QStringLiteral("Fetching %1: whole file").arg(file.filePath));
    reportMethod = false;
    const QString remotePath = file.section + QLatin1Char('/') + file.filePath;
    const QString localPath = this->localPath();

    currentDownload = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath,
                                                    file.sizeBounds ? file.size : -1, this, 0.8);
    if (!file.sizeBounds)
        currentDownload->setSizeLimit(sizeLimit());
    currentDownload->setInOnePiece(m_onePiece);
    // The check that follows uses the digest of the bytes as they were written.
    connect(currentDownload, &TaskSpecification::finished, this, [localPath](TaskSpecification *task) {
        FileDigestCache::record(localPath,
                                static_cast<DownloadTaskSpecification *>(task)->writtenMd5());
    });
    addSubTask(currentDownload);

    auto *check = new CheckSignatureTaskSpecification(localPath, file.md5, false, this, 0.2);
    nameOrigin(currentDownload, check);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::makePatchSubtasks()
{
    if (reportMethod)
        emit message(QStringLiteral("Fetching %1: patch").arg(file.filePath));
    reportMethod = false;
    m_patching = true;
    const QString patchPath = patchLocalPath();
    const QString localPath = this->localPath();
    QDir().mkpath(QFileInfo(patchPath).path());

    // The patch is fetched like a file, except that a mirror may lack it.
    currentDownload = new DownloadTaskSpecification(manager, mirrors, file.patchPath(), patchPath,
                                                    file.patchSize, this, 0.6);
    currentDownload->setOptional(true);
    currentDownload->setInOnePiece(m_patchInOnePiece);
    connect(currentDownload, &TaskSpecification::finished, this, [patchPath](TaskSpecification *task) {
        FileDigestCache::record(patchPath,
                                static_cast<DownloadTaskSpecification *>(task)->writtenMd5());
    });
    addSubTask(currentDownload);
    auto *patchCheck
        = new CheckSignatureTaskSpecification(patchPath, file.patchMd5, false, this, 0.05);
    nameOrigin(currentDownload, patchCheck);
    connect(patchCheck, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onPatchCheckDone);
    addSubTask(patchCheck);
    auto *patch
        = new FilePatchTaskSpecification(settings.appRoot + QLatin1Char('/') + file.installedPath,
                                         patchPath, localPath, file.targetSize, this, 0.15);
    addSubTask(patch);
    // Whatever stops the patch, the whole file follows: what stopped it is
    // not what the run fails of. The patch's transfer names a cause only for
    // a session file it cannot write, which ends the run's downloads.
    disconnect(patch, &TaskSpecification::failureCause, this, &TaskSpecification::failureCause);
    // The result is checked against the signed sum of the whole file
    // (unpacked, for a compressed key), as a download is.
    auto *check = new CheckSignatureTaskSpecification(localPath, file.targetMd5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onPatchedCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::makeLocalCopySubtasks()
{
    emit message(
        QStringLiteral("Copying %1 from the installed %2").arg(file.filePath, file.localSource));
    m_copying = true;
    addSubTask(new InstalledCopyTaskSpecification(settings.appRoot, file.localSource, localPath(),
                                                  file.targetSize, this, 0.8));
    // Checked like a download, against the signed sum of what is installed
    // (the unpacked file, for a compressed key).
    auto *check
        = new CheckSignatureTaskSpecification(localPath(), file.targetMd5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onLocalCopyCheckDone);
    addSubTask(check);
    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onLocalCopyCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok) {
        m_copied = true;
        return;
    }
    if (cancelRequested) {
        stopOnCancel();
        return;
    }
    // Nothing of a copy with other bytes is kept to be continued.
    QFile::remove(localPath());
    fetchInsteadOfCopy();
}

void DownloadFileTaskSpecification::fetchInsteadOfCopy()
{
    // The installed file changed after it was compared: no mirror is to
    // blame. A copy that failed left the session directory as it was.
    emit message(QStringLiteral("Fetching %1 from the mirrors instead").arg(file.filePath));
    file.localSource.clear();
    emit fetchGrew(file.hasPatch() ? file.patchSize : file.size);
    // The subtask that called us is only deleted later; it ends unheard.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::onPatchCheckDone(bool ok,
                                                     CheckSignatureTaskSpecification *check)
{
    if (ok)
        return;
    if (cancelRequested) {
        stopOnCancel();
        return;
    }
    const QString mirror = currentDownload->m_mirror.name;
    const bool sameBytes = !check->foundMd5.isEmpty() && check->foundMd5 == m_badPatchMd5;
    m_badPatchMd5 = check->foundMd5;
    if (currentDownload->resumed()) {
        // Put together from several transfers: no mirror is surely at fault,
        // and the next patch comes in one piece.
        emit message(QStringLiteral("md5 sum for %1 failed after resuming").arg(file.patchPath()));
        m_patchInOnePiece = true;
    } else if (sameBytes) {
        // A second mirror sent the very bytes of the first: that is the
        // patch as released, which its list does not sign; not the mirror's
        // fault.
        emit message(QStringLiteral("md5 sum for %1 failed again with the same bytes, from mirror "
                                    "%2: the released patch is not the one listed")
                         .arg(file.patchPath(), mirror));
    } else {
        emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror %2")
                         .arg(file.patchPath(), mirror));
        mirrors->removeMirror(mirror);
    }
    // Another mirror may have the patch intact: a few hundred KiB instead of
    // the whole file. Once, lest a patch that no mirror has right cost a
    // mirror at each try.
    if (++m_badPatches < maxBadPatches)
        fetchPatchAgain();
    else
        fetchWholeFile();
}

void DownloadFileTaskSpecification::fetchPatchAgain()
{
    keepFetchedBytes();
    emit message(QStringLiteral("Fetching %1: patch again").arg(file.filePath));
    QFile::remove(patchLocalPath());
    emit fetchGrew(file.patchSize);
    // The subtask that called us is only deleted later; it ends unheard.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::onPatchedCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok) {
        m_patched = true;
        return;
    }
    if (cancelRequested) {
        stopOnCancel();
        return;
    }
    // The patch was the one signed: no mirror is to blame. The result is no
    // part of the file to continue.
    QFile::remove(localPath());
    fetchWholeFile();
}

void DownloadFileTaskSpecification::subtasksDone()
{
    if (m_copying && !cancelRequested && getStateFromSubTasks() == ErrorCanceled) {
        fetchInsteadOfCopy();
        return;
    }
    // A patch that is on no mirror, or cannot be applied: the whole file.
    if (m_patching && !cancelRequested && getStateFromSubTasks() == ErrorCanceled) {
        fetchWholeFile();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
    // A fetched file needs its transfer and checks no more; released now,
    // memory does not grow with the number of files fetched.
    if (state == Finished) {
        releaseSubTasks();
        currentDownload = nullptr;
    }
}

void DownloadFileTaskSpecification::keepFetchedBytes()
{
    // Read, not ticked: a tick would also count towards the transfer's time-outs.
    if (currentDownload)
        m_droppedBytes += quint64(currentDownload->bytesDone());
}

void DownloadFileTaskSpecification::fetchWholeFile()
{
    // What was fetched for the patch still counts in the transfer figures.
    keepFetchedBytes();
    emit message(QStringLiteral("Fetching %1: whole file").arg(file.filePath));
    QFile::remove(patchLocalPath());
    m_patching = false;
    m_patchFailed = true;
    emit fetchGrew(file.size);
    // The subtask that called us is only deleted later; it ends unheard.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::stopOnCancel()
{
    // The check that called us ends unheard.
    clearSubTasks();
    currentDownload = nullptr;
    userCancel();
}

void DownloadFileTaskSpecification::timeTick(unsigned long long &downloadDone,
                                             unsigned long long &downloadTotal,
                                             unsigned long long &speed, bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    downloadDone += m_droppedBytes;
    downloadTotal += m_droppedBytes;
}

void DownloadFileTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok)
        return;
    if (cancelRequested) {
        // The user asked to stop while the file was being checked: no new
        // attempt. The check that called us ends unheard.
        stopOnCancel();
        return;
    }
    // Never continued again: the next attempt fetches the whole file.
    QFile::remove(localPath());
    if (currentDownload->resumed()) {
        // The parts came from several transfers, perhaps from several
        // mirrors: none of them is surely at fault. The file comes in one
        // piece from one mirror now, so that the next failure has an author.
        emit message(QStringLiteral("md5 sum for %1 failed after resuming, fetching the whole "
                                    "file")
                         .arg(file.filePath));
        m_onePiece = true;
    } else {
        emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying")
                         .arg(file.filePath));
        // The download keeps the name of the mirror that delivered the file.
        mirrors->removeMirror(currentDownload->m_mirror.name);
        // The last mirror sent it damaged too: the file is what fails, not
        // the mirrors.
        int capacity = 0;
        int used = 0;
        mirrors->calcUseStats(capacity, used);
        if (capacity == 0)
            emit failureCause(FailureCause::damagedOnEveryMirror(file.filePath));
    }
    // The check that called us is only deleted later; it ends unheard.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    currentDownload = nullptr;
    m_patching = false;
    m_copying = false;
    TaskSpecification::reset();
}
