#include "tasks/slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &source, const QString &destination, int mode)
    : source(source)
    , destination(destination)
    , mode(mode)
{ }
