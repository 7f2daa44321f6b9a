#include "testtasks.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTest>

#include <algorithm>

namespace {
// Delivers queued starts, including those queued while delivering.
void runQueuedEvents()
{
    for (int i = 0; i < 10; ++i)
        QCoreApplication::sendPostedEvents();
}
} // namespace

class tst_ComposedTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void emptyTaskFinishesInsideExecute();
    void startsAreQueuedAndLimited();
    void subtaskEndingInsideExecuteReturnsBeforeNextStarts();
    void firstFailureIsAnnouncedOnceAndStopsStarting();
    void anyErrorOutweighsUserCancel_data();
    void anyErrorOutweighsUserCancel();
    void userCancelAfterAllFinishedBeforeQueuedStartStillFinishes();
    void userCancelWhilePendingLetsRunningEndAndStartsNoMore();
    void userCancelWhileIdleEndsNextRunAtOnce();
    void userCancelOfParallelDownloadsStaysUserCancel();
    void lateStartAfterCancelReportsDoneOnlyOnce();
    void progressIsWeightedSumOfSubtasks();
    void timeTickAddsUpOnlyKnownTotals();
    void messagesAndErrorsClimbUnchanged();
    void cancelNoticeIsPassedDownToRunningSubtasks();
    void resetRunsTheSameSubtasksAgain();
    void startQueuedBeforeResetStartsNothing();
    void stepRetriedWithFreshSubtasksRunsThemAll();
    void clearedSubtasksAreDisconnectedAndDeletedLater();
    void madeSubtasksLiveOnlyWhileTheyRun_data();
    void madeSubtasksLiveOnlyWhileTheyRun();
};

void tst_ComposedTaskSpecification::emptyTaskFinishesInsideExecute()
{
    TaskLog log;
    TestComposed c("c", 1, 0.4, nullptr, &log);
    log.watch(&c, "c");

    c.execute();

    QCOMPARE(log.take(),
             QStringList({"c execute", "c progress 0.4 [Finished]", "c finished [Finished]"}));
    QCOMPARE(c.subtasksDoneCalls, 1);
    runQueuedEvents();
    QCOMPARE(log.take(), QStringList());
}

void tst_ComposedTaskSpecification::startsAreQueuedAndLimited()
{
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.5);
    ScriptedTask *b = c.add("b", 0.25);
    ScriptedTask *d = c.add("d", 0.25);
    log.watch(&c, "c", false);
    log.watch(a, "a", false);

    c.execute();
    log.add("execute returned");
    runQueuedEvents();
    log.add("events handled");
    a->finish();
    log.add("a ended");
    runQueuedEvents();
    b->finish();
    d->finish();
    runQueuedEvents();

    QCOMPARE(
        log.take(),
        QStringList({"c execute", "execute returned", "a execute", "a execute returns", "b execute",
                     "b execute returns", "events handled", "a finished [Finished]", "a ended",
                     "d execute", "d execute returns", "c finished [Finished]"}));
    QCOMPARE(c.doneTasks, QList<TaskSpecification *>({a, b, d}));
    QCOMPARE(c.subtasksDoneCalls, 1);
}

void tst_ComposedTaskSpecification::subtaskEndingInsideExecuteReturnsBeforeNextStarts()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.5, ScriptedTask::FinishAtOnce);
    ScriptedTask *b = c.add("b", 0.5, ScriptedTask::FinishAtOnce);
    log.watch(a, "a", false);
    log.watch(b, "b", false);
    log.watch(&c, "c", false);

    c.execute();
    runQueuedEvents();

    QCOMPARE(log.take(),
             QStringList({"c execute", "a execute", "a finished [Finished]", "a execute returns",
                          "b execute", "b finished [Finished]", "b execute returns",
                          "c finished [Finished]"}));
}

void tst_ComposedTaskSpecification::firstFailureIsAnnouncedOnceAndStopsStarting()
{
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.4);
    ScriptedTask *b = c.add("b", 0.4);
    c.add("d", 0.2);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    log.take();

    a->errorCancel();
    log.add("a ended");
    b->errorCancel();
    log.add("b ended");
    runQueuedEvents();

    QCOMPARE(log.take(),
             QStringList({"b handles cancel of a", "c announces a", "a ended",
                          "c canceled [ErrorCanceled]", "b ended"}));
    QCOMPARE(c.subtasksDoneCalls, 1);
    QCOMPARE(c.pendingTasks.size(), 1);
}

