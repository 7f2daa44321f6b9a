#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Creates the directory targetPath together with its missing parents,
// recording each directory it created (outermost first) in the journal.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &targetPath, RollbackDataList *rollbackList,
                               QObject *parent, double parentProgressRange);

    bool tryCreateDir(const QString &path);

public slots:
    bool doOp() override;
};
