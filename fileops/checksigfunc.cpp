#include "fileops/checksigfunc.h"

#include "digest/filedigestcache.h"
#include "fileops/publickey.h"
#include "fileops/tomcryptutil.h"
#include "formats/productini.h"
#include "sys/regularfile.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

constexpr qint64 md5ChunkSize = 256 * 1024;

} // namespace

CheckSigFunc::CheckSigFunc(const QString &filePath, const QString &md5)
    : filePath(filePath)
    , md5(md5)
{ }

bool CheckSigFunc::run()
{
    if (!md5.isEmpty())
        return checkMD5();
    return checkRSA();
}

bool CheckSigFunc::readFile(const QString &path, QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    bytes.resize(size);
    if (file.read(bytes.data(), size) != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::checkMD5()
{
    const QByteArray digest = fileDigest();
    if (digest.isEmpty())
        return false;
    if (digestMatches(digest, md5))
        return true;
    emit md5Mismatch(QString::fromLatin1(digest.toHex()));
    return false;
}

bool CheckSigFunc::digestMatches(const QByteArray &digest, const QString &md5)
{
    return !digest.isEmpty()
        && QString::fromLatin1(digest.toHex()).compare(md5, Qt::CaseInsensitive) == 0;
}

QByteArray CheckSigFunc::fileDigest()
{
    // A file this process has just written was hashed as it was written.
    const QByteArray known = FileDigestCache::lookup(filePath);
    if (!known.isEmpty()) {
        // A record serves once.
        FileDigestCache::forget(filePath);
        return known;
    }

    QFile file;
    if (!RegularFile::open(file, filePath)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(filePath));
        return QByteArray();
    }
    // Exactly the size seen at opening is hashed; a file that ends early or
    // fails to read is reported like a short read of the whole file.
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(int(qMin(size, md5ChunkSize)), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 count = file.read(chunk.data(), qMin(size - done, md5ChunkSize));
        if (count <= 0) {
            emit message(QStringLiteral("could not read file %1 correctly").arg(filePath));
            return QByteArray();
        }
        hash.addData(QByteArrayView(chunk.constData(), count));
        done += count;
    }
    return hash.result();
}

bool CheckSigFunc::checkRSA()
{
    QByteArray content;
    if (!readFile(filePath, content))
        return false;
    QByteArray signature;
    if (!readFile(ProductIni::signatureName(filePath), signature))
        return false;

    RsaKey key;
    try {
        key.load(PUBLIC_KEY, PUBLIC_KEY_SIZE);
    } catch (const crypt_exception &) {
        return false;
    }
    try {
        return verify_msg(key.get(), reinterpret_cast<const unsigned char *>(content.constData()),
                          content.size(), reinterpret_cast<unsigned char *>(signature.data()),
                          signature.size());
    } catch (const crypt_exception &) {
        // A malformed signature; the task reports the failed check.
        return false;
    }
}
