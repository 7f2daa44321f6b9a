#include "fileops/filecopytaskspecification.h"

#include "fileops/filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &source,
                                                     const QString &destination, QObject *parent,
                                                     double parentProgressRange)
    : SlowFileOpSpecification(
        QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination), rollbackList,
        source, destination, parent, parentProgressRange)
{ }

ASyncFunc *FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(source, destination, mode);
}
