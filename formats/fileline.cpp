#include "formats/fileline.h"

#include "formats/productini.h"

#include <QStringList>

#include <limits>

namespace {

// A size field as a number of bytes, or -1 for text that is not one (or is
// beyond what a file can hold).
qint64 parsedSize(const QString &text)
{
    bool ok = false;
    const qulonglong size = text.toULongLong(&ok);
    return ok && size <= qulonglong(std::numeric_limits<qint64>::max()) ? qint64(size) : -1;
}

} // namespace

FileLine FileLine::stored(const QString &md5, qint64 size)
{
    FileLine line;
    line.md5 = md5;
    line.size = size;
    return line;
}

FileLine FileLine::unpacked(const QString &md5, qint64 size, const QString &unpackedMd5,
                            quint64 unpackedSize, const QString &path)
{
    FileLine line = stored(md5, size);
    line.fiveFields = true;
    line.unpackedMd5 = unpackedMd5;
    line.unpackedSize = unpackedSize;
    line.unpackedPath = path;
    return line;
}

FileLine::Fields::Fields(QByteArrayView value)
{
    // The separator is ASCII: split in the bytes as in the text.
    const auto separatorFrom = [value](qsizetype from) -> qsizetype {
        for (qsizetype i = from; i + 1 < value.size(); ++i) {
            if (value[i] == ':' && value[i + 1] == ':')
                return i;
        }
        return -1;
    };
    qsizetype start = 0;
    for (;;) {
        const qsizetype separator = separatorFrom(start);
        if (count == 5) {
            count = 6;
            return;
        }
        if (separator < 0) {
            field[count++] = value.sliced(start);
            return;
        }
        field[count++] = value.sliced(start, separator - start);
        start = separator + 2;
    }
}

std::optional<FileLine> FileLine::read(const QString &value)
{
    const QByteArray bytes = value.toUtf8();
    const Fields parts(bytes);
    if (!parts.valid())
        return std::nullopt;
    QString fields[5];
    for (int i = 0; i < parts.count; ++i)
        fields[i] = QString::fromUtf8(parts.field[i]);
    FileLine line;
    line.md5 = fields[0];
    const qint64 size = parsedSize(fields[1]);
    line.size = qMax<qint64>(size, 0);
    // A download can be held to its size field where that is a number, and 0
    // only for the MD5 sum of nothing; else no size is known, and the MD5 sum
    // decides.
    line.sizeBounds = size > 0
        || (size == 0
            && line.md5.compare(QLatin1String("d41d8cd98f00b204e9800998ecf8427e"),
                                Qt::CaseInsensitive)
                == 0);
    if (parts.count == 5) {
        line.fiveFields = true;
        line.unpackedMd5 = fields[2];
        line.unpackedSize = fields[3].toULongLong();
        line.unpackedPath = fields[4];
    }
    return line;
}

QString FileLine::text() const
{
    QStringList fields {md5, QString::number(size)};
    if (fiveFields)
        fields << unpackedMd5 << QString::number(unpackedSize) << unpackedPath;
    return fields.join(ProductIni::FieldSeparator);
}
