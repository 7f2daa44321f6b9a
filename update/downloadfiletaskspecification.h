#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filedownloadspecification.h"
#include "update/runsettings.h"

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one file of the download list into the temporary directory and
// checks its MD5 sum. A file that fails the check is blamed on the mirror
// that served it: that mirror is removed and the file is fetched again, until
// the check passes or no mirror is left. A file put together from several
// transfers that fails is blamed on nobody, and fetched again in one piece
// from one mirror, from then on. A file with a patch for its installed copy
// is first made from the patch (fetched, checked, applied and the result
// checked like a download). A patch that fails its check is fetched once
// more, after removing the mirror that served it; if that one fails too, or
// no mirror is left with the patch, or the patch cannot make the file, the
// whole file is fetched instead. A file with the same bytes as an installed
// file is copied from that file instead and checked the same way; if the
// check fails (the installed file changed meanwhile), the file is fetched,
// charging no mirror. Owned by the download list, whose settings it borrows;
// ends with finished() or canceled() once per run.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const FileDownloadSpecification &file,
                                  QNetworkAccessManager *manager, Mirrors *mirrors,
                                  const RunSettings &settings, QObject *parent,
                                  double parentProgressRange);

    void makeSubtasksAndStart();
    // A file whose size field bounds nothing is held to the free space of
    // the temporary directory's file system, and never to more than this.
    static constexpr qint64 MaxUnsizedDownload = qint64(64) * 1024 * 1024 * 1024;

    // After success: the file was made by its patch.
    bool patched() const { return m_patched; }
    // After success: the file was copied from an installed one.
    bool copiedLocally() const { return m_copied; }
    // Where the file is fetched to (or made from its patch).
    QString localPath() const;

    FileDownloadSpecification file;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    const RunSettings &settings;
    // The download of the current attempt; a subtask like the check.
    DownloadTaskSpecification *currentDownload = nullptr;
    // Log "Fetching <file>: patch" or "...: whole file" (when the release
    // offers patches).
    bool reportMethod = false;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;
    void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                  unsigned long long &speed, bool &downloading) override;

signals:
    // The bytes to fetch grew: the whole file follows a failed patch.
    void fetchGrew(qint64 bytes);

private slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);
    void onPatchCheckDone(bool ok, CheckSignatureTaskSpecification *task);
    void onPatchedCheckDone(bool ok, CheckSignatureTaskSpecification *task);
    void onLocalCopyCheckDone(bool ok, CheckSignatureTaskSpecification *task);

private:
    void makePatchSubtasks();
    void makeLocalCopySubtasks();
    // Drops the local copy and fetches the file (by its patch, if any).
    void fetchInsteadOfCopy();
    // Drops the patch and fetches the whole file.
    void fetchWholeFile();
    // Drops the patch and fetches it again, from the mirrors left.
    void fetchPatchAgain();
    // What the current download fetched counts on in the transfer figures.
    void keepFetchedBytes();
    // The user asked to stop while a check ran: no further attempt.
    void stopOnCancel();
    QString patchLocalPath() const;
    // The limit of a download without a size; said once per file.
    qint64 sizeLimit();

    bool m_patching = false;
    bool m_patchFailed = false;
    bool m_patched = false;
    bool m_copying = false;
    bool m_copied = false;
    bool m_onePiece = false;
    bool m_patchInOnePiece = false;
    // Patches that failed their check; the second one ends the patch's way.
    int m_badPatches = 0;
    // The MD5 sum that the last bad patch had.
    QString m_badPatchMd5;
    bool m_sizeLimitReported = false;
    // Bytes fetched for a patch that was then dropped.
    quint64 m_droppedBytes = 0;
};
