#include "tasks/composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallelTasks,
                                                     double parentProgressRange, QObject *parent)
    : TaskSpecification(parent, parentProgressRange)
    , maxParallelTasks(qMax(1, maxParallelTasks))
    , subTaskCanceled(false)
    , doneReported(false)
{
    // Every start goes through the event loop, so a subtask that ends inside
    // its own execute() has returned before the next one starts.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *task)
{
    pendingTasks.append(task);
    adopt(task);
    setProgress(m_progressSum);
}

void ComposedTaskSpecification::adopt(TaskSpecification *task)
{
    subTasks.append(task);
    connectSignals(task);
    m_knownProgress.insert(task, task->progress);
    m_progressSum += task->progress;
}

void ComposedTaskSpecification::setSubTaskMaker(int count, SubTaskMaker make)
{
    m_make = std::move(make);
    m_makeCount = qMax(0, count);
    m_made = 0;
}

int ComposedTaskSpecification::pendingCount() const
{
    return int(pendingTasks.size()) + m_makeCount - m_made;
}

void ComposedTaskSpecification::release(TaskSpecification *task)
{
    // Its progress stays in the sum; its end is no longer asked for, since
    // a made subtask is let go only once it has finished.
    subTasks.removeOne(task);
    m_knownProgress.remove(task);
    QObject::disconnect(m_cancelLinks.take(task));
    // The rest of its finished() still reaches the other receivers; the
    // connections go with the task.
    task->deleteLater();
}

void ComposedTaskSpecification::connectSignals(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // The subtask is known here: asking sender() in the slot would walk every
    // connection to this task, which made large lists quadratic.
    connect(task, &TaskSpecification::updateProgress, this,
            [this, task] { onSubTaskProgress(task); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(task, &TaskSpecification::failureCause, this, &TaskSpecification::failureCause);
    m_cancelLinks.insert(task, connect(this, &TaskSpecification::otherTaskCancelled, task,
                                       &TaskSpecification::onOtherTaskCancelled));
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = Running;
    // The two flags belong to one run. A step retried after a reset that only
    // cleared its subtasks would otherwise see the old run's cancellation and
    // never start anything.
    subTaskCanceled = false;
    doneReported = false;
    const int n = qMin(pendingCount(), maxParallelTasks);
    if (n <= 0) {
        doneReported = true;
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A start queued before a reset, or for a run that has already ended,
    // must neither start a subtask nor end the task.
    if (state != Running)
        return;
    if (pendingCount() == 0 || subTaskCanceled || cancelRequested) {
        if (runningTasks.isEmpty() && !doneReported) {
            doneReported = true;
            subtasksDone();
        }
        return;
    }
    // Starts left over from an earlier run of a retried step never push the
    // number of running subtasks past the limit; every running subtask
    // queues another start when it finishes.
    if (runningTasks.size() >= maxParallelTasks)
        return;
    TaskSpecification *task = nullptr;
    if (!pendingTasks.isEmpty()) {
        task = pendingTasks.takeFirst();
    } else {
        task = m_make(m_made++);
        adopt(task);
    }
    runningTasks.append(task);
    task->execute();
}

void ComposedTaskSpecification::onSubTaskProgress(const TaskSpecification *task)
{
    const auto known = m_knownProgress.find(task);
    if (known == m_knownProgress.end())
        return;
    m_progressSum += task->progress - *known;
    *known = task->progress;
    setProgress(m_progressSum);
}

void ComposedTaskSpecification::addEndedFigures(TaskSpecification *task)
{
    // Its last figures, taken once: it is not asked again at later ticks.
    unsigned long long done = 0;
    unsigned long long total = 0;
    unsigned long long speed = 0;
    bool downloading = false;
    task->timeTick(done, total, speed, downloading);
    m_endedSpeed += speed;
    if (total != 0) {
        m_endedDone += done;
        m_endedTotal += total;
    }
}

void ComposedTaskSpecification::clearFigures()
{
    m_endedDone = 0;
    m_endedTotal = 0;
    m_endedSpeed = 0;
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    if (runningTasks.removeOne(task))
        addEndedFigures(task);
    if (m_make)
        release(task);
    else
        doneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    if (runningTasks.removeOne(task))
        addEndedFigures(task);
    doneTasks.append(task);
    if (!subTaskCanceled) {
        subTaskCanceled = true;
        // A subtask that stopped on the user's request is not announced: the
        // request reaches every other subtask through userCanceled() anyway,
        // and the announcement would make running downloads end as failures,
        // turning the user's cancel into an error of the whole run.
        const bool stoppedByUser = cancelRequested && task->state == UserCanceled;
        if (!stoppedByUser)
            emit otherTaskCancelled(task);
    }
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    // Subtasks let go of had finished; those never made have not.
    bool allFinished = m_made == m_makeCount;
    bool anyUserCanceled = false;
    for (const TaskSpecification *task : subTasks) {
        if (task->state == ErrorCanceled)
            return ErrorCanceled;
        if (task->state != Finished)
            allFinished = false;
        if (task->state == UserCanceled)
            anyUserCanceled = true;
    }
    if (anyUserCanceled)
        return UserCanceled;
    if (allFinished)
        return Finished;
    if (cancelRequested)
        return UserCanceled;
    if (subTaskCanceled)
        return ErrorCanceled;
    return Running;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case Finished:
        finish();
        break;
    case UserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    // A subtask may end, and so change the lists, inside its userCanceled().
    const QList<TaskSpecification *> tasks = subTasks;
    for (TaskSpecification *task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *task)
{
    emit otherTaskCancelled(task);
}

void ComposedTaskSpecification::timeTick(unsigned long long &downloadDone,
                                         unsigned long long &downloadTotal,
                                         unsigned long long &speed, bool &downloading)
{
    downloading = false;
    downloadDone += m_endedDone;
    downloadTotal += m_endedTotal;
    speed += m_endedSpeed;
    m_endedSpeed = 0;
    // Subtasks that have not started report nothing yet. A copy: a subtask
    // may end inside its tick.
    const QList<TaskSpecification *> running = runningTasks;
    for (TaskSpecification *task : running) {
        unsigned long long done = 0;
        unsigned long long total = 0;
        unsigned long long taskSpeed = 0;
        bool taskDownloading = false;
        task->timeTick(done, total, taskSpeed, taskDownloading);
        if (taskDownloading)
            downloading = true;
        speed += taskSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification *task : std::as_const(subTasks))
        task->reset();
    // A run with made subtasks starts afresh: its subtasks, added or made,
    // go, and the next execute() sets them up again.
    if (m_make)
        clearSubTasks();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    clearFigures();
    subTaskCanceled = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::releaseSubTasks()
{
    const unsigned long long done = m_endedDone;
    const unsigned long long total = m_endedTotal;
    clearSubTasks();
    m_endedDone = done;
    m_endedTotal = total;
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification *task : std::as_const(subTasks)) {
        QObject::disconnect(task, nullptr, this, nullptr);
        // By its handle: a disconnect by receiver would walk every subtask's
        // connection each time.
        QObject::disconnect(m_cancelLinks.take(task));
        task->deleteLater();
    }
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    m_cancelLinks.clear();
    m_make = nullptr;
    m_makeCount = 0;
    m_made = 0;
    m_knownProgress.clear();
    m_progressSum = 0;
    clearFigures();
}
