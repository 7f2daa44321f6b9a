#include "serverconfig.h"

#include "formats/weblink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <QUrl>

#include <algorithm>
#include <iterator>

namespace {

constexpr qint64 MaxFileSize = 64 * 1024;
constexpr qint64 MaxNewsFileSize = 16 * 1024;
constexpr quint32 MaxRate = 1u << 24;
constexpr quint32 MaxBurst = 1u << 24;
constexpr quint32 MinSources = 64;
constexpr quint32 MaxSources = 1u << 20;

const QHash<QString, QStringList> &knownKeys()
{
    static const QHash<QString, QStringList> keys {
        {QStringLiteral("server"),
         {QStringLiteral("address"), QStringLiteral("versionPort"), QStringLiteral("bannerPort")}},
        {QStringLiteral("versions"),
         {QStringLiteral("stable"), QStringLiteral("stableName"), QStringLiteral("beta"),
          QStringLiteral("betaName"), QStringLiteral("alpha"), QStringLiteral("alphaName")}},
        {QStringLiteral("news"), {QStringLiteral("text"), QStringLiteral("file")}},
        {QStringLiteral("banner"), {QStringLiteral("image"), QStringLiteral("click")}},
        {QStringLiteral("rollout"),
         {QStringLiteral("stable"), QStringLiteral("stableName"), QStringLiteral("stablePercent"),
          QStringLiteral("beta"), QStringLiteral("betaName"), QStringLiteral("betaPercent"),
          QStringLiteral("alpha"), QStringLiteral("alphaName"), QStringLiteral("alphaPercent"),
          QStringLiteral("salt")}},
        {QStringLiteral("limits"),
         {QStringLiteral("enabled"), QStringLiteral("rate"), QStringLiteral("burst"),
          QStringLiteral("blockRate"), QStringLiteral("blockBurst"), QStringLiteral("sources")}},
    };
    return keys;
}

// Reads a file of at most limit bytes; a larger one is a fault, found without
// reading more than one byte beyond the limit.
bool readBounded(const QString &path, qint64 limit, QByteArray *bytes, QString *fault)
{
    QFile file(path);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *fault = QStringLiteral("cannot read %1: no such file").arg(path);
        return false;
    }
    if (!info.isFile()) {
        *fault = QStringLiteral("cannot read %1: %2")
                     .arg(path,
                          info.exists() ? QStringLiteral("not a file")
                                        : QStringLiteral("a symbolic link leading nowhere"));
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *fault = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.read(limit + 1);
    if (bytes->size() > limit) {
        *fault = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(limit);
        return false;
    }
    return true;
}

bool isDigits(const QString &text)
{
    return !text.isEmpty()
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
}

// Why a text cannot go into a reply, or a null string: the updater reads
// Latin-1 and stops at a zero byte.
QString textFault(const QString &text, bool lineBreaks)
{
    for (const char32_t c : text.toUcs4()) {
        if (c > 0xff)
            return QStringLiteral("holds U+%1, which is not in Latin-1, the updater's "
                                  "character set")
                .arg(QString::number(uint(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
        const bool lineBreak = c == '\n' || c == '\r' || c == '\t';
        if ((c < 0x20 && !(lineBreaks && lineBreak)) || c == 0x7f)
            return QStringLiteral("holds the control character %1").arg(uint(c));
    }
    return QString();
}

// Checks the file line by line, as QSettings reads it, to know where each
// key stands and to report what QSettings would skip or misread; then takes
// the values from QSettings.
class ConfigReader
{
public:
    ConfigReader(const QString &path, QStringList *errors)
        : m_path(path)
        , m_errors(errors)
    { }

    void scan(const QByteArray &bytes);
    void setSettings(QSettings *settings) { m_settings = settings; }

    void readServer(ServerConfig *config);
    void readVersions(ServerConfig *config);
    void readRollout(ServerConfig *config);
    void readNews(ServerConfig *config);
    void readBanner(ServerConfig *config);
    void readLimits(ServerConfig *config);

private:
    bool has(const QString &key) const { return m_lines.contains(key); }
    QString value(const QString &key);
    void number(const QString &key, quint32 min, quint32 max, quint32 *result);
    void port(const QString &key, quint16 *result);
    int versionNumber(const QString &key);
    QString versionEntry(const QString &numberKey, const QString &nameKey, int *number);
    void share(const QString &key, quint32 *result);
    QByteArray versionList(QStringList entries);
    void lineError(int line, const QString &text);
    void error(const QString &key, const QString &text) { lineError(m_lines.value(key), text); }
    QString url(const QString &key);

    QString m_path;
    QStringList *m_errors;
    QSettings *m_settings = nullptr;
    QHash<QString, int> m_lines; // "section/key" to its line number
    // Of [versions], per channel: the entry, empty without one, and its number.
    QStringList m_entries;
    QList<int> m_numbers;
};

const char *const channels[] = {"stable", "beta", "alpha"};

void ConfigReader::lineError(int line, const QString &text)
{
    m_errors->append(line > 0 ? QStringLiteral("%1:%2: %3").arg(m_path, QString::number(line), text)
                              : QStringLiteral("%1: %2").arg(m_path, text));
}

void ConfigReader::scan(const QByteArray &bytes)
{
    QString section;
    bool continued = false;
    int number = 0;
    for (QByteArray line : bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        // QSettings joins a line that ends with a backslash to the next one.
        if (continued) {
            continued = line.endsWith('\\');
            continue;
        }
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(';'))
            continue;
        if (trimmed.startsWith('#')) {
            lineError(number, QStringLiteral("comments start with ';'"));
            continue;
        }
        if (trimmed.startsWith('[')) {
            section = QString::fromUtf8(trimmed.mid(1, trimmed.size() - 2)).trimmed();
            if (!trimmed.endsWith(']'))
                lineError(number, QStringLiteral("a section name ends with ']'"));
            else if (!knownKeys().contains(section))
                lineError(number, QStringLiteral("unknown section [%1]").arg(section));
            continue;
        }
        const qsizetype equals = trimmed.indexOf('=');
        if (equals < 0) {
            lineError(number, QStringLiteral("neither [section], key=value nor a ';' comment"));
            continue;
        }
        continued = line.endsWith('\\');
        const QString key = QString::fromUtf8(trimmed.left(equals)).trimmed();
        if (section.isEmpty()) {
            lineError(number, QStringLiteral("%1 stands before any [section]").arg(key));
            continue;
        }
        if (!knownKeys().contains(section))
            continue; // reported at the section name
        if (!knownKeys().value(section).contains(key)) {
            lineError(number, QStringLiteral("unknown key %1 in [%2]").arg(key, section));
            continue;
        }
        const QString fullKey = section + QLatin1Char('/') + key;
        if (m_lines.contains(fullKey)) {
            lineError(number,
                      QStringLiteral("%1 given twice (first on line %2)")
                          .arg(key)
                          .arg(m_lines.value(fullKey)));
            continue;
        }
        m_lines.insert(fullKey, number);
    }
}

QString ConfigReader::value(const QString &key)
{
    if (!has(key))
        return QString();
    const QVariant value = m_settings->value(key);
    if (value.userType() == QMetaType::QStringList) {
        error(key, QStringLiteral("a value with a comma needs double quotes"));
        return QString();
    }
    return value.toString();
}

void ConfigReader::number(const QString &key, quint32 min, quint32 max, quint32 *result)
{
    if (!has(key))
        return;
    const QString text = value(key).trimmed();
    bool ok = false;
    const qulonglong parsed = text.toULongLong(&ok, 10);
    if (!isDigits(text) || !ok || parsed < min || parsed > max) {
        error(key,
              QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
                  .arg(key.section(QLatin1Char('/'), 1))
                  .arg(min)
                  .arg(max)
                  .arg(text));
        return;
    }
    *result = quint32(parsed);
}

void ConfigReader::port(const QString &key, quint16 *result)
{
    quint32 port = *result;
    number(key, 0, 65535, &port);
    *result = quint16(port);
}

void ConfigReader::readServer(ServerConfig *config)
{
    const QString addressKey = QStringLiteral("server/address");
    if (has(addressKey)) {
        config->address = value(addressKey).trimmed();
        if (!QueryServer::isIPv4Address(config->address))
            error(addressKey,
                  QStringLiteral("address must be an IPv4 address such as 0.0.0.0, "
                                 "not \"%1\"")
                      .arg(config->address));
    }
    port(QStringLiteral("server/versionPort"), &config->versionPort);
    port(QStringLiteral("server/bannerPort"), &config->bannerPort);
    if (config->versionPort != 0 && config->versionPort == config->bannerPort)
        error(QStringLiteral("server/bannerPort"),
              QStringLiteral("bannerPort is the same as versionPort"));
}

int ConfigReader::versionNumber(const QString &key)
{
    const QString number = value(key).trimmed();
    const QString name = key.section(QLatin1Char('/'), 1);
    bool ok = false;
    const int version = number.toInt(&ok, 10);
    if (!isDigits(number) || !ok || version < 1) {
        error(key,
              QStringLiteral("%1 must be a version number from 1 to 2147483647, not \"%2\"")
                  .arg(name, number));
        return 0;
    }
    // The updater reads "0044" as 44, but a publisher who wrote it may mean
    // another version than the mirrors' directory "44" holds.
    if (number.startsWith(QLatin1Char('0'))) {
        error(key,
              QStringLiteral("%1 must be written without leading zeros (\"%2\"), not \"%3\"")
                  .arg(name)
                  .arg(version)
                  .arg(number));
        return 0;
    }
    return version;
}

// The channel's entry of the version list, "<number>[#<name>]"; empty
// without a number. *number is 0 then, and when the number is faulty.
QString ConfigReader::versionEntry(const QString &numberKey, const QString &nameKey, int *number)
{
    const QString text = value(numberKey).trimmed();
    const QString name = value(nameKey);
    const QString channel = numberKey.section(QLatin1Char('/'), 1);
    *number = 0;
    if (text.isEmpty()) {
        if (!name.isEmpty())
            error(nameKey, QStringLiteral("%1Name without a version number in %1").arg(channel));
        return QString();
    }
    *number = versionNumber(numberKey);
    // The updater splits the list at commas; a "#" in a name is fine, since
    // only the first one ends the number.
    QString fault = textFault(name, false);
    if (fault.isEmpty() && name.contains(QLatin1Char(',')))
        fault = QStringLiteral("holds a comma, which would end the channel's entry");
    if (!fault.isEmpty())
        error(nameKey, QStringLiteral("%1Name %2").arg(channel, fault));
    return UpdateServerQuery::versionEntry(text, name);
}

// The reply: the entries in channel order, empty ones kept but for those at
// the end, and the terminating zero byte.
QByteArray ConfigReader::versionList(QStringList entries)
{
    while (!entries.isEmpty() && entries.constLast().isEmpty())
        entries.removeLast();
    const QByteArray reply = UpdateServerQuery::versionListReply(entries);
    const qsizetype size = reply.size() - 1; // without its zero byte
    if (size > UpdateServerQuery::VersionListMax)
        lineError(0,
                  QStringLiteral("the version list is %1 bytes; the updater reads at most %2")
                      .arg(size)
                      .arg(UpdateServerQuery::VersionListMax));
    return reply;
}

void ConfigReader::readVersions(ServerConfig *config)
{
    m_entries.clear();
    m_numbers.clear();
    for (const char *channel : channels) {
        const QString numberKey = QStringLiteral("versions/") + QLatin1String(channel);
        int number = 0;
        m_entries.append(versionEntry(numberKey, numberKey + QStringLiteral("Name"), &number));
        m_numbers.append(number);
    }
    if (std::all_of(m_entries.cbegin(), m_entries.cend(),
                    [](const QString &entry) { return entry.isEmpty(); })) {
        lineError(0,
                  QStringLiteral("[versions] gives no version for any channel "
                                 "(stable, beta, alpha)"));
        return;
    }
    config->answers.versions = versionList(m_entries);
}

void ConfigReader::share(const QString &key, quint32 *result)
{
    // A percentage with at most two decimals: parts of 10000.
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,3})(?:\\.([0-9]{1,2}))?$"));
    const QString text = value(key).trimmed();
    const QRegularExpressionMatch match = pattern.match(text);
    const quint32 parts = match.hasMatch() ? match.captured(1).toUInt() * 100
            + match.captured(2).leftJustified(2, QLatin1Char('0')).toUInt()
                                           : VersionRollout::Parts + 1;
    if (parts > VersionRollout::Parts) {
        error(key,
              QStringLiteral("%1 must be a percentage from 0 to 100 with at most two decimals "
                             "(5, 0.5), not \"%2\"")
                  .arg(key.section(QLatin1Char('/'), 1), text));
        return;
    }
    *result = parts;
}

void ConfigReader::readRollout(ServerConfig *config)
{
    QStringList entries = m_entries;
    QList<quint32> shares;
    QString firstKey;
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const QString channel = QLatin1String(channels[i]);
        const QString numberKey = QStringLiteral("rollout/") + channel;
        const QString percentKey = numberKey + QStringLiteral("Percent");
        int number = 0;
        const QString entry = versionEntry(numberKey, numberKey + QStringLiteral("Name"), &number);
        shares.append(0);
        if (entry.isEmpty()) {
            if (has(percentKey))
                error(percentKey,
                      QStringLiteral("%1Percent without a roll-out version in %1").arg(channel));
            continue;
        }
        if (firstKey.isEmpty())
            firstKey = numberKey;
        if (has(percentKey))
            share(percentKey, &shares[i]);
        else
            error(numberKey,
                  QStringLiteral("a roll-out of %1 needs %1Percent, the share of addresses "
                                 "that get it")
                      .arg(channel));
        if (m_numbers.value(i) == 0 && m_entries.value(i).isEmpty())
            error(numberKey,
                  QStringLiteral("a roll-out of %1 needs [versions] %1 for the addresses "
                                 "outside it")
                      .arg(channel));
        else if (number != 0 && m_numbers.value(i) != 0 && number <= m_numbers.value(i))
            error(numberKey,
                  QStringLiteral("the roll-out of %1 (%2) must be above [versions] %1 (%3): "
                                 "the updater refuses a lower version than it installed")
                      .arg(channel)
                      .arg(number)
                      .arg(m_numbers.value(i)));
        entries[i] = entry;
        config->rollouts.append({channel, entry, shares[i]});
    }
    const QString saltKey = QStringLiteral("rollout/salt");
    const QByteArray salt = value(saltKey).toUtf8();
    if (has(saltKey) && salt.trimmed().isEmpty())
        error(saltKey, QStringLiteral("salt is empty"));
    if (firstKey.isEmpty())
        return;
    if (!has(saltKey))
        error(firstKey,
              QStringLiteral("a roll-out needs a salt in [rollout]: any text, the same on every "
                             "server that answers for the update server's name"));

