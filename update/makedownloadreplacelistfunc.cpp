#include "update/makedownloadreplacelistfunc.h"

#include "digest/filedigests.h"
#include "fileops/installedcopyfunc.h"
#include "formats/fileline.h"
#include "formats/productini.h"
#include "update/runsettings.h"
#include "update/verifiedrecord.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QStringList>
#include <QThread>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr int maxHashThreads = 4;

// What one key of the product ini turned out to be, in key order.
struct KeyEntry
{
    enum Kind { Delete, File, InvalidLine, UnsafePath, UnfetchableName };

    Kind kind = File;
    QString section;
    QString key;
    QString unsafePath;
    // The key's value, as read; the entries of the lists are made from it
    // only for the files that go on them.
    FileLine line;

    bool unpacked() const { return line.isUnpacked(); }
    QString installedPath() const { return line.installedPath(key); }

    FileReplaceSpecification replace() const
    {
        return {section, key, line.unpackedMd5, line.unpackedSize, line.unpackedPath};
    }

    FileDownloadSpecification download() const
    {
        FileDownloadSpecification download {section, key, line.md5, line.size};
        download.sizeBounds = line.sizeBounds;
        download.installedPath = installedPath();
        download.unpacked = unpacked();
        download.targetMd5 = unpacked() ? line.unpackedMd5 : line.md5;
        download.targetSize = unpacked() ? qint64(line.unpackedSize) : line.size;
        return download;
    }
};

// The outcome of the MD5 comparisons of one file key.
enum FileState : int { Pending, Current, AlreadyDownloaded, AlreadyPatched, Needed };

// Whether raw (16 bytes) is the digest that hex names, in either case; read
// without making a string for each of many thousand files.
bool sameSum(const QByteArray &raw, const QString &hex)
{
    static const char digits[] = "0123456789abcdef";
    if (raw.size() != 16 || hex.size() != 32)
        return false;
    for (int i = 0; i < 16; ++i) {
        const uchar byte = uchar(raw.at(i));
        if (hex.at(2 * i).toLower() != QLatin1Char(digits[byte >> 4])
            || hex.at(2 * i + 1).toLower() != QLatin1Char(digits[byte & 15]))
            return false;
    }
    return true;
}

// Compares the installed copy of each file key, and where that differs the
// copy in the session directory, with the key's sum, the caller taking the
// results in key order; the installed files under [delete] are hashed too.
// The digests are computed ahead on a few threads.
class Comparisons
{
public:
    Comparisons(const std::vector<KeyEntry> &entries, const QString &appRoot,
                const QString &tempDir, const VerifiedDigests *verified)
        : m_entries(entries)
        // A few readers keep the cores busy on a warm cache without making a
        // spinning disk seek between too many files at once.
        , m_digests(
              int(2 * entries.size()),
              [this, appRoot, tempDir](int index) {
                  return digestPath(m_entries[size_t(index / 2)], index % 2 == 1, appRoot, tempDir);
              },
              qBound(1, QThread::idealThreadCount(), maxHashThreads), verified)
        , m_installedMd5(entries.size())
    { }

    // identity receives what identified the installed copy when its digest
    // was found (a zero inode when nothing was read).
    FileState waitFor(size_t index, VerifiedDigests::Identity *identity = nullptr)
    {
        const KeyEntry &entry = m_entries[index];
        const QByteArray installed = m_digests.take(int(2 * index), identity);
        const QByteArray downloaded = m_digests.take(int(2 * index + 1));
        // The installed copy's sum is kept: a patch may turn it into the new
        // file, and any installed file may hold another key's bytes.
        Digest &kept = m_installedMd5[index];
        kept.known = installed.size() == int(sizeof(kept.md5));
        if (kept.known)
            std::memcpy(kept.md5, installed.constData(), sizeof(kept.md5));
        if (entry.kind != KeyEntry::File)
            return Pending;
        if (sameSum(installed, expectedMd5(entry)))
            return Current;
        if (downloaded.isEmpty())
            return Needed;
        if (sameSum(downloaded, entry.line.md5))
            return AlreadyDownloaded;
        // A patch leaves a compressed key's file unpacked under the key. Its
        // signed sum is the one to compare with, so that what an interrupted
        // run made is installed by the next run, whatever that run knows.
        if (entry.unpacked() && sameSum(downloaded, entry.line.unpackedMd5))
            return AlreadyPatched;
        return Needed;
    }

    // The installed copy's raw digest as found (empty: none), once
    // waitFor(index) returned.
    QByteArray installedDigest(size_t index) const
    {
        const Digest &kept = m_installedMd5[index];
        return kept.known ? QByteArray(kept.md5, sizeof(kept.md5)) : QByteArray();
    }

