#pragma once

#include <QObject>
#include <QString>

// Work that runs on a thread of the global pool. A concrete work object holds
// copies of its inputs and never touches main-thread objects. It is created
// without a parent on the main thread and deleted by the ASyncRun that runs it;
// its signals reach the task through queued connections.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // Runs the work on the calling thread and emits runResult() with its result.
    void execute();

    // Does the work; true for success.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Own fraction done, 0 to 1.
    void progress(qreal progress);
};
