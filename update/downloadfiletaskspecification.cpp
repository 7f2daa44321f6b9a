#include "update/downloadfiletaskspecification.h"

#include "app/configuration.h"
#include "fileops/checksignaturetaskspecification.h"
#include "fileops/filedigestcache.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"

#include <QFile>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(
    const FileDownloadSpecification &file, QNetworkAccessManager *manager, Mirrors *mirrors,
    Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , file(file)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{ }

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString remotePath = file.section + QLatin1Char('/') + file.filePath;
    const QString localPath = configuration->m_tempDir + QLatin1Char('/') + file.filePath;

    currentDownload = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath,
                                                    file.size, this, 0.8);
    // The check that follows uses the digest of the bytes as they were written.
    connect(currentDownload, &TaskSpecification::finished, this, [localPath](TaskSpecification *task) {
        FileDigestCache::record(localPath,
                                static_cast<DownloadTaskSpecification *>(task)->writtenMd5());
    });
    addSubTask(currentDownload);

    auto *check = new CheckSignatureTaskSpecification(localPath, file.md5, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok)
        return;
    if (cancelRequested) {
        // The user asked to stop while the file was being checked: no new
        // attempt. The check that called us ends unheard.
        clearSubTasks();
        currentDownload = nullptr;
        userCancel();
        return;
    }
    // Never continued again: the next attempt fetches the whole file.
    QFile::remove(configuration->m_tempDir + QLatin1Char('/') + file.filePath);
    if (currentDownload->resumed()) {
        // The part came from an earlier run, perhaps from another mirror:
        // the one that sent the rest is not surely at fault.
        emit message(QStringLiteral("md5 sum for %1 failed after resuming, fetching the whole "
                                    "file")
                         .arg(file.filePath));
    } else {
        emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying")
                         .arg(file.filePath));
        // The download keeps the name of the mirror that delivered the file.
        mirrors->removeMirror(currentDownload->m_mirror.name);
    }
    // The check that called us is only deleted later; it ends unheard.
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    currentDownload = nullptr;
    TaskSpecification::reset();
}
