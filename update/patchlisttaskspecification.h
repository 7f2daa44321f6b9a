#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filedownloadspecification.h"
#include "update/patchlistspecification.h"
#include "update/runsettings.h"

#include <QList>

class CheckSignatureTaskSpecification;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches the patch list that the product ini names, from any mirror that
// has it, checks it against the signed MD5 sum and size, and gives the files
// of the download list the patches for their installed copies (PatchList).
// Whatever goes wrong, it finishes, with a line saying so, and the files are
// fetched whole; it is cancelled only by the user or for want of any
// mirror. A mirror is dropped only for a list that fails its check.
class PatchListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // More than this is not read, whatever the product ini says.
    static constexpr qint64 MaxSize = 16 * 1024 * 1024;

    PatchListTaskSpecification(const PatchListSpecification &patchList,
                               QList<FileDownloadSpecification> *downloads,
                               QNetworkAccessManager *manager, Mirrors *mirrors,
                               const RunSettings &settings, QObject *parent,
                               double parentProgressRange);

    int patchCount() const { return m_patchCount; }

public slots:
    void execute() override;
    void subtasksDone() override;

private slots:
    void onCheckDone(bool ok, CheckSignatureTaskSpecification *task);

private:
    QString localPath() const;

    PatchListSpecification m_patchList;
    QList<FileDownloadSpecification> *m_downloads;
    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    const RunSettings m_settings;
    DownloadTaskSpecification *m_download = nullptr;
    int m_patchCount = 0;
};
