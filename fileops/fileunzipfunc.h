#pragma once

#include "tasks/slowfileopfunc.h"

// Unpacks a gzip file; removes the destination when that fails.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnzipFunc(const QString &source, const QString &destination);

    bool run() override;
    bool unzipFile(const QString &destination, const QString &source);
};
