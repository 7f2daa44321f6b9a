#include "fileops/checksignaturetaskspecification.h"

#include "fileops/checksigfunc.h"

#include <QPointer>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString filePath, QString md5,
                                                                 bool errorCancelOnFailure,
                                                                 QObject *parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , filePath(std::move(filePath))
    , md5(std::move(md5))
    , errorCancelOnFailure(errorCancelOnFailure)
{ }

ASyncFunc *CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(filePath, md5);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (!ok)
        emit message(QStringLiteral("Signature check failed for %1").arg(filePath));

    // The receiver may start its parent over from within checkDone(); the base
    // version only ends this task if it is still running afterwards.
    QPointer<CheckSignatureTaskSpecification> self(this);
    emit checkDone(ok, this);
    if (!self)
        return;
    ASyncTaskSpecification::runDone(ok || !errorCancelOnFailure);
}
