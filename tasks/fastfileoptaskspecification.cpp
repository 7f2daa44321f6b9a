#include "tasks/fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &targetPath,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent,
                                                         double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , targetPath(targetPath)
{ }

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData &data)
{
    if (rollbackList)
        rollbackList->add(data);
}

void FastFileOpTaskSpecification::execute()
{
    state = Running;
    if (doOp())
        finish();
    else
        errorCancel();
}
