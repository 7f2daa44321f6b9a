#pragma once

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

// The last step of an update run: deletes the obsolete files and the
// moved-aside old copies named in the delete list (relative to the
// application root), several at a time. A file that cannot be deleted is left
// silently; only a user cancel keeps the step from finishing. The list is
// lent and read when the step starts.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<QString> *fileList, QObject *parent,
                                    double parentProgressRange);

    void makeSubtasksAndStart();

    QList<QString> *fileList;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;
};
