#include "update/patchlist.h"

#include "formats/patchlistline.h"
#include "formats/productini.h"

#include <QHash>
#include <QStringDecoder>

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
        const PatchListLine line = PatchListLine::read(all.sliced(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.kind == PatchListLine::Skipped)
            continue;
        if (line.kind == PatchListLine::Section) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            section = utf8(line.section);
            sectionIndex = candidates.value(section, -1);
            sectionUsable = false;
            if (utf8.hasError() || !ProductIni::isFetchableName(section))
                refuse(QStringLiteral("Patch list: section at line %1 names a file that is not "
                                      "valid UTF-8 or holds control characters")
                           .arg(lineNumber));
            else if (section.isEmpty() || !ProductIni::isSafeRelativePath(section))
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
        if (section.isNull() || line.kind == PatchListLine::Invalid) {
            refuse(QStringLiteral("Patch list: line %1 is not valid").arg(lineNumber));
            continue;
        }
        if (!sectionUsable || sectionIndex < 0)
            continue;
        FileDownloadSpecification &file = downloads[sectionIndex];
        if (QString::fromLatin1(line.installedMd5).toLower() != file.installedMd5)
            continue;
        const qint64 patchSize = line.patchSize;
        if (patchSize > file.size) {
            refuse(QStringLiteral("Patch list: the patch for %1 is larger than the file")
                       .arg(section));
            continue;
        }
        if (!file.hasPatch())
            ++m_patchCount;
        file.patchMd5 = QString::fromLatin1(line.patchMd5).toLower();
        file.patchSize = patchSize;
    }
}
