#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/filespecifications.h"
#include "update/runsettings.h"

#include <QPointer>

class DownloadFileListTaskSpecification;
class FileDeleteListTaskSpecification;
class FileReplaceListTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// One whole update run: the product ini, the file lists, the downloads, the
// replacement and the deletion of obsolete files, one step after the other
// with the weights 0.1, 0.05, 0.4, 0.4 and 0.05. It owns the run's file lists
// and lends them to the steps. Ends once with finished() or canceled(); the
// engine creates it for a run and deletes it afterwards. Manager and mirror
// list are lent; the run's settings are kept as a copy, which the steps copy
// in turn.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                          const RunSettings &settings, QObject *parent, double weight);

    // Builds the five steps and starts the first.
    void makeSubtasksAndStart();
    // After the run: the installation is as it was before it (nothing
    // replaced, or every replacement undone).
    bool installationWhole() const;
    // After a finished run, the one line that says what it did: the version,
    // the files replaced and how each came, the obsolete files deleted.
    QString summaryLine() const;

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrorList;
    const RunSettings m_settings;
    FileSpecifications m_fileSpecifications;

public slots:
    void execute() override;
    void reset() override;

private:
    QPointer<DownloadFileListTaskSpecification> m_downloads;
    QPointer<FileReplaceListTaskSpecification> m_replacement;
    QPointer<FileDeleteListTaskSpecification> m_deletion;
};
