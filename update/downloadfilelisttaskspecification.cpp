#include "update/downloadfilelisttaskspecification.h"

#include "fileops/diskworker.h"
#include "tasks/failurecause.h"
#include "update/downloadfiletaskspecification.h"
#include "update/filespecifications.h"
#include "update/installationcheck.h"
#include "update/patchlisttaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

// The bytes a file takes from the mirrors as planned: none for a copy of an
// installed file.
qint64 bytesToFetch(const FileDownloadSpecification &file)
{
    if (!file.localSource.isEmpty())
        return 0;
    return qMax<qint64>(file.hasPatch() ? file.patchSize : file.size, 0);
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification> *downloads, QNetworkAccessManager *manager, Mirrors *mirrors,
    const RunSettings &settings, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(settings.streams(), parentProgressRange, parent)
    , downloads(downloads)
    , manager(manager)
    , mirrors(mirrors)
    , settings(settings)
{ }

DownloadFileListTaskSpecification::~DownloadFileListTaskSpecification() = default;

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (downloads->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    // An empty sum would make the check after each download a signature
    // check, which no mirror can pass: the product ini is at fault, and no
    // mirror is blamed for it.
    for (const FileDownloadSpecification &file : std::as_const(*downloads)) {
        if (file.md5.isEmpty()) {
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(file.section));
            errorCancel();
            return;
        }
    }
    if (!makeSubDirs())
        return;

    emit message(QStringLiteral("Downloading files"));
    m_patchesOffered = false;
    if (m_patchList && m_patchList->isValid()) {
        for (const FileDownloadSpecification &file : std::as_const(*downloads)) {
            m_patchesOffered
                = m_patchesOffered || (!file.installedMd5.isEmpty() && file.localSource.isEmpty());
        }
    }
    if (m_patchesOffered) {
        // The files wait for the list: it decides how each is fetched. It
        // takes no share of the progress, which counts files.
        m_fetchingPatchList = true;
        totalDownloadSize = quint64(qMax<qint64>(m_patchList->size, 0));
        for (const FileDownloadSpecification &file : std::as_const(*downloads))
            totalDownloadSize += quint64(bytesToFetch(file));
        addSubTask(new PatchListTaskSpecification(*m_patchList, downloads, manager, mirrors,
                                                  settings, this, 0.0));
        state = Running;
        executeSubTasks();
        return;
    }
    makeFileTasks();
    state = Running;
    executeSubTasks();
}

void DownloadFileListTaskSpecification::makeFileTasks()
{
    totalDownloadSize = m_patchesOffered ? quint64(qMax<qint64>(m_patchList->size, 0)) : 0;
    QByteArray wholeFiles;
    for (const FileDownloadSpecification &file : std::as_const(*downloads)) {
        totalDownloadSize += quint64(bytesToFetch(file));
        DiskWorker::appendName(&wholeFiles, file.hasPatch() || !file.localSource.isEmpty()
                                                ? QString()
                                                : file.filePath);
    }
    if (!m_disk)
        m_disk = std::make_unique<DiskWorker>();
    m_disk->makeAhead(settings.sessionDir, std::move(wholeFiles));
    // Every file counts the same in the progress, whatever its size. A file's
    // task is made as a stream frees, and let go once the file is checked.
    const double weight = 1.0 / downloads->size();
    setSubTaskMaker(downloads->size(), [this, weight](int index) {
        m_disk->reached(index);
        auto *task = new DownloadFileTaskSpecification(downloads->at(index), manager, mirrors,
                                                       settings, this, weight);
        task->reportMethod = m_patchesOffered;
        connect(task, &TaskSpecification::finished, this,
                &DownloadFileListTaskSpecification::onFileFinished);
        // A patch that fails is followed by the whole file.
        connect(task, &DownloadFileTaskSpecification::fetchGrew, this,
                [this](qint64 bytes) { totalDownloadSize += quint64(qMax<qint64>(bytes, 0)); });
        return task;
    });
}

void DownloadFileListTaskSpecification::setPatchSource(const PatchListSpecification *patchList,
                                                       QList<FileReplaceSpecification> *replaces)
{
    m_patchList = patchList;
    m_replaces = replaces;
}

