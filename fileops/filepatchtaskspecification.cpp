#include "fileops/filepatchtaskspecification.h"

#include "fileops/filepatchfunc.h"

FilePatchTaskSpecification::FilePatchTaskSpecification(const QString &base, const QString &patch,
                                                       const QString &destination,
                                                       qint64 targetSize, QObject *parent,
                                                       double parentProgressRange)
    : SlowFileOpSpecification(
        QStringLiteral("Could not patch '%1' into '%2'").arg(base, destination), nullptr, patch,
        destination, parent, parentProgressRange)
    , base(base)
    , targetSize(targetSize)
{ }

ASyncFunc *FilePatchTaskSpecification::createFunction()
{
    return new FilePatchFunc(base, source, destination, targetSize);
}
