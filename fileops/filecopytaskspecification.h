#pragma once

#include "tasks/slowfileoptaskspecification.h"

// Copies source over destination on the thread pool. Destination is at every
// instant either what it was or the whole copy.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                              const QString &destination, QObject *parent,
                              double parentProgressRange);

public slots:
    ASyncFunc *createFunction() override;
};
