#include "releasepublisher.h"

#include "earlierreleases.h"
#include "patchmaker.h"

#include "fileops/gzfile.h"
#include "fileops/tomcryptutil.h"
#include "formats/fileline.h"
#include "formats/patchlistline.h"
#include "formats/productini.h"
#include "sys/uniquefd.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSet>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QThreadPool>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

// One file of the release: what build() plans on one thread, what a worker
// fills in on another.
struct ReleasePublisher::FileJob
{
    struct Patch
    {
        QString oldMd5;
        QString md5;
        qint64 size = 0;
        int from = 0; // the index of its tree among the trees to patch from
    };

    QString relativePath;
    QString key;
    bool gzipped = false;
    qint64 plainSize = 0;
    // Filled in by the worker.
    QString value;
    qint64 storedSize = 0;
    QString error;
    QList<Patch> patches;
};

// Files and bytes done, redrawn on one line of a terminal.
class ReleasePublisher::Progress
{
public:
    Progress(bool show, int files, qint64 bytes)
        : m_show(show)
        , m_files(files)
        , m_bytes(bytes)
    { }
    ~Progress()
    {
        if (m_show && m_drawn)
            std::fputs("\n", stderr);
    }

    void fileDone(qint64 bytes)
    {
        const int files = ++m_filesDone;
        const qint64 done = m_bytesDone += bytes;
        if (!m_show)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fprintf(stderr, "\rfiles %d/%d, %lld/%lld MiB", files, m_files,
                     static_cast<long long>(done >> 20), static_cast<long long>(m_bytes >> 20));
        std::fflush(stderr);
        m_drawn = true;
    }

private:
    const bool m_show;
    const int m_files;
    const qint64 m_bytes;
    std::atomic<int> m_filesDone {0};
    std::atomic<qint64> m_bytesDone {0};
    std::mutex m_mutex;
    bool m_drawn = false;
};

namespace {

constexpr qint64 chunkSize = 1024 * 1024;

QString fileError(const QString &what, const QFile &file)
{
    return QStringLiteral("%1 %2: %3")
        .arg(what, QDir::toNativeSeparators(file.fileName()), file.errorString());
}

bool makeParentDir(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

// A name as one line of text: bytes outside printable ASCII as \xNN.
QString printableName(const QByteArray &name)
{
    QString text;
    for (const char c : name) {
        const auto byte = uchar(c);
        text += byte >= 0x20 && byte < 0x7f ? QString(QChar(byte))
                                            : QStringLiteral("\\x%1").arg(byte, 2, 16, QChar(u'0'));
    }
    return text;
}

// What is wrong with a name that the updater could neither fetch nor delete,
// with its path below the directory, printable; empty if nothing is.
QString nameFault(const QByteArray &name, const QByteArray &path)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8(name);
    if (utf8.hasError())
        return QStringLiteral("%1 is not valid UTF-8").arg(printableName(path));
    for (const QChar c : decoded) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("%1 holds a control character").arg(printableName(path));
    }
    return QString();
}

// The files of a client directory by their paths below it, found with
// readdir(): Qt's listing leaves out names that are not UTF-8, and
// directories it cannot read, without a word. Every directory must be read
// whole and every file opened, or the listing fails with the system's reason.
// A symbolic link would publish whatever it leads to, so it is refused; with
// followLinks, it stands for what it leads to when that lies inside the
// directory, and is refused when it leads outside, nowhere, or to a
// directory that holds it. Of an earlier tree (namesOnly) only the names
// count: a link to a directory stands for the files below it, any other
// link or special file for a file of its name.
class ClientTree
{
public:
    ClientTree(const QString &dir, bool followLinks, bool namesOnly = false)
        : m_shown(QDir::cleanPath(dir))
        , m_followLinks(followLinks)
        , m_namesOnly(namesOnly)
    { }

