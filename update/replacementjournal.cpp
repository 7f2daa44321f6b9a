#include "update/replacementjournal.h"

#include "fileops/wholefile.h"
#include "formats/installationnames.h"
#include "formats/productini.h"
#include "tasks/foldersync.h"
#include "tasks/rollbackdata.h"
#include "update/filereplacespecification.h"
#include "update/filereplacetaskspecification.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray header = QByteArrayLiteral("morvane replacement journal 1");
// A journal of 100,000 files takes a few megabytes; one larger than this was
// not written by this updater.
constexpr qint64 maxJournalSize = 64 * 1024 * 1024;
constexpr qint64 maxLineLength = 16 * 1024;

struct Entry
{
    QString path;
    // Empty for a file that did not exist before the replacement.
    QString kept;
    dev_t device = 0;
    ino_t inode = 0;
};

struct Journal
{
    int version = 0;
    QString type;
    QList<Entry> entries;
};

QString root()
{
    return InstallationNames::appRoot() + QLatin1Char('/');
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool statOf(const QString &path, struct stat *status)
{
    return ::lstat(QFile::encodeName(path).constData(), status) == 0;
}

// A kept name is the file's own name with "_old_" (and perhaps a number) in
// front, in the same folder.
bool isKeptNameOf(const QString &kept, const QString &path)
{
    const QFileInfo keptInfo(kept);
    const QFileInfo pathInfo(path);
    return keptInfo.path() == pathInfo.path()
        && keptInfo.fileName().startsWith(InstallationNames::specialFileRenamePrefix())
        && keptInfo.fileName().endsWith(pathInfo.fileName());
}

// Reads the journal as hostile input: anything that is not exactly what
// begin() writes makes the whole journal unusable.
bool read(Journal *journal, QString *problem)
{
    QFile file(ReplacementJournal::filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        return false;
    }
    if (file.size() > maxJournalSize) {
        *problem = QStringLiteral("the journal is too large");
        return false;
    }
    auto nextLine = [&file](QByteArray *line) {
        *line = file.readLine(maxLineLength);
        if (!line->endsWith('\n'))
            return false;
        line->chop(1);
        return true;
    };
    QByteArray line;
    bool versionOk = false;
    if (!nextLine(&line) || line != header || !nextLine(&line) || !line.startsWith("version ")
        || (journal->version = line.mid(8).toInt(&versionOk), !versionOk)
        || !nextLine(&line) || !line.startsWith("type ")) {
        *problem = QStringLiteral("the journal is damaged");
        return false;
    }
    journal->type = QString::fromUtf8(line.mid(5));
    QSet<QString> seen;
    while (!file.atEnd()) {
        if (!nextLine(&line)) {
            *problem = QStringLiteral("the journal is damaged");
            return false;
        }
        const QList<QByteArray> fields = line.split('\t');
        Entry entry;
        bool ok = false;
        if (fields.size() == 2 && fields[0] == "new") {
            entry.path = QString::fromUtf8(fields[1]);
            ok = true;
        } else if (fields.size() == 3) {
            const QList<QByteArray> identity = fields[0].split(' ');
            bool deviceOk = false;
            bool inodeOk = false;
            if (identity.size() == 3 && identity[0] == "file") {
                entry.device = dev_t(identity[1].toULongLong(&deviceOk));
                entry.inode = ino_t(identity[2].toULongLong(&inodeOk));
            }
            entry.kept = QString::fromUtf8(fields[1]);
            entry.path = QString::fromUtf8(fields[2]);
            ok = deviceOk && inodeOk && ProductIni::isPlainRelativePath(entry.kept)
                && isKeptNameOf(entry.kept, entry.path);
        }
        if (!ok || !ProductIni::isPlainRelativePath(entry.path) || seen.contains(entry.path)) {
            *problem = QStringLiteral("the journal is damaged");
            return false;
        }
        seen.insert(entry.path);
        journal->entries.append(entry);
    }
    return true;
}

// Puts one file back as it was before the replacement; the kept copy is
// recognised by the identity the installed file had then, so that a stale
// copy of an earlier update is never taken for it.
bool undo(const Entry &entry, QString *problem)
{
    const QString path = root() + entry.path;
    // A new file half made under its temporary name was never installed.
    const QString temporary = WholeFile::temporaryName(path);
    struct stat status;
    if (statOf(temporary, &status) && S_ISREG(status.st_mode)
        && ::unlink(QFile::encodeName(temporary).constData()) == 0)
        FolderSync::noteChangeOf(temporary);

    if (entry.kept.isEmpty()) {
        // The file did not exist: whatever a regular file now holds the name
        // was put there by the replacement.
        if (!statOf(path, &status) || !S_ISREG(status.st_mode))
            return true;
        if (RollbackData(RollbackData::CreateFile, path).rollback(nullptr))
            return true;
        *problem = QStringLiteral("'%1' could not be removed").arg(path);
        return false;
    }
    const QString kept = root() + entry.kept;
    struct stat keptStatus;
    if (!statOf(kept, &keptStatus) || keptStatus.st_dev != entry.device
        || keptStatus.st_ino != entry.inode) {
        // Not kept yet: the installed file was not touched.
        struct stat installed;
        if (statOf(path, &installed) && installed.st_dev == entry.device
            && installed.st_ino == entry.inode)
            return true;
        *problem = QStringLiteral("the old copy of '%1' is missing").arg(path);
        return false;
    }
    // Either a second link to what the name still holds (only it goes), or
    // the old file that takes its name back over the new one.
    if (RollbackData(RollbackData::Rename, path, kept).rollback(nullptr))
        return true;
    *problem = QStringLiteral("'%1' could not be renamed to '%2': %3")
                   .arg(kept, path, systemError(errno));
    return false;
}

QByteArray headerText(int version, const QString &type)
{
    QByteArray text = header + '\n';
    text += "version " + QByteArray::number(version) + '\n';
    text += "type " + type.toUtf8() + '\n';
    return text;
}

void appendEntry(QByteArray *text, const QString &path, const QString &kept, dev_t device,
                 ino_t inode)
{
    if (kept.isEmpty()) {
        *text += "new\t";
    } else {
        *text += "file ";
        *text += QByteArray::number(qulonglong(device));
        *text += ' ';
        *text += QByteArray::number(qulonglong(inode));
        *text += '\t';
        *text += kept.toUtf8();
        *text += '\t';
    }
    *text += path.toUtf8();
    *text += '\n';
}

bool writeText(const QByteArray &text, QString *error)
{
    WholeFile file(ReplacementJournal::filePath());
    errno = 0;
    if (!file.open() || !file.write(text.constData(), text.size()) || !file.commit(0644)) {
        *error = QStringLiteral("%1: %2").arg(ReplacementJournal::filePath(), systemError(errno));
        return false;
    }
    return FolderSync::syncFolder(InstallationNames::appRoot(), error);
}

} // namespace

