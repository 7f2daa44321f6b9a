#include "tasks/asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{ }

void ASyncFunc::execute()
{
    const bool result = run();
    emit runResult(result);
}
