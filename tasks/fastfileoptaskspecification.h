#pragma once

#include "tasks/rollbackdatalist.h"
#include "tasks/taskspecification.h"

// A quick file operation done synchronously on the main thread: execute()
// calls doOp() and ends the task, finished or canceled, before it returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    FastFileOpTaskSpecification(const QString &targetPath, RollbackDataList *rollbackList,
                                QObject *parent, double parentProgressRange);

    // Records one undo record if there is a journal.
    void addRollbackOp(const RollbackData &data);

    RollbackDataList *rollbackList; // not owned; may be null
    QString targetPath;

public slots:
    void execute() override;
    // Does the operation; reports its own failure on message() and returns false.
    virtual bool doOp() = 0;
};
