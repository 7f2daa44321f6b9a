#pragma once

#include "tasks/slowfileopfunc.h"

// Copies source to destination; never overwrites.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &destination);

    bool run() override;
};
