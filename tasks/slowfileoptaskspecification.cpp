#include "tasks/slowfileoptaskspecification.h"

#include "tasks/failurecause.h"

#include <QFileInfo>

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
    if (!ok && state == Running) {
        // Whatever the operation wrote is gone again, so the room it had
        // left is there to be measured.
        const qint64 size = expectedSize >= 0 ? expectedSize : QFileInfo(source).size();
        const QString cause
            = FailureCause::probeFolder(QFileInfo(destination).absolutePath(), quint64(size));
        if (!cause.isEmpty())
            emit failureCause(cause);
    }
    if (ok && rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destination));
    ASyncTaskSpecification::runDone(ok);
}
