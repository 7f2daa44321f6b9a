#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filedownloadspecification.h"

#include <QList>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The download step of an update run: fetches every file of the download
// list into the temporary directory, up to the configured number of files at
// once, each checked against its MD5 sum. Finishes at once for an empty list;
// fails if a directory cannot be made or a file cannot be fetched from any
// mirror. The lists, manager, mirrors and configuration are lent.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification> *downloads,
                                      QNetworkAccessManager *manager, Mirrors *mirrors,
                                      Configuration *configuration, QObject *parent,
                                      double parentProgressRange);

    // Creates every directory below the temporary directory that the files
    // need, each once. False, after error cancellation of the task, if one
    // cannot be made.
    bool makeSubDirs();
    void makeSubtasksAndStart();

    QList<FileDownloadSpecification> *downloads;
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    Configuration *configuration;
    // Sum of the listed sizes; the transfer total shown during the step.
    quint64 totalDownloadSize = 0;

public slots:
    void execute() override;
    void reset() override;
    void timeTick(unsigned long long &downloadDone, unsigned long long &downloadTotal,
                  unsigned long long &speed, bool &downloading) override;
};
