#include "tasklog.h"
#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QPointer>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <functional>

namespace {
QAtomicInt funcsAlive;
}

// Work whose body the test gives; counts the work objects still alive.
class ScriptedFunc : public ASyncFunc
{
public:
    explicit ScriptedFunc(std::function<bool(ScriptedFunc *)> body)
        : body(std::move(body))
    {
        funcsAlive.ref();
    }
    ~ScriptedFunc() override { funcsAlive.deref(); }

    bool run() override { return body(this); }

    // Emitting from the pool thread is what a real work object does.
    void say(const QString &text) { emit message(text); }
    void fail(const QString &text) { emit error(text); }
    void advance(qreal fraction) { emit progress(fraction); }

    std::function<bool(ScriptedFunc *)> body;
};

class ScriptedAsyncTask : public ASyncTaskSpecification
{
public:
    ScriptedAsyncTask(double weight, std::function<bool(ScriptedFunc *)> body)
        : ASyncTaskSpecification(nullptr, weight)
        , body(std::move(body))
    { }
    ASyncFunc *createFunction() override { return new ScriptedFunc(body); }

    std::function<bool(ScriptedFunc *)> body;
};

class tst_ASyncTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void resultArrivesThroughEventLoopAfterReports_data();
    void resultArrivesThroughEventLoopAfterReports();
    void userCancelLetsWorkRunToItsEnd();
    void resultAfterResetIsIgnored();
    void staleResultDoesNotEndNextRun();
    void resetWaitsForItsOwnJobOnly();
    void deletingTaskWhileWorkRunsDropsResult();
};

void tst_ASyncTaskSpecification::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(funcsAlive.loadRelaxed(), 0);
}

void tst_ASyncTaskSpecification::resultArrivesThroughEventLoopAfterReports_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("success") << true
                             << QStringList({"t message: half way", "t error: odd block",
                                             "t progress 0.25 [Running]",
                                             "t progress 0.5 [Finished]", "t finished [Finished]"});
    QTest::newRow("failure") << false
                             << QStringList({"t message: half way", "t error: odd block",
                                             "t progress 0.25 [Running]",
                                             "t canceled [ErrorCanceled]"});
}

void tst_ASyncTaskSpecification::resultArrivesThroughEventLoopAfterReports()
{
    QFETCH(bool, result);
    QFETCH(QStringList, expected);
    TaskLog log;
    Qt::HANDLE mainThread = QThread::currentThreadId();
    Qt::HANDLE workThread = mainThread;
    ScriptedAsyncTask task(0.5, [&, result](ScriptedFunc *func) {
        workThread = QThread::currentThreadId();
        func->say("half way");
        func->fail("odd block");
        func->advance(0.5);
        return result;
    });
    log.watch(&task, "t");

    task.execute();
    QCOMPARE(task.state, Running);
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(log.lines, QStringList()); // nothing before the event loop runs
    QTRY_VERIFY(task.state != Running);

    QCOMPARE(log.take(), expected);
    QVERIFY(workThread != mainThread);
}

void tst_ASyncTaskSpecification::userCancelLetsWorkRunToItsEnd()
{
    TaskLog log;
    QSemaphore release;
    ScriptedAsyncTask task(1, [&](ScriptedFunc *) {
        release.acquire();
        return true;
    });
    log.watch(&task, "t", false);

    task.execute();
    task.userCanceled();
    release.release();
    QTRY_VERIFY(task.state != Running);

    QCOMPARE(log.take(), QStringList({"t finished [Finished]"}));
    QVERIFY(task.cancelRequested);
}

void tst_ASyncTaskSpecification::resultAfterResetIsIgnored()
{
    TaskLog log;
    ScriptedAsyncTask task(1, [](ScriptedFunc *func) {
        func->say("done");
        return true;
    });
    log.watch(&task, "t");

    task.execute();
    task.reset(); // the work has ended by now, its reports are still queued
    QCoreApplication::sendPostedEvents();

    QCOMPARE(log.take(), QStringList({"t progress 0 [Idle]"}));
    QCOMPARE(task.state, Idle);
}

void tst_ASyncTaskSpecification::staleResultDoesNotEndNextRun()
{
    TaskLog log;
    QSemaphore release;
    int runs = 0;
    ScriptedAsyncTask task(1, [&](ScriptedFunc *) {
        if (++runs == 2)
            release.acquire();
        return runs == 2;
    });
    log.watch(&task, "t", false);

    task.execute(); // fails at once, its result waits in the queue
    task.reset();
    task.execute();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(task.state, Running);
    release.release();
    QTRY_VERIFY(task.state != Running);

    QCOMPARE(log.take(), QStringList({"t finished [Finished]"}));
}

// reset() returns once the task's work object is gone, while a job of
// someone else's still runs.
void tst_ASyncTaskSpecification::resetWaitsForItsOwnJobOnly()
{
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(qMax(2, pool->maxThreadCount()));
    QSemaphore otherRuns;
    QSemaphore releaseOther;
    pool->start([&] {
        otherRuns.release();
        releaseOther.acquire();
    });
    otherRuns.acquire();
    ScriptedAsyncTask task(1, [](ScriptedFunc *) {
        QThread::msleep(50);
        return true;
    });
    task.execute();

    task.reset();

    QCOMPARE(funcsAlive.loadRelaxed(), 0);
    QCOMPARE(task.state, Idle);
    releaseOther.release();
    // The other job may still be inside acquire(), on this function's stack.
    pool->waitForDone();
}

void tst_ASyncTaskSpecification::deletingTaskWhileWorkRunsDropsResult()
{
    TaskLog log;
    QSemaphore started;
    QSemaphore release;
    auto *task = new ScriptedAsyncTask(1, [&](ScriptedFunc *func) {
        started.release();
        release.acquire();
        func->say("after the task is gone");
        return true;
    });
    QPointer<ScriptedAsyncTask> guard(task);
    log.watch(task, "t");
    task->execute();
    started.acquire();

    delete task;
    release.release();
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();

    QCOMPARE(log.take(), QStringList());
    QCOMPARE(funcsAlive.loadRelaxed(), 0); // the pool deleted the job and the work object
    QVERIFY(!guard);
}

QTEST_GUILESS_MAIN(tst_ASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