    // False, with error() set, at the first fault.
    bool list()
    {
        const QString root = QFileInfo(m_shown).canonicalFilePath();
        if (root.isEmpty())
            return fail(QByteArray(), QStringLiteral("cannot be read"));
        m_root = QFile::encodeName(root);
        QByteArrayList ancestors;
        if (!walk(m_root, QByteArray(), ancestors))
            return false;
        m_files.sort();
        return true;
    }
    const QStringList &files() const { return m_files; }
    const QString &error() const { return m_error; }

private:
    bool fail(const QByteArray &path, const QString &text)
    {
        const QByteArray shown = path.endsWith('/') ? path.chopped(1) : path;
        m_error = shown.isEmpty()
            ? QStringLiteral("%1 %2").arg(m_shown, text)
            : QStringLiteral("%1/%2 %3").arg(m_shown, printableName(shown), text);
        return false;
    }
    bool failErrno(const QByteArray &path, const QString &what)
    {
        return fail(
            path, QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno))));
    }
    bool isInside(const QByteArray &path) const
    {
        return path == m_root || path.startsWith(m_root.endsWith('/') ? m_root : m_root + '/');
    }

    // Walks the directory whose canonical path is real and which stands at
    // below ("" or ending with "/") in the tree; ancestors holds the
    // canonical paths of the directories above it on the way down.
    bool walk(const QByteArray &real, const QByteArray &below, QByteArrayList &ancestors)
    {
        const std::unique_ptr<DIR, int (*)(DIR *)> handle(::opendir(real.constData()), ::closedir);
        if (!handle)
            return failErrno(below, QStringLiteral("cannot be read"));
        ancestors.append(real);
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(handle.get());
            if (!entry) {
                if (errno != 0)
                    return failErrno(below, QStringLiteral("cannot be read"));
                break;
            }
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray path = below + name;
            const QString fault = nameFault(name, path);
            if (!fault.isEmpty()) {
                m_error = QStringLiteral("File name %1/%2").arg(m_shown, fault);
                return false;
            }
            QByteArray target = real + '/' + name;
            struct stat info;
            if (::lstat(target.constData(), &info) != 0)
                return failErrno(path, QStringLiteral("cannot be read"));
            if (S_ISLNK(info.st_mode) && m_namesOnly) {
                char resolved[PATH_MAX];
                struct stat targetInfo;
                if (::realpath(target.constData(), resolved) && ::stat(resolved, &targetInfo) == 0
                    && S_ISDIR(targetInfo.st_mode)) {
                    target = resolved;
                    info = targetInfo;
                    if (ancestors.contains(target))
                        return fail(path,
                                    QStringLiteral("is a symbolic link to a directory that "
                                                   "holds it"));
                }
            } else if (S_ISLNK(info.st_mode)) {
                if (!m_followLinks)
                    return fail(path,
                                QStringLiteral("is a symbolic link; a release holds files "
                                               "only (--follow-links publishes what links "
                                               "inside the client directory lead to)"));
                char resolved[PATH_MAX];
                if (!::realpath(target.constData(), resolved))
                    return failErrno(path, QStringLiteral("is a symbolic link that leads nowhere"));
                target = resolved;
                if (!isInside(target))
                    return fail(path,
                                QStringLiteral("is a symbolic link leading outside the client "
                                               "directory, to %1")
                                    .arg(printableName(target)));
                if (::stat(target.constData(), &info) != 0)
                    return failErrno(path, QStringLiteral("cannot be read"));
                if (S_ISDIR(info.st_mode) && ancestors.contains(target))
                    return fail(path,
                                QStringLiteral("is a symbolic link to a directory that "
                                               "holds it"));
            }
            if (S_ISDIR(info.st_mode)) {
                if (!walk(target, path + '/', ancestors))
                    return false;
                continue;
            }
            if (!m_namesOnly && !S_ISREG(info.st_mode))
                return fail(path,
                            QStringLiteral("is not a regular file; a release holds regular "
                                           "files only"));
            if (!m_namesOnly) {
                // Opened now, so that a file the publisher cannot read fails
                // the release before anything is written; without waiting,
                // should a FIFO have taken the file's place meanwhile.
                const UniqueFd fd(
                    ::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
                if (fd.get() < 0)
                    return failErrno(path, QStringLiteral("cannot be read"));
            }
            m_files.append(QString::fromUtf8(path));
        }
        ancestors.removeLast();
        return true;
    }

    const QString m_shown; // the directory as the publisher named it
    const bool m_followLinks;
    const bool m_namesOnly;
    QByteArray m_root; // its canonical path
    QStringList m_files;
    QString m_error;
};

// Copies source to target; empty, with md5 and size filled in, on success.
// Reads all of in, hashing it and handing each chunk to write; empty on
// success with md5 and size filled in, writeFailed when write refused a
// chunk, or the read error.
const QString writeFailed = QStringLiteral("write failed");

