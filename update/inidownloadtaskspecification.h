#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The first step of an update run: brings the product ini of the configured
// client type and its signature into the temporary directory and verifies the
// signature. Files already there are used on the first attempt; a failed check
// downloads both afresh and checks again, up to 1000 failed checks. Ends with
// finished() once a product ini with a valid signature lies in the temporary
// directory, with canceled() otherwise. Manager, mirrors and configuration are
// lent, not owned.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                 Configuration *configuration, QObject *parent,
                                 double parentProgressRange);

    // Builds the downloads that are needed and the check, then starts them.
    void makeSubtasksAndStart();

    QNetworkAccessManager *m_manager;
    Mirrors *m_mirrors;
    Configuration *m_configuration;
    int failedChecks;

public slots:
    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);
};
