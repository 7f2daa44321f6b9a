#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

ASyncRun::ASyncRun(ASyncFunc *func)
    : func(func)
{ }

ASyncRun::~ASyncRun()
{
    // The events the work object posted carry copies of their arguments and
    // stay valid after it is gone.
    delete func;
}

void ASyncRun::run()
{
    if (func)
        func->execute();
}
