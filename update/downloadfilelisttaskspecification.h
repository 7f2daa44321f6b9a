#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filedownloadspecification.h"
#include "update/filereplacespecification.h"
#include "update/patchlistspecification.h"
#include "update/runsettings.h"

#include <QHash>
#include <QList>

#include <memory>

class DiskWorker;
class Mirrors;
class QNetworkAccessManager;

// The download step of an update run: fetches every file of the download
// list into the temporary directory, up to the configured number of files at
// once, each checked against its MD5 sum. Finishes at once for an empty list;
// fails if a directory cannot be made or a file cannot be fetched from any
// mirror. When the release offers patches and files have installed copies,
// the patch list is fetched first, and the files it has patches for are made
// from a patch (the others, and any whose patch fails, are fetched whole);
// where the volumes have no room for the patches, their results and the
// copies they are applied through, the step fails with nothing fetched but
// the patch list (InstallationCheck).
// A file whose bytes are installed under another name is copied from there
// and takes nothing from the mirrors or the transfer total.
// The lists, manager and mirrors are lent; the settings are kept as a copy.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *downloads,
                                      QNetworkAccessManager *manager, Mirrors *mirrors,
                                      const RunSettings &settings, QObject *parent,
                                      double parentProgressRange);
    ~DownloadFileListTaskSpecification() override;

    // Creates every directory below the temporary directory that the files
    // need, each once. False, after error cancellation of the task, if one
    // cannot be made.
    bool makeSubDirs();
    void makeSubtasksAndStart();
    // The patch list the product ini names, and the replace list whose
    // entries learn which downloads a patch made unpacked.
    void setPatchSource(const PatchListSpecification *patchList,
                        QList<FileReplaceSpecification> *replaces);

    QList<FileDownloadSpecification> *downloads;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    const RunSettings settings;
    // Sum of the listed sizes (with patches: of the bytes to fetch), local
    // copies left out; the transfer total shown during the step.
    quint64 totalDownloadSize = 0;
    // The files of this run so far, by the way they came: from a mirror
    // whole, made from a patch, copied from an installed file.
    int fetchedFiles = 0;
    int patchedFiles = 0;
    int copiedFiles = 0;

public slots:
    void execute() override;
    void reset() override;
    void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                  unsigned long long &speed, bool &downloading) override;
    void subtasksDone() override;

private:
    void makeFileTasks();
    void onFileFinished(TaskSpecification *task);
    // False, after the log line and the cause, if the volumes have no room
    // for the run with the patches the list gave.
    bool roomForPatches();

    const PatchListSpecification *m_patchList = nullptr;
    QList<FileReplaceSpecification> *m_replaces = nullptr;
    // The positions in the replace list of each file fetched, made when a
    // fetched file first needs its replacement marked.
    QHash<QString, QList<qsizetype>> m_replaceOf;
    bool m_fetchingPatchList = false;
    bool m_patchesOffered = false;
    // Makes the files that are fetched whole while the transfers run, and
    // sends the checked files to the disk; the sending goes on after the
    // step has finished, until the run ends.
    std::unique_ptr<DiskWorker> m_disk;
};
