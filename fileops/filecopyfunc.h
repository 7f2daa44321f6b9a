#pragma once

#include "tasks/slowfileopfunc.h"

// Copies source over destination; destination is either what it was or the
// whole copy at every instant. On one file system the copy is the source
// itself under a second name (a hard link), so the source must not change
// afterwards. The copy gets mode, or the source's permissions when mode is -1.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &destination, int mode = -1);

    bool run() override;
};
