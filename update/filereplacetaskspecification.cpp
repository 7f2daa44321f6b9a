#include "update/filereplacetaskspecification.h"

#include "fileops/checksignaturetaskspecification.h"
#include "fileops/filecopytaskspecification.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/fileophook.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/fileunziptaskspecification.h"
#include "tasks/asynctaskspecification.h"
#include "tasks/slowfileoptaskspecification.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles
    = {QStringLiteral("update"), QStringLiteral("mrvclient_runscript.sh"),
       QStringLiteral("mrvclient_linux_amd64"), QStringLiteral("mrvclient_linux_x86")};
const QStringList FileReplaceTaskSpecification::executableSuffixes
    = {QStringLiteral("so.4"), QStringLiteral("so")};

namespace {
// Not world-writable: any local user could otherwise replace what the player
// runs. The updater itself only links, renames and replaces installed files,
// so it needs no write bits on them.
constexpr int executableMode = 0755;
// How many "_old_<n>_" names are tried beside the "_old_" one.
constexpr int maxKeptNames = 99;
const QFile::Permissions executablePermissions = QFile::ReadOwner | QFile::WriteOwner
    | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

bool isFolder(const QFileInfo &info)
{
    return info.isDir() && !info.isSymLink();
}
} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(
    const FileReplaceSpecification &file, OldCopySink oldCopies, RollbackDataList *stepRollbackList,
    const RunSettings &settings, QObject *parent, double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , file(file)
    , oldCopies(std::move(oldCopies))
    , stepRollbackList(stepRollbackList)
    , settings(settings)
{ }

QString FileReplaceTaskSpecification::destinationPath() const
{
    return settings.appRoot + QLatin1Char('/') + file.pureDestFilePath();
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(file.filePath));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString root = settings.appRoot + QLatin1Char('/');
    const QString source = settings.sessionDir + QLatin1Char('/') + file.filePath;
    const QString destination = destinationPath();

    double weightLeft = 1.0;
    // Each name is looked at once: a file costs a few calls to the file system.
    const QFileInfo installed(destination);
    if (installed.exists()) {
        bool oldTaken = false;
        keptName = nameToKeep(&oldTaken);
        const QString old = root + keptName;
        if (oldTaken) {
            // A copy left over from an earlier update; not brought back by a rollback.
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            weightLeft = 0.9;
        }
        oldRenamed = true;
        // A folder where the file belongs is the player's: it is moved aside
        // whole and never deleted.
        keptFolder = isFolder(installed);
        if (keptFolder)
            emit message(
                QStringLiteral("Moving the folder '%1' aside to '%2'").arg(destination, old));
        // The installed file keeps its name while the new one is made: the
        // old name becomes a second link to it, and the new file is renamed
        // over it once complete.
        const auto mode = keptFolder ? FileRenameTaskSpecification::Move
                                     : FileRenameTaskSpecification::KeepSource;
        addSubTask(
            new FileRenameTaskSpecification(destination, old, &fileRollbackList, this, 0.1, mode));
        weightLeft -= 0.1;
    }

    // The undo of keeping the old file renames it back over the new one, in
    // one step; only a file that is new to the installation is removed by
    // its own undo. A file made by a patch lies unpacked already and was
    // checked as such: it is copied.
    RollbackDataList *journal = oldRenamed ? nullptr : &fileRollbackList;
    const bool unzip = file.hasUnzip() && !file.storedUnpacked;
    SlowFileOpSpecification *install = nullptr;
    if (unzip) {
        install = new FileUnzipTaskSpecification(journal, source, destination, this,
                                                 weightLeft - 0.2);
        install->expectedSize = qint64(file.unzipSize);
    } else {
        install = new FileCopyTaskSpecification(journal, source, destination, this, weightLeft);
    }
    // Executable before it takes its name, so that it is never there without.
    if (isExecutable(destination))
        install->mode = executableMode;
    addSubTask(install);
    if (unzip)
        addSubTask(
            new CheckSignatureTaskSpecification(destination, file.unzipMd5, true, this, 0.2));

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
        if (oldRenamed && !keptFolder && !InstallationNames::isSpecialFileName(name))
            oldCopies(keptName);
        makeSingleFileExecutable(destinationPath());
    } else if (!fileRollbackList.rollback(this)) {
        undoFailed = true;
    }
    ComposedTaskSpecification::subtasksDone();
    // Its undo lives in the step's journal now; the subtasks are done with.
    if (state == Finished)
        releaseSubTasks();
}

QString FileReplaceTaskSpecification::nameToKeep(bool *taken)
{
    QStringList passed;
    const QString name = keptNameFor(settings.appRoot, file, &passed, taken);
    for (const QString &folder : std::as_const(passed))
        emit message(QStringLiteral("Leaving the folder '%1' in place").arg(folder));
    return name;
}

QString FileReplaceTaskSpecification::keptNameFor(const QString &appRoot,
                                                  const FileReplaceSpecification &file,
                                                  QStringList *passedFolders, bool *taken)
{
    // A folder at the "_old_" name may be one that an earlier update set
    // aside, with the player's files in it: it stays where it is, and the
    // first "_old_<n>_" name without a folder is taken instead.
    const QString root = appRoot + QLatin1Char('/');
    QString name = file.oldDestFileName();
    QFileInfo kept(root + name);
    for (int n = 1; n <= maxKeptNames && isFolder(kept); ++n) {
        if (passedFolders)
            passedFolders->append(root + name);
        name = file.destFileName(InstallationNames::specialFileRenamePrefix() + QString::number(n)
                                 + QLatin1Char('_'));
        kept = QFileInfo(root + name);
    }
    if (taken)
        *taken = kept.exists();
    return name;
}

bool FileReplaceTaskSpecification::isExecutable(const QString &path)
{
    const QFileInfo info(path);
    return executableFiles.contains(info.fileName())
        || executableSuffixes.contains(info.completeSuffix());
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    if (!isExecutable(path))
        return;
    FileOpHook::reached();
    QFile::setPermissions(path, executablePermissions);
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasksAndSettle();
    fileRollbackList.rollback(this);
    oldRenamed = false;
    keptFolder = false;
    keptName.clear();
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
    for (TaskSpecification *task : tasks) {
        if (auto *work = qobject_cast<ASyncTaskSpecification *>(task))
            work->waitForJob();
    }
    for (TaskSpecification *task : tasks)
        QCoreApplication::sendPostedEvents(task, QEvent::MetaCall);
}
