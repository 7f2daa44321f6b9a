#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdatalist.h"
#include "update/filereplacespecification.h"
#include "update/runsettings.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Installs one downloaded file: keeps the installed copy under its "_old_"
// name as well, copies (or gunzips and checks) the new one over it, whole and
// in one step, and makes client binaries, scripts and libraries executable;
// the installed name never stops existing. A folder at the file's path is
// moved aside whole instead, and a folder at the "_old_" name is left in
// place (the next free "_old_<n>_" name is used); neither is ever deleted.
// Its changes go to its own journal; on success they are handed to the
// step's journal and the old copy is handed on for deletion, otherwise they are
// undone at once. Owned by the replacement step, whose settings it borrows;
// ends with finished() or canceled() once per run.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Told the name (relative to the application root) of an old copy that
    // is to be deleted once the update is done.
    using OldCopySink = std::function<void(const QString &keptName)>;

    FileReplaceTaskSpecification(const FileReplaceSpecification &file, OldCopySink oldCopies,
                                 RollbackDataList *stepRollbackList, const RunSettings &settings,
                                 QObject *parent, double parentProgressRange);

    void makeSubtasksAndStart();
    // Makes the file at path executable (mode 0755) if it is a client binary,
    // a script or a library.
    void makeSingleFileExecutable(const QString &path);
    // Whether the file at path is one that is made executable.
    static bool isExecutable(const QString &path);
    // The name, relative to the application root appRoot, under which the
    // installed copy of file is kept while it is replaced; the folders it
    // passes over go to passedFolders (if not null), and whether anything
    // holds the name now to taken (if not null).
    static QString keptNameFor(const QString &appRoot, const FileReplaceSpecification &file,
                               QStringList *passedFolders = nullptr, bool *taken = nullptr);

    // Whole file names, and complete suffixes (all after the first "."), of
    // the files that are made executable.
    static const QStringList executableFiles;
    static const QStringList executableSuffixes;

    FileReplaceSpecification file;
    OldCopySink oldCopies;
    RollbackDataList *stepRollbackList;
    RollbackDataList fileRollbackList;
    const RunSettings &settings;
    // The installed file was moved aside in this attempt.
    bool oldRenamed = false;
    // What was moved aside was a folder.
    bool keptFolder = false;
    // Where it was moved, relative to the application root.
    QString keptName;
    // An undo of this file's changes failed: the installation is not as it was.
    bool undoFailed = false;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    QString destinationPath() const;
    // The name, relative to the application root, under which the installed
    // file is kept while it is replaced; reports the folders it passes over,
    // and tells whether anything holds the name now.
    QString nameToKeep(bool *taken);
    // Clears the subtasks; copies or unpacks still under way are waited for,
    // so that what they made is in the journal before it is undone.
    void clearSubTasksAndSettle();
};
