#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct FileReplaceSpecification;

// The record, kept in the installation while files are being replaced, of
// what the replacement step is about to change: for each file its path, the
// name its installed copy is kept under, and the identity (device, inode)
// that copy had before. It is written and synced, file and folder, before
// the first file is touched, and removed only once the installation is whole
// again (the step finished, or was undone). A journal found at start-up means
// that a run was killed during its replacement: undoInterrupted() puts every
// file back as it was from the kept copies, and only then may the installed
// version be started or its old copies removed. Static operations only.
class ReplacementJournal
{
public:
    ReplacementJournal() = delete;

    // "update.journal" in the application root.
    static QString filePath();
    static bool exists();

    // Records the files of the replace list, as they are now, for a
    // replacement to version of type. False, with the system's reason in
    // error, when the record could not be made durable: then nothing may be
    // replaced. A journal left by an earlier replacement that could not be
    // undone is kept, and the new files are added to it.
    static bool begin(int version, const QString &type,
                      const QList<FileReplaceSpecification> &replaces, QString *error);
    // Removes the journal and syncs its folder: the installation is whole.
    // The folders changed since the journal was written are synced first.
    static bool end(QString *error);

    enum Outcome { NothingInterrupted, Undone, NotUndone };
    // Undoes the replacement that a journal records, if there is one. Undone:
    // every file is as it was before that replacement and the journal is gone;
    // NotUndone: the journal stays, and the installation must not be played
    // until a run has made it whole. Lines for the log go to report.
    static Outcome undoInterrupted(QStringList *report);

    // The version of the interrupted replacement, or 0.
    static int interruptedVersion();
};
