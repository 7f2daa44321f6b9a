#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

ASyncRun::ASyncRun(std::unique_ptr<ASyncFunc> func)
    : m_func(std::move(func))
{ }

ASyncRun::~ASyncRun()
{
    // Deleting it on this pool thread is safe: it has no parent, nothing else
    // holds it, and no event is ever posted to it; the events it posted go
    // to the task and carry copies of their arguments.
    m_func.reset();
    m_ended.set_value();
}

void ASyncRun::run()
{
    if (m_func)
        m_func->execute();
}
