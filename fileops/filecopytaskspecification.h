#pragma once

#include "tasks/slowfileoptaskspecification.h"

// Copies source to destination on the thread pool; fails, leaving it as it
// is, if destination exists.
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
