#pragma once

#include "tasks/taskspecification.h"

#include <QHash>
#include <QList>

#include <functional>

// A task made of subtasks it owns (they are created with it as parent). It
// starts them in the order added, each start queued through startNextTask(),
// at most maxParallelTasks at once; adds up their weighted progress and their
// transfer figures (asking only the running ones at each tick); relays
// their message(), error() and failureCause(); announces the first cancelled
// subtask of a run to the others; and, once none runs and none will start,
// calls subtasksDone() exactly once per run, which ends it with a state
// derived from the subtasks.
//
// A long list of like subtasks is made on demand instead (setSubTaskMaker()):
// each is made when a slot frees, after the added ones, and let go as soon as
// it finishes, so that memory holds only the subtasks that run.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallelTasks, double parentProgressRange, QObject *parent);
    ~ComposedTaskSpecification() override;

    // Takes a task created with this task as its parent.
    void addSubTask(TaskSpecification *task);
    // count more subtasks, made by make(index) for index 0 to count - 1 as
    // they start, after the added ones; each is created with this task as its
    // parent. From now on a subtask that finishes is deleted (later) and its
    // progress stays counted. Cleared with the subtasks, and by reset().
    using SubTaskMaker = std::function<TaskSpecification *(int index)>;
    void setSubTaskMaker(int count, SubTaskMaker make);
    // Marks the task Running and queues the first starts.
    void executeSubTasks();
    TaskState getStateFromSubTasks() const;
    // Disconnects and deletes (later) every subtask; the flags stay as they are.
    void clearSubTasks();
    // The same for a finished run, whose subtasks' transfer figures stay for
    // the ticks still to come.
    void releaseSubTasks();

    QList<TaskSpecification *> subTasks; // every subtask, in the order added
    QList<TaskSpecification *> pendingTasks; // not yet started, in the order added
    QList<TaskSpecification *> runningTasks; // started and not yet ended
    QList<TaskSpecification *> doneTasks; // ended, in the order they ended
    int maxParallelTasks;
    bool subTaskCanceled; // a subtask ended cancelled during this run
    bool doneReported; // subtasksDone() was called for this run

public slots:
    void reset() override;
    void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                  unsigned long long &speed, bool &downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification *task) override;
    // Ends the run from the subtasks' states. Overrides do their own work
    // first and then call this version.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification *task);

    void onStartNextTask();
    void onSubTaskProgress(const TaskSpecification *task);
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

signals:
    void startNextTask();

private:
    // Bookkeeping kept incrementally, so that no report or tick walks every
    // subtask: the progress last reported by each subtask and their sum, and
    // the transfer figures of the subtasks that have ended in this run.
    void addEndedFigures(TaskSpecification *task);
    void clearFigures();
    // Subtasks not yet started, made or not.
    int pendingCount() const;
    // Connects the subtask and starts keeping its progress; emits nothing.
    void adopt(TaskSpecification *task);
    // Forgets a finished made subtask and deletes it later.
    void release(TaskSpecification *task);

    SubTaskMaker m_make;
    int m_makeCount = 0;
    int m_made = 0;

    QHash<const TaskSpecification *, double> m_knownProgress;
    // The connection of otherTaskCancelled to each subtask.
    QHash<const TaskSpecification *, QMetaObject::Connection> m_cancelLinks;
    double m_progressSum = 0;
    unsigned long long m_endedDone = 0;
    unsigned long long m_endedTotal = 0;
    unsigned long long m_endedSpeed = 0;
};
