#pragma once

#include "tasks/asynctaskspecification.h"

#include <QString>

// Checks one file (an MD5 sum, or with an empty md5 the file's signature) on
// the thread pool; the MD5 of a file that this process has just written and
// hashed is compared at once, inside execute(). When the check ends while the
// task still runs, it emits
// checkDone() once, before the task ends: a failed check logs "Signature
// check failed for <file>", followed by " (from <origin>)" for a file
// that came from a mirror (and, for a file whose MD5 sum differs, a line
// with both sums) and then ends the task with errorCancel() if
// errorCancelOnFailure is set, with finish() otherwise. Once the task is no
// longer running (cancelled or reset meanwhile) the result is dropped.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(QString filePath, QString md5, bool errorCancelOnFailure,
                                    QObject *parent, double parentProgressRange);

    void execute() override;
    ASyncFunc *createFunction() override;
    void connectDefaultSignals(ASyncFunc *func) override;
    void runDone(bool ok) override;

    QString filePath;
    QString md5;
    bool errorCancelOnFailure;
    // Where the file came from, when a mirror sent it: set by the owner once
    // the transfer has ended (DownloadTaskSpecification::origin()).
    QString origin;
    // The MD5 sum found, when the check failed on a differing one.
    QString foundMd5;

signals:
    // The result and the task itself, so that one slot can serve many checks.
    void checkDone(bool ok, CheckSignatureTaskSpecification *task);
};
