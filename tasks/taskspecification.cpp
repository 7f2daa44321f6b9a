#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, double parentProgressRange)
    : QObject(parent)
    , cancelRequested(false)
    , parentProgressRange(parentProgressRange)
    , progress(0)
    , state(Idle)
{ }

void TaskSpecification::setParentProgressRange(double parentProgressRange)
{
    this->parentProgressRange = parentProgressRange;
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    emit updateProgress(progress);
}

void TaskSpecification::finish()
{
    state = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = UserCanceled;
    emit canceled(this);
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = Idle;
    setProgress(0);
}

void TaskSpecification::timeTick(unsigned long long &downloadDone,
                                 unsigned long long &downloadTotal, unsigned long long &speed,
                                 bool &downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *) { }

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *task)
{
    if (task != this && state == Running)
        handleOtherTaskCancelled(task);
}
