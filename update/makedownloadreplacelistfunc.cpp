#include "update/makedownloadreplacelistfunc.h"

#include "digest/filedigests.h"
#include "fileops/installedcopyfunc.h"
#include "fileops/wholefile.h"
#include "formats/fileline.h"
#include "formats/installationnames.h"
#include "formats/productini.h"
#include "formats/productinireader.h"
#include "update/runsettings.h"
#include "update/verifiedrecord.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr int maxHashThreads = 4;

using Fields = FileLine::Fields;

// What one key of the product ini turned out to be, in key order: its
// place in the reader; its text is read from there when it is needed.
struct KeyEntry
{
    enum Kind : quint8 { Delete, File, InvalidLine, UnsafePath, UnfetchableName };

    quint32 key = 0;
    Kind kind = File;
    // For UnsafePath and UnfetchableName: whether the line's path is at
    // fault, not the key.
    bool pathAtFault = false;
};

// The keys of the reader, and the file lines in them.
class Entries
{
public:
    explicit Entries(const ProductIniReader &reader)
        : m_reader(reader)
    { }

    // Reads the keys in order up to and including the first one that fails
    // the whole step.
    void read()
    {
        const std::vector<ProductIniReader::Key> &keys = m_reader.keys();
        const int deleteSection = int(m_reader.sections().indexOf(ProductIni::DeleteSection));
        m_kinds.reserve(keys.size());
        for (quint32 i = 0; i < quint32(keys.size()); ++i) {
            bool pathAtFault = false;
            const KeyEntry::Kind kind
                = kindOf(keys[i], int(keys[i].section) == deleteSection, &pathAtFault);
            m_kinds.push_back(quint8(kind | (pathAtFault ? pathAtFaultBit : 0)));
            if (kind != KeyEntry::File && kind != KeyEntry::Delete)
                return;
        }
    }

    size_t size() const { return m_kinds.size(); }
    KeyEntry operator[](size_t index) const
    {
        const quint8 kind = m_kinds[index];
        return {quint32(index), KeyEntry::Kind(kind & ~pathAtFaultBit),
                (kind & pathAtFaultBit) != 0};
    }

    QByteArrayView keyBytes(const KeyEntry &entry) const { return m_reader.key(keyOf(entry)); }
    Fields fields(const KeyEntry &entry) const { return Fields(m_reader.value(keyOf(entry))); }
    QString key(const KeyEntry &entry) const { return m_reader.keyText(keyOf(entry)); }
    QString section(const KeyEntry &entry) const
    {
        return m_reader.sections().at(keyOf(entry).section);
    }
    // The installed file a file key or a [delete] key names.
    QByteArrayView installedBytes(const KeyEntry &entry) const
    {
        return entry.kind == KeyEntry::Delete ? keyBytes(entry)
                                              : fields(entry).installedPath(keyBytes(entry));
    }
    QString installedPath(const KeyEntry &entry) const
    {
        return QString::fromUtf8(installedBytes(entry));
    }
    // The path at fault of an UnsafePath or UnfetchableName entry.
    QString unsafePath(const KeyEntry &entry) const
    {
        return entry.pathAtFault ? QString::fromUtf8(fields(entry).field[4]) : key(entry);
    }

    FileLine line(const KeyEntry &entry) const
    {
        return FileLine::read(m_reader.valueText(keyOf(entry))).value_or(FileLine());
    }
    // The entry of the replace list, and of the download list if download is
    // not null, for a file key; they share their strings.
    void specify(const KeyEntry &entry, FileReplaceSpecification *replace,
                 FileDownloadSpecification *download) const
    {
        const FileLine line = this->line(entry);
        const QString section = this->section(entry);
        const QString key = this->key(entry);
        *replace = {section, key, line.unpackedMd5, line.unpackedSize, line.unpackedPath};
        if (!download)
            return;
        *download = {section, key, line.md5, line.size};
        download->sizeBounds = line.sizeBounds;
        download->installedPath = line.installedPath(key);
        download->unpacked = line.isUnpacked();
        download->targetMd5 = download->unpacked ? line.unpackedMd5 : line.md5;
        download->targetSize = download->unpacked ? qint64(line.unpackedSize) : line.size;
    }

private:
    const ProductIniReader::Key &keyOf(const KeyEntry &entry) const
    {
        return m_reader.keys()[entry.key];
    }

    // Names read directly are plain ASCII; others are checked as text.
    bool fetchable(QByteArrayView bytes) const
    {
        return m_reader.readDirectly() || ProductIni::isFetchableName(QString::fromUtf8(bytes));
    }

