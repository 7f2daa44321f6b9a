#include "formats/productinireader.h"

#include "formats/productini.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <limits>

namespace {

const QByteArray generalName = QByteArrayLiteral("General");

constexpr bool nameChar(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
        || c == '-' || c == '.';
}

// What each byte may be: bit 1 in a name, bit 2 in a value.
struct CharTable
{
    unsigned char kinds[256] {};
    constexpr CharTable()
    {
        for (int c = 0; c < 256; ++c)
            kinds[c] = (nameChar(c) ? 1 : 0) | (nameChar(c) || c == ':' || c == '/' || c == '+' ? 2 : 0);
    }
};
constexpr CharTable charTable;

bool isNameChar(char c)
{
    return charTable.kinds[uchar(c)] & 1;
}

bool isValueChar(char c)
{
    return charTable.kinds[uchar(c)] & 2;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool ProductIniReader::read(const QString &path, qint64 limit)
{
    return read(path, limit, false);
}

bool ProductIniReader::readGeneral(const QString &path, qint64 limit)
{
    return read(path, limit, true);
}

bool ProductIniReader::read(const QString &path, qint64 limit, bool generalOnly)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() > limit) {
        readBytes(QByteArray());
        return true;
    }
    const QByteArray bytes = file.read(file.size() + 1);
    if (bytes.size() > limit) {
        readBytes(QByteArray());
        return true;
    }
    m_text = bytes;
    file.close();
    if (!readDirect(generalOnly))
        readWithSettings(path);
    return true;
}

void ProductIniReader::readBytes(const QByteArray &bytes)
{
    m_text = bytes;
    if (!readDirect(false))
        readThroughSettings(bytes);
}

QString ProductIniReader::general(const QString &key) const
{
    for (const Key &entry : m_general) {
        if (keyText(entry) == key) {
            // An empty value is a value: not null.
            const QString value = valueText(entry);
            return value.isNull() ? QStringLiteral("") : value;
        }
    }
    return QString();
}

