#include "tasks/slowfileoptaskspecification.h"

SlowFileOpSpecification::SlowFileOpSpecification(QString failMessage,
                                                 RollbackDataList *rollbackList,
                                                 const QString &source, const QString &destination,
                                                 QObject *parent, double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , source(source)
    , destination(destination)
    , failMessage(std::move(failMessage))
{ }

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failMessage);
    if (ok && rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destination));
    ASyncTaskSpecification::runDone(ok);
}
