#include "fileops/checksignaturetaskspecification.h"

#include "digest/filedigestcache.h"
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

void CheckSignatureTaskSpecification::execute()
{
    // A file just downloaded was hashed as it was written: a trip to the pool
    // and back for a comparison would only keep its stream from the next
    // file.
    const QByteArray known = md5.isEmpty() ? QByteArray() : FileDigestCache::lookup(filePath);
    if (known.isEmpty()) {
        ASyncTaskSpecification::execute();
        return;
    }
    // A record serves once: thousands of them would otherwise stay for the run.
    FileDigestCache::forget(filePath);
    state = Running;
    foundMd5.clear();
    const bool ok = CheckSigFunc::digestMatches(known, md5);
    if (!ok)
        foundMd5 = QString::fromLatin1(known.toHex());
    runDone(ok);
}

ASyncFunc *CheckSignatureTaskSpecification::createFunction()
{
    foundMd5.clear();
    return new CheckSigFunc(filePath, md5);
}

void CheckSignatureTaskSpecification::connectDefaultSignals(ASyncFunc *func)
{
    ASyncTaskSpecification::connectDefaultSignals(func);
    // Queued like the result, and so delivered before it.
    connect(static_cast<CheckSigFunc *>(func), &CheckSigFunc::md5Mismatch, this,
            [this](const QString &found) { foundMd5 = found; }, Qt::QueuedConnection);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (!ok) {
        QString line = QStringLiteral("Signature check failed for %1").arg(filePath);
        if (!origin.isEmpty())
            line += QStringLiteral(" (from %1)").arg(origin);
        emit message(line);
        if (!foundMd5.isEmpty())
            emit message(QStringLiteral("MD5 mismatch: %1 has the MD5 sum %2, %3 was expected")
                             .arg(filePath, foundMd5, md5.toLower()));
    }

    // The receiver may start its parent over from within checkDone(); the base
    // version only ends this task if it is still running afterwards.
    QPointer<CheckSignatureTaskSpecification> self(this);
    emit checkDone(ok, this);
    if (!self)
        return;
    ASyncTaskSpecification::runDone(ok || !errorCancelOnFailure);
}
