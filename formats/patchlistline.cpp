#include "formats/patchlistline.h"

#include "formats/productini.h"

namespace {

// At most 18 digits, so that the number fits a qint64.
bool isDecimal(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

PatchListLine PatchListLine::read(QByteArrayView line)
{
    PatchListLine result;
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
        return result;
    if (line.startsWith('[') && line.endsWith(']')) {
        result.kind = Section;
        result.section = line.sliced(1, line.size() - 2);
        return result;
    }
    const qsizetype equals = line.indexOf('=');
    const QByteArrayView installedMd5 = line.first(qMax<qsizetype>(equals, 0));
    const QByteArrayView value = equals < 0 ? QByteArrayView() : line.sliced(equals + 1);
    const qsizetype separator = value.indexOf("::");
    const QByteArrayView patchMd5 = value.first(qMax<qsizetype>(separator, 0));
    const QByteArrayView size = separator < 0 ? QByteArrayView() : value.sliced(separator + 2);
    if (!ProductIni::isMd5Text(installedMd5) || !ProductIni::isMd5Text(patchMd5)
        || !isDecimal(size)) {
        result.kind = Invalid;
        return result;
    }
    result.kind = Patch;
    result.installedMd5 = installedMd5;
    result.patchMd5 = patchMd5;
    result.patchSize = size.toLongLong();
    return result;
}

QByteArray PatchListLine::sectionText(const QString &key)
{
    return '[' + key.toUtf8() + "]\n";
}

QByteArray PatchListLine::text(const QString &installedMd5, const QString &patchMd5, qint64 size)
{
    return installedMd5.toLatin1() + '=' + patchMd5.toLatin1() + "::" + QByteArray::number(size)
        + '\n';
}