    // One stage per share: an address below it gets the roll-out version of
    // every channel whose share is at least as large.
    std::vector<VersionRollout::Stage> stages;
    QList<quint32> bounds = shares;
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    for (const quint32 bound : std::as_const(bounds)) {
        if (bound == 0)
            continue;
        QStringList stageEntries = m_entries;
        for (qsizetype i = 0; i < stageEntries.size(); ++i) {
            if (shares[i] >= bound)
                stageEntries[i] = entries[i];
        }
        stages.push_back({bound, versionList(stageEntries)});
    }
    config->answers.rollout = VersionRollout(salt, std::move(stages));
}

void ConfigReader::readNews(ServerConfig *config)
{
    const QString textKey = QStringLiteral("news/text");
    const QString fileKey = QStringLiteral("news/file");
    QString news;
    QString key = textKey;
    if (has(fileKey)) {
        key = fileKey;
        if (has(textKey))
            error(fileKey, QStringLiteral("news text and file both given; keep one"));
        const QString name = value(fileKey);
        const QString path = QDir(QFileInfo(m_path).absolutePath()).absoluteFilePath(name);
        QByteArray bytes;
        QString fault;
        if (name.isEmpty() || !readBounded(path, MaxNewsFileSize, &bytes, &fault)) {
            error(fileKey, name.isEmpty() ? QStringLiteral("file names no file") : fault);
            return;
        }
        // UTF-8 as editors write it today, or Latin-1 as the updater reads it.
        QStringDecoder utf8(QStringDecoder::Utf8);
        news = utf8.decode(bytes);
        if (utf8.hasError())
            news = QString::fromLatin1(bytes);
        while (news.endsWith(QLatin1Char('\n')) || news.endsWith(QLatin1Char('\r')))
            news.chop(1);
    } else {
        news = value(textKey);
    }
    const QString fault = textFault(news, true);
    if (!fault.isEmpty())
        error(key, QStringLiteral("the news %1").arg(fault));
    const QByteArray bytes = news.toLatin1();
    if (bytes.size() > UpdateServerQuery::NewsMax)
        error(key,
              QStringLiteral("the news is %1 bytes; the updater reads at most %2")
                  .arg(bytes.size())
                  .arg(UpdateServerQuery::NewsMax));
    // Always answered, even when empty: the updater needs both replies.
    config->answers.news = bytes + '\0';
}