template<typename Write>
QString copyHashing(QFile &in, QString &md5, qint64 &size, Write write)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(chunkSize, Qt::Uninitialized);
    size = 0;
    for (;;) {
        const qint64 count = in.read(chunk.data(), chunk.size());
        if (count < 0)
            return fileError(QStringLiteral("Cannot read file"), in);
        if (count == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), count));
        if (!write(chunk.constData(), count))
            return writeFailed;
        size += count;
    }
    md5 = QString::fromLatin1(hash.result().toHex());
    return QString();
}

QString storeFile(const QString &source, const QString &target, QString &md5, qint64 &size)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fileError(QStringLiteral("Cannot read file"), in);
    QFile out(target);
    if (!makeParentDir(target) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fileError(QStringLiteral("Cannot write file"), out);

    const QString error = copyHashing(in, md5, size, [&out](const char *data, qint64 count) {
        return out.write(data, count) == count;
    });
    if (!error.isEmpty())
        return error == writeFailed ? fileError(QStringLiteral("Cannot write file"), out) : error;
    if (!out.flush())
        return fileError(QStringLiteral("Cannot write file"), out);
    return QString();
}

// Compresses source into target; empty, with the sums and sizes of both
// forms filled in, on success.
QString storeGzipped(const QString &source, const QString &target, QString &md5, qint64 &size,
                     QString &plainMd5, qint64 &plainSize)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fileError(QStringLiteral("Cannot read file"), in);
    if (!makeParentDir(target) || QFileInfo::exists(target))
        return QStringLiteral("Cannot write file %1").arg(target);

    const QString writeError = QStringLiteral("Cannot write file %1").arg(target);
    GzFile gz(gzopen(QFile::encodeName(target).constData(), "wb"));
    if (!gz)
        return writeError;

    const QString error = copyHashing(in, plainMd5, plainSize, [&gz](const char *data, qint64 count) {
        return gzwrite(gz.get(), data, unsigned(count)) == count;
    });
    if (!error.isEmpty())
        return error == writeFailed ? writeError : error;
    if (gzclose(gz.release()) != Z_OK)
        return writeError;

    // The stored form's own sum and size.
    QFile stored(target);
    QCryptographicHash storedHash(QCryptographicHash::Md5);
    if (!stored.open(QIODevice::ReadOnly) || !storedHash.addData(&stored))
        return fileError(QStringLiteral("Cannot read file"), stored);
    md5 = QString::fromLatin1(storedHash.result().toHex());
    size = stored.size();
    return QString();
}

// The MD5 sum of a file as hexadecimal text; empty if it cannot be read.
QString md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

// The updater asks for the version's directory by its number in decimal, so
// "007" or "+7" would name a directory nobody fetches; the update server
// announces 1 to 2^31 - 1.
QString ReleasePublisher::versionFault(const QString &text)
{
    const bool digits = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    bool numeric = false;
    const qulonglong number = text.toULongLong(&numeric);
    if (!digits || !numeric || number < 1 || number > 2147483647)
        return QStringLiteral("a version is a whole number from 1 to 2147483647");
    if (text.startsWith(QLatin1Char('0')))
        return QStringLiteral("no leading zeros: the updater fetches version %1 from the "
                              "directory \"%1\"")
            .arg(number);
    return QString();
}

namespace {

// Why path cannot be read as a directory, or an empty string.
QString directoryFault(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT ? QStringLiteral("does not exist")
                               : QStringLiteral("cannot be read: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISREG(info.st_mode))
        return QStringLiteral("is a file, not a directory");
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("is not a directory");
    return QString();
}

// Removes the staging directories of runs that were killed below root. A
// running publisher holds a lock on its own until it ends, and the system
// drops the locks of a process that is gone. Returns the names removed.
QStringList removeLeftovers(const QDir &root)
{
    static const QRegularExpression partial(QStringLiteral("^\\.[0-9]+\\.partial-[A-Za-z0-9]{6}$"));
    QStringList removed;
    const QStringList names
        = root.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names) {
        if (!partial.match(name).hasMatch())
            continue;
        const QString path = root.filePath(name);
        const UniqueFd fd(::open(QFile::encodeName(path).constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (QDir(path).removeRecursively())
            removed.append(name);
    }
    return removed;
}

// A byte count as the publisher reads it best.
QString sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024, 0, 'f', 1);
    if (bytes < qint64(1024) * 1024 * 1024)
        return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
    return QStringLiteral("%1 GiB").arg(double(bytes) / (1024 * 1024 * 1024), 0, 'f', 2);
}

} // namespace

