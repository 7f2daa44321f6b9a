#include "releasepublisher.h"

#include "fileops/tomcryptutil.h"

#include <zlib.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

const QString ReleasePublisher::FILES_SECTION = QStringLiteral("files");
const QString ReleasePublisher::DELETE_SECTION = QStringLiteral("delete");
const QString ReleasePublisher::CHANGELOG_NAME = QStringLiteral("changelog_client.txt");
const QString ReleasePublisher::VERSION_KEY = QStringLiteral("version");
const QString ReleasePublisher::TYPE_KEY = QStringLiteral("type");

namespace {

constexpr qint64 CHUNK_SIZE = 1024 * 1024;

struct RsaKeyHolder
{
    rsa_key key;
    bool loaded = false;
    ~RsaKeyHolder()
    {
        if (loaded)
            rsa_free(&key);
    }
};

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

// The first path below dir, printable, whose name is not valid UTF-8 or holds
// a control character, with what is wrong with it; empty if there is none.
// Read with readdir(): Qt's listing leaves out names that are not UTF-8
// without a word.
QString findUnlistableName(const QByteArray &dir, const QByteArray &below = QByteArray())
{
    const QByteArray here = dir + '/' + below;
    const std::unique_ptr<DIR, int (*)(DIR *)> handle(::opendir(here.constData()), ::closedir);
    if (!handle)
        return QString(); // the listing reports what it cannot read
    while (const dirent *entry = ::readdir(handle.get())) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = below + name;
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8(name);
        if (utf8.hasError())
            return QStringLiteral("%1 is not valid UTF-8").arg(printableName(path));
        for (const QChar c : decoded) {
            if (c.category() == QChar::Other_Control)
                return QStringLiteral("%1 holds a control character").arg(printableName(path));
        }
        struct stat info;
        if (::lstat((here + name).constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
            const QString found = findUnlistableName(dir, path + '/');
            if (!found.isEmpty())
                return found;
        }
    }
    return QString();
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

QStringList ReleasePublisher::listFiles(const QString &dir)
{
    QStringList files;
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    const QDir base(absolute);
    QDirIterator it(absolute, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(base.relativeFilePath(it.next()));
    files.sort();
    return files;
}

bool ReleasePublisher::checkOptions()
{
    const Options &o = m_options;
    if (o.clientType.isEmpty() || o.clientType.contains(QLatin1Char('/')))
        return fail(QStringLiteral("Invalid client type '%1'").arg(o.clientType));
    // The updater asks for the version's directory by its number in decimal,
    // so "007" or "+7" would name a directory nobody fetches.
    bool numeric = false;
    const uint number = o.version.toUInt(&numeric);
    if (!numeric || QString::number(number) != o.version)
        return fail(
            QStringLiteral("Invalid version '%1': a non-negative number is needed").arg(o.version));
    if (!QFileInfo(o.clientDir).isDir())
        return fail(QStringLiteral("Client directory %1 does not exist").arg(o.clientDir));
    if (!o.previousDir.isEmpty() && !QFileInfo(o.previousDir).isDir())
        return fail(
            QStringLiteral("Previous client directory %1 does not exist").arg(o.previousDir));
    if (!o.changelogPath.isEmpty() && !QFileInfo(o.changelogPath).isFile())
        return fail(QStringLiteral("Cannot read change log %1: no such file").arg(o.changelogPath));
    // The updater refuses to fetch or delete such names.
    for (const QString &dir : {o.clientDir, o.previousDir}) {
        const QString found
            = dir.isEmpty() ? QString() : findUnlistableName(QFile::encodeName(dir));
        if (!found.isEmpty())
            return fail(QStringLiteral("File name %1/%2").arg(QDir::cleanPath(dir), found));
    }
    return true;
}

bool ReleasePublisher::isGzipped(const QString &relativePath) const
{
    const QString fileName = QFileInfo(relativePath).fileName();
    for (const QString &glob : m_options.gzipGlobs) {
        const QRegularExpression pattern
            = QRegularExpression::fromWildcard(glob, Qt::CaseSensitive);
        // A glob with a "/" names paths, one without names file names.
        const QString &subject = glob.contains(QLatin1Char('/')) ? relativePath : fileName;
        if (pattern.match(subject).hasMatch())
            return true;
    }
    return false;
}

bool ReleasePublisher::build()
{
    if (!checkOptions())
        return false;

    RsaKeyHolder key;
    try {
        load_key(&key.key, QFile::encodeName(m_options.keyPath).constData());
        key.loaded = true;
    } catch (const crypt_exception &e) {
        return fail(QStringLiteral("Bad key %1: %2")
                        .arg(m_options.keyPath, QString::fromLocal8Bit(e.what())));
    }
    if (key.key.type != PK_PRIVATE)
        return fail(QStringLiteral("Bad key %1: not a private key").arg(m_options.keyPath));

    if (!QDir().mkpath(m_options.mirrorRoot))
        return fail(QStringLiteral("Cannot create mirror root %1").arg(m_options.mirrorRoot));
    const QDir root(m_options.mirrorRoot);
    const QString target = root.absoluteFilePath(m_options.version);
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        return fail(QStringLiteral("Version directory %1 already exists").arg(target));

    const QStringList files = listFiles(m_options.clientDir);
    if (files.isEmpty())
        return fail(QStringLiteral("No files in client directory %1").arg(m_options.clientDir));

    QTemporaryDir staging(
        root.absoluteFilePath(QStringLiteral(".%1.partial-XXXXXX").arg(m_options.version)));
    if (!staging.isValid())
        return fail(QStringLiteral("Cannot create a directory in %1: %2")
                        .arg(m_options.mirrorRoot, staging.errorString()));

    m_entries.clear();
    for (const QString &file : files) {
        if (!addFile(staging.path(), file))
            return false;
    }

    QStringList deletes;
    if (!m_options.previousDir.isEmpty()) {
        const QSet<QString> current(files.cbegin(), files.cend());
        for (const QString &old : listFiles(m_options.previousDir)) {
            if (!current.contains(old))
                deletes.append(old);
        }
    }

    const QString iniPath = staging.filePath(m_options.clientType + QStringLiteral(".ini"));
    if (!writeProductIni(iniPath, deletes))
        return false;

    try {
        const QByteArray iniName = QFile::encodeName(iniPath);
        const std::vector<unsigned char> content = read_file(iniName.constData());
        unsigned char signature[KEY_BUFFER_SIZE];
        unsigned long signatureLength = sizeof signature;
        sign_msg(&key.key, content.data(), content.size(), signature, &signatureLength);
        write_file((iniName + ".sig").constData(), signature, signatureLength);
    } catch (const crypt_exception &e) {
        return fail(
            QStringLiteral("Cannot sign %1: %2").arg(iniPath, QString::fromLocal8Bit(e.what())));
    }

    const QString changelog = staging.filePath(CHANGELOG_NAME);
    if (m_options.changelogPath.isEmpty()) {
        QFile empty(changelog);
        if (!empty.open(QIODevice::WriteOnly))
            return fail(fileError(QStringLiteral("Cannot write"), empty));
    } else {
        QString md5;
        qint64 size = 0;
        if (!storeFile(m_options.changelogPath, changelog, md5, size))
            return false;
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
    return true;
}

bool ReleasePublisher::addFile(const QString &stagingDir, const QString &relativePath)
{
    const QString source = QDir(m_options.clientDir).filePath(relativePath);
    const QFileInfo info(source);
    if (!info.isFile())
        return fail(QStringLiteral("Cannot read file %1: %2")
                        .arg(source,
                             info.exists() ? QStringLiteral("not a regular file")
                                           : QStringLiteral("dangling symbolic link")));

    const bool gzipped = isGzipped(relativePath);
    const QString key = gzipped ? relativePath + QStringLiteral(".gz") : relativePath;
    if (m_entries.contains(key))
        return fail(QStringLiteral("Two files would be stored as %1").arg(key));
    const QString target = stagingDir + QLatin1Char('/') + FILES_SECTION + QLatin1Char('/') + key;

    QString value;
    QString md5;
    qint64 size = 0;
    if (gzipped) {
        QString plainMd5;
        qint64 plainSize = 0;
        if (!storeGzipped(source, target, md5, size, plainMd5, plainSize))
            return false;
        value = QStringList {md5, QString::number(size), plainMd5, QString::number(plainSize),
                             relativePath}
                    .join(QStringLiteral("::"));
    } else {
        if (!storeFile(source, target, md5, size))
            return false;
        value = md5 + QStringLiteral("::") + QString::number(size);
    }
    m_entries.insert(key, value);
    return true;
}

bool ReleasePublisher::storeFile(const QString &source, const QString &target, QString &md5,
                                 qint64 &size)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(fileError(QStringLiteral("Cannot read file"), in));
    QFile out(target);
    if (!makeParentDir(target) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(fileError(QStringLiteral("Cannot write file"), out));

    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(CHUNK_SIZE, Qt::Uninitialized);
    size = 0;
    for (;;) {
        const qint64 count = in.read(chunk.data(), chunk.size());
        if (count < 0)
            return fail(fileError(QStringLiteral("Cannot read file"), in));
        if (count == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), count));
        if (out.write(chunk.constData(), count) != count)
            return fail(fileError(QStringLiteral("Cannot write file"), out));
        size += count;
    }
    if (!out.flush())
        return fail(fileError(QStringLiteral("Cannot write file"), out));
    md5 = QString::fromLatin1(hash.result().toHex());
    return true;
}

bool ReleasePublisher::storeGzipped(const QString &source, const QString &target, QString &md5,
                                    qint64 &size, QString &plainMd5, qint64 &plainSize)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(fileError(QStringLiteral("Cannot read file"), in));
    if (!makeParentDir(target) || QFileInfo::exists(target))
        return fail(QStringLiteral("Cannot write file %1").arg(target));

    const QString writeError = QStringLiteral("Cannot write file %1").arg(target);
    struct GzCloser
    {
        void operator()(gzFile_s *file) const { gzclose(file); }
    };
    std::unique_ptr<gzFile_s, GzCloser> gz(gzopen(QFile::encodeName(target).constData(), "wb"));
    if (!gz)
        return fail(writeError);

    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(CHUNK_SIZE, Qt::Uninitialized);
    plainSize = 0;
    for (;;) {
        const qint64 count = in.read(chunk.data(), chunk.size());
        if (count < 0)
            return fail(fileError(QStringLiteral("Cannot read file"), in));
        if (count == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), count));
        if (gzwrite(gz.get(), chunk.constData(), unsigned(count)) != count)
            return fail(writeError);
        plainSize += count;
    }
    if (gzclose(gz.release()) != Z_OK)
        return fail(writeError);
    plainMd5 = QString::fromLatin1(hash.result().toHex());

    // The stored form's own sum and size.
    QFile stored(target);
    QCryptographicHash storedHash(QCryptographicHash::Md5);
    if (!stored.open(QIODevice::ReadOnly) || !storedHash.addData(&stored))
        return fail(fileError(QStringLiteral("Cannot read file"), stored));
    md5 = QString::fromLatin1(storedHash.result().toHex());
    size = stored.size();
    return true;
}

