#pragma once

#include <QObject>
#include <QString>

// The state of a task's run.
enum TaskState {
    Idle = 0, // not started, or reset
    Running = 1, // executing
    Finished = 2, // ended with success
    ErrorCanceled = 3, // ended by a failure
    UserCanceled = 4 // ended on the user's request
};

// One step of an update run. execute() starts the work and returns; every run
// ends with exactly one of finished() or canceled(), which a subclass brings
// about by calling finish(), errorCancel() or userCancel() once. Tasks form a
// tree through QObject parenthood; the parent owns the task. Main thread only.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    TaskSpecification(QObject *parent, double parentProgressRange);

    // Replaces the weight; progress is not recomputed and nothing is emitted.
    void setParentProgressRange(double parentProgressRange);
    // fraction is the task's own fraction done (0 to 1); stores it weighted
    // and emits updateProgress() on every call.
    void setProgress(double fraction);

    // End the run: the state is set first, then the signals are emitted.
    // None of them checks the current state.
    void finish();
    void errorCancel();
    void userCancel();

    // Set by userCanceled(), cleared by reset(). A task does not stop by itself
    // because of it; composed tasks stop starting subtasks.
    bool cancelRequested;
    // The fraction of the parent's progress that this task's whole run stands for.
    double parentProgressRange;
    // Own fraction done multiplied by parentProgressRange.
    double progress;
    TaskState state;

public slots:
    // Sets state to Running and starts the work.
    virtual void execute() = 0;
    // Returns the task to Idle; overrides clear their own state first and
    // end with the base version.
    virtual void reset();
    // Transfer figures, asked once per engine tick. The base reports nothing.
    virtual void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                          unsigned long long &speed, bool &downloading);
    // The user asked to stop. Overrides call the base first.
    virtual void userCanceled();
    // Another task of the same parent was cancelled while this one runs.
    virtual void handleOtherTaskCancelled(TaskSpecification *task);

    void onOtherTaskCancelled(TaskSpecification *task);

signals:
    void finished(TaskSpecification *task);
    // Failure or user cancel; state tells them apart.
    void canceled(TaskSpecification *task);
    void error(QString errorMessage);
    // The weighted progress (the progress field).
    void updateProgress(qreal doneFrac);
    void message(QString message);
    // Why the task fails, as the player's line (FailureCause), emitted before
    // the task ends with errorCancel(); climbs the tree like message(), and
    // the run keeps the first that reaches the engine.
    void failureCause(QString cause);
    // Emitted by composed tasks towards their subtasks.
    void otherTaskCancelled(TaskSpecification *task);
};