QString ConfigReader::url(const QString &key)
{
    const QString text = value(key).trimmed();
    const QUrl url(text, QUrl::StrictMode);
    QString fault = textFault(text, false);
    if (fault.isEmpty() && text.contains(QLatin1Char(',')))
        fault = QStringLiteral("holds a comma, which the updater takes for the end of the URL");
    if (fault.isEmpty() && !WebLink::isWebLink(url))
        fault = QStringLiteral("is not an http or https URL");
    if (!fault.isEmpty())
        error(key,
              QStringLiteral("%1 \"%2\" %3").arg(key.section(QLatin1Char('/'), 1), text, fault));
    return text;
}

void ConfigReader::readBanner(ServerConfig *config)
{
    const QString imageKey = QStringLiteral("banner/image");
    const QString clickKey = QStringLiteral("banner/click");
    const bool image = !value(imageKey).isEmpty();
    const bool click = !value(clickKey).isEmpty();
    if (image != click) {
        error(image ? imageKey : clickKey,
              QStringLiteral("a banner needs both an image and a click URL"));
        return;
    }
    if (!image)
        return; // banner queries stay unanswered
    const QByteArray banner = UpdateServerQuery::bannerReply(url(imageKey), url(clickKey));
    if (banner.size() > UpdateServerQuery::BannerMax)
        error(clickKey,
              QStringLiteral("the banner answer is %1 bytes; the updater reads at most %2")
                  .arg(banner.size())
                  .arg(UpdateServerQuery::BannerMax));
    config->answers.banner = banner;
}

