#include "update/makedownloadreplacelisttaskspecification.h"

#include "update/makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration *configuration, FileSpecifications &lists, QObject *parent,
    double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , m_configuration(configuration)
    , m_lists(&lists)
    , m_workingLists(std::make_shared<FileSpecifications>())
{ }

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(m_configuration, m_workingLists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result that arrives after the task stopped running belongs to no run.
    if (ok && state == Running)
        *m_lists = *m_workingLists;
    ASyncTaskSpecification::runDone(ok);
}