void tst_ComposedTaskSpecification::anyErrorOutweighsUserCancel_data()
{
    QTest::addColumn<bool>("userCancelFirst");
    QTest::newRow("user cancel, then error") << true;
    QTest::newRow("error, then user cancel") << false;
}

void tst_ComposedTaskSpecification::anyErrorOutweighsUserCancel()
{
    QFETCH(bool, userCancelFirst);
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.5);
    ScriptedTask *b = c.add("b", 0.5);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    log.take();

    if (userCancelFirst) {
        a->userCancel();
        b->errorCancel();
    } else {
        a->errorCancel();
        b->userCancel();
    }

    QCOMPARE(log.take(),
             QStringList({"b handles cancel of a", "c announces a", "c canceled [ErrorCanceled]"}));
}

void tst_ComposedTaskSpecification::userCancelAfterAllFinishedBeforeQueuedStartStillFinishes()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 1);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    a->finish(); // queues the start that will find nothing left to do
    log.take();

    c.userCanceled();
    runQueuedEvents();

    QCOMPARE(log.take(), QStringList({"a userCanceled", "c finished [Finished]"}));
}

void tst_ComposedTaskSpecification::userCancelWhilePendingLetsRunningEndAndStartsNoMore()
{
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.25);
    ScriptedTask *b = c.add("b", 0.25);
    c.add("d", 0.25);
    c.add("e", 0.25);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    log.take();

    c.userCanceled();
    log.add("cancel passed down");
    a->finish();
    runQueuedEvents();
    b->finish();
    runQueuedEvents();

    QCOMPARE(log.take(),
             QStringList({"a userCanceled", "b userCanceled", "d userCanceled", "e userCanceled",
                          "cancel passed down", "c canceled [UserCanceled]"}));
    QCOMPARE(c.subtasksDoneCalls, 1);
}

void tst_ComposedTaskSpecification::userCancelWhileIdleEndsNextRunAtOnce()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    c.add("a", 1);
    log.watch(&c, "c", false);

    c.userCanceled(); // not running: not passed on
    c.execute();
    runQueuedEvents();

    QCOMPARE(log.take(), QStringList({"c execute", "c canceled [UserCanceled]"}));
}

// Behaves like a download: a user cancel stops it at once, the notice of
// another subtask's cancellation makes it fail.
class StoppingTask : public ScriptedTask
{
public:
    using ScriptedTask::ScriptedTask;

    void userCanceled() override
    {
        ScriptedTask::userCanceled();
        if (state == Running)
            userCancel();
    }

    void handleOtherTaskCancelled(TaskSpecification *task) override
    {
        ScriptedTask::handleOtherTaskCancelled(task);
        errorCancel();
    }
};

// The first subtask to stop on the user's request must not make the others
// fail through the cancel notice: the whole task ends as a user cancel.
void tst_ComposedTaskSpecification::userCancelOfParallelDownloadsStaysUserCancel()
{
    TaskLog log;
    TestComposed c("c", 3, 1, nullptr, &log);
    for (const char *name : {"a", "b", "d"})
        c.addSubTask(new StoppingTask(name, &c, 1.0 / 3, &log));
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    log.take();

    c.userCanceled();

    QCOMPARE(log.take(),
             QStringList({"a userCanceled", "b userCanceled", "d userCanceled",
                          "c canceled [UserCanceled]"}));
}

void tst_ComposedTaskSpecification::lateStartAfterCancelReportsDoneOnlyOnce()
{
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 0.5);
    ScriptedTask *b = c.add("b", 0.5);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();
    log.take();

    a->finish(); // its start is still queued when b fails
    b->errorCancel();
    runQueuedEvents();

    QCOMPARE(log.take(), QStringList({"c announces b", "c canceled [ErrorCanceled]"}));
    QCOMPARE(c.subtasksDoneCalls, 1);
}

