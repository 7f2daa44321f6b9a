#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Deletes the file targetPath. Not journalled. With failOnError false a
// missing or undeletable file is accepted silently.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(bool failOnError, const QString &targetPath, QObject *parent,
                                double parentProgressRange);

    bool failOnError;

public slots:
    bool doOp() override;
};
