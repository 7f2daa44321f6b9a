#pragma once

#include "tasks/asynctaskspecification.h"

#include <QString>

// Deletes the file targetPath on the thread pool, so that several deletions
// wait on the disk together. Not journalled; a missing or undeletable file
// is accepted silently.
class BackgroundDeleteTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    BackgroundDeleteTaskSpecification(const QString &targetPath, QObject *parent,
                                      double parentProgressRange);

    QString targetPath;

public slots:
    ASyncFunc *createFunction() override;
};
