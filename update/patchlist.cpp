#include "update/patchlist.h"

#include "update/makedownloadreplacelistfunc.h"

#include <QHash>
#include <QStringDecoder>

namespace {

bool isMd5Text(QByteArrayView text)
{
    if (text.size() != 32)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

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

void PatchList::refuse(const QString &problem)
{
    if (++m_problemCount <= MaxReportedProblems)
        m_problems.append(problem);
    else if (m_problemCount == MaxReportedProblems + 1)
        m_problems.append(QStringLiteral("Patch list: further problems are not listed"));
}

void PatchList::apply(const QByteArray &text, const QSet<QString> &listedKeys,
                      QList<FileDownloadSpecification> &downloads)
{
    // Only the files that have an installed copy can take a patch, and only
    // those with a size to hold the patch to.
    QHash<QString, qsizetype> candidates;
    for (qsizetype i = 0; i < downloads.size(); ++i) {
        if (!downloads[i].installedMd5.isEmpty() && downloads[i].sizeBounds)
            candidates.insert(downloads[i].filePath, i);
    }

    QString section;
    bool sectionUsable = false;
    qsizetype sectionIndex = -1;
    int lineNumber = 0;
    const QByteArrayView all(text);
    for (qsizetype start = 0; start < all.size();) {
        qsizetype end = all.indexOf('\n', start);
        if (end < 0)
            end = all.size();
        QByteArrayView line = all.sliced(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            section = utf8(line.sliced(1, line.size() - 2));
            sectionIndex = candidates.value(section, -1);
            sectionUsable = false;
            if (utf8.hasError() || !MakeDownloadReplaceListFunc::isFetchableName(section))
                refuse(QStringLiteral("Patch list: section at line %1 names a file that is not "
                                      "valid UTF-8 or holds control characters")
                           .arg(lineNumber));
            else if (section.isEmpty() || !MakeDownloadReplaceListFunc::isSafeRelativePath(section))
                refuse(QStringLiteral("Patch list names the path %1, which is absolute or "
                                      "contains \"..\"")
                           .arg(section));
            else if (!listedKeys.contains(section))
                refuse(QStringLiteral("Patch list names %1, which the product ini does not list")
                           .arg(section));
            else
                sectionUsable = true;
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        const QByteArrayView oldMd5 = line.first(qMax<qsizetype>(equals, 0));
        const QByteArrayView value = equals < 0 ? QByteArrayView() : line.sliced(equals + 1);
        const qsizetype separator = value.indexOf("::");
        const QByteArrayView patchMd5 = value.first(qMax<qsizetype>(separator, 0));
        const QByteArrayView size = separator < 0 ? QByteArrayView() : value.sliced(separator + 2);
        if (section.isNull() || !isMd5Text(oldMd5) || !isMd5Text(patchMd5) || !isDecimal(size)) {
            refuse(QStringLiteral("Patch list: line %1 is not valid").arg(lineNumber));
            continue;
        }
        if (!sectionUsable || sectionIndex < 0)
            continue;
        FileDownloadSpecification &file = downloads[sectionIndex];
        if (QString::fromLatin1(oldMd5).toLower() != file.installedMd5)
            continue;
        const qint64 patchSize = size.toLongLong();
        if (patchSize > file.size) {
            refuse(QStringLiteral("Patch list: the patch for %1 is larger than the file")
                       .arg(section));
            continue;
        }
        if (!file.hasPatch())
            ++m_patchCount;
        file.patchMd5 = QString::fromLatin1(patchMd5).toLower();
        file.patchSize = patchSize;
    }
}