void ConfigReader::readLimits(ServerConfig *config)
{
    const QString enabledKey = QStringLiteral("limits/enabled");
    if (has(enabledKey)) {
        const QString text = value(enabledKey).trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("yes")
            || text == QLatin1String("on") || text == QLatin1String("1"))
            config->limitsEnabled = true;
        else if (text == QLatin1String("false") || text == QLatin1String("no")
                 || text == QLatin1String("off") || text == QLatin1String("0"))
            config->limitsEnabled = false;
        else
            error(enabledKey,
                  QStringLiteral("enabled must be true or false, not \"%1\"").arg(text));
    }
    SourceLimiter::Settings &limits = config->limits;
    const QString burstKey = QStringLiteral("limits/burst");
    const QString blockRateKey = QStringLiteral("limits/blockRate");
    const QString blockBurstKey = QStringLiteral("limits/blockBurst");
    number(QStringLiteral("limits/rate"), 1, MaxRate, &limits.rate);
    number(burstKey, 1, MaxBurst, &limits.burst);
    number(blockRateKey, 1, MaxRate, &limits.blockRate);
    number(blockBurstKey, 1, MaxBurst, &limits.blockBurst);
    number(QStringLiteral("limits/sources"), MinSources, MaxSources, &limits.capacity);
    if (!config->limitsEnabled)
        return;
    int largest = 0;
    for (const auto *answer :
         {&config->answers.versions, &config->answers.news, &config->answers.banner})
        largest = std::max(largest, answer->has_value() ? int((*answer)->size()) : 0);
    for (const VersionRollout::Stage &stage : config->answers.rollout.stages())
        largest = std::max(largest, int(stage.list.size()));
    if (limits.burst < quint32(largest))
        error(burstKey,
              QStringLiteral("burst %1 is less than the largest reply (%2 bytes), "
                             "which would never be sent")
                  .arg(limits.burst)
                  .arg(largest));
    // A block's budget below one address's would make the limits per address
    // promise more than the server sends; it also holds the largest reply then.
    const QString belowAddress
        = QStringLiteral("%1 %2 is less than %3 %4: a /24 block's budget must hold at least "
                         "one address's");
    if (limits.blockRate < limits.rate)
        error(blockRateKey,
              belowAddress.arg(QLatin1String("blockRate"))
                  .arg(limits.blockRate)
                  .arg(QLatin1String("rate"))
                  .arg(limits.rate));
    if (limits.blockBurst < limits.burst)
        error(blockBurstKey,
              belowAddress.arg(QLatin1String("blockBurst"))
                  .arg(limits.blockBurst)
                  .arg(QLatin1String("burst"))
                  .arg(limits.burst));
}

} // namespace

