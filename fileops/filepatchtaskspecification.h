#pragma once

#include "tasks/slowfileoptaskspecification.h"

// Makes destination from the installed file base and a zstd patch (source)
// on the thread pool (FilePatchFunc). Nothing is journalled: the output lies
// in the session directory. After a failure no destination file is left.
class FilePatchTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FilePatchTaskSpecification(const QString &base, const QString &patch,
                               const QString &destination, qint64 targetSize, QObject *parent,
                               double parentProgressRange);

    QString base;
    qint64 targetSize;

public slots:
    ASyncFunc *createFunction() override;
};
