#include "mirrorverifier.h"

#include "fileops/tomcryptutil.h"
#include "formats/fileline.h"
#include "formats/patchlistline.h"
#include "formats/productini.h"
#include "net/networkaccessmanager.h"
#include "net/replyholder.h"
#include "net/urltext.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// Faults listed per mirror; the rest are counted.
constexpr int maxListedFaults = 20;

// The total of a "Content-Range: bytes a-b/total" header; -1 if none.
qint64 rangeTotal(const QByteArray &header)
{
    const qsizetype slash = header.lastIndexOf('/');
    bool ok = false;
    const qint64 total = slash < 0 ? -1 : header.mid(slash + 1).trimmed().toLongLong(&ok);
    return ok ? total : -1;
}

} // namespace

struct MirrorVerifier::Transfer
{
    explicit Transfer(QObject *owner)
        : reply(owner)
    { }

    Item item;
    ReplyHolder reply;
    bool ranged = false; // asked for the last byte only
    bool tooLarge = false;
    qint64 received = 0;
    QCryptographicHash hash {QCryptographicHash::Md5};
    QByteArray bytes; // for the product ini, signature and patch list
    QElapsedTimer quiet; // since the last byte, or the request

    // The bytes this transfer should bring; -1 when nothing says.
    qint64 expected() const
    {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (ranged && status != 200)
            return 1;
        if (item.size >= 0)
            return item.size;
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        return length.isValid() ? length.toLongLong() : -1;
    }
};

MirrorVerifier::MirrorVerifier(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_manager(new NetworkAccessManager(this))
{
    for (QString url : options.mirrors) {
        while (url.endsWith(QLatin1Char('/')))
            url.chop(1);
        Mirror mirror;
        mirror.url = url;
        mirror.shown = UrlText::withoutUserInfo(url);
        m_mirrors.append(mirror);
    }
}

MirrorVerifier::~MirrorVerifier()
{
    for (Transfer *transfer : std::as_const(m_running)) {
        transfer->reply.abort();
        delete transfer;
    }
}

bool MirrorVerifier::run()
{
    for (int i = 0; i < m_mirrors.size(); ++i) {
        const QString ini = ProductIni::iniName(m_options.clientType);
        m_queue.push_back({i, Kind::ProductIni, ini, QString(), -1, ProductIni::MaxSize});
        m_queue.push_back({i, Kind::Signature, ProductIni::signatureName(ini), QString(), -1,
                           ProductIni::MaxSignatureSize});
    }
    QEventLoop loop;
    m_loop = &loop;
    // A transfer is looked at a few times per idle time-out, and at least
    // once a second.
    QTimer idleCheck;
    idleCheck.setInterval(qBound(10, m_options.idleTimeoutMs / 4, 1000));
    connect(&idleCheck, &QTimer::timeout, this, &MirrorVerifier::checkIdle);
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer); // a coarse one may end the check early
    connect(&deadline, &QTimer::timeout, this, &MirrorVerifier::onDeadline);
    startNext();
    if (!m_running.isEmpty()) {
        idleCheck.start();
        if (!m_options.deadline.isForever())
            deadline.start(
                int(qBound<qint64>(0, m_options.deadline.remainingTime(), qint64(INT_MAX))));
        loop.exec();
    }
    m_loop = nullptr;
    if (m_progressDrawn)
        std::fputs("\n", stderr);
    for (const Mirror &mirror : std::as_const(m_mirrors)) {
        if (mirror.faultCount > 0)
            return false;
    }
    return true;
}

QStringList MirrorVerifier::report() const
{
    QStringList lines;
    for (const Mirror &mirror : m_mirrors) {
        if (mirror.faultCount == 0) {
            lines.append(QStringLiteral("%1: complete, %2 files and %3 patches")
                             .arg(mirror.shown)
                             .arg(mirror.files)
                             .arg(mirror.patches));
            continue;
        }
        lines.append(QStringLiteral("%1: %2 faults").arg(mirror.shown).arg(mirror.faultCount));
        for (const QString &fault : mirror.faults)
            lines.append(QStringLiteral("    ") + fault);
        if (mirror.faultCount > mirror.faults.size())
            lines.append(
                QStringLiteral("    and %1 more").arg(mirror.faultCount - mirror.faults.size()));
        if (mirror.givenUp)
            lines.append(QStringLiteral("    checked %1 of the %2 transfers known, the rest not")
                             .arg(mirror.checked)
                             .arg(mirror.total));
    }
    return lines;
}