    KeyEntry::Kind kindOf(const ProductIniReader::Key &key, bool inDelete, bool *pathAtFault) const
    {
        const QByteArrayView name = m_reader.key(key);
        if (!fetchable(name))
            return KeyEntry::UnfetchableName;
        if (inDelete)
            return ProductIni::isSafeRelativePath(name) ? KeyEntry::Delete : KeyEntry::UnsafePath;
        const Fields fields(m_reader.value(key));
        if (!fields.valid())
            return KeyEntry::InvalidLine;
        *pathAtFault = true;
        if (fields.count == 5 && !fetchable(fields.field[4]))
            return KeyEntry::UnfetchableName;
        *pathAtFault = false;
        if (!ProductIni::isSafeRelativePath(name))
            return KeyEntry::UnsafePath;
        *pathAtFault = true;
        if (fields.count == 5 && !ProductIni::isSafeRelativePath(fields.field[4]))
            return KeyEntry::UnsafePath;
        *pathAtFault = false;
        return KeyEntry::File;
    }

    const ProductIniReader &m_reader;
    // The kind of each key read, one byte each; the entry's index is its
    // key's.
    std::vector<quint8> m_kinds;
    static constexpr quint8 pathAtFaultBit = 0x80;
};

// The outcome of the MD5 comparisons of one file key.
enum FileState : int { Pending, Current, AlreadyDownloaded, AlreadyPatched, Needed };

// Whether raw (16 bytes) is the digest that hex names, in either case; read
// without making a string for each of many thousand files.
bool sameSum(const QByteArray &raw, QByteArrayView hex)
{
    static const char digits[] = "0123456789abcdef";
    if (raw.size() != 16 || hex.size() != 32)
        return false;
    for (int i = 0; i < 16; ++i) {
        const uchar byte = uchar(raw.at(i));
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(hex.at(2 * i)) != digits[byte >> 4]
            || lower(hex.at(2 * i + 1)) != digits[byte & 15])
            return false;
    }
    return true;
}

// The first part of each name in a folder: a key whose first part is not
// among them has no copy there.
QSet<QByteArray> topNames(const QByteArray &folder)
{
    QSet<QByteArray> names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir))
        names.insert(QByteArray(entry->d_name));
    ::closedir(dir);
    return names;
}

// Compares the installed copy of each file key, and where that differs the
// copy in the session directory, with the key's sum, the caller taking the
// results in key order; the installed files under [delete] are hashed too.
// The digests are computed ahead on a few threads.
class Comparisons
{
public:
    Comparisons(const Entries &entries, const QString &appRoot, const QString &tempDir,
                const VerifiedDigests *verified)
        : m_entries(entries)
        , m_appRoot(QFile::encodeName(appRoot) + '/')
        , m_tempDir(QFile::encodeName(tempDir) + '/')
        , m_tempNames(topNames(m_tempDir))
        // Each key has a second digest, of its copy in the session directory,
        // only where such a copy may be.
        , m_perKey(anyInSession() ? 2 : 1)
        // A few readers keep the cores busy on a warm cache without making a
        // spinning disk seek between too many files at once.
        , m_digests(
              int(m_perKey * entries.size()),
              [this](int index, QByteArray *path) {
                  digestPath(m_entries[size_t(index / m_perKey)], index % m_perKey == 1, path);
              },
              qBound(1, QThread::idealThreadCount(), maxHashThreads), verified)
    { }

    // identity receives what identified the installed copy when it was read
    // (a zero inode when it was not); recorded the index of the record's
    // entry whose digest it was (-1: none).
    FileState waitFor(size_t index, VerifiedDigests::Identity *identity = nullptr,
                      qint64 *recorded = nullptr)
    {
        const KeyEntry &entry = m_entries[index];
        const QByteArray installed = m_digests.take(int(m_perKey * index), identity, recorded);
        const QByteArray downloaded
            = m_perKey == 2 ? m_digests.take(int(2 * index + 1)) : QByteArray();
        if (entry.kind != KeyEntry::File)
            return Pending;
        const Fields fields = m_entries.fields(entry);
        if (sameSum(installed, fields.expectedMd5()))
            return Current;
        if (downloaded.isEmpty())
            return Needed;
        if (sameSum(downloaded, fields.md5()))
            return AlreadyDownloaded;
        // A patch leaves a compressed key's file unpacked under the key. Its
        // signed sum is the one to compare with, so that what an interrupted
        // run made is installed by the next run, whatever that run knows.
        if (fields.unpacked() && sameSum(downloaded, fields.field[2]))
            return AlreadyPatched;
        return Needed;
    }

