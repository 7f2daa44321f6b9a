#pragma once

#include "tasks/slowfileoptaskspecification.h"

// Unpacks the gzip file source to destination on the thread pool,
// overwriting destination. A source that is not gzip-compressed is copied as
// it is. After a failure no destination file is left.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnzipTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                               const QString &destination, QObject *parent,
                               double parentProgressRange);

public slots:
    ASyncFunc *createFunction() override;
};
