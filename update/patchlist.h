#pragma once

#include "update/filedownloadspecification.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Reads a release's patch list: one section per product ini key, holding
// "<installed md5>=<patch md5>::<patch size>" lines, and gives each file of
// the download list the patch for its installed copy, if there is one.
// Sections naming a path that is absolute, contains "..", cannot be fetched
// or is not a key of the product ini, malformed lines and patches larger
// than the file are refused; each refusal is a line in problems() (the
// first few), and the files concerned come whole.
class PatchList
{
public:
    static constexpr int MaxReportedProblems = 10;

    // listedKeys: every file key of the product ini.
    void apply(const QByteArray &text, const QSet<QString> &listedKeys,
               QList<FileDownloadSpecification> &downloads);

    QStringList problems() const { return m_problems; }
    int patchCount() const { return m_patchCount; }

private:
    void refuse(const QString &problem);

    QStringList m_problems;
    int m_problemCount = 0;
    int m_patchCount = 0;
};