void tst_ComposedTaskSpecification::progressIsWeightedSumOfSubtasks()
{
    TaskLog log;
    TestComposed c("c", 2, 0.4, nullptr, &log);
    log.watch(&c, "c");
    ScriptedTask *a = c.add("a", 0.1);
    ScriptedTask *b = c.add("b", 0.9);

    a->setProgress(1.0);
    b->setProgress(0.5);

    QCOMPARE(log.take(),
             QStringList({"c progress 0 [Idle]", "c progress 0 [Idle]", "c progress 0.04 [Idle]",
                          "c progress 0.22 [Idle]"}));
    QCOMPARE(c.progress, 0.22);
}

void tst_ComposedTaskSpecification::timeTickAddsUpOnlyKnownTotals()
{
    TaskLog log;
    TestComposed outer("outer", 2, 1, nullptr, &log);
    ScriptedTask *a = outer.add("a", 0.5);
    a->tickDone = 10;
    a->tickTotal = 100;
    a->tickSpeed = 5;
    auto *inner = new TestComposed("inner", 2, 0.5, &outer, &log);
    outer.addSubTask(inner);
    ScriptedTask *b = inner->add("b", 0.5);
    b->tickDone = 7;
    b->tickTotal = 0; // size not known yet: only its speed counts
    b->tickSpeed = 3;
    b->tickDownloading = true;
    ScriptedTask *d = inner->add("d", 0.5);
    d->tickDone = 20;
    d->tickTotal = 40;
    // Only running subtasks are asked.
    outer.execute();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    unsigned long long done = 1, total = 2, speed = 0;
    bool downloading = false;
    outer.timeTick(done, total, speed, downloading);

    QCOMPARE(done, 31ULL);
    QCOMPARE(total, 142ULL);
    QCOMPARE(speed, 8ULL);
    QCOMPARE(downloading, true);
}

void tst_ComposedTaskSpecification::messagesAndErrorsClimbUnchanged()
{
    TaskLog log;
    TestComposed outer("outer", 1, 1, nullptr, &log);
    auto *inner = new TestComposed("inner", 1, 1, &outer, &log);
    outer.addSubTask(inner);
    ScriptedTask *leaf = inner->add("leaf", 1);
    log.watch(&outer, "outer", false);

    emit leaf->message("copied 'a' to 'b'");
    emit leaf->error("Could not reach any mirror");

    QCOMPARE(log.take(),
             QStringList(
                 {"outer message: copied 'a' to 'b'", "outer error: Could not reach any mirror"}));
}

void tst_ComposedTaskSpecification::cancelNoticeIsPassedDownToRunningSubtasks()
{
    TaskLog log;
    TestComposed outer("outer", 2, 1, nullptr, &log);
    ScriptedTask *failing = outer.add("failing", 0.5);
    auto *inner = new TestComposed("inner", 2, 0.5, &outer, &log);
    outer.addSubTask(inner);
    inner->add("x", 0.5);
    inner->add("y", 0.5);
    outer.execute();
    runQueuedEvents();
    runQueuedEvents();
    log.take();

    failing->errorCancel();

    QCOMPARE(log.take(),
             QStringList({"x handles cancel of failing", "y handles cancel of failing"}));
}

void tst_ComposedTaskSpecification::resetRunsTheSameSubtasksAgain()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    ScriptedTask *a = c.add("a", 1);
    log.watch(&c, "c");
    c.execute();
    runQueuedEvents();
    a->errorCancel();
    log.take();

    c.reset();
    QCOMPARE(c.pendingTasks, c.subTasks);
    QVERIFY(c.runningTasks.isEmpty() && c.doneTasks.isEmpty());
    QVERIFY(!c.subTaskCanceled && !c.doneReported);
    c.execute();
    runQueuedEvents();
    a->finish();
    runQueuedEvents();

    QCOMPARE(log.take(),
             QStringList({"c progress 0 [ErrorCanceled]", "c progress 0 [Idle]", "c execute",
                          "a execute", "a execute returns", "c progress 1 [Running]",
                          "c progress 1 [Finished]", "c finished [Finished]"}));
}

