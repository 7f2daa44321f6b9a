#pragma once

#include "tasks/composedtaskspecification.h"
#include "tasks/rollbackdatalist.h"
#include "update/filereplacespecification.h"
#include "update/runsettings.h"

#include <QHash>
#include <QList>
#include <QString>

// The replacement step of an update run: creates the missing directories,
// then installs the files of the replace list, two at a time. Every change of
// the step is journalled; unless the step finishes, the journal is rolled
// back and the installation is left as it was. The moved-aside old copies to
// delete are kept as positions in the replace list (oldCopyCount(),
// oldCopy()), not as names. The list is lent; the settings are kept as a
// copy.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification> *replaces,
                                     const RunSettings &settings, QObject *parent,
                                     double parentProgressRange);

    // Adds a creation task for each missing destination directory, parents
    // first; returns how many.
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool haveDirTasks);
    void makeSubtasksAndStart();
    // Whether the installation differs from what it was before the step:
    // the step finished, or an undo of its changes failed.
    bool installationChanged() const { return state == Finished || m_undoFailed; }

    // The old copies this run set aside that go once the update is done (not
    // a folder, nor a file the running updater keeps open): names relative
    // to the application root, in the order their files were installed.
    int oldCopyCount() const { return int(m_oldCopies.size()); }
    QString oldCopy(int index) const;

    QList<FileReplaceSpecification> *replaces;
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

    // Notes the old copy of the file at index of the replace list.
    void noteOldCopy(int index, const QString &keptName);
    void forgetOldCopies();

    // Per old copy, the position of its file in the replace list; the few
    // not kept under the file's own "_old_" name have theirs here.
    QList<int> m_oldCopies;
    QHash<int, QString> m_otherOldNames;
    bool m_undoFailed = false;
    // This step wrote the journal and has not removed it yet.
    bool m_journalled = false;
};