void MirrorVerifier::fault(int mirror, const QString &path, const QString &text)
{
    Mirror &m = m_mirrors[mirror];
    if (++m.faultCount <= maxListedFaults)
        m.faults.append(QStringLiteral("%1/%2: %3").arg(m_options.version, path, text));
}

void MirrorVerifier::checkIdle()
{
    for (;;) {
        const auto idle = std::find_if(m_running.cbegin(), m_running.cend(), [this](Transfer *t) {
            return t->quiet.hasExpired(m_options.idleTimeoutMs);
        });
        if (idle == m_running.cend())
            break;
        giveUp(*idle);
    }
    next();
}

void MirrorVerifier::onDeadline()
{
    m_timedOut = true;
    while (!m_running.isEmpty())
        giveUp(m_running.constFirst());
    // Mirrors whose turn had not come yet.
    while (!m_queue.empty()) {
        const Item item = m_queue.front();
        fault(item.mirror, item.path, QStringLiteral("not checked before the time-out"));
        m_mirrors[item.mirror].givenUp = true;
        m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                     [&item](const Item &i) { return i.mirror == item.mirror; }),
                      m_queue.end());
    }
    if (m_loop)
        m_loop->quit();
}

void MirrorVerifier::giveUp(Transfer *transfer)
{
    // Every transfer to a mirror that stalls would wait out the idle time-out
    // too, holding a place that the other mirrors need; players would meet
    // the same stall.
    const int index = transfer->item.mirror;
    Mirror &mirror = m_mirrors[index];
    const qint64 expected = transfer->expected();
    const QString text
        = QStringLiteral("stalled after %1 bytes of %2")
              .arg(transfer->received)
              .arg(expected >= 0 ? QString::number(expected) : QStringLiteral("unknown"));
    std::fprintf(stderr, "%smirror %s: %s\n", m_progressDrawn ? "\r\033[K" : "",
                 qPrintable(mirror.shown), qPrintable(text));
    m_progressDrawn = false;
    fault(index, transfer->item.path, text);
    mirror.givenUp = true;
    const QList<Transfer *> running = m_running;
    for (Transfer *other : running) {
        if (other->item.mirror != index)
            continue;
        m_running.removeOne(other);
        other->reply.abort();
        delete other;
    }
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                 [index](const Item &item) { return item.mirror == index; }),
                  m_queue.end());
}

void MirrorVerifier::next()
{
    startNext();
    if (m_running.isEmpty() && m_queue.empty() && m_loop)
        m_loop->quit();
}

void MirrorVerifier::startNext()
{
    while (!m_queue.empty() && m_running.size() < m_options.transfers) {
        auto *transfer = new Transfer(this);
        transfer->item = m_queue.front();
        m_queue.pop_front();
        const Item &item = transfer->item;
        const Mirror &mirror = m_mirrors[item.mirror];
        QNetworkRequest request(
            QUrl(mirror.url + QLatin1Char('/') + m_options.version + QLatin1Char('/') + item.path));
        // The last byte shows that a file is there and how large it is.
        transfer->ranged = item.kind == Kind::File && !m_options.full && item.size > 0;
        if (transfer->ranged)
            request.setRawHeader("Range", "bytes=" + QByteArray::number(item.size - 1) + '-');
        transfer->reply.reset(m_manager->get(request));
        transfer->reply->setReadBufferSize(1024 * 1024);
        transfer->quiet.start();
        m_running.append(transfer);
        connect(transfer->reply.get(), &QNetworkReply::metaDataChanged, this,
                [transfer] { transfer->quiet.start(); });
        connect(transfer->reply.get(), &QNetworkReply::readyRead, this, [this, transfer] {
            transfer->quiet.start();
            onReadyRead(transfer);
        });
        connect(transfer->reply.get(), &QNetworkReply::finished, this,
                [this, transfer] { onFinished(transfer); });
    }
}

void MirrorVerifier::onReadyRead(Transfer *transfer)
{
    const Item &item = transfer->item;
    const qint64 limit = item.size >= 0 ? item.size : item.limit;
    // The body of an error status is the server's page, not the file.
    const int status = transfer->reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    while (transfer->reply->bytesAvailable() > 0) {
        const QByteArray chunk = transfer->reply->read(256 * 1024);
        if (chunk.isEmpty())
            break;
        if (status >= 300)
            continue;
        transfer->received += chunk.size();
        if (transfer->received > limit) {
            // Never more than the listed size, nor beyond what the updater reads.
            transfer->tooLarge = true;
            transfer->reply->abort();
            return;
        }
        transfer->hash.addData(chunk);
        if (item.kind != Kind::File)
            transfer->bytes += chunk;
    }
}

