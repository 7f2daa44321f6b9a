#pragma once

#include "tasks/asynctaskspecification.h"
#include "update/filespecifications.h"
#include "update/runsettings.h"

#include <memory>

// The second step of an update run: compiles the download, replace and delete
// lists from the verified product ini on a pool thread. The caller's lists
// change only once they are compiled, in one assignment on the main thread;
// after a failure to compile they keep what they held; then the delete list
// also names what an interrupted earlier run left beside the listed files.
// Before the step finishes, the lists are checked against the volumes and
// folders they need (InstallationCheck): a run that could not be completed
// fails here, with nothing fetched and nothing changed. The lists are lent;
// the settings are kept as a copy.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    MakeDownloadReplaceListTaskSpecification(const RunSettings &settings, FileSpecifications &lists,
                                             QObject *parent, double parentProgressRange);

    const RunSettings m_settings;
    FileSpecifications *m_lists;
    // The working copy the work object fills. Shared with it, so that a task
    // deleted while its work still runs leaves the work something to write to.
    std::shared_ptr<FileSpecifications> m_workingLists;

public slots:
    ASyncFunc *createFunction() override;
    void runDone(bool ok) override;

private:
    // False, after the log line and the cause, if the run cannot be completed.
    bool checkInstallation();
};
