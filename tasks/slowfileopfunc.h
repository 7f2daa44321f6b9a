#pragma once

#include "tasks/asyncfunc.h"

// The work object of a slow file operation: copies of the task's two paths
// and of the mode the new file gets (-1: the operation's own choice).
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &destination, int mode = -1);

    QString source;
    QString destination;
    int mode;
};
