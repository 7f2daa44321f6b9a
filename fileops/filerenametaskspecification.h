#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Renames sourcePath to targetPath, never overwriting; a successful rename is
// journalled so that the undo renames it back. With KeepSource the file keeps
// its old name as well: targetPath becomes a second (hard) link to it, and
// only where the file system cannot link is the file renamed after all. The
// journal record is the same; its undo renames the kept file back over
// whatever took the old name since.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    enum Mode { Move, KeepSource };

    FileRenameTaskSpecification(const QString &sourcePath, const QString &targetPath,
                                RollbackDataList *rollbackList, QObject *parent,
                                double parentProgressRange, Mode mode = Move);

    QString sourcePath;
    Mode mode;

public slots:
    bool doOp() override;
};
