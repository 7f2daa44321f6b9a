#pragma once

#include <QRunnable>

#include <future>
#include <memory>

class ASyncFunc;

// The pool job for one work object: runs it and owns it. The pool deletes the
// job after run(), and the job deletes the work object, on the pool thread;
// then the job has ended, as the future of ended() tells whoever started it.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(std::unique_ptr<ASyncFunc> func);
    ~ASyncRun() override;

    void run() override;

    // Ready once the work object is gone; for one caller.
    std::future<void> ended() { return m_ended.get_future(); }

private:
    std::unique_ptr<ASyncFunc> m_func;
    std::promise<void> m_ended;
};