ReleasePublisher::ReleasePublisher(const Options &options)
    : m_options(options)
{ }

bool ReleasePublisher::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool ReleasePublisher::checkOptions()
{
    const Options &o = m_options;
    if (o.clientType.isEmpty() || o.clientType.contains(QLatin1Char('/')))
        return fail(QStringLiteral("Invalid client type '%1'").arg(o.clientType));
    const QString versionFault = ReleasePublisher::versionFault(o.version);
    if (!versionFault.isEmpty())
        return fail(QStringLiteral("Invalid version '%1': %2").arg(o.version, versionFault));
    QString fault = directoryFault(o.clientDir);
    if (!fault.isEmpty())
        return fail(QStringLiteral("Client directory %1 %2").arg(o.clientDir, fault));
    for (const QString &dir : o.previousDirs) {
        fault = directoryFault(dir);
        if (!fault.isEmpty())
            return fail(QStringLiteral("Previous client directory %1 %2").arg(dir, fault));
    }
    for (const QString &dir : o.patchFromDirs) {
        fault = directoryFault(dir);
        if (!fault.isEmpty())
            return fail(QStringLiteral("Client directory %1 to patch from %2").arg(dir, fault));
    }
    if (!o.changelogPath.isEmpty() && !QFileInfo(o.changelogPath).isFile())
        return fail(QStringLiteral("Cannot read change log %1: no such file").arg(o.changelogPath));
    // The names of the earlier trees go into [delete], so the updater must be
    // able to delete them.
    m_previousFiles.clear();
    for (const QString &dir : o.previousDirs) {
        ClientTree previous(dir, true, true);
        if (!previous.list())
            return fail(previous.error());
        for (const QString &file : previous.files())
            m_previousFiles.insert(file);
    }
    ClientTree tree(o.clientDir, o.followLinks);
    if (!tree.list())
        return fail(tree.error());
    m_files = tree.files();
    return checkGzipGlobs();
}

namespace {


// A --gzip glob as a pattern: "*", "?" and "[...]" stay within one name, as
// Qt's wildcards do; each "**" between them crosses folders, and "**/" also
// stands for no folder at all, so that "data/**/*.dat" takes data/x.dat too.
QRegularExpression globPattern(const QString &glob)
{
    const QStringList pieces = glob.split(QStringLiteral("**"));
    QString pattern;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        QStringView piece = pieces[i];
        if (i > 0) {
            const bool wholeFolders = piece.startsWith(QLatin1Char('/'));
            pattern += wholeFolders ? QStringLiteral("(?:.*/)?") : QStringLiteral(".*");
            if (wholeFolders)
                piece = piece.mid(1);
        }
        pattern += QRegularExpression::wildcardToRegularExpression(
            piece, QRegularExpression::UnanchoredWildcardConversion);
    }
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                              QRegularExpression::DontCaptureOption);
}

