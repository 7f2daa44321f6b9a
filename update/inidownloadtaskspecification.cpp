#include "update/inidownloadtaskspecification.h"

#include "fileops/checksignaturetaskspecification.h"
#include "formats/productinireader.h"
#include "net/downloadtaskspecification.h"
#include "net/mirrors.h"
#include "tasks/failurecause.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr int MaxFailedChecks = 1000;
constexpr double DownloadWeight = 0.3333;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager,
                                                           Mirrors *mirrors,
                                                           const RunSettings &settings,
                                                           QObject *parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , m_manager(manager)
    , m_mirrors(mirrors)
    , m_settings(settings)
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
    m_badSignatures = 0;
    m_otherReleases = 0;
    m_onePiece = false;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    // A download that found no mirror left ends the step.
    if (!cancelRequested && getStateFromSubTasks() == ErrorCanceled)
        reportCause();
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::reportCause()
{
    // Mirrors are dropped for pairs that fail, so that a step which saw only
    // failing pairs ends for want of mirrors: what the pairs said is the
    // cause, not the mirrors.
    if (m_badSignatures > 0)
        emit failureCause(FailureCause::notSignedWithKey());
    else if (m_otherReleases > 0)
        emit failureCause(FailureCause::otherRelease(m_settings.clientVersion));
    else
        emit failureCause(FailureCause::noMirrorReachable());
}

QString IniDownloadTaskSpecification::localIniPath() const
{
    return m_settings.sessionDir + QLatin1Char('/') + ProductIni::iniName(m_settings.clientType);
}

DownloadTaskSpecification *IniDownloadTaskSpecification::addDownload(const QString &name,
                                                                     const QString &localPath,
                                                                     qint64 limit)
{
    auto *download =
        new DownloadTaskSpecification(m_manager, m_mirrors, name, localPath, -1, this,
                                      DownloadWeight);
    download->setSizeLimit(limit);
    download->setInOnePiece(m_onePiece);
    addSubTask(download);
    return download;
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = ProductIni::iniName(m_settings.clientType);
    const QString sigName = ProductIni::signatureName(iniName);
    const QString localIni = localIniPath();
    const QString localSig = ProductIni::signatureName(localIni);

    // Copies left by an interrupted run to the same version are trusted only
    // until they fail a check, and only within the limits a mirror is held to:
    // an oversized copy would be read whole by every check.
    const auto usable = [](const QString &path, qint64 limit) {
        const QFileInfo info(path);
        return info.exists() && info.size() <= limit;
    };
    double checkWeight = 1.0;
    m_iniDownload = nullptr;
    m_sigDownload = nullptr;
    if (failedChecks > 0 || !usable(localIni, MaxProductIniSize)) {
        m_iniDownload = addDownload(iniName, localIni, MaxProductIniSize);
        checkWeight -= DownloadWeight;
    }
    if (failedChecks > 0 || !usable(localSig, MaxSignatureSize)) {
        m_sigDownload = addDownload(sigName, localSig, MaxSignatureSize);
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

QString IniDownloadTaskSpecification::releaseMismatch() const
{
    // Read as the list step reads it: the top-level keys are [General]'s.
    // (QSettings would keep the whole file in its cache for the run.)
    ProductIniReader ini;
    ini.readGeneral(localIniPath(), ProductIni::MaxSize);
    const QString version = ini.general(ProductIni::VersionKey);
    const QString type = ini.general(ProductIni::TypeKey);
    const QString runVersion = QString::number(m_settings.clientVersion);
    const QString &runType = m_settings.clientType;
    // The version is a number ("02" names version 2); text that is none
    // names no version this run installs.
    bool isNumber = false;
    const int number = version.toInt(&isNumber, 10);
    const bool versionDiffers
        = !version.isNull() && (!isNumber || number != m_settings.clientVersion);
    const bool typeDiffers = !type.isNull() && type != runType;
    if (!versionDiffers && !typeDiffers)
        return QString();
    QString mirror = m_iniDownload ? m_iniDownload->m_mirror.name : QString();
    if (mirror.isEmpty())
        mirror = QStringLiteral("(earlier download)");
    return QStringLiteral("Product ini of mirror %1 is for %2 version %3, not %4 version %5")
        .arg(mirror, type.isNull() ? runType : type, version.isNull() ? runVersion : version,
             runType, runVersion);
}

void IniDownloadTaskSpecification::discardFailedPair(bool iniAtFault)
{
    // A mirror is charged only when the fault is surely its own: the product
    // ini it served names another release, or it served both files of a pair
    // that does not verify. With the pair from two mirrors either may be the
    // honest one, and a hostile mirror must not get honest ones dropped; the
    // same holds for a file put together from several transfers.
    const QString iniMirror = m_iniDownload ? m_iniDownload->m_mirror.name : QString();
    const QString sigMirror = m_sigDownload ? m_sigDownload->m_mirror.name : QString();
    const bool inPieces = (m_iniDownload && m_iniDownload->resumed())
        || (m_sigDownload && m_sigDownload->resumed());
    if (!iniMirror.isEmpty() && (iniAtFault || (iniMirror == sigMirror && !inPieces)))
        m_mirrors->addMirrorError(iniMirror);
    // Neither file is trusted again, not even by a later start of the session.
    QFile::remove(localIniPath());
    QFile::remove(ProductIni::signatureName(localIniPath()));
}

void IniDownloadTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *)
{
    if (ok) {
        // The signature covers the bytes; the keys say for which release.
        const QString mismatch = releaseMismatch();
        if (mismatch.isEmpty())
            return;
        emit message(mismatch);
        ++m_otherReleases;
    } else {
        ++m_badSignatures;
    }
    ++failedChecks;
    const bool onePiece = m_onePiece || (m_iniDownload && m_iniDownload->resumed())
        || (m_sigDownload && m_sigDownload->resumed());
    discardFailedPair(ok);
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
        reportCause();
        errorCancel();
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    const int failed = failedChecks;
    const int badSignatures = m_badSignatures;
    const int otherReleases = m_otherReleases;
    // The reset detaches the failed check, which is still inside its own
    // completion: its finish() no longer reaches this task.
    reset();
    failedChecks = failed;
    m_badSignatures = badSignatures;
    m_otherReleases = otherReleases;
    m_onePiece = onePiece;
    makeSubtasksAndStart();
}
