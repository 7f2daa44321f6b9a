#pragma once

#include "tasks/slowfileoptaskspecification.h"

// Unpacks the gzip file source over destination on the thread pool. A source
// that is not gzip-compressed is copied as it is. Destination is at every
// instant either what it was or the whole unpacked file; a failure leaves it
// as it was.
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