QString ReplacementJournal::filePath()
{
    return root() + ProductIni::JournalName;
}

bool ReplacementJournal::exists()
{
    struct stat status;
    return statOf(filePath(), &status);
}

bool ReplacementJournal::begin(int version, const QString &type,
                               const QList<FileReplaceSpecification> &replaces, QString *error)
{
    // Each file's line goes straight into the text: a list of 100,000 files
    // is not held a second time as entries.
    QSet<QString> listed;
    QByteArray text = headerText(version, type);
    // An earlier replacement that could not be undone keeps its entries:
    // until this one finishes, they are what makes the installation whole.
    QString problem;
    Journal earlier;
    if (exists()) {
        const bool whole = read(&earlier, &problem);
        for (const Entry &entry : std::as_const(earlier.entries)) {
            if (whole)
                listed.insert(entry.path);
            appendEntry(&text, entry.path, entry.kept, entry.device, entry.inode);
        }
    }
    const QString appRoot = InstallationNames::appRoot();
    const QByteArray encodedRoot = QFile::encodeName(root());
    for (const FileReplaceSpecification &file : replaces) {
        const QString path = file.pureDestFilePath();
        if (listed.contains(path))
            continue;
        listed.insert(path);
        struct stat status;
        if (::lstat((encodedRoot + QFile::encodeName(path)).constData(), &status) == 0)
            appendEntry(&text, path, FileReplaceTaskSpecification::keptNameFor(appRoot, file),
                        status.st_dev, status.st_ino);
        else
            appendEntry(&text, path, QString(), 0, 0);
    }
    return writeText(text, error);
}

bool ReplacementJournal::end(QString *error)
{
    if (!FolderSync::syncNoted(error))
        return false;
    if (::unlink(QFile::encodeName(filePath()).constData()) != 0 && errno != ENOENT) {
        *error = QStringLiteral("%1: %2").arg(filePath(), systemError(errno));
        return false;
    }
    return FolderSync::syncFolder(InstallationNames::appRoot(), error);
}

ReplacementJournal::Outcome ReplacementJournal::undoInterrupted(QStringList *report)
{
    // A journal whose writing was interrupted was never begun: nothing had
    // been replaced yet.
    const QByteArray unfinished = QFile::encodeName(WholeFile::temporaryName(filePath()));
    struct stat status;
    if (::lstat(unfinished.constData(), &status) == 0 && S_ISREG(status.st_mode))
        ::unlink(unfinished.constData());
    if (!exists())
        return NothingInterrupted;
    Journal journal;
    QString problem;
    bool undone = read(&journal, &problem);
    if (undone) {
        report->append(QStringLiteral("An update to version %1 was interrupted while it replaced "
                                      "files; putting the installed files back")
                           .arg(journal.version));
        // Backwards, so that a folder moved aside comes back before what
        // was put into its place is looked at.
        for (auto entry = journal.entries.crbegin(); entry != journal.entries.crend(); ++entry) {
            QString failure;
            if (!undo(*entry, &failure)) {
                if (undone)
                    problem = failure;
                undone = false;
            }
        }
    }
    QString error;
    if (undone && end(&error)) {
        report->append(QStringLiteral("The interrupted update was undone: the installation is "
                                      "back at the version it had before"));
        return Undone;
    }
    report->append(QStringLiteral("The interrupted update could not be undone (%1); the "
                                  "installation is incomplete until an update finishes")
                       .arg(problem.isEmpty() ? error : problem));
    return NotUndone;
}

int ReplacementJournal::interruptedVersion()
{
    Journal journal;
    QString problem;
    return exists() && read(&journal, &problem) ? journal.version : 0;
}