// The plain lines the publisher writes: "[section]" for [General], [delete]
// and [files], each once, and "key=value", the key of letters, digits, "_",
// "-", "." and "%XX" for other printable ASCII, its parts between single
// "\"; the value of letters, digits and ":._-/+". Keys are decoded in place;
// false, with nothing kept, for anything else.
bool ProductIniReader::readDirect(bool generalOnly)
{
    m_sections.clear();
    m_keys.clear();
    m_general.clear();
    m_direct = false;
    char *text = m_text.data();
    const qsizetype size = m_text.size();
    if (size >= std::numeric_limits<qint32>::max())
        return false;
    // Section 0 is [General]; then [delete] and [files] as they come.
    QList<QByteArray> seen {generalName};
    std::vector<Key> keys;
    if (!generalOnly)
        keys.reserve(size_t(std::count(text, text + size, '\n')) + 1);
    quint32 section = 0;
    qsizetype pos = 0;
    while (pos < size) {
        qsizetype end = pos;
        while (end < size && text[end] != '\n')
            ++end;
        const qsizetype next = end + 1;
        if (end == pos) {
            pos = next;
            continue;
        }
        if (text[pos] == '[') {
            if (text[end - 1] != ']')
                return false;
            const QByteArray name(text + pos + 1, end - pos - 2);
            if ((name != generalName && name != "delete" && name != "files")
                || (name != generalName && seen.contains(name)))
                return false;
            if (name == generalName) {
                section = 0;
            } else {
                section = quint32(seen.size());
                seen.append(name);
            }
            pos = next;
            continue;
        }
        // The key, decoded into its own place.
        Key key;
        key.section = section;
        key.keyOffset = quint32(pos);
        qsizetype out = pos;
        qsizetype in = pos;
        // Whether the last character read was a "\" (or none was read).
        bool afterSeparator = true;
        while (in < end && text[in] != '=') {
            char c = text[in];
            if (c == '%') {
                const int high = in + 2 < end ? hexValue(text[in + 1]) : -1;
                const int low = high >= 0 ? hexValue(text[in + 2]) : -1;
                const int decoded = high * 16 + low;
                // "/" and "\" decoded would split the key.
                if (low < 0 || decoded < 0x20 || decoded > 0x7e || decoded == '/'
                    || decoded == '\\')
                    return false;
                c = char(decoded);
                in += 3;
                afterSeparator = false;
            } else if (c == '\\') {
                // Neither first, last, nor twice in a row: QSettings would
                // fold those away. [General] has no nested keys.
                if (afterSeparator || section == 0)
                    return false;
                c = '/';
                ++in;
                afterSeparator = true;
            } else if (isNameChar(c)) {
                ++in;
                afterSeparator = false;
            } else {
                return false;
            }
            text[out++] = c;
        }
        if (in == end || afterSeparator)
            return false;
        key.keyLength = quint32(out - pos);
        key.valueOffset = quint32(in + 1);
        key.valueLength = quint32(end - in - 1);
        if (key.valueLength == 0
            || !std::all_of(text + key.valueOffset, text + end, isValueChar))
            return false;
        if (section == 0)
            m_general.push_back(key);
        else if (!generalOnly)
            keys.push_back(key);
        pos = next;
    }
    // The keys of the other sections, and so their order or repeats, change
    // nothing of [General]'s.
    if (generalOnly) {
        for (size_t i = 0; i < m_general.size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if (key(m_general[j]) == key(m_general[i]))
                    return false;
            }
        }
        m_direct = true;
        return true;
    }

    // Sections with keys, in name order as QSettings lists them ([delete]
    // before [files]), numbered from 0.
    QList<QByteArray> names = seen.mid(1);
    std::sort(names.begin(), names.end());
    std::vector<quint32> number(size_t(seen.size()), 0);
    QStringList sections;
    for (const QByteArray &name : std::as_const(names)) {
        const quint32 old = quint32(seen.indexOf(name));
        const auto inSection = [old](const Key &key) { return key.section == old; };
        if (std::none_of(keys.cbegin(), keys.cend(), inSection))
            continue;
        number[old] = quint32(sections.size());
        sections.append(QString::fromLatin1(name));
    }
    for (Key &key : keys)
        key.section = number[key.section];
    const auto keyOrder = [this](const Key &a, const Key &b) {
        return a.section != b.section ? a.section < b.section : this->key(a) < this->key(b);
    };
    // The publisher writes them in this order already.
    if (!std::is_sorted(keys.begin(), keys.end(), keyOrder))
        std::sort(keys.begin(), keys.end(), keyOrder);
    // A key twice: QSettings decides which one counts.
    for (size_t i = 1; i < keys.size(); ++i) {
        if (keys[i - 1].section == keys[i].section && key(keys[i - 1]) == key(keys[i]))
            return false;
    }
    for (size_t i = 0; i < m_general.size(); ++i) {
        const QByteArrayView name = key(m_general[i]);
        if (name == QByteArrayView("delete") || name == QByteArrayView("files"))
            return false;
        for (size_t j = 0; j < i; ++j) {
            if (key(m_general[j]) == name)
                return false;
        }
    }
    m_sections = sections;
    m_keys = std::move(keys);
    m_direct = true;
    return true;
}

void ProductIniReader::readWithSettings(const QString &path)
{
    m_sections.clear();
    m_keys.clear();
    m_general.clear();
    m_direct = false;
    QByteArray text;
    QSettings ini(path, QSettings::IniFormat);
    const auto append = [&text](const QString &part) {
        const QByteArray bytes = part.toUtf8();
        const quint32 offset = quint32(text.size());
        text += bytes;
        return std::make_pair(offset, quint32(bytes.size()));
    };
    const auto entry = [&](const QString &name, const QVariant &value, quint32 section) {
        Key key;
        key.section = section;
        std::tie(key.keyOffset, key.keyLength) = append(name);
        std::tie(key.valueOffset, key.valueLength) = append(ProductIni::valueText(value));
        return key;
    };
    const QStringList top = ini.childKeys();
    for (const QString &name : top)
        m_general.push_back(entry(name, ini.value(name), 0));
    const QStringList sections = ini.childGroups();
    for (const QString &section : sections) {
        ini.beginGroup(section);
        // allKeys(): a key with "/" is a nested group to QSettings.
        const QStringList keys = ini.allKeys();
        if (!keys.isEmpty()) {
            for (const QString &name : keys)
                m_keys.push_back(entry(name, ini.value(name), quint32(m_sections.size())));
            m_sections.append(section);
        }
        ini.endGroup();
        if (text.size() >= std::numeric_limits<qint32>::max()) {
            m_sections.clear();
            m_keys.clear();
            m_general.clear();
            text.clear();
            break;
        }
    }
    m_text = text;
}

void ProductIniReader::readThroughSettings(const QByteArray &bytes)
{
    QTemporaryFile file;
    if (file.open() && file.write(bytes) == bytes.size() && file.flush())
        readWithSettings(file.fileName());
    else
        readWithSettings(QString());
}
