#include "update/makedownloadreplacelisttaskspecification.h"

#include "app/configuration.h"
#include "digest/digestservice.h"
#include "fileops/wholefile.h"
#include "tasks/failurecause.h"
#include "update/installationcheck.h"
#include "update/makedownloadreplacelistfunc.h"

#include <QFileInfo>

#ifdef __GLIBC__
#include <malloc.h>
#endif

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
    // The installed files are hashed on the hashing service's file threads:
    // they are started here, on the main thread, never from the pool thread
    // that makes the lists.
    DigestService::instance().start();
    return new MakeDownloadReplaceListFunc(m_configuration, m_workingLists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result that arrives after the task stopped running belongs to no run.
    if (state != Running)
        return;
    if (ok) {
        *m_lists = *m_workingLists;
        queueLeftovers();
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
    const int streams = m_configuration->m_downloadConcurrency < 1
        ? Configuration::DefaultDownloadConcurrency
        : m_configuration->m_downloadConcurrency;
    InstallationCheck check(*m_lists, m_configuration->m_tempDir, Configuration::getAppRootPath(),
                            InstallationCheck::patchesAtOnce(streams));
    if (check.run())
        return true;
    emit message(check.logLine());
    emit failureCause(check.cause());
    return false;
}

void MakeDownloadReplaceListTaskSpecification::queueLeftovers()
{
    // A run that ended in the middle of the replacement may have left, beside
    // a listed file, its kept old copy and the temporary name of its new
    // content. The deletion step removes them once this run has installed
    // every file; the old copies of the files the running updater keeps open
    // go at its next start instead.
    const QString root = Configuration::getAppRootPath() + QLatin1Char('/');
    for (const QString &path : std::as_const(m_lists->listed)) {
        const QFileInfo info(path);
        const QString dir
            = info.path() == QLatin1String(".") ? QString() : info.path() + QLatin1Char('/');
        const QString temporary = dir + WholeFile::temporaryPrefix() + info.fileName();
        if (QFileInfo::exists(root + temporary))
            m_lists->deletes.append(temporary);
        const QString old = dir + Configuration::getSpecialFileRenamePrefix() + info.fileName();
        if (!m_configuration->isSpecialFileName(info.fileName()) && QFileInfo::exists(root + old))
            m_lists->deletes.append(old);
    }
}
