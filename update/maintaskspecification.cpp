#include "update/maintaskspecification.h"

#include "update/downloadfilelisttaskspecification.h"
#include "update/filedeletelisttaskspecification.h"
#include "update/filereplacelisttaskspecification.h"
#include "update/inidownloadtaskspecification.h"
#include "update/makedownloadreplacelisttaskspecification.h"

namespace {

constexpr double productIniWeight = 0.1;
constexpr double fileListsWeight = 0.05;
constexpr double downloadsWeight = 0.4;
constexpr double replacementWeight = 0.4;
constexpr double deletionWeight = 0.05;

// The steps together make the whole run's progress.
constexpr double weightsSum =
    productIniWeight + fileListsWeight + downloadsWeight + replacementWeight + deletionWeight;
static_assert(weightsSum > 1.0 - 1e-9 && weightsSum < 1.0 + 1e-9,
              "the steps' weights must add up to 1");

} // namespace

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                             const RunSettings &settings, QObject *parent,
                                             double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_manager(manager)
    , m_mirrorList(mirrors)
    , m_settings(settings)
{ }

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // One step at a time: the later steps read the lists through pointers
    // into m_fileSpecifications, which the second step fills.
    addSubTask(new IniDownloadTaskSpecification(m_manager, m_mirrorList, m_settings, this,
                                                productIniWeight));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_settings, m_fileSpecifications, this,
                                                            fileListsWeight));
    m_downloads
        = new DownloadFileListTaskSpecification(&m_fileSpecifications.downloads, m_manager,
                                                m_mirrorList, m_settings, this, downloadsWeight);
    m_downloads->setPatchSource(&m_fileSpecifications.patchList, &m_fileSpecifications.replaces);
    addSubTask(m_downloads);
    m_replacement = new FileReplaceListTaskSpecification(&m_fileSpecifications.replaces,
                                                         m_settings, this, replacementWeight);
    addSubTask(m_replacement);
    m_deletion = new FileDeleteListTaskSpecification(&m_fileSpecifications.deletes, m_settings,
                                                     this, deletionWeight);
    // The old copies that the replacement set aside follow the delete list.
    FileReplaceListTaskSpecification *replacement = m_replacement;
    m_deletion->setMoreNames({[replacement] { return replacement->oldCopyCount(); },
                              [replacement](int index) { return replacement->oldCopy(index); }});
    addSubTask(m_deletion);
    state = Running;
    executeSubTasks();
}

bool MainTaskSpecification::installationWhole() const
{
    return !m_replacement || !m_replacement->installationChanged();
}

QString MainTaskSpecification::summaryLine() const
{
    // A file fetched by an earlier attempt of the same version came by none
    // of the three ways in this run, but was replaced in it.
    const int fetched = m_downloads ? m_downloads->fetchedFiles : 0;
    const int patched = m_downloads ? m_downloads->patchedFiles : 0;
    const int copied = m_downloads ? m_downloads->copiedFiles : 0;
    const int deleted
        = m_deletion ? m_deletion->deletedAmong(m_fileSpecifications.obsoleteCount) : 0;
    return QStringLiteral("Version %1 installed: %2 files replaced (%3 fetched, %4 patched, %5 "
                          "copied locally), %6 files deleted")
        .arg(QString::number(m_settings.clientVersion),
             QString::number(m_fileSpecifications.replaces.size()), QString::number(fetched),
             QString::number(patched), QString::number(copied), QString::number(deleted));
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    m_fileSpecifications.clear();
    TaskSpecification::reset();
}
