#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func)
    : func(func)
{ }

ASyncRun::~ASyncRun()
{
    // Deleting it on this pool thread is safe: it has no parent, nothing else
    // holds it, and no event is ever posted to it; the events it posted go
    // to the task and carry copies of their arguments.
    delete func;
}

void ASyncRun::run()
{
    if (func)
        func->execute();
}