    // The installed copy's raw digest as found (empty: none), once
    // waitFor(index) returned. It is kept: a patch may turn it into the new
    // file, and any installed file may hold another key's bytes.
    QByteArray installedDigest(size_t index) const
    {
        return m_digests.digest(int(m_perKey * index));
    }

    // The installed copy's MD5 sum as found (lower case; empty: none), once
    // waitFor(index) returned.
    QString installedMd5(size_t index) const
    {
        return QString::fromLatin1(installedDigest(index).toHex());
    }

private:
    // For a key, its installed copy or its copy in the session directory;
    // none where there is no sum to compare with. A file under [delete] is
    // hashed only where it is a regular file and no link. Asked by the file
    // threads as they come to each file, so that no list of paths is held.
    void digestPath(const KeyEntry &entry, bool downloaded, QByteArray *path) const
    {
        path->clear();
        const bool file = entry.kind == KeyEntry::File;
        if (downloaded) {
            const QByteArrayView key = m_entries.keyBytes(entry);
            if (file && !m_entries.fields(entry).md5().isEmpty() && inSession(key)) {
                path->append(m_tempDir);
                path->append(key);
            }
            return;
        }
        if (file && m_entries.fields(entry).expectedMd5().isEmpty())
            return;
        if (entry.kind != KeyEntry::File && entry.kind != KeyEntry::Delete)
            return;
        path->append(m_appRoot);
        path->append(m_entries.installedBytes(entry));
        struct stat status;
        if (entry.kind == KeyEntry::Delete
            && (::lstat(path->constData(), &status) != 0 || !S_ISREG(status.st_mode)))
            path->clear();
    }

    // Whether the first part of key is a name in the session directory.
    bool inSession(QByteArrayView key) const
    {
        const qsizetype slash = key.indexOf('/');
        return m_tempNames.contains(
            QByteArray::fromRawData(key.data(), slash < 0 ? key.size() : slash));
    }
    bool anyInSession() const
    {
        // Keys in order share their first parts: each is looked up once.
        QByteArrayView last;
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].kind != KeyEntry::File)
                continue;
            const QByteArrayView key = m_entries.keyBytes(m_entries[i]);
            const qsizetype slash = key.indexOf('/');
            const QByteArrayView first = key.first(slash < 0 ? key.size() : slash);
            if (first == last)
                continue;
            last = first;
            if (inSession(first))
                return true;
        }
        return false;
    }

    const Entries &m_entries;
    const QByteArray m_appRoot;
    const QByteArray m_tempDir;
    const QSet<QByteArray> m_tempNames;
    const int m_perKey;
    FileDigests m_digests;
};

// A run that ended in the middle of the replacement may have left, beside a
// listed file, its kept old copy and the temporary name of its new content.
// The deletion step removes them once this run has installed every file;
// the old copies of the files the running updater keeps open go at its next
// start instead. Each folder of a listed file is read once for names with
// either prefix; the listed files are looked at again only when one is found.
void queueLeftovers(const Entries &entries, const QByteArray &root, QList<QString> &deletes)
{
    const QByteArray oldPrefix = InstallationNames::specialFileRenamePrefix().toUtf8();
    const QByteArray newPrefix = WholeFile::temporaryPrefix().toUtf8();
    const auto folderOf = [](QByteArrayView path) {
        return path.first(path.lastIndexOf('/') + 1).toByteArray(); // "" for the root
    };
    QSet<QByteArray> folders;
    QByteArray last;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != KeyEntry::File)
            continue;
        const QByteArrayView path = entries.installedBytes(entries[i]);
        if (!i || path.first(path.lastIndexOf('/') + 1) != QByteArrayView(last)) {
            last = folderOf(path);
            folders.insert(last);
        }
    }
    QHash<QByteArray, QSet<QByteArray>> leftovers; // by folder
    for (const QByteArray &folder : std::as_const(folders)) {
        DIR *dir = ::opendir(QByteArray(root + folder).constData());
        if (!dir)
            continue;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArrayView name(entry->d_name);
            if (!name.startsWith(oldPrefix) && !name.startsWith(newPrefix))
                continue;
            // No folder, nor a link to one.
            struct stat status;
            const bool folderNamed = entry->d_type == DT_DIR
                || ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
                    && ::fstatat(::dirfd(dir), entry->d_name, &status, 0) == 0
                    && S_ISDIR(status.st_mode));
            if (!folderNamed)
                leftovers[folder].insert(name.toByteArray());
        }
        ::closedir(dir);
    }
    if (leftovers.isEmpty())
        return;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].kind != KeyEntry::File)
            continue;
        const QByteArrayView path = entries.installedBytes(entries[i]);
        const auto found = leftovers.constFind(folderOf(path));
        if (found == leftovers.cend())
            continue;
        const QByteArray folder = folderOf(path);
        const QByteArray name = path.sliced(folder.size()).toByteArray();
        if (found->contains(newPrefix + name))
            deletes.append(QString::fromUtf8(folder + newPrefix + name));
        if (!InstallationNames::isSpecialFileName(QString::fromUtf8(name))
            && found->contains(oldPrefix + name))
            deletes.append(QString::fromUtf8(folder + oldPrefix + name));
    }
}

