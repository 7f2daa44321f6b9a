#pragma once

#include "tasks/slowfileopfunc.h"

// Unpacks a gzip file over destination; destination is either what it was or
// the whole unpacked file at every instant, and stays as it was when the
// unpacking fails.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnzipFunc(const QString &source, const QString &destination, int mode = -1);

    bool run() override;
    bool unzipFile(const QString &destination, const QString &source);
};