void tst_ComposedTaskSpecification::startQueuedBeforeResetStartsNothing()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    c.add("a", 1);
    log.watch(&c, "c", false);

    c.execute();
    c.reset();
    runQueuedEvents();

    QCOMPARE(log.take(), QStringList({"c execute"}));
    QCOMPARE(c.state, Idle);
    QCOMPARE(c.pendingTasks.size(), 1);
}

// A step that, like the pipeline's steps, throws its subtasks away on reset
// and builds fresh ones for the next run.
class RebuildingComposed : public TestComposed
{
public:
    using TestComposed::TestComposed;
    void reset() override
    {
        clearSubTasks();
        TaskSpecification::reset();
    }
};

void tst_ComposedTaskSpecification::stepRetriedWithFreshSubtasksRunsThemAll()
{
    TaskLog log;
    RebuildingComposed c("c", 1, 1, nullptr, &log);
    c.add("a", 1, ScriptedTask::FailAtOnce);
    log.watch(&c, "c", false);
    c.execute();
    runQueuedEvents();

    c.reset();
    c.add("b", 0.5, ScriptedTask::FinishAtOnce);
    c.add("d", 0.5, ScriptedTask::FinishAtOnce);
    c.execute();
    runQueuedEvents();

    QCOMPARE(log.take(),
             QStringList({"c execute", "a execute", "c message: a failed", "c announces a",
                          "c canceled [ErrorCanceled]", "a execute returns", "c execute",
                          "b execute", "b execute returns", "d execute", "d execute returns",
                          "c finished [Finished]"}));
    QCOMPARE(c.subtasksDoneCalls, 2);
}

void tst_ComposedTaskSpecification::clearedSubtasksAreDisconnectedAndDeletedLater()
{
    TaskLog log;
    TestComposed c("c", 1, 1, nullptr, &log);
    QPointer<ScriptedTask> a = c.add("a", 1);
    log.watch(&c, "c");
    log.take();

    c.clearSubTasks();
    QVERIFY(a); // still alive until control returns to the event loop
    emit a->message("late");
    a->finish();
    a->state = Running;
    emit c.otherTaskCancelled(&c);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QVERIFY(!a);
    QVERIFY(c.subTasks.isEmpty() && c.pendingTasks.isEmpty());
    QCOMPARE(log.take(), QStringList({"c announces c"}));
}

QTEST_GUILESS_MAIN(tst_ComposedTaskSpecification)
void tst_ComposedTaskSpecification::madeSubtasksLiveOnlyWhileTheyRun_data()
{
    QTest::addColumn<int>("failing"); // the index of the subtask that fails, or -1
    QTest::addColumn<int>("made");
    QTest::addColumn<TaskState>("end");
    QTest::addColumn<double>("progress");
    QTest::newRow("all finish") << -1 << 6 << Finished << 1.0;
    QTest::newRow("third fails") << 2 << 3 << ErrorCanceled << 2.0 / 6;
}

void tst_ComposedTaskSpecification::madeSubtasksLiveOnlyWhileTheyRun()
{
    QFETCH(int, failing);
    QFETCH(int, made);
    QFETCH(TaskState, end);
    QFETCH(double, progress);
    TaskLog log;
    TestComposed c("c", 2, 1, nullptr, &log);
    QList<QPointer<ScriptedTask>> tasks;
    c.setSubTaskMaker(6, [&](int index) {
        auto *task = new ScriptedTask(QString::number(index), &c, 1.0 / 6, &log);
        tasks.append(task);
        return task;
    });
    c.execute();
    runQueuedEvents();
    // Subtasks end out of order; every finished one is let go of.
    while (c.state == Running && !c.runningTasks.isEmpty()) {
        QVERIFY(c.subTasks.size() <= 2);
        ScriptedTask *task = static_cast<ScriptedTask *>(c.runningTasks.last());
        if (tasks.indexOf(task) == failing)
            task->errorCancel();
        else
            task->finish();
        runQueuedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QCOMPARE(c.state, end);
    QCOMPARE(tasks.size(), made);
    QCOMPARE(int(std::count(tasks.begin(), tasks.end(), nullptr)), made - c.subTasks.size());
    QCOMPARE(c.progress, progress);
    QCOMPARE(c.subtasksDoneCalls, 1);
}

#include "tst_composedtaskspecification.moc"
