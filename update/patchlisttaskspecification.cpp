#include "update/patchlisttaskspecification.h"

#include "digest/filedigestcache.h"
#include "fileops/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "update/patchlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

PatchListTaskSpecification::PatchListTaskSpecification(const PatchListSpecification &patchList,
                                                       QList<FileDownloadSpecification> *downloads,
                                                       QNetworkAccessManager *manager,
                                                       Mirrors *mirrors,
                                                       const RunSettings &settings, QObject *parent,
                                                       double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , m_patchList(patchList)
    , m_downloads(downloads)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_settings(settings)
{ }

QString PatchListTaskSpecification::localPath() const
{
    return m_settings.sessionDir + QLatin1Char('/') + m_patchList.name;
}

void PatchListTaskSpecification::execute()
{
    if (m_patchList.size > MaxSize) {
        emit message(QStringLiteral("Patch list %1 has %2 bytes, more than the %3 allowed; files "
                                    "are fetched whole")
                         .arg(m_patchList.name, QString::number(m_patchList.size),
                              QString::number(MaxSize)));
        finish();
        return;
    }
    const QString local = localPath();
    QDir().mkpath(QFileInfo(local).path());
    m_download = new DownloadTaskSpecification(m_manager, m_mirrors, m_patchList.name, local,
                                               m_patchList.size, this, 0.8);
    m_download->setOptional(true);
    connect(m_download, &TaskSpecification::finished, this, [local](TaskSpecification *task) {
        FileDigestCache::record(local, static_cast<DownloadTaskSpecification *>(task)->writtenMd5());
    });
    // Without the list, files are fetched whole: its absence fails no run
    // and names no cause. Its transfer names one only for a session file it
    // cannot write, which ends the run's downloads.
    addSubTask(m_download);
    auto *check = new CheckSignatureTaskSpecification(local, m_patchList.md5, false, this, 0.2);
    // The failure line names the mirror that sent the list.
    connect(m_download, &TaskSpecification::finished, check,
            [download = m_download, check] { check->origin = download->origin(); });
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &PatchListTaskSpecification::onCheckDone);
    addSubTask(check);
    state = Running;
    executeSubTasks();
}

void PatchListTaskSpecification::onCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    QFile file(localPath());
    if (!ok) {
        if (!m_download->resumed()) {
            // Not what the product ini signed: the mirror served it wrong.
            emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror %2")
                             .arg(m_patchList.name, m_download->m_mirror.name));
            m_mirrors->removeMirror(m_download->m_mirror.name);
        }
        emit message(QStringLiteral("No patches: files are fetched whole"));
        file.remove();
        return;
    }
    // Its size was held to the signed one while it arrived.
    QByteArray text;
    if (file.open(QIODevice::ReadOnly))
        text = file.read(MaxSize);
    PatchList list;
    list.apply(text, m_patchList.listedKeys, *m_downloads);
    for (const QString &problem : list.problems())
        emit message(problem);
    m_patchCount = list.patchCount();
}

void PatchListTaskSpecification::subtasksDone()
{
    if (!cancelRequested && getStateFromSubTasks() == ErrorCanceled) {
        // The list is not on any mirror (or none is left, which the files
        // will find out for themselves).
        emit message(QStringLiteral("No patches: files are fetched whole"));
        finish();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}
