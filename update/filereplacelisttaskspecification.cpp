#include "update/filereplacelisttaskspecification.h"

#include "fileops/dircreatetaskspecification.h"
#include "tasks/failurecause.h"
#include "update/filereplacetaskspecification.h"
#include "update/replacementjournal.h"

#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification> *replaces, const RunSettings &settings, QObject *parent,
    double parentProgressRange)
    // Many in flight: a pool thread that ends one file finds the next one
    // queued, and the event loop takes several ends in one turn, so the step
    // does not wait for a thread to be woken for each file, which on a busy
    // machine costs more than the file itself.
    : ComposedTaskSpecification(16, parentProgressRange, parent)
    , replaces(replaces)
    , settings(settings)
{ }

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    forgetOldCopies();
    // An unpacked file without its sum could not be checked: the product ini
    // is at fault, and nothing is touched.
    for (const FileReplaceSpecification &file : std::as_const(*replaces)) {
        if (file.hasUnzip() && file.unzipMd5.isEmpty()) {
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(file.section));
            errorCancel();
            return;
        }
    }
    // What is about to change is on the disk before the first change, so that
    // a run killed in the middle of it can be undone at the next start.
    if (!replaces->isEmpty() || ReplacementJournal::exists()) {
        QString error;
        if (!ReplacementJournal::begin(settings.clientVersion, settings.clientType, *replaces,
                                       &error)) {
            emit message(QStringLiteral("Could not record the files to replace: %1").arg(error));
            emit failureCause(FailureCause::installFailed(settings.appRoot));
            errorCancel();
            return;
        }
        m_journalled = true;
    }
    makeFileReplaceTasks(makeSubdirTasks() > 0);
    state = Running;
    // The directory tasks complete inside their own start, so every directory
    // exists before the first file is installed.
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QString root = settings.appRoot + QLatin1Char('/');
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification &file : std::as_const(*replaces)) {
        const QString dir = QFileInfo(root + file.pureDestFilePath()).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // A parent sorts before its subdirectories.
    std::sort(missing.begin(), missing.end());
    for (const QString &dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool haveDirTasks)
{
    const double weight = (haveDirTasks ? 0.9 : 1.0) / replaces->size();
    // Made as slots free: a finished file's undo lives in the step's journal,
    // so its task is let go at once.
    setSubTaskMaker(replaces->size(), [this, weight](int index) {
        // Read only: a list that another holder shares is not copied.
        return new FileReplaceTaskSpecification(
            std::as_const(*replaces).at(index),
            [this, index](const QString &keptName) { noteOldCopy(index, keptName); },
            &rollbackList, settings, this, weight);
    });
}

void FileReplaceListTaskSpecification::noteOldCopy(int index, const QString &keptName)
{
    m_oldCopies.append(index);
    if (keptName != replaces->at(index).oldDestFileName())
        m_otherOldNames.insert(index, keptName);
}

QString FileReplaceListTaskSpecification::oldCopy(int index) const
{
    const int file = m_oldCopies.at(index);
    const auto other = m_otherOldNames.constFind(file);
    return other != m_otherOldNames.cend() ? *other : replaces->at(file).oldDestFileName();
}

void FileReplaceListTaskSpecification::forgetOldCopies()
{
    m_oldCopies.clear();
    m_otherOldNames.clear();
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != Finished) {
        emit message(QStringLiteral("rolling back file updates"));
        // The old copies take their names back.
        forgetOldCopies();
        if (!rollbackList.rollback(this))
            m_undoFailed = true;
        // A file that failed has undone its own changes; those that ended
        // stay among the subtasks.
        for (const TaskSpecification *task : std::as_const(subTasks)) {
            const auto *file = qobject_cast<const FileReplaceTaskSpecification *>(task);
            if (file && file->undoFailed)
                m_undoFailed = true;
        }
        if (getStateFromSubTasks() == ErrorCanceled)
            emit failureCause(FailureCause::installFailed(settings.appRoot));
    }
    // Whole again, as the new version or as the old one: the journal goes.
    if (!m_undoFailed)
        endJournal();
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    // A file still being installed undoes its own changes first; they came
    // after the step's directory creations.
    for (TaskSpecification *task : std::as_const(subTasks)) {
        if (task->state == Running)
            task->reset();
    }
    clearSubTasks();
    forgetOldCopies();
    if (rollbackList.rollback(this))
        endJournal();
    m_undoFailed = false;
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::endJournal()
{
    if (!m_journalled)
        return;
    QString error;
    if (ReplacementJournal::end(&error))
        m_journalled = false;
    else
        emit message(QStringLiteral("Could not sync the installation: %1").arg(error));
}