bool DownloadFileListTaskSpecification::roomForPatches()
{
    // The list step counted every file as fetched whole.
    const bool patched = std::any_of(downloads->cbegin(), downloads->cend(),
                                     [](const FileDownloadSpecification &file) {
                                         return file.hasPatch() && file.localSource.isEmpty();
                                     });
    if (!patched || !m_replaces)
        return true;
    // Lists share their entries: nothing is copied.
    FileSpecifications lists;
    lists.downloads = *downloads;
    lists.replaces = *m_replaces;
    lists.patchList = *m_patchList;
    InstallationCheck check(lists, settings.sessionDir, settings.appRoot,
                            InstallationCheck::patchesAtOnce(settings.streams()));
    if (check.runWithPatches())
        return true;
    emit message(check.logLine());
    emit failureCause(check.cause());
    return false;
}

void DownloadFileListTaskSpecification::onFileFinished(TaskSpecification *task)
{
    const auto *fileTask = static_cast<DownloadFileTaskSpecification *>(task);
    m_disk->syncBehind(fileTask->localPath());
    if (fileTask->patched())
        ++patchedFiles;
    else if (fileTask->copiedLocally())
        ++copiedFiles;
    else
        ++fetchedFiles;
    // A patch's result and a copy of an installed file lie unpacked.
    if (!(fileTask->patched() || fileTask->copiedLocally()) || !fileTask->file.unpacked
        || !m_replaces)
        return;
    // Made once, when the first such file is done: a search of the whole
    // list for each of many thousand would take quadratic time.
    if (m_replaceOf.isEmpty()) {
        for (qsizetype i = 0; i < m_replaces->size(); ++i)
            m_replaceOf[m_replaces->at(i).filePath].append(i);
    }
    for (const qsizetype i : m_replaceOf.value(fileTask->file.filePath))
        (*m_replaces)[i].storedUnpacked = true;
}

void DownloadFileListTaskSpecification::subtasksDone()
{
    if (m_fetchingPatchList) {
        m_fetchingPatchList = false;
        if (!cancelRequested && getStateFromSubTasks() == Finished) {
            if (!roomForPatches()) {
                errorCancel();
                return;
            }
            makeFileTasks();
            executeSubTasks();
            return;
        }
    }
    if (m_disk)
        m_disk->stopMaking();
    // A file that could not be fetched has named its cause if it knew one.
    if (!cancelRequested && getStateFromSubTasks() == ErrorCanceled)
        emit failureCause(FailureCause::noWorkingMirror());
    ComposedTaskSpecification::subtasksDone();
    // Every file is in the session directory and checked: the later steps
    // work from the replace and delete lists, and memory need not hold a
    // task, nor an entry of the download list, per file.
    if (state == Finished) {
        releaseSubTasks();
        *downloads = QList<FileDownloadSpecification>();
        m_replaceOf.clear();
    }
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir tempDir(settings.sessionDir);
    QSet<QString> made {QStringLiteral(".")};
    for (const FileDownloadSpecification &file : std::as_const(*downloads)) {
        const QString dir = QFileInfo(file.filePath).path();
        if (made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            emit message(QStringLiteral("Could not create dir %1")
                             .arg(tempDir.canonicalPath() + QLatin1Char('/') + dir));
            const QString cause = FailureCause::probeFolder(tempDir.canonicalPath(), 1);
            if (!cause.isEmpty())
                emit failureCause(cause);
            errorCancel();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::timeTick(unsigned long long &downloadDone,
                                                 unsigned long long &downloadTotal,
                                                 unsigned long long &speed, bool &downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    // Received bytes against what the product ini announced for all files,
    // fixed from the start of the step.
    downloadTotal = totalDownloadSize;
}

void DownloadFileListTaskSpecification::reset()
{
    m_disk.reset();
    m_replaceOf.clear();
    clearSubTasks();
    totalDownloadSize = 0;
    fetchedFiles = patchedFiles = copiedFiles = 0;
    m_fetchingPatchList = false;
    m_patchesOffered = false;
    TaskSpecification::reset();
}