QString ServerConfig::shareText(quint32 share)
{
    QString text = QString::number(share / 100);
    if (share % 100 != 0) {
        text += QStringLiteral(".%1").arg(share % 100, 2, 10, QLatin1Char('0'));
        if (text.endsWith(QLatin1Char('0')))
            text.chop(1);
    }
    return text;
}

bool ServerConfig::read(const QString &path, ServerConfig *config, QStringList *errors)
{
    const qsizetype errorsBefore = errors->size();
    QByteArray bytes;
    QString fault;
    if (!readBounded(path, MaxFileSize, &bytes, &fault)) {
        errors->append(QStringLiteral("%1: %2").arg(path, fault));
        return false;
    }
    // QSettings reads a copy of exactly the bytes checked, under a name of its
    // own: the file may change again during a reload, and QSettings keeps a
    // file it has read in a cache that trusts size and time stamp.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush()) {
        errors->append(QStringLiteral("%1: cannot copy it to the temporary directory: %2")
                           .arg(path, copy.errorString()));
        return false;
    }
    QSettings settings(copy.fileName(), QSettings::IniFormat);

    ConfigReader reader(path, errors);
    reader.scan(bytes);
    reader.setSettings(&settings);
    ServerConfig result;
    reader.readServer(&result);
    reader.readVersions(&result);
    reader.readRollout(&result);
    reader.readNews(&result);
    reader.readBanner(&result);
    reader.readLimits(&result);
    if (errors->size() == errorsBefore && settings.status() != QSettings::NoError)
        errors->append(QStringLiteral("%1: QSettings cannot read it").arg(path));
    if (errors->size() != errorsBefore)
        return false;
    *config = result;
    return true;
}

