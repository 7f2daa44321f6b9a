#include "fileops/fileunziptaskspecification.h"

#include "fileops/fileunzipfunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList *rollbackList,
                                                       const QString &source,
                                                       const QString &destination, QObject *parent,
                                                       double parentProgressRange)
    : SlowFileOpSpecification(
        QStringLiteral("Could not unzip '%1' to '%2'").arg(source, destination), rollbackList,
        source, destination, parent, parentProgressRange)
{ }

ASyncFunc *FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(source, destination, mode);
}