// The replace and download lists of the file keys that need either, each
// grown once. The installed copy's sum goes with a download only where a
// patch list may offer a patch for it: then the comparisons are given.
void makeLists(const Entries &entries, const Comparisons *comparisons,
               const std::vector<std::pair<quint32, FileState>> &listedFiles,
               FileSpecifications &lists)
{
    const auto needed = std::count_if(listedFiles.cbegin(), listedFiles.cend(),
                                      [](const auto &file) { return file.second == Needed; });
    lists.replaces.reserve(qsizetype(listedFiles.size()));
    lists.downloads.reserve(qsizetype(needed));
    for (const auto &[index, state] : listedFiles) {
        FileReplaceSpecification replace;
        FileDownloadSpecification download;
        entries.specify(entries[index], &replace, state == Needed ? &download : nullptr);
        replace.storedUnpacked = state == AlreadyPatched;
        lists.replaces.append(std::move(replace));
        if (state != Needed)
            continue;
        if (comparisons)
            download.installedMd5 = comparisons->installedMd5(index);
        lists.downloads.append(std::move(download));
    }
}

// For each file to fetch, an installed file with the same bytes: the
// installed copy of another key, or a file under [delete] (where a renamed
// file's old name usually is). Only a regular file reached through no link
// serves, and only with the size the fetched file would have.
// An installed file's digest and its key, in digest order (then key order).
struct InstalledCopy
{
    char md5[16];
    quint32 entry;

    bool operator<(const InstalledCopy &other) const
    {
        const int order = std::memcmp(md5, other.md5, sizeof(md5));
        return order != 0 ? order < 0 : entry < other.entry;
    }
};

// The installed files whose digest is that of a file to fetch.
std::vector<InstalledCopy>
installedCopies(const Entries &entries, const Comparisons &comparisons,
                const std::vector<std::pair<quint32, FileState>> &listedFiles)
{
    const auto sameDigestLess = [](const InstalledCopy &a, const InstalledCopy &b) {
        return std::memcmp(a.md5, b.md5, sizeof(a.md5)) < 0;
    };
    std::vector<InstalledCopy> wanted; // by digest only
    for (const auto &[index, state] : listedFiles) {
        const QByteArrayView md5 = entries.fields(entries[index]).expectedMd5();
        if (state != Needed || !ProductIni::isMd5Text(md5))
            continue;
        InstalledCopy target;
        std::memcpy(target.md5, QByteArray::fromHex(md5.toByteArray()).constData(),
                    sizeof(target.md5));
        target.entry = 0;
        wanted.push_back(target);
    }
    std::sort(wanted.begin(), wanted.end(), sameDigestLess);
    std::vector<InstalledCopy> copies;
    for (size_t i = 0; i < entries.size(); ++i) {
        const QByteArray md5 = comparisons.installedDigest(i);
        if (md5.size() != 16)
            continue;
        InstalledCopy copy;
        std::memcpy(copy.md5, md5.constData(), sizeof(copy.md5));
        copy.entry = quint32(i);
        if (std::binary_search(wanted.cbegin(), wanted.cend(), copy, sameDigestLess))
            copies.push_back(copy);
    }
    std::sort(copies.begin(), copies.end());
    return copies;
}