    // The installed copy's MD5 sum as found (lower case; empty: none), once
    // waitFor(index) returned.
    QString installedMd5(size_t index) const
    {
        const Digest &kept = m_installedMd5[index];
        return kept.known ? QString::fromLatin1(QByteArray(kept.md5, sizeof(kept.md5)).toHex())
                          : QString();
    }

    // The installed file a file key or a [delete] key names.
    static QString installedPath(const KeyEntry &entry)
    {
        return entry.kind == KeyEntry::Delete ? entry.key : entry.installedPath();
    }

private:
    static QString expectedMd5(const KeyEntry &entry)
    {
        return entry.unpacked() ? entry.line.unpackedMd5 : entry.line.md5;
    }

    // For a key, its installed copy or its copy in the session directory;
    // none where there is no sum to compare with. A file under [delete] is
    // hashed only where it is a regular file and no link. Asked by the file
    // threads as they come to each file, so that no list of paths is held.
    static QString digestPath(const KeyEntry &entry, bool downloaded, const QString &appRoot,
                              const QString &tempDir)
    {
        const bool file = entry.kind == KeyEntry::File;
        if (downloaded)
            return file && !entry.line.md5.isEmpty() ? tempDir + QLatin1Char('/') + entry.key
                                                         : QString();
        const QString installed = appRoot + QLatin1Char('/') + installedPath(entry);
        bool hashed = file && !expectedMd5(entry).isEmpty();
        if (entry.kind == KeyEntry::Delete) {
            const QFileInfo info(installed);
            hashed = info.isFile() && !info.isSymLink();
        }
        return hashed ? installed : QString();
    }

    // A raw digest, or none.
    struct Digest
    {
        char md5[16];
        bool known = false;
    };

    const std::vector<KeyEntry> &m_entries;
    FileDigests m_digests;
    std::vector<Digest> m_installedMd5;
};

// Reads the keys in QSettings order up to and including the first one that
// fails the whole step.
std::vector<KeyEntry> readEntries(QSettings &ini, int total)
{
    std::vector<KeyEntry> entries;
    // Grown once: doubling a vector of many thousand entries holds two.
    entries.reserve(size_t(total));
    const QStringList sections = ini.childGroups();
    for (const QString &section : sections) {
        ini.beginGroup(section);
        // allKeys(): a key with "/" is a nested group to QSettings.
        const QStringList keys = ini.allKeys();
        for (const QString &key : keys) {
            KeyEntry entry;
            entry.section = section;
            entry.key = key;
            if (!ProductIni::isFetchableName(key)) {
                entry.kind = KeyEntry::UnfetchableName;
                entry.unsafePath = key;
                entries.push_back(entry);
                return entries;
            }
            if (section == ProductIni::DeleteSection) {
                entry.kind = KeyEntry::Delete;
                if (!ProductIni::isSafeRelativePath(key)) {
                    entry.kind = KeyEntry::UnsafePath;
                    entry.unsafePath = key;
                }
                entries.push_back(entry);
                if (entry.kind != KeyEntry::Delete)
                    return entries;
                continue;
            }
            const std::optional<FileLine> line
                = FileLine::read(ProductIni::valueText(ini.value(key)));
            if (!line) {
                entry.kind = KeyEntry::InvalidLine;
                entries.push_back(entry);
                return entries;
            }
            entry.line = *line;
            if (!ProductIni::isFetchableName(entry.line.unpackedPath)) {
                entry.kind = KeyEntry::UnfetchableName;
                entry.unsafePath = entry.line.unpackedPath;
                entries.push_back(entry);
                return entries;
            }
            for (const QString &path : {key, entry.line.unpackedPath}) {
                if (!ProductIni::isSafeRelativePath(path)) {
                    entry.kind = KeyEntry::UnsafePath;
                    entry.unsafePath = path;
                    entries.push_back(entry);
                    return entries;
                }
            }
            entries.push_back(entry);
        }
        ini.endGroup();
    }
    return entries;
}