void MirrorVerifier::onFinished(Transfer *transfer)
{
    QNetworkReply *reply = transfer->reply.get();
    reply->disconnect(this);
    if (!transfer->tooLarge)
        onReadyRead(transfer);
    m_running.removeOne(transfer);
    const std::unique_ptr<Transfer> done(transfer);
    const Item &item = transfer->item;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    ++m_mirrors[item.mirror].checked;

    if (transfer->tooLarge) {
        fault(item.mirror, item.path,
              item.size >= 0
                  ? QStringLiteral("larger than the listed %1 bytes").arg(item.size)
                  : QStringLiteral("larger than the %1 bytes the updater accepts").arg(item.limit));
    } else if (status == 416 && transfer->ranged) {
        fault(item.mirror, item.path,
              QStringLiteral("shorter than the listed %1 bytes").arg(item.size));
    } else if (reply->error() != QNetworkReply::NoError
               || (status != 0 && status != 200 && status != 206)) {
        fault(item.mirror, item.path,
              status == 404 ? QStringLiteral("missing (HTTP 404)")
                  : status != 0
                  ? QStringLiteral("HTTP status %1").arg(status)
                  : QStringLiteral("cannot be fetched: %1").arg(reply->errorString()));
    } else if (item.kind != Kind::File) {
        fetched(item, transfer->bytes);
    } else if (transfer->ranged && status != 200) {
        // 206 with the last byte, or the rest of an FTP file from that byte.
        const qint64 total = status == 206 ? rangeTotal(reply->rawHeader("Content-Range"))
                                           : item.size - 1 + transfer->received;
        if (transfer->received != 1 || total != item.size)
            fault(
                item.mirror, item.path,
                QStringLiteral("%1 bytes, not the listed %2")
                    .arg(total >= 0 ? QString::number(total) : QStringLiteral("another number of"))
                    .arg(item.size));
    } else if (transfer->received != item.size) {
        fault(item.mirror, item.path,
              QStringLiteral("%1 bytes, not the listed %2").arg(transfer->received).arg(item.size));
    } else if (QString::fromLatin1(transfer->hash.result().toHex())
                   .compare(item.md5, Qt::CaseInsensitive)
               != 0) {
        // Known whenever the whole file came, with or without full.
        fault(item.mirror, item.path,
              QStringLiteral("MD5 sum %1, not the listed %2")
                  .arg(QString::fromLatin1(transfer->hash.result().toHex()), item.md5));
    }
    showProgress(item.mirror);
    next();
}

void MirrorVerifier::fetched(const Item &item, const QByteArray &bytes)
{
    Mirror &mirror = m_mirrors[item.mirror];
    switch (item.kind) {
    case Kind::ProductIni:
        mirror.productIni = bytes;
        break;
    case Kind::Signature:
        mirror.signature = bytes;
        break;
    case Kind::PatchList:
        if (bytes.size() != item.size
            || QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex())
                    .compare(item.md5, Qt::CaseInsensitive)
                != 0)
            return fault(item.mirror, item.path,
                         QStringLiteral("not the patch list that the product ini names"));
        checkPatchList(item.mirror, bytes);
        return;
    case Kind::File:
        return;
    }
    if (--mirror.pending == 0)
        checkProductIni(mirror, item.mirror);
}

