#include "update/filedeletelisttaskspecification.h"

#include "app/configuration.h"
#include "fileops/backgrounddeletetaskspecification.h"
#include "tasks/foldersync.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString> *fileList,
                                                                 QObject *parent,
                                                                 double parentProgressRange)
    // Freeing a file's blocks waits on the disk's journal; deletions that
    // wait together end sooner than one after another, and a pool thread
    // that finds the next one queued is not woken for each.
    : ComposedTaskSpecification(16, parentProgressRange, parent)
    , fileList(fileList)
{ }

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir root(Configuration::getAppRootPath());
    const double weight = 1.0 / fileList->size();
    // A deletion task is made as a slot frees, so that thousands of files do
    // not hold thousands of tasks.
    setSubTaskMaker(fileList->size(), [this, root, weight](int index) {
        const QString path = QFileInfo(root, fileList->at(index)).filePath();
        return new BackgroundDeleteTaskSpecification(path, this, weight);
    });
    state = Running;
    executeSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
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
