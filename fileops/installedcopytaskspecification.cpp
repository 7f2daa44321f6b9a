#include "fileops/installedcopytaskspecification.h"

#include "fileops/installedcopyfunc.h"

InstalledCopyTaskSpecification::InstalledCopyTaskSpecification(const QString &root,
                                                               const QString &path,
                                                               const QString &destination,
                                                               qint64 size, QObject *parent,
                                                               double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , root(root)
    , path(path)
    , destination(destination)
    , size(size)
{ }

ASyncFunc *InstalledCopyTaskSpecification::createFunction()
{
    return new InstalledCopyFunc(root, path, destination, size);
}