void findLocalSources(const Entries &entries, const std::vector<InstalledCopy> &copies,
                      const QString &appRoot, QList<FileDownloadSpecification> &downloads)
{
    for (FileDownloadSpecification &file : downloads) {
        if (!ProductIni::isMd5Text(file.targetMd5))
            continue;
        InstalledCopy wanted;
        const QByteArray md5 = QByteArray::fromHex(file.targetMd5.toLatin1());
        std::memcpy(wanted.md5, md5.constData(), sizeof(wanted.md5));
        wanted.entry = 0;
        for (auto it = std::lower_bound(copies.cbegin(), copies.cend(), wanted);
             it != copies.cend() && std::memcmp(it->md5, wanted.md5, sizeof(wanted.md5)) == 0;
             ++it) {
            const QString candidate = entries.installedPath(entries[it->entry]);
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

bool MakeDownloadReplaceListFunc::run()
{
    FileSpecifications &lists = *m_lists;
    lists.clear();
    const QString iniPath = m_tempDir + QLatin1Char('/') + ProductIni::iniName(m_clientType);
    emit message(QStringLiteral("Compiling download and replace list"));

    ProductIniReader ini;
    ini.read(iniPath, ProductIni::MaxSize);
    const int total = int(ini.keys().size());
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }
    Entries entries(ini);
    entries.read();
    // A key of [General], which lists no files; signed with the rest.
    const QString patchListValue = ini.general(ProductIni::PatchListKey);

    // Held until the lists are made only where a patch may need the
    // installed files' digests, some of which are the record's.
    auto record = std::make_unique<VerifiedRecord>(m_appRoot, m_updaterPath, m_verifyAll);
    if (!record->problem().isEmpty())
        emit message(QStringLiteral("The record of verified files is not used (%1); every file "
                                    "is read")
                         .arg(record->problem()));
    auto comparisons
        = std::make_unique<Comparisons>(entries, m_appRoot, m_tempDir, record->known());
    const QByteArray root = QFile::encodeName(m_appRoot) + '/';
    QByteArray path;
    // The file keys that go on the lists, in key order; the lists are made
    // once their lengths are known, so that none is grown step by step.
    std::vector<std::pair<quint32, FileState>> listedFiles;
    // Its pages are taken only as files go on it.
    listedFiles.reserve(entries.size());
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
                             .arg(entries.section(entry)));
            return false;
        case KeyEntry::UnsafePath:
            emit message(QStringLiteral("Error: product ini section %1 names the path %2, which is "
                                        "absolute or contains \"..\"")
                             .arg(entries.section(entry), entries.unsafePath(entry)));
            return false;
        case KeyEntry::UnfetchableName:
            // The name is shown escaped: it is made of what the log must not carry.
            emit message(QStringLiteral("Error: product ini section %1 names the file %2, which is "
                                        "not valid UTF-8 or holds control characters")
                             .arg(entries.section(entry),
                                  ProductIni::escapedText(entries.unsafePath(entry))));
            return false;
        case KeyEntry::Delete:
            comparisons->waitFor(i);
            if (QFileInfo::exists(m_appRoot + QLatin1Char('/') + entries.key(entry)))
                lists.deletes.append(entries.key(entry));
            break;
        case KeyEntry::File: {
            VerifiedDigests::Identity identity;
            qint64 recorded = -1;
            const FileState state = comparisons->waitFor(i, &identity, &recorded);
            switch (state) {
            case Current:
                if (recorded >= 0) {
                    record->unchanged(recorded);
                } else {
                    path = root;
                    path += entries.installedBytes(entry);
                    record->verified(path, identity, comparisons->installedDigest(i));
                }
                break;
            case AlreadyDownloaded:
            case AlreadyPatched:
                listedFiles.push_back({quint32(i), state});
                break;
            default:
                listedFiles.push_back({quint32(i), Needed});
                break;
            }
            break;
        }
        }
    }
    // What was read, or found unchanged, need not be read next time.
    QString recordError;
    if (!record->save(&recordError))
        emit message(QStringLiteral("Could not write the record of verified files: %1")
                         .arg(recordError));
    // The installed files' digests go before the lists are made, but for
    // those a patch may need; a fetched file may be copied from an installed
    // one with its digest.
    const bool fetched = std::any_of(listedFiles.cbegin(), listedFiles.cend(),
                                     [](const auto &file) { return file.second == Needed; });
    const std::vector<InstalledCopy> copies
        = fetched ? installedCopies(entries, *comparisons, listedFiles)
                  : std::vector<InstalledCopy>();
    QString patchListName;
    QString patchListMd5;
    qint64 patchListSize = 0;
    if (!ProductIni::readPatchListValue(patchListValue, &patchListName, &patchListMd5,
                                        &patchListSize))
        comparisons.reset();
    // The digests taken from the record go with the comparisons.
    if (!comparisons)
        record.reset();
    makeLists(entries, comparisons.get(), listedFiles, lists);
    comparisons.reset();
    record.reset();
    lists.obsoleteCount = int(lists.deletes.size());
    queueLeftovers(entries, root, lists.deletes);
    if (!lists.downloads.isEmpty())
        findLocalSources(entries, copies, m_appRoot, lists.downloads);
    lists.patchList = readPatchList(patchListValue);
    if (lists.patchList.isValid()) {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].kind == KeyEntry::File)
                lists.patchList.listedKeys.insert(entries.key(entries[i]));
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
