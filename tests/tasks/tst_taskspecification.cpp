#include "testtasks.h"

#include <QSignalSpy>
#include <QTest>

class tst_TaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void progressIsWeightedAndAlwaysEmitted_data();
    void progressIsWeightedAndAlwaysEmitted();
    void finishReportsFullWeightBeforeFinishedWithStateSet();
    void errorAndUserCancelDifferOnlyInState_data();
    void errorAndUserCancelDifferOnlyInState();
    void resetClearsCancelRequestAndReportsZero();
    void otherTaskCancelledReachesOnlyRunningOthers_data();
    void otherTaskCancelledReachesOnlyRunningOthers();
    void userCancelOnLeafOnlySetsFlag();
    void baseTimeTickReportsNothing();
    void weightChangeDoesNotRecomputeProgress();
};

void tst_TaskSpecification::progressIsWeightedAndAlwaysEmitted_data()
{
    QTest::addColumn<double>("weight");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("expected");
    QTest::newRow("half of 0.4") << 0.4 << 0.5 << 0.2;
    QTest::newRow("all of 0.25") << 0.25 << 1.0 << 0.25;
    QTest::newRow("not clamped above one") << 0.4 << 1.5 << 0.6;
    QTest::newRow("not clamped below zero") << 0.5 << -1.0 << -0.5;
}

void tst_TaskSpecification::progressIsWeightedAndAlwaysEmitted()
{
    QFETCH(double, weight);
    QFETCH(double, fraction);
    QFETCH(double, expected);
    TaskLog log;
    ScriptedTask task("t", nullptr, weight, &log);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);

    task.setProgress(fraction);
    task.setProgress(fraction);

    QCOMPARE(task.progress, expected);
    QCOMPARE(spy.count(), 2); // no test for change
    QCOMPARE(spy.at(1).at(0).toDouble(), expected);
}

void tst_TaskSpecification::finishReportsFullWeightBeforeFinishedWithStateSet()
{
    TaskLog log;
    ScriptedTask task("t", nullptr, 0.25, &log);
    log.watch(&task, "t");
    QSignalSpy finished(&task, &TaskSpecification::finished);

    task.state = Running;
    task.finish();

    QCOMPARE(log.take(), QStringList({"t progress 0.25 [Finished]", "t finished [Finished]"}));
    QCOMPARE(finished.at(0).at(0).value<TaskSpecification *>(), &task);
}

void tst_TaskSpecification::errorAndUserCancelDifferOnlyInState_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("error") << false << QStringList({"t canceled [ErrorCanceled]"});
    QTest::newRow("user") << true << QStringList({"t canceled [UserCanceled]"});
}

void tst_TaskSpecification::errorAndUserCancelDifferOnlyInState()
{
    QFETCH(bool, byUser);
    QFETCH(QStringList, expected);
    TaskLog log;
    ScriptedTask task("t", nullptr, 0.5, &log);
    log.watch(&task, "t");
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.state = Running;
    task.setProgress(0.5);
    log.take();

    if (byUser)
        task.userCancel();
    else
        task.errorCancel();

    QCOMPARE(log.take(), expected); // progress stays where it was
    QCOMPARE(task.progress, 0.25);
    QCOMPARE(canceled.at(0).at(0).value<TaskSpecification *>(), &task);
}

void tst_TaskSpecification::resetClearsCancelRequestAndReportsZero()
{
    TaskLog log;
    ScriptedTask task("t", nullptr, 0.5, &log);
    log.watch(&task, "t");
    task.state = Running;
    task.userCanceled();
    task.errorCancel();
    log.take();

    task.reset();

    QCOMPARE(log.take(), QStringList({"t progress 0 [Idle]"}));
    QVERIFY(!task.cancelRequested);
    QCOMPARE(task.state, Idle);
}

void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningOthers_data()
{
    QTest::addColumn<bool>("aboutItself");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("handled");
    QTest::newRow("other, running") << false << int(Running) << true;
    QTest::newRow("itself, running") << true << int(Running) << false;
    QTest::newRow("other, idle") << false << int(Idle) << false;
    QTest::newRow("other, finished") << false << int(Finished) << false;
}

void tst_TaskSpecification::otherTaskCancelledReachesOnlyRunningOthers()
{
    QFETCH(bool, aboutItself);
    QFETCH(int, state);
    QFETCH(bool, handled);
    TaskLog log;
    ScriptedTask task("t", nullptr, 1, &log);
    ScriptedTask other("o", nullptr, 1, &log);
    task.state = TaskState(state);

    task.onOtherTaskCancelled(aboutItself ? &task : &other);

    const QString expected = QStringLiteral("t handles cancel of ") + (aboutItself ? "t" : "o");
    QCOMPARE(log.take(), handled ? QStringList({expected}) : QStringList());
}

void tst_TaskSpecification::userCancelOnLeafOnlySetsFlag()
{
    TaskLog log;
    ScriptedTask task("t", nullptr, 1, &log);
    log.watch(&task, "t");
    task.execute();
    log.take();

    task.userCanceled();

    QVERIFY(task.cancelRequested);
    QCOMPARE(task.state, Running);
    QCOMPARE(log.take(), QStringList({"t userCanceled"}));
}

void tst_TaskSpecification::baseTimeTickReportsNothing()
{
    class PlainTask : public TaskSpecification
    {
    public:
        PlainTask()
            : TaskSpecification(nullptr, 1)
        { }
        void execute() override { state = Running; }
    } task;
    unsigned long long done = 5, total = 6, speed = 7;
    bool downloading = true;

    task.timeTick(done, total, speed, downloading);

    QCOMPARE(done, 0ULL);
    QCOMPARE(total, 0ULL);
    QCOMPARE(speed, 0ULL);
    QCOMPARE(downloading, false);
}

void tst_TaskSpecification::weightChangeDoesNotRecomputeProgress()
{
    TaskLog log;
    ScriptedTask task("t", nullptr, 0.5, &log);
    task.setProgress(1.0);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);

    task.setParentProgressRange(0.1);

    QCOMPARE(task.progress, 0.5);
    QCOMPARE(spy.count(), 0);
    task.setProgress(1.0);
    QCOMPARE(task.progress, 0.1);
}

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"
