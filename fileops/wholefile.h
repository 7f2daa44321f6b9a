#pragma once

#include "sys/uniquefd.h"

#include <QByteArray>
#include <QString>

// A new file that takes its final name only once it is complete. Its bytes
// go to an unnamed file in the target's directory, or, where the file system
// has none, to the temporary name beside the target; commit() flushes them to
// disk, sets the mode and renames the file over the target in one step. So
// the target is at every instant either what it was or the whole new file.
// A file that is not committed goes with the object; only a process that
// ends between naming and renaming leaves the temporary name behind, which
// the next finished update removes. For one thread at a time.
class WholeFile
{
public:
    explicit WholeFile(const QString &target);
    ~WholeFile();
    WholeFile(const WholeFile &) = delete;
    WholeFile &operator=(const WholeFile &) = delete;

    // Creates the new, empty file; false if the target's directory does not
    // take it.
    bool open();
    // Makes the regular file source itself the new file, by a second name
    // (no bytes are copied); false where the file systems do not allow it,
    // and then nothing has changed.
    bool linkFrom(const QString &source);
    // The descriptor to write to; -1 before open().
    int handle() const { return m_fd.get(); }
    // Writes all of data; false on a write error.
    bool write(const char *data, qint64 size);
    // Flushes the file to disk, gives it mode (permission bits; -1 keeps
    // those it was made with) and renames it over the target. False if any
    // of this fails; the target then is what it was.
    bool commit(int mode = -1);

    // The temporary name of target: its file name with "_new_" in front, in
    // its directory.
    static QString temporaryName(const QString &target);
    static const QString &temporaryPrefix();

private:
    void discard();

    QByteArray m_target;
    QByteArray m_temporary;
    UniqueFd m_fd;
    bool m_named = false; // the file exists under m_temporary
    bool m_synced = false; // its bytes are on disk as they are
};
