#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filedownloadspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Fetches one file of the download list into the temporary directory and
// checks its MD5 sum. A file that fails the check is blamed on the mirror
// that served it: that mirror is removed and the file is fetched again, until
// the check passes or no mirror is left. Owned by the download list; ends
// with finished() or canceled() once per run.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const FileDownloadSpecification &file,
                                  QNetworkAccessManager *manager, Mirrors *mirrors,
                                  Configuration *configuration, QObject *parent,
                                  double parentProgressRange);

    void makeSubtasksAndStart();

    FileDownloadSpecification file;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    // The download of the current attempt; a subtask like the check.
    DownloadTaskSpecification *currentDownload = nullptr;

public slots:
    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);
};