QString ServerConfig::summary() const
{
    const auto text = [](const std::optional<QByteArray> &answer) {
        return QString::fromLatin1(answer.value_or(QByteArray()).constData());
    };
    QString line = QStringLiteral("versions \"%1\", news %2 bytes, ")
                       .arg(text(answers.versions))
                       .arg(answers.news ? answers.news->size() - 1 : 0);
    line += answers.banner ? QStringLiteral("banner \"%1\"").arg(text(answers.banner))
                           : QStringLiteral("no banner");
    QStringList rolloutTexts;
    for (const Rollout &rollout : rollouts)
        rolloutTexts.append(QStringLiteral("%1 \"%2\" to %3%")
                                .arg(rollout.channel, rollout.entry, shareText(rollout.share)));
    if (!rolloutTexts.isEmpty())
        line += QStringLiteral("; roll-out: %1 of addresses")
                    .arg(rolloutTexts.join(QStringLiteral(", ")));
    if (!limitsEnabled)
        return line + QStringLiteral("; limits off");
    return line
        + QStringLiteral("; limits %1 bytes/s, burst %2 bytes per address; %3 bytes/s, "
                         "burst %4 bytes per /24 block; %5 addresses and blocks")
              .arg(limits.rate)
              .arg(limits.burst)
              .arg(limits.blockRate)
              .arg(limits.blockBurst)
              .arg(limits.capacity);
}

QStringList ServerConfig::offersTo(quint32 address, const QString &text) const
{
    QStringList lines;
    if (!rollouts.isEmpty()) {
        // The address is within every share above its part.
        const quint32 part = answers.rollout.part(address);
        lines.append(QStringLiteral("%1: part %2 of %3, within every roll-out to more than %4%")
                         .arg(text)
                         .arg(part)
                         .arg(VersionRollout::Parts)
                         .arg(shareText(part)));
    }
    bool rolledOut = false;
    const QByteArray *list = answers.versionListFor(address, &rolledOut);
    const QStringList entries
        = QString::fromLatin1(list ? list->constData() : "").split(QLatin1Char(','));
    for (qsizetype i = 0; i < qsizetype(std::size(channels)); ++i) {
        const QString channel = QLatin1String(channels[i]);
        const QString entry = entries.value(i);
        QString line = QStringLiteral("%1 %2: %3")
                           .arg(text, channel,
                                entry.isEmpty() ? QStringLiteral("no version (no update)") : entry);
        for (const Rollout &rollout : rollouts) {
            if (rollout.channel != channel)
                continue;
            line += entry == rollout.entry
                ? QStringLiteral(" (the roll-out to %1%)").arg(shareText(rollout.share))
                : QStringLiteral(" (not the roll-out of %1 to %2%)")
                      .arg(rollout.entry, shareText(rollout.share));
        }
        lines.append(line);
    }
    return lines;
}
