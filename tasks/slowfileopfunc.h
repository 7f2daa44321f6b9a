#pragma once

#include "tasks/asyncfunc.h"

// The work object of a slow file operation: copies of the task's two paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &destination);

    QString source;
    QString destination;
};
