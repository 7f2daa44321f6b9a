#pragma once

#include "tasks/asynctaskspecification.h"

#include <QString>

#include <atomic>
#include <memory>

// Deletes the file targetPath on the thread pool, so that several deletions
// wait on the disk together. Not journalled; never fails: outcome() says,
// once the task has finished, whether the file was deleted, was not there,
// or stays.
class BackgroundDeleteTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    enum Outcome { NotRun, Deleted, NotThere, Stays };

    BackgroundDeleteTaskSpecification(const QString &targetPath, QObject *parent,
                                      double parentProgressRange);

    Outcome outcome() const { return m_outcome ? Outcome(m_outcome->load()) : NotRun; }

    QString targetPath;

public slots:
    ASyncFunc *createFunction() override;

private:
    // Written by the work object on the pool, read here once its result
    // has arrived.
    std::shared_ptr<std::atomic<int>> m_outcome;
};
