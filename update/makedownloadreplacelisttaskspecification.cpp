#include "update/makedownloadreplacelisttaskspecification.h"

#include "digest/digestservice.h"
#include "fileops/wholefile.h"
#include "tasks/failurecause.h"
#include "update/installationcheck.h"
#include "update/makedownloadreplacelistfunc.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

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
    const int streams = m_settings.streams();
    InstallationCheck check(*m_lists, m_settings.sessionDir, m_settings.appRoot,
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
    // go at its next start instead. Each folder is read once for names with
    // either prefix, instead of asking for two names per listed file.
    const QString root = m_settings.appRoot + QLatin1Char('/');
    const QString oldPrefix = InstallationNames::specialFileRenamePrefix();
    const QString newPrefix = WholeFile::temporaryPrefix();
    QHash<QString, QSet<QString>> leftovers; // by folder, "" for the root
    QSet<QString> folders;
    for (const QString &path : std::as_const(m_lists->listed)) {
        const int slash = int(path.lastIndexOf(QLatin1Char('/')));
        folders.insert(slash < 0 ? QString() : path.left(slash + 1));
    }
    for (const QString &folder : std::as_const(folders)) {
        const QStringList names
            = QDir(root + folder).entryList({oldPrefix + QLatin1Char('*'), newPrefix + QLatin1Char('*')},
                                            QDir::Files | QDir::Hidden | QDir::System);
        if (!names.isEmpty())
            leftovers.insert(folder, QSet<QString>(names.cbegin(), names.cend()));
    }
    if (leftovers.isEmpty())
        return;
    for (const QString &path : std::as_const(m_lists->listed)) {
        const int slash = int(path.lastIndexOf(QLatin1Char('/')));
        const QString folder = slash < 0 ? QString() : path.left(slash + 1);
        const auto found = leftovers.constFind(folder);
        if (found == leftovers.cend())
            continue;
        const QString name = path.mid(slash + 1);
        if (found->contains(newPrefix + name))
            m_lists->deletes.append(folder + newPrefix + name);
        if (!InstallationNames::isSpecialFileName(name) && found->contains(oldPrefix + name))
            m_lists->deletes.append(folder + oldPrefix + name);
    }
}
