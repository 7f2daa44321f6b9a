#pragma once

#include "formats/productini.h"
#include "tasks/composedtaskspecification.h"
#include "update/runsettings.h"

#include <QPointer>

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// The first step of an update run: brings the product ini of the configured
// client type and its signature into the temporary directory and verifies the
// signature. Files already there are used on the first attempt; a failed check
// downloads both afresh and checks again, up to 1000 failed checks. Ends with
// finished() once a product ini with a valid signature lies in the temporary
// directory, with canceled() otherwise. A product ini names the version and
// client type it was published for (in [General]); one signed for another
// release fails the check like a bad signature. A failed pair is deleted and
// charged to the mirror that served it. A step that fails names its cause:
// a release not signed with the compiled-in key (every pair delivered failed
// its signature), another release, or no mirror that delivered at all.
// Manager and mirrors are lent, not owned; the settings are kept as a copy.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 const RunSettings &settings, QObject *parent,
                                 double parentProgressRange);

    // Builds the downloads that are needed and the check, then starts them.
    void makeSubtasksAndStart();

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    const RunSettings m_settings;
    int failedChecks;

    // Limits of what a mirror may send, checked while the bytes arrive.
    static constexpr qint64 MaxProductIniSize = ProductIni::MaxSize;
    static constexpr qint64 MaxSignatureSize = ProductIni::MaxSignatureSize;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);

private:
    DownloadTaskSpecification *addDownload(const QString &name, const QString &localPath,
                                           qint64 limit);
    // Empty if the product ini names the run's version and type, or names
    // neither (older releases); otherwise the line that says why not.
    QString releaseMismatch() const;
    // Deletes the pair and charges the mirror that served it in this attempt,
    // where that mirror is surely at fault.
    void discardFailedPair(bool iniAtFault);
    QString localIniPath() const;
    // Emits the player's line for the failed step.
    void reportCause();

    QPointer<DownloadTaskSpecification> m_iniDownload;
    QPointer<DownloadTaskSpecification> m_sigDownload;
    // Pairs delivered in this step whose signature failed, and whose
    // product ini named another release.
    int m_badSignatures = 0;
    int m_otherReleases = 0;
    // After a failed pair put together from several transfers, each file
    // comes in one piece from one mirror, so that a failure has an author.
    bool m_onePiece = false;
};
