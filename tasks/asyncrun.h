#pragma once

#include <QRunnable>

class ASyncFunc;

// The pool job for one work object: runs it and owns it. The pool deletes the
// job after run(), and the job deletes the work object, on the pool thread.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    void run() override;

    ASyncFunc *func;
};
