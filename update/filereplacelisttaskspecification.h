#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdatalist.h"
#include "update/filereplacespecification.h"
#include "update/runsettings.h"

#include <QList>
#include <QString>

// The replacement step of an update run: creates the missing directories,
// then installs the files of the replace list, two at a time. Every change of
// the step is journalled; unless the step finishes, the journal is rolled
// back and the installation is left as it was. The names of moved-aside old
// copies are appended to the delete list. The lists are lent; the settings
// are kept as a copy.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaces,
                                     QList<QString> *deletes, const RunSettings &settings,
                                     QObject *parent, double parentProgressRange);

    // Adds a creation task for each missing destination directory, parents
    // first; returns how many.
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool haveDirTasks);
    void makeSubtasksAndStart();
    // Whether the installation differs from what it was before the step:
    // the step finished, or an undo of its changes failed.
    bool installationChanged() const { return state == Finished || m_undoFailed; }

    QList<FileReplaceSpecification> *replaces;
    QList<QString> *deletes;
    RollbackDataList rollbackList;
    const RunSettings settings;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    // Syncs the folders changed and removes the journal: the installation
    // is whole.
    void endJournal();

    bool m_undoFailed = false;
    // This step wrote the journal and has not removed it yet.
    bool m_journalled = false;
};
