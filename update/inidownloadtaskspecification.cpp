#include "update/inidownloadtaskspecification.h"

#include "app/configuration.h"
#include "fileops/checksignaturetaskspecification.h"
#include "net/downloadtaskspecification.h"

#include <QFileInfo>

namespace {

constexpr int MaxFailedChecks = 1000;
constexpr double DownloadWeight = 0.3333;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                           Mirrors *mirrors,
                                                           Configuration *configuration,
                                                           QObject *parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_configuration(configuration)
    , failedChecks(0)
{ }

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    failedChecks = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = m_configuration->m_clientType + QStringLiteral(".ini");
    const QString sigName = iniName + QStringLiteral(".sig");
    const QString localIni = m_configuration->m_tempDir + QLatin1Char('/') + iniName;
    const QString localSig = localIni + QStringLiteral(".sig");

    // Copies left by an interrupted run to the same version are trusted only
    // until they fail a check.
    double checkWeight = 1.0;
    if (failedChecks > 0 || !QFileInfo::exists(localIni)) {
        addSubTask(new DownloadTaskSpecification(m_manager, m_mirrors, iniName, localIni, -1, this,
                                                 DownloadWeight));
        checkWeight -= DownloadWeight;
    }
    if (failedChecks > 0 || !QFileInfo::exists(localSig)) {
        addSubTask(new DownloadTaskSpecification(m_manager, m_mirrors, sigName, localSig, -1, this,
                                                 DownloadWeight));
        checkWeight -= DownloadWeight;
    }
    auto *check
        = new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok)
        return;
    ++failedChecks;
    if (cancelRequested) {
        // The user stopped the run while the check ran. A retry would reset
        // the request away and carry on; the failed check must not finish
        // this step either, so it is detached before this task ends.
        clearSubTasks();
        userCancel();
        return;
    }
    if (failedChecks > MaxFailedChecks) {
        emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
        errorCancel();
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    const int failed = failedChecks;
    // The reset detaches the failed check, which is still inside its own
    // completion: its finish() no longer reaches this task.
    reset();
    failedChecks = failed;
    makeSubtasksAndStart();
}
