#include "update/filereplacetaskspecification.h"

#include "app/configuration.h"
#include "fileops/checksignaturetaskspecification.h"
#include "fileops/filecopytaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/fileunziptaskspecification.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

const QStringList FileReplaceTaskSpecification::executableFiles
    = {QStringLiteral("update"), QStringLiteral("mrvclient_runscript.sh"),
       QStringLiteral("mrvclient_linux_amd64"), QStringLiteral("mrvclient_linux_x86")};
const QStringList FileReplaceTaskSpecification::executableSuffixes
    = {QStringLiteral("so.4"), QStringLiteral("so")};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(
    FileReplaceSpecification &file, QList<QString> *deletes, RollbackDataList *stepRollbackList,
    Configuration *configuration, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , file(file)
    , deletes(deletes)
    , stepRollbackList(stepRollbackList)
    , configuration(configuration)
{ }

QString FileReplaceTaskSpecification::destinationPath() const
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + file.pureDestFilePath();
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(file.filePath));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    const QString source = configuration->m_tempDir + QLatin1Char('/') + file.filePath;
    const QString destination = destinationPath();
    const QString old = root + file.oldDestFileName();

    double weightLeft = 1.0;
    if (QFileInfo::exists(destination)) {
        if (QFileInfo::exists(old)) {
            // A copy left over from an earlier update; not brought back by a rollback.
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            weightLeft = 0.9;
        }
        oldRenamed = true;
        addSubTask(new FileRenameTaskSpecification(destination, old, &fileRollbackList, this, 0.1));
        weightLeft -= 0.1;
    }

    // A file made by a patch lies unpacked already and was checked as such.
    if (file.hasUnzip() && !file.storedUnpacked) {
        addSubTask(new FileUnzipTaskSpecification(&fileRollbackList, source, destination, this,
                                                  weightLeft - 0.2));
        addSubTask(
            new CheckSignatureTaskSpecification(destination, file.unzipMd5, true, this, 0.2));
    } else {
        addSubTask(new FileCopyTaskSpecification(&fileRollbackList, source, destination, this,
                                                 weightLeft));
    }

    state = Running;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == Finished) {
        // From now on a failure of another file of the step undoes this one too.
        stepRollbackList->appendList(fileRollbackList);
        fileRollbackList.clear();
        // The old copies of the files the running updater keeps open stay
        // until its next start.
        const QString name = QFileInfo(file.pureDestFilePath()).fileName();
        if (oldRenamed && !configuration->isSpecialFileName(name))
            deletes->append(file.oldDestFileName());
        makeSingleFileExecutable(destinationPath());
    } else {
        fileRollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    const QFileInfo info(path);
    if (!executableFiles.contains(info.fileName())
        && !executableSuffixes.contains(info.completeSuffix()))
        return;
    // Not world-writable: any local user could otherwise replace what the
    // player runs. The updater itself only renames and copies installed
    // files, so it needs no write bits on them.
    QFile::setPermissions(path,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                              | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup
                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasksAndSettle();
    fileRollbackList.rollback(this);
    oldRenamed = false;
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::clearSubTasksAndSettle()
{
    const QList<TaskSpecification *> tasks = subTasks;
    bool working = false;
    for (const TaskSpecification *task : tasks)
        working = working || task->state == Running;
    clearSubTasks();
    if (!working)
        return;
    // The subtasks are disconnected, so their ends reach nobody, but a copy or
    // an unpack that has produced its file records it in the journal as its
    // result is delivered. A result still on its way would otherwise leave a
    // file behind that no rollback knows of.
    QThreadPool::globalInstance()->waitForDone();
    for (TaskSpecification *task : tasks)
        QCoreApplication::sendPostedEvents(task, QEvent::MetaCall);
}
