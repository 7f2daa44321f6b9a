#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"
#include "tasks/asyncrun.h"

#include <QCoreApplication>
#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
{ }

void ASyncTaskSpecification::execute()
{
    std::unique_ptr<ASyncFunc> func(createFunction());
    connectDefaultSignals(func.get());
    auto job = std::make_unique<ASyncRun>(std::move(func));
    m_job = job->ended();
    // The pool deletes the job when it has run.
    QThreadPool::globalInstance()->start(job.release(), 0);
    // The result can only arrive later, through the event loop.
    state = Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::waitForJob()
{
    if (m_job.valid())
        m_job.get();
}

void ASyncTaskSpecification::reset()
{
    waitForJob();
    // The old work object has ended, but its reports may still wait in the
    // event queue. Were they delivered after a new execute(), the old result
    // would end the new run.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}