void MirrorVerifier::checkProductIni(Mirror &mirror, int index)
{
    const QString iniPath = ProductIni::iniName(m_options.clientType);
    try {
        RsaKey key;
        key.load(reinterpret_cast<const unsigned char *>(m_options.publicKey.constData()),
                 static_cast<unsigned long>(m_options.publicKey.size()));
        QByteArray signature = mirror.signature;
        if (!verify_msg(key.get(),
                        reinterpret_cast<const unsigned char *>(mirror.productIni.constData()),
                        static_cast<unsigned long>(mirror.productIni.size()),
                        reinterpret_cast<unsigned char *>(signature.data()),
                        static_cast<unsigned long>(signature.size())))
            return fault(index, iniPath,
                         QStringLiteral("its signature does not verify with the public key"));
    } catch (const crypt_exception &e) {
        return fault(index, iniPath,
                     QStringLiteral("its signature does not verify with the public key (%1)")
                         .arg(QString::fromLocal8Bit(e.what())));
    }
    QTemporaryFile copy;
    if (!copy.open() || copy.write(mirror.productIni) != mirror.productIni.size() || !copy.flush())
        return fault(index, iniPath,
                     QStringLiteral("cannot be kept in the temporary directory: %1")
                         .arg(copy.errorString()));
    QSettings ini(copy.fileName(), QSettings::IniFormat);
    const QString version = ini.value(ProductIni::VersionKey).toString();
    const QString type = ini.value(ProductIni::TypeKey).toString();
    if ((!version.isEmpty() && version != m_options.version)
        || (!type.isEmpty() && type != m_options.clientType))
        return fault(index, iniPath,
                     QStringLiteral("names version %1 of %2, which the updater refuses here")
                         .arg(version, type));
    for (const QString &section : ini.childGroups()) {
        if (section == ProductIni::DeleteSection)
            continue;
        ini.beginGroup(section);
        for (const QString &key : ini.allKeys()) {
            const std::optional<FileLine> line
                = FileLine::read(ProductIni::valueText(ini.value(key)));
            const QString path = section + QLatin1Char('/') + key;
            if (!ProductIni::isPlainRelativePath(section) || !ProductIni::isPlainRelativePath(key)
                || !line || !ProductIni::isMd5Text(line->md5)) {
                fault(index, iniPath,
                      QStringLiteral("lists %1 in a way the updater refuses").arg(path));
                continue;
            }
            m_queue.push_back({index, Kind::File, path, line->md5, line->size, 0});
            ++mirror.files;
            ++mirror.total;
        }
        ini.endGroup();
    }
    QString patchList;
    QString patchListMd5;
    qint64 patchListSize = 0;
    if (ProductIni::readPatchListValue(ProductIni::valueText(ini.value(ProductIni::PatchListKey)),
                                       &patchList, &patchListMd5, &patchListSize)
        && ProductIni::isPlainRelativePath(patchList)) {
        m_queue.push_back({index, Kind::PatchList, patchList, patchListMd5, patchListSize, 0});
        ++mirror.total;
    } else if (ini.contains(ProductIni::PatchListKey)) {
        fault(index, iniPath, QStringLiteral("names its patch list in a way the updater refuses"));
    }
}

void MirrorVerifier::checkPatchList(int index, const QByteArray &bytes)
{
    // Read line by line as the updater reads it; each patch lies at
    // patches/<key>.<installed md5>.zst.
    QString key;
    for (const QByteArray &raw : bytes.split('\n')) {
        const PatchListLine line = PatchListLine::read(raw);
        if (line.kind == PatchListLine::Skipped)
            continue;
        if (line.kind == PatchListLine::Section) {
            key = QString::fromUtf8(line.section);
            continue;
        }
        if (line.kind == PatchListLine::Invalid || !ProductIni::isPlainRelativePath(key)) {
            fault(index, QStringLiteral("patch list"),
                  QStringLiteral("line \"%1\" is not valid").arg(QString::fromUtf8(raw).trimmed()));
            continue;
        }
        m_queue.push_back(
            {index, Kind::File,
             ProductIni::patchPath(key, QString::fromLatin1(line.installedMd5).toLower()),
             QString::fromLatin1(line.patchMd5), line.patchSize, 0});
        ++m_mirrors[index].patches;
        ++m_mirrors[index].total;
    }
}

void MirrorVerifier::showProgress(int lastMirror)
{
    // A mirror's line once all it serves is checked, also when standard error
    // is no terminal: its files and patches are known only from its own
    // product ini and patch list, so its count is complete only then.
    const Mirror &last = m_mirrors[lastMirror];
    if (last.checked == last.total) {
        std::fprintf(stderr, "%s%s: checked %d of %d\n", m_progressDrawn ? "\r\033[K" : "",
                     qPrintable(last.shown), last.checked, last.total);
        m_progressDrawn = false;
    }
    if (!m_options.showProgress || (m_progressShown.isValid() && m_progressShown.elapsed() < 1000))
        return;
    m_progressShown.start();
    int checked = 0;
    int total = 0;
    QStringList perMirror;
    for (int i = 0; i < m_mirrors.size(); ++i) {
        const Mirror &mirror = m_mirrors[i];
        checked += mirror.checked;
        total += mirror.total;
        if (mirror.checked < mirror.total && !mirror.givenUp)
            perMirror.append(
                QStringLiteral("mirror %1: %2 of %3").arg(i + 1).arg(mirror.checked).arg(mirror.total));
    }
    if (perMirror.isEmpty())
        return;
    std::fprintf(stderr, "\r\033[Kchecked %d of %d; %s", checked, total,
                 qPrintable(perMirror.join(QStringLiteral(", "))));
    std::fflush(stderr);
    m_progressDrawn = true;
}
