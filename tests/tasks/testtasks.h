#pragma once

#include "tasklog.h"
#include "tasks/composedtaskspecification.h"

// A leaf whose end the test decides: it ends inside execute() when given an
// outcome, otherwise it stays Running until the test calls finish(),
// errorCancel() or userCancel(). Every call it receives goes into the log.
class ScriptedTask : public TaskSpecification
{
public:
    enum Outcome { StayRunning, FinishAtOnce, FailAtOnce, UserCancelAtOnce };

    ScriptedTask(const QString &name, QObject *parent, double weight, TaskLog *log,
                 Outcome outcome = StayRunning)
        : TaskSpecification(parent, weight)
        , log(log)
        , outcome(outcome)
    {
        setObjectName(name);
    }

    void execute() override
    {
        state = Running;
        log->add(objectName() + " execute");
        switch (outcome) {
        case StayRunning:
            break;
        case FinishAtOnce:
            finish();
            break;
        case FailAtOnce:
            emit message(objectName() + " failed");
            errorCancel();
            break;
        case UserCancelAtOnce:
            userCancel();
            break;
        }
        log->add(objectName() + " execute returns");
    }

    void userCanceled() override
    {
        TaskSpecification::userCanceled();
        log->add(objectName() + " userCanceled");
    }

    void handleOtherTaskCancelled(TaskSpecification *task) override
    {
        log->add(objectName() + " handles cancel of " + task->objectName());
    }

    void timeTick(unsigned long long &done, unsigned long long &total, unsigned long long &speed,
                  bool &downloading) override
    {
        done = tickDone;
        total = tickTotal;
        speed = tickSpeed;
        downloading = tickDownloading;
    }

    TaskLog *log;
    Outcome outcome;
    unsigned long long tickDone = 0;
    unsigned long long tickTotal = 0;
    unsigned long long tickSpeed = 0;
    bool tickDownloading = false;
};

// A composed task that runs the subtasks the test added and counts its ends.
class TestComposed : public ComposedTaskSpecification
{
public:
    TestComposed(const QString &name, int maxParallel, double weight, QObject *parent, TaskLog *log)
        : ComposedTaskSpecification(maxParallel, weight, parent)
        , log(log)
    {
        setObjectName(name);
    }

    void execute() override
    {
        log->add(objectName() + " execute");
        executeSubTasks();
    }

    void subtasksDone() override
    {
        ++subtasksDoneCalls;
        ComposedTaskSpecification::subtasksDone();
    }

    ScriptedTask *add(const QString &name, double weight,
                      ScriptedTask::Outcome outcome = ScriptedTask::StayRunning)
    {
        auto *task = new ScriptedTask(name, this, weight, log, outcome);
        addSubTask(task);
        return task;
    }

    TaskLog *log;
    int subtasksDoneCalls = 0;
};
