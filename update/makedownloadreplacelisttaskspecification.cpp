#include "update/makedownloadreplacelisttaskspecification.h"

#include "digest/digestservice.h"
#include "tasks/failurecause.h"
#include "update/installationcheck.h"
#include "update/makedownloadreplacelistfunc.h"

#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    const RunSettings &settings, FileSpecifications &lists, QObject *parent,
    double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , m_settings(settings)
    , m_lists(&lists)
    , m_workingLists(std::make_shared<FileSpecifications>())
{ }

ASyncFunc *MakeDownloadReplaceListTaskSpecification::createFunction()
{
    // The installed files are hashed on the hashing service's file threads:
    // they are started here, on the main thread, never from the pool thread
    // that makes the lists.
    DigestService::instance().start();
#ifdef __GLIBC__
    // What fetching and checking the product ini freed on this thread stays
    // with its allocator, out of reach of the pool thread: given back first.
    malloc_trim(0);
#endif
    return new MakeDownloadReplaceListFunc(m_settings, m_workingLists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result that arrives after the task stopped running belongs to no run.
    if (state != Running)
        return;
    if (ok) {
        // Moved, not shared: a list shared with the working copy would be
        // copied whole by the first step that changes an entry of it.
        *m_lists = std::move(*m_workingLists);
        *m_workingLists = FileSpecifications();
        ok = checkInstallation();
    } else {
        emit failureCause(FailureCause::fileListUnusable());
    }
#ifdef __GLIBC__
    // The lists were made on a pool thread, among the product ini's text,
    // its parsed keys and the read buffers of the installed files' digests,
    // all freed by now; the lists themselves stay for the run and keep the
    // allocator from giving the space around them back by itself. For
    // thousands of files that is several megabytes held through the
    // downloads for nothing.
    malloc_trim(0);
#endif
    ASyncTaskSpecification::runDone(ok);
}

bool MakeDownloadReplaceListTaskSpecification::checkInstallation()
{
    const int streams = m_settings.streams();
    InstallationCheck check(*m_lists, m_settings.sessionDir, m_settings.appRoot,
                            InstallationCheck::patchesAtOnce(streams));
    if (check.run())
        return true;
    emit message(check.logLine());
    emit failureCause(check.cause());
    return false;
}
