#pragma once

#include "tasks/asynctaskspecification.h"

// Copies an installed file into the session directory on the thread pool
// (InstalledCopyFunc), in place of fetching the same bytes from a mirror.
// Nothing is journalled: the copy lies in the session directory. Ends with
// finish(), or with errorCancel() after the function's message.
class InstalledCopyTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    InstalledCopyTaskSpecification(const QString &root, const QString &path,
                                   const QString &destination, qint64 size, QObject *parent,
                                   double parentProgressRange);

    QString root;
    QString path; // below root
    QString destination;
    qint64 size;

public slots:
    ASyncFunc *createFunction() override;
};
