#pragma once

#include "update/filespecifications.h"

#include <QHash>
#include <QString>

#include <vector>

#include <map>

#include <sys/types.h>

// Checks, once the file lists of a run are known and before anything is
// fetched, that the run can be completed where it writes: every folder the
// replacement writes to may be written (the deletion's need not be: a file
// that cannot be deleted stays), every installed file to replace may be
// moved aside, neither such a file nor a folder below the
// installation's root that the replacement writes into is a mount point, and
// each volume has room for what the run puts there at its fullest. Once the
// patch list is read, the space is checked again with the patches it gives.
// A plain object for one check on the main thread.
//
// The space asked for on a volume is what the session directory keeps there
// until the run ends (what is still to be fetched, less the parts an earlier
// attempt left; a patched file's patch and result), plus the larger of two
// things that never meet: the private copies of the patches applied at once,
// which exist only while they are applied, and what the replacement writes
// anew afterwards (nothing for a file that becomes the installed one by a
// hard link, which needs the session directory and the folder on one
// mount). Sizes count in whole blocks of their volume.
class InstallationCheck
{
public:
    InstallationCheck(const FileSpecifications &lists, const QString &sessionDir,
                      const QString &appRoot, int patchesAtOnce);

    // Before anything is fetched: true if the run can be completed with
    // every file fetched whole, as it is where no patch list can be had
    // (what the list gives is not known yet); otherwise logLine() and
    // cause() say what stands in its way.
    bool run();
    // Once the patch list has given the files their patches: true if the
    // volumes have room for the run as it now goes.
    bool runWithPatches();
    // The line for the log, in English, with exact figures.
    QString logLine() const { return m_logLine; }
    // The player's line (FailureCause).
    QString cause() const { return m_cause; }

    // How many patches are applied at once when streams files are fetched
    // at once: each on a thread of the pool.
    static int patchesAtOnce(int streams);

private:
    struct Volume
    {
        bool known = false;
        quint64 available = 0;
        quint64 blockSize = 1;
        // What the session directory keeps on the volume until the run ends.
        quint64 kept = 0;
        // The private copies of the patches applied at once.
        quint64 patching = 0;
        // What the replacement writes anew.
        quint64 written = 0;
        QString folder; // named in the report

        quint64 needed() const { return kept + qMax(patching, written); }
    };
    // Where a folder lies: its volume, and the mount it is reached through.
    struct Place
    {
        dev_t device = 0;
        quint64 mount = 0; // 0: not known
    };

    bool checkWritable();
    bool checkSpace(bool patchesRead);
    // For each entry of the replace list, its entry of the download list;
    // null where it has none.
    std::vector<const FileDownloadSpecification *> downloadsOfReplaces() const;
    // The folder that takes a new entry at path: its own folder, or the
    // first one that exists on the way up.
    QString existingFolder(const QString &path) const;
    const Place *placeOf(const QString &folder);
    // The volume that holds folder, the report naming the installation's
    // root where the volume holds it; null if the folder cannot be asked.
    Volume *volumeOf(const QString &folder);
    // Whether a file in the session directory can get a second name in
    // folder: one volume, and one mount (link() crosses no mount, even
    // between two of the same volume).
    bool linksTo(const QString &folder);
    bool fail(const QString &logLine, const QString &cause);
    bool failMounted(const QString &path);

    const FileSpecifications &m_lists;
    QString m_sessionDir;
    QString m_appRoot;
    int m_patchesAtOnce;
    QHash<QString, Place> m_places;
    // Node-based: a volume's address stays while others are added.
    std::map<dev_t, Volume> m_volumes;
    QString m_logLine;
    QString m_cause;
};