bool ReleasePublisher::writeProductIni(const QString &path, const QStringList &deletes)
{
    {
        QSettings ini(path, QSettings::IniFormat);
        // [General], which lists no files: signed with the rest, it binds the
        // list to this version and client type.
        ini.setValue(VERSION_KEY, m_options.version);
        ini.setValue(TYPE_KEY, m_options.clientType);
        ini.beginGroup(FILES_SECTION);
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.endGroup();
        ini.beginGroup(DELETE_SECTION);
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
    if (ini.value(VERSION_KEY).toString() != m_options.version
        || ini.value(TYPE_KEY).toString() != m_options.clientType)
        return fail(QStringLiteral("Client type %1 cannot be named in the product ini")
                        .arg(m_options.clientType));
    ini.beginGroup(FILES_SECTION);
    const QStringList keys = ini.allKeys();
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (!keys.contains(it.key()) || ini.value(it.key()).toString() != it.value())
            return fail(
                QStringLiteral("File name %1 cannot be listed in the product ini").arg(it.key()));
    }
    if (keys.size() != m_entries.size())
        return fail(QStringLiteral("The product ini does not read back as written"));
    ini.endGroup();
    ini.beginGroup(DELETE_SECTION);
    const QStringList deleteKeys = ini.allKeys();
    for (const QString &file : deletes) {
        if (!deleteKeys.contains(file))
            return fail(
                QStringLiteral("File name %1 cannot be listed in the product ini").arg(file));
    }
    return true;
}