// For each file to fetch, an installed file with the same bytes: the
// installed copy of another key, or a file under [delete] (where a renamed
// file's old name usually is). Only a regular file reached through no link
// serves, and only with the size the fetched file would have.
void findLocalSources(const std::vector<KeyEntry> &entries, Comparisons &comparisons,
                      const QString &appRoot, QList<FileDownloadSpecification> &downloads)
{
    QHash<QString, QStringList> installed; // by MD5 sum, in key order
    for (size_t i = 0; i < entries.size(); ++i) {
        const QString md5 = comparisons.installedMd5(i);
        if (!md5.isEmpty())
            installed[md5].append(Comparisons::installedPath(entries[i]));
    }
    for (FileDownloadSpecification &file : downloads) {
        const QStringList candidates = installed.value(file.targetMd5.toLower());
        for (const QString &candidate : candidates) {
            struct stat info;
            const bool readable = InstalledCopyFunc::openBelow(appRoot, candidate, info).isValid();
            if (readable && info.st_size == file.targetSize) {
                file.localSource = candidate;
                break;
            }
        }
    }
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(const RunSettings &settings,
                                                         std::shared_ptr<FileSpecifications> lists)
    : m_lists(std::move(lists))
    , m_appRoot(settings.appRoot)
    , m_tempDir(settings.sessionDir)
    , m_clientType(settings.clientType)
    , m_updaterPath(QCoreApplication::applicationFilePath())
    , m_verifyAll(settings.verifyAll)
{ }

int MakeDownloadReplaceListFunc::getFileCount(QSettings &settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    FileSpecifications &lists = *m_lists;
    lists.clear();
    const QString iniPath = m_tempDir + QLatin1Char('/') + ProductIni::iniName(m_clientType);
    emit message(QStringLiteral("Compiling download and replace list"));

    // The parsed ini goes once its keys are read, before the installed files
    // are compared: for many thousand files it is as large as the lists.
    auto ini = std::make_unique<QSettings>(iniPath, QSettings::IniFormat);
    const int total = getFileCount(*ini);
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }
    const std::vector<KeyEntry> entries = readEntries(*ini, total);
    // A key of [General], which lists no files; signed with the rest.
    const QString patchListValue = ProductIni::valueText(ini->value(ProductIni::PatchListKey));
    ini.reset();

    VerifiedRecord record(m_appRoot, m_updaterPath, m_verifyAll);
    if (!record.problem().isEmpty())
        emit message(QStringLiteral("The record of verified files is not used (%1); every file "
                                    "is read")
                         .arg(record.problem()));
    Comparisons comparisons(entries, m_appRoot, m_tempDir, record.known());
    int count = 0;
    int reported = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        const KeyEntry &entry = entries[i];
        ++count;
        // Every key of a short list, then no more often than each thousandth:
        // each report is an event for the main thread.
        const int permille = int(qint64(count) * 1000 / total);
        if (total <= 1000 || permille != reported || count == total) {
            reported = permille;
            emit progress(qreal(count) / total);
        }
        switch (entry.kind) {
        case KeyEntry::InvalidLine:
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(entry.section));
            return false;
        case KeyEntry::UnsafePath:
            emit message(QStringLiteral("Error: product ini section %1 names the path %2, which is "
                                        "absolute or contains \"..\"")
                             .arg(entry.section, entry.unsafePath));
            return false;
        case KeyEntry::UnfetchableName:
            // The name is shown escaped: it is made of what the log must not carry.
            emit message(QStringLiteral("Error: product ini section %1 names the file %2, which is "
                                        "not valid UTF-8 or holds control characters")
                             .arg(entry.section, ProductIni::escapedText(entry.unsafePath)));
            return false;
        case KeyEntry::Delete:
            comparisons.waitFor(i);
            if (QFileInfo::exists(m_appRoot + QLatin1Char('/') + entry.key))
                lists.deletes.append(entry.key);
            break;
        case KeyEntry::File: {
            lists.listed.append(entry.installedPath());
            VerifiedDigests::Identity identity;
            switch (comparisons.waitFor(i, &identity)) {
            case Current:
                record.verified(m_appRoot + QLatin1Char('/') + entry.installedPath(),
                                identity, comparisons.installedDigest(i));
                break;
            case AlreadyDownloaded:
                lists.replaces.append(entry.replace());
                break;
            case AlreadyPatched:
                lists.replaces.append(entry.replace());
                lists.replaces.last().storedUnpacked = true;
                break;
            default:
                lists.replaces.append(entry.replace());
                lists.downloads.append(entry.download());
                lists.downloads.last().installedMd5 = comparisons.installedMd5(i);
                break;
            }
            break;
        }
        }
    }
    // What was read, or found unchanged, need not be read next time.
    QString recordError;
    if (!record.save(&recordError))
        emit message(QStringLiteral("Could not write the record of verified files: %1")
                         .arg(recordError));
    lists.obsoleteCount = int(lists.deletes.size());
    if (!lists.downloads.isEmpty())
        findLocalSources(entries, comparisons, m_appRoot, lists.downloads);
    lists.patchList = readPatchList(patchListValue);
    if (lists.patchList.isValid()) {
        for (const KeyEntry &entry : entries) {
            if (entry.kind == KeyEntry::File)
                lists.patchList.listedKeys.insert(entry.key);
        }
    }
    return true;
}

PatchListSpecification MakeDownloadReplaceListFunc::readPatchList(const QString &value)
{
    if (value.isEmpty())
        return PatchListSpecification();
    QString name;
    QString md5;
    qint64 size = 0;
    if (!ProductIni::readPatchListValue(value, &name, &md5, &size)) {
        emit message(QStringLiteral("Warning: product ini names the patch list \"%1\", which "
                                    "cannot be used; files are fetched whole")
                         .arg(ProductIni::escapedText(value)));
        return PatchListSpecification();
    }
    return {name, md5, size, {}};
}
