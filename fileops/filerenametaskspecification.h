#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Renames sourcePath to targetPath, never overwriting; a successful rename is
// journalled so that the undo renames it back.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &sourcePath, const QString &targetPath,
                                RollbackDataList *rollbackList, QObject *parent,
                                double parentProgressRange);

    QString sourcePath;

public slots:
    bool doOp() override;
};
