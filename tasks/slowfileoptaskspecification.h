#pragma once

#include "tasks/asynctaskspecification.h"
#include "tasks/rollbackdatalist.h"

// A slow file operation (copy, gunzip) whose work runs on the thread pool. On
// success the destination is recorded in the journal as a created file before
// finished() is emitted; on failure failMessage goes out on message() and the
// task ends with errorCancel(), recording nothing, after naming the cause
// where the destination's folder cannot be written or has too little room.
// The new file gets mode (permission bits) before it takes its name; -1
// leaves the choice to the operation.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(QString failMessage, RollbackDataList *rollbackList,
                            const QString &source, const QString &destination, QObject *parent,
                            double parentProgressRange);

    RollbackDataList *rollbackList; // not owned; may be null
    QString source;
    QString destination;
    QString failMessage;
    int mode = -1;
    // The size the new file has; -1: that of the source.
    qint64 expectedSize = -1;

public slots:
    void runDone(bool ok) override;
};
