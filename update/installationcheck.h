#pragma once

#include "update/filespecifications.h"

#include <QHash>
#include <QString>

#include <map>

#include <sys/types.h>

// Checks, once the file lists of a run are known and before anything is
// fetched, that the run can be completed where it writes: every folder the
// replacement writes to may be written (the deletion's need not be: a file
// that cannot be deleted stays), every installed file to replace may be
// moved aside, neither such a file nor a folder below the
// installation's root that the replacement writes into is a mount point, and
// each volume has room for what the run puts there: the session directory's
// for all that is still to be fetched (patches, their outputs and, for the
// patches applied at once, the private copies they read from), the
// installation's for the files that are made anew (nothing where the
// downloaded file becomes the installed one by a hard link). Sizes count in
// whole blocks of their volume. A plain object for one check on the main
// thread.
class InstallationCheck
{
public:
    InstallationCheck(const FileSpecifications &lists, const QString &sessionDir,
                      const QString &appRoot, int parallelPatches);

    // True if the run can be completed; otherwise logLine() and cause() say
    // what stands in its way.
    bool run();
    // The line for the log, in English, with exact figures.
    QString logLine() const { return m_logLine; }
    // The player's line (FailureCause).
    QString cause() const { return m_cause; }

private:
    struct Volume
    {
        bool known = false;
        quint64 available = 0;
        quint64 blockSize = 1;
        quint64 needed = 0;
        QString folder; // named in the report
    };

    bool checkWritable();
    bool checkSpace();
    // The folder that takes a new entry at path: its own folder, or the
    // first one that exists on the way up.
    QString existingFolder(const QString &path) const;
    // The volume that holds folder; null if the folder cannot be asked.
    Volume *volumeOf(const QString &folder);
    // Adds bytes, in whole blocks, to the volume of folder.
    void need(const QString &folder, quint64 bytes);
    bool fail(const QString &logLine, const QString &cause);
    bool failMounted(const QString &path);

    const FileSpecifications &m_lists;
    QString m_sessionDir;
    QString m_appRoot;
    int m_parallelPatches;
    QHash<QString, dev_t> m_devices;
    // Node-based: a volume's address stays while others are added.
    std::map<dev_t, Volume> m_volumes;
    QString m_logLine;
    QString m_cause;
};
