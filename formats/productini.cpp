#include "formats/productini.h"

#include <QDir>
#include <QStringList>

#include <algorithm>

const QString ProductIni::FilesSection = QStringLiteral("files");
const QString ProductIni::DeleteSection = QStringLiteral("delete");
const QString ProductIni::VersionKey = QStringLiteral("version");
const QString ProductIni::TypeKey = QStringLiteral("type");
const QString ProductIni::PatchListKey = QStringLiteral("patchlist");
const QString ProductIni::PatchesDirectory = QStringLiteral("patches");
const QString ProductIni::ChangelogName = QStringLiteral("changelog_client.txt");
const QString ProductIni::SignatureSuffix = QStringLiteral(".sig");
const QString ProductIni::FieldSeparator = QStringLiteral("::");
const QString ProductIni::JournalName = QStringLiteral("update.journal");
const QString ProductIni::VerifiedRecordName = QStringLiteral("update.digests");

const QStringList &ProductIni::updaterFiles()
{
    static const QStringList names {QStringLiteral("update"),
                                    QStringLiteral("mrvclient_runscript.sh"),
                                    QStringLiteral("update.ini"),
                                    QStringLiteral("mirrors.ini"),
                                    JournalName,
                                    VerifiedRecordName};
    return names;
}

QString ProductIni::patchPath(const QString &key, const QString &installedMd5)
{
    return QStringLiteral("%1/%2.%3.zst").arg(PatchesDirectory, key, installedMd5);
}

QString ProductIni::patchListValue(const QString &name, const QString &md5, qint64 size)
{
    return QStringList {name, md5, QString::number(size)}.join(FieldSeparator);
}

bool ProductIni::readPatchListValue(const QString &value, QString *name, QString *md5, qint64 *size)
{
    const QStringList fields = value.split(FieldSeparator, Qt::KeepEmptyParts);
    bool sizeOk = false;
    const qint64 number = fields.value(2).toLongLong(&sizeOk);
    const QString first = fields.value(0);
    if (fields.size() != 3 || first.isEmpty() || !isSafeRelativePath(first)
        || !isFetchableName(first) || !isMd5Text(fields[1]) || !sizeOk || number < 0)
        return false;
    *name = first;
    *md5 = fields[1].toLower();
    *size = number;
    return true;
}

QString ProductIni::valueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

namespace {

template<typename Char>
bool isHexDigit(Char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

bool ProductIni::isMd5Text(QStringView text)
{
    return text.size() == 32
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return isHexDigit(c.unicode()); });
}

bool ProductIni::isMd5Text(QByteArrayView text)
{
    return text.size() == 32
        && std::all_of(text.cbegin(), text.cend(), [](char c) { return isHexDigit(c); });
}

bool ProductIni::isSafeRelativePath(const QString &path)
{
    return isSafeRelativePath(QByteArrayView(path.toUtf8()));
}

bool ProductIni::isSafeRelativePath(QByteArrayView path)
{
    if (path.startsWith('/'))
        return false;
    qsizetype start = 0;
    while (start <= path.size()) {
        qsizetype end = path.indexOf('/', start);
        if (end < 0)
            end = path.size();
        if (path.sliced(start, end - start) == QByteArrayView(".."))
            return false;
        start = end + 1;
    }
    return true;
}

bool ProductIni::isFetchableName(const QString &name)
{
    for (const QChar c : name) {
        if (c == QChar::ReplacementCharacter || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

bool ProductIni::isPlainRelativePath(const QString &path)
{
    return !path.isEmpty() && isSafeRelativePath(path) && isFetchableName(path)
        && QDir::cleanPath(path) == path && path != QLatin1String(".");
}

bool ProductIni::isValidClientType(const QString &type)
{
    if (type.isEmpty() || type.size() > MaxClientTypeLength || type == QLatin1String(".")
        || type == QLatin1String(".."))
        return false;
    return std::all_of(type.cbegin(), type.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || u == '_' || u == '-' || u == '.';
    });
}

QString ProductIni::escapedText(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.category()) {
        case QChar::Other_Control:
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            break;
        // Direction overrides and line separators reorder or break a line.
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}
