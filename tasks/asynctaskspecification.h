#pragma once

#include "tasks/taskspecification.h"

#include <future>

class ASyncFunc;

// A task whose work runs on the global thread pool: execute() creates a work
// object (createFunction()) and starts it in a pool job of its own; the work
// object's result, which arrives through the event loop, ends the task in
// runDone(), once. A user cancel only sets cancelRequested: the work always
// runs to its end.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, double parentProgressRange);

    // Blocks until the job of the last execute() has ended and its work
    // object is gone; at once when there is none. Other jobs on the pool
    // are not waited for.
    void waitForJob();

public slots:
    void execute() override;
    // Waits for the task's own job (waitForJob()), then drops what the old
    // work object still has on its way, and returns the task to Idle.
    void reset() override;
    // A new work object built from the task's data; the task takes it over.
    virtual ASyncFunc *createFunction() = 0;
    // Queued connections from the work object to this task.
    virtual void connectDefaultSignals(ASyncFunc *func);
    // Ends the task if it still runs: finish() when ok, errorCancel() if not.
    // Overrides report first and then call this version.
    virtual void runDone(bool ok);

    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    std::future<void> m_job;
};
