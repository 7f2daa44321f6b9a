#include "update/filedeletelisttaskspecification.h"

#include "fileops/backgrounddeletetaskspecification.h"
#include "tasks/foldersync.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString> *fileList,
                                                                 const RunSettings &settings,
                                                                 QObject *parent,
                                                                 double parentProgressRange)
    // Freeing a file's blocks waits on the disk's journal; deletions that
    // wait together end sooner than one after another, and a pool thread
    // that finds the next one queued is not woken for each.
    : ComposedTaskSpecification(16, parentProgressRange, parent)
    , fileList(fileList)
    , m_appRoot(settings.appRoot)
{ }

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir root(m_appRoot);
    const QString canonicalRoot = root.canonicalPath();
    const QStringList needed = InstallationNames::protectedFileNames();
    const int more = m_more.count ? m_more.count() : 0;
    const int count = int(fileList->size()) + more;
    m_deleted = QBitArray(count);
    m_toDelete.clear();
    for (int i = 0; i < count; ++i) {
        const QString name = nameAt(i);
        // Only in the root: the same names in a subfolder are ordinary files.
        // The folder is resolved, so that neither "./" nor a link to the
        // root reaches them.
        const QFileInfo file(QDir::cleanPath(QFileInfo(root, name).filePath()));
        if (needed.contains(file.fileName())
            && QFileInfo(file.path()).canonicalFilePath() == canonicalRoot) {
            emit message(
                QStringLiteral("Not deleting %1: the updater needs it").arg(name));
            continue;
        }
        m_toDelete.append(i);
    }
    const double weight = 1.0 / m_toDelete.size();
    // A deletion task is made as a slot frees, so that thousands of files do
    // not hold thousands of tasks.
    setSubTaskMaker(int(m_toDelete.size()), [this, root, weight](int made) {
        const int index = m_toDelete.at(made);
        auto *task = new BackgroundDeleteTaskSpecification(
            QFileInfo(root, nameAt(index)).filePath(), this, weight);
        connect(task, &TaskSpecification::finished, this, [this, task, index] {
            if (task->outcome() == BackgroundDeleteTaskSpecification::Deleted)
                m_deleted.setBit(index);
            else if (task->outcome() == BackgroundDeleteTaskSpecification::Stays)
                emit message(
                    QStringLiteral("Could not delete %1; it stays").arg(nameAt(index)));
        });
        return task;
    });
    state = Running;
    executeSubTasks();
}

QString FileDeleteListTaskSpecification::nameAt(int index) const
{
    return index < fileList->size() ? fileList->at(index)
                                    : m_more.name(index - int(fileList->size()));
}

int FileDeleteListTaskSpecification::deletedAmong(int count) const
{
    int deleted = 0;
    for (int i = 0; i < qMin(count, int(m_deleted.size())); ++i)
        deleted += m_deleted.testBit(i) ? 1 : 0;
    return deleted;
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    m_toDelete.clear();
    m_deleted.clear();
    TaskSpecification::reset();
}

void FileDeleteListTaskSpecification::subtasksDone()
{
    // The deletions are on the disk before the run reports success and its
    // session record goes. A folder that cannot be synced fails nothing, as a
    // file that cannot be deleted does not.
    QString error;
    if (!FolderSync::syncNoted(&error))
        emit message(QStringLiteral("Could not sync the installation: %1").arg(error));
    ComposedTaskSpecification::subtasksDone();
}