// What a --gzip glob is matched against: a glob with a "/" names paths, one
// without names file names.
QStringView globSubject(const QString &glob, const QString &relativePath)
{
    return glob.contains(QLatin1Char('/'))
        ? QStringView(relativePath)
        : QStringView(relativePath).mid(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

bool ReleasePublisher::checkGzipGlobs()
{
    m_gzipPatterns.clear();
    m_gzipMatches.clear();
    for (const QString &glob : std::as_const(m_options.gzipGlobs)) {
        const QRegularExpression pattern = globPattern(glob);
        if (!pattern.isValid())
            return fail(QStringLiteral("--gzip '%1' is not a glob").arg(glob));
        const int count
            = int(std::count_if(m_files.cbegin(), m_files.cend(), [&](const QString &file) {
                  return pattern.match(globSubject(glob, file)).hasMatch();
              }));
        m_gzipPatterns.append(pattern);
        m_gzipMatches.append(count);
        if (count > 0)
            continue;
        // The usual slip: "data/*.dat" for the files in the folders below data.
        QString hint;
        const qsizetype slash = glob.lastIndexOf(QLatin1Char('/'));
        if (slash >= 0 && !glob.contains(QStringLiteral("**"))) {
            const QString deeper = glob.left(slash) + QStringLiteral("/**/") + glob.mid(slash + 1);
            const QRegularExpression wider = globPattern(deeper);
            if (std::any_of(m_files.cbegin(), m_files.cend(),
                            [&wider](const QString &file) { return wider.match(file).hasMatch(); }))
                hint = QStringLiteral(" (\"*\" stops at \"/\"; '%1' also matches in the "
                                      "folders below)")
                           .arg(deeper);
        }
        return fail(QStringLiteral("--gzip '%1' matches no file of %2%3")
                        .arg(glob, m_options.clientDir, hint));
    }
    return true;
}

bool ReleasePublisher::isGzipped(const QString &relativePath) const
{
    for (qsizetype i = 0; i < m_gzipPatterns.size(); ++i) {
        if (m_gzipPatterns[i].match(globSubject(m_options.gzipGlobs[i], relativePath)).hasMatch())
            return true;
    }
    return false;
}

bool ReleasePublisher::checkDeletes(const QStringList &deletes, const EarlierReleases &earlier)
{
    for (const QString &name : ProductIni::updaterFiles()) {
        if (!deletes.contains(name))
            continue;
        const QString version = earlier.lastVersionWith(name);
        const QString source = !version.isEmpty()
            ? QStringLiteral("release %1 below %2 has it").arg(version, m_options.mirrorRoot)
            : QStringLiteral("a --previous client directory has it");
        return fail(QStringLiteral("%1 is missing from %2, so [delete] would remove it from "
                                   "every installation (%3), and the updater needs it in the "
                                   "application root; put %1 in %2")
                        .arg(name, m_options.clientDir, source));
    }
    return true;
}

bool ReleasePublisher::build()
{
    if (!checkOptions())
        return false;

    RsaKey key;
    try {
        key.load(QFile::encodeName(m_options.keyPath).constData());
    } catch (const crypt_exception &e) {
        return fail(QStringLiteral("Bad key %1: %2")
                        .arg(m_options.keyPath, QString::fromLocal8Bit(e.what())));
    }
    if (!key.isPrivate())
        return fail(QStringLiteral("Bad key %1: not a private key").arg(m_options.keyPath));
    if (isDevelopmentKey(key))
        m_warnings.append(developmentKeyWarning(m_options.keyPath));

    const QDir root(m_options.mirrorRoot);
    const QString target = root.absoluteFilePath(m_options.version);
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        return fail(QStringLiteral("Version directory %1 already exists").arg(target));

    const QStringList &files = m_files;
    if (files.isEmpty())
        return fail(QStringLiteral("No files in client directory %1").arg(m_options.clientDir));
    if (!files.contains(QStringLiteral("update")))
        m_warnings.append(QStringLiteral("warning: %1 has no update: this release leaves every "
                                         "player's updater as it is; ship update in every "
                                         "release")
                              .arg(m_options.clientDir));

    EarlierReleases earlier;
    if (!earlier.read(m_options.mirrorRoot, m_options.clientType))
        return fail(earlier.error());

    // A player may come from any earlier version: whatever one of them put
    // in place and this one lacks goes, but never what the updater needs.
    QSet<QString> earlierFiles = earlier.paths();
    earlierFiles.unite(m_previousFiles);
    for (const QString &file : files)
        earlierFiles.remove(file);
    QStringList deletes(earlierFiles.cbegin(), earlierFiles.cend());
    deletes.sort();
    if (!checkDeletes(deletes, earlier))
        return false;

    if (!QDir().mkpath(m_options.mirrorRoot))
        return fail(QStringLiteral("Cannot create mirror root %1").arg(m_options.mirrorRoot));

    // Other runs on the same mirror root wait while this one clears what
    // killed runs left and makes and locks its own staging directory, so
    // that none takes another's for a leftover.
    const UniqueFd rootFd(::open(QFile::encodeName(m_options.mirrorRoot).constData(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.get() < 0 || ::flock(rootFd.get(), LOCK_EX) != 0)
        return fail(QStringLiteral("Cannot lock mirror root %1: %2")
                        .arg(m_options.mirrorRoot, QString::fromLocal8Bit(std::strerror(errno))));
    const QStringList leftovers = removeLeftovers(root);
    QTemporaryDir staging(
        root.absoluteFilePath(QStringLiteral(".%1.partial-XXXXXX").arg(m_options.version)));
    if (!staging.isValid())
        return fail(QStringLiteral("Cannot create a directory in %1: %2")
                        .arg(m_options.mirrorRoot, staging.errorString()));
    const UniqueFd stagingFd(
        ::open(QFile::encodeName(staging.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (stagingFd.get() < 0 || ::flock(stagingFd.get(), LOCK_EX | LOCK_NB) != 0)
        return fail(QStringLiteral("Cannot lock %1: %2")
                        .arg(staging.path(), QString::fromLocal8Bit(std::strerror(errno))));
    ::flock(rootFd.get(), LOCK_UN);

    m_entries.clear();
    m_patchListValue.clear();
    std::vector<FileJob> jobs(size_t(files.size()));
    qint64 totalBytes = 0;
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (!planFile(files[i], jobs[size_t(i)]))
            return false;
        totalBytes += jobs[size_t(i)].plainSize;
    }
    {
        Progress progress(m_options.showProgress, int(jobs.size()), totalBytes);
        // On the process's pool, one thread per core; only this run's jobs
        // are waited for.
        QSemaphore done;
        for (FileJob &job : jobs)
            QThreadPool::globalInstance()->start([this, &job, &staging, &progress, &done] {
                runJob(job, staging.path(), progress);
                done.release();
            });
        done.acquire(int(jobs.size()));
    }
    for (const FileJob &job : jobs) {
        if (!job.error.isEmpty())
            return fail(job.error);
        m_entries.insert(job.key, job.value);
    }
    if (!writePatchList(staging.filePath(ProductIni::patchListName(m_options.clientType)), jobs))
        return false;

    const QString iniPath = staging.filePath(ProductIni::iniName(m_options.clientType));
    if (!writeProductIni(iniPath, deletes))
        return false;

    try {
        sign_file(key.get(), QFile::encodeName(iniPath).constData());
    } catch (const crypt_exception &e) {
        return fail(
            QStringLiteral("Cannot sign %1: %2").arg(iniPath, QString::fromLocal8Bit(e.what())));
    }

    const QString changelog = staging.filePath(ProductIni::ChangelogName);
    if (m_options.changelogPath.isEmpty()) {
        QFile empty(changelog);
        if (!empty.open(QIODevice::WriteOnly))
            return fail(fileError(QStringLiteral("Cannot write"), empty));
    } else {
        QString md5;
        qint64 size = 0;
        const QString error = storeFile(m_options.changelogPath, changelog, md5, size);
        if (!error.isEmpty())
            return fail(error);
    }

    // QTemporaryDir makes the directory private to its owner; mirrors serve it
    // as another user.
    QFile::setPermissions(staging.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                              | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    if (QFileInfo::exists(target) || !QDir().rename(staging.path(), target))
        return fail(QStringLiteral("Cannot rename %1 to %2").arg(staging.path(), target));
    staging.setAutoRemove(false);
    m_releaseDir = target;
    summarize(jobs, deletes.size(), earlier.versions(), leftovers);
    return true;
}

void ReleasePublisher::summarize(const std::vector<FileJob> &jobs, qsizetype deletes,
                                 const QStringList &earlierVersions, const QStringList &leftovers)
{
    qint64 plainBytes = 0;
    qint64 storedBytes = 0;
    int compressed = 0;
    struct PatchTotals
    {
        int files = 0;
        qint64 wholeBytes = 0;
        qint64 patchBytes = 0;
    };
    std::vector<PatchTotals> patches(size_t(m_options.patchFromDirs.size()));
    for (const FileJob &job : jobs) {
        plainBytes += job.plainSize;
        storedBytes += job.storedSize;
        compressed += job.gzipped ? 1 : 0;
        for (const FileJob::Patch &patch : job.patches) {
            PatchTotals &totals = patches[size_t(patch.from)];
            ++totals.files;
            totals.wholeBytes += job.storedSize;
            totals.patchBytes += patch.size;
        }
    }
    const auto files = [](qsizetype count) {
        return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
    };
    m_summary.clear();
    QString line = QStringLiteral("version %1: %2, %3")
                       .arg(m_options.version, files(qsizetype(jobs.size())), sizeText(plainBytes));
    if (compressed > 0)
        line += QStringLiteral(", %1 compressed: %2 on the mirror")
                    .arg(files(compressed), sizeText(storedBytes));
    m_summary.append(line);
    // What each glob took, since a glob that takes too few files fails nothing.
    QStringList globs;
    for (qsizetype i = 0; i < m_gzipMatches.size(); ++i)
        globs.append(
            QStringLiteral("'%1' %2").arg(m_options.gzipGlobs[i], files(m_gzipMatches[i])));
    if (!globs.isEmpty())
        m_summary.append(QStringLiteral("--gzip: %1").arg(globs.join(QStringLiteral(", "))));
    QStringList sources;
    if (!earlierVersions.isEmpty())
        sources.append(QStringLiteral("releases %1 below %2")
                           .arg(earlierVersions.join(QStringLiteral(", ")), m_options.mirrorRoot));
    for (const QString &dir : m_options.previousDirs)
        sources.append(dir);
    m_summary.append(QStringLiteral("delete list: %1 that earlier versions had%2")
                         .arg(files(deletes),
                              sources.isEmpty() ? QStringLiteral(" (none found)")
                                                : QStringLiteral(" (%1)").arg(
                                                    sources.join(QStringLiteral("; ")))));
    for (qsizetype i = 0; i < m_options.patchFromDirs.size(); ++i) {
        const PatchTotals &totals = patches[size_t(i)];
        m_summary.append(QStringLiteral("patches from %1: %2, %3 instead of %4, saving %5")
                             .arg(m_options.patchFromDirs[i], files(totals.files),
                                  sizeText(totals.patchBytes), sizeText(totals.wholeBytes),
                                  sizeText(totals.wholeBytes - totals.patchBytes)));
    }
    for (const QString &name : leftovers)
        m_summary.append(QStringLiteral("removed %1, left by a run that did not finish").arg(name));
}

bool ReleasePublisher::isDevelopmentKey(RsaKey &key)
{
    try {
        const std::vector<unsigned char> der = export_key(key.get(), PK_PUBLIC);
        const QByteArray hash = QCryptographicHash::hash(
            QByteArrayView(der.data(), qsizetype(der.size())), QCryptographicHash::Sha256);
        return hash.toHex() == QByteArrayLiteral(MORVANE_DEV_PUBLIC_KEY_SHA256);
    } catch (const crypt_exception &) {
        return false;
    }
}

QString ReleasePublisher::developmentKeyWarning(const QString &keyPath)
{
    return QStringLiteral("warning: %1 is the development key, whose private half is public: "
                          "only updaters that trust it accept this, and they accept what "
                          "anyone signs; make your own with mrvpublish keygen")
        .arg(keyPath);
}

bool ReleasePublisher::planFile(const QString &relativePath, FileJob &job)
{
    const QString source = QDir(m_options.clientDir).filePath(relativePath);
    const QFileInfo info(source);
    if (!info.isFile())
        return fail(QStringLiteral("Cannot read file %1: %2")
                        .arg(source,
                             info.exists() ? QStringLiteral("not a regular file")
                                           : QStringLiteral("no such file")));
    job.relativePath = relativePath;
    job.gzipped = isGzipped(relativePath);
    job.key = job.gzipped ? relativePath + QStringLiteral(".gz") : relativePath;
    job.plainSize = info.size();
    if (m_entries.contains(job.key))
        return fail(QStringLiteral("Two files would be stored as %1").arg(job.key));
    m_entries.insert(job.key, QString());
    return true;
}

void ReleasePublisher::runJob(FileJob &job, const QString &stagingDir, Progress &progress) const
{
    const QString source = QDir(m_options.clientDir).filePath(job.relativePath);
    const QString target
        = stagingDir + QLatin1Char('/') + ProductIni::FilesSection + QLatin1Char('/') + job.key;
    QString md5;
    qint64 size = 0;
    QString plainMd5;
    if (job.gzipped) {
        qint64 plainSize = 0;
        job.error = storeGzipped(source, target, md5, size, plainMd5, plainSize);
        job.storedSize = size;
        job.value
            = FileLine::unpacked(md5, size, plainMd5, quint64(plainSize), job.relativePath).text();
    } else {
        job.error = storeFile(source, target, md5, size);
        job.storedSize = size;
        plainMd5 = md5;
        job.value = FileLine::stored(md5, size).text();
    }

    // A patch turns the installed (unpacked) file into the new one; it is kept
    // when it is less than half of what a player would fetch otherwise.
    PatchMaker maker;
    for (int from = 0; from < m_options.patchFromDirs.size(); ++from) {
        const QString &dir = m_options.patchFromDirs[from];
        if (!job.error.isEmpty())
            break;
        const QString old = QDir(dir).filePath(job.relativePath);
        if (!QFileInfo(old).isFile())
            continue;
        const QString oldMd5 = md5OfFile(old);
        if (oldMd5.isEmpty()) {
            job.error = QStringLiteral("Cannot read file %1").arg(old);
            break;
        }
        bool known = oldMd5 == plainMd5;
        for (const FileJob::Patch &patch : std::as_const(job.patches))
            known = known || patch.oldMd5 == oldMd5;
        if (known)
            continue;
        const QString patchPath
            = stagingDir + QLatin1Char('/') + ProductIni::patchPath(job.key, oldMd5);
        switch (maker.make(old, source, patchPath, (size + 1) / 2)) {
        case PatchMaker::Made:
            job.patches.append({oldMd5, maker.md5, maker.size, from});
            break;
        case PatchMaker::NotWorthIt:
            break;
        case PatchMaker::Failed:
            job.error = maker.error;
            break;
        }
    }
    progress.fileDone(job.plainSize);
}

bool ReleasePublisher::writePatchList(const QString &path, const std::vector<FileJob> &jobs)
{
    // One section per key, one "<old md5>=<patch md5>::<patch size>" line
    // per installed version it patches; written by hand, so that a key is
    // the section name exactly as it stands in the product ini.
    QByteArray text;
    for (const FileJob &job : jobs) {
        if (job.patches.isEmpty())
            continue;
        text += PatchListLine::sectionText(job.key);
        for (const FileJob::Patch &patch : job.patches)
            text += PatchListLine::text(patch.oldMd5, patch.md5, patch.size);
    }
    if (text.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(text) != text.size()
        || !file.flush())
        return fail(fileError(QStringLiteral("Cannot write"), file));
    m_patchListValue = ProductIni::patchListValue(
        QFileInfo(path).fileName(),
        QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex()),
        text.size());
    return true;
}

bool ReleasePublisher::writeProductIni(const QString &path, const QStringList &deletes)
{
    {
        QSettings ini(path, QSettings::IniFormat);
        // [General], which lists no files: signed with the rest, it binds the
        // list to this version and client type.
        ini.setValue(ProductIni::VersionKey, m_options.version);
        ini.setValue(ProductIni::TypeKey, m_options.clientType);
        if (!m_patchListValue.isEmpty())
            ini.setValue(ProductIni::PatchListKey, m_patchListValue);
        ini.beginGroup(ProductIni::FilesSection);
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.endGroup();
        ini.beginGroup(ProductIni::DeleteSection);
        for (const QString &file : deletes)
            ini.setValue(file, QString(QLatin1String("")));
        ini.endGroup();
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return fail(QStringLiteral("Cannot write product ini %1").arg(path));
    }

    // Read it back the way the updater does (per section, allKeys()), so that a
    // name the INI format cannot carry is an error here and not on the clients.
    QSettings ini(path, QSettings::IniFormat);
    if (ini.value(ProductIni::VersionKey).toString() != m_options.version
        || ini.value(ProductIni::TypeKey).toString() != m_options.clientType
        || ini.value(ProductIni::PatchListKey).toString() != m_patchListValue)
        return fail(QStringLiteral("Client type %1 cannot be named in the product ini")
                        .arg(m_options.clientType));
    ini.beginGroup(ProductIni::FilesSection);
    const QStringList keys = ini.allKeys();
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!keys.contains(it.key()) || ini.value(it.key()).toString() != it.value())
            return fail(
                QStringLiteral("File name %1 cannot be listed in the product ini").arg(it.key()));
    }
    if (keys.size() != m_entries.size())
        return fail(QStringLiteral("The product ini does not read back as written"));
    ini.endGroup();
    ini.beginGroup(ProductIni::DeleteSection);
    const QStringList deleteKeys = ini.allKeys();
    for (const QString &file : deletes) {
        if (!deleteKeys.contains(file))
            return fail(
                QStringLiteral("File name %1 cannot be listed in the product ini").arg(file));
    }
    return true;
}
