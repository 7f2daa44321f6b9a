#pragma once

#include <QString>

// One installed file to replace. filePath names the downloaded copy in the
// temporary directory; the installed file is unzipFilePath when the download
// is unpacked on installation, else filePath.
struct FileReplaceSpecification
{
    QString section;
    QString filePath;
    QString unzipMd5;
    quint64 unzipSize = 0;
    QString unzipFilePath;
    // The download was made by a patch, in this run or an earlier one, and
    // lies unpacked in the temporary directory: it is copied, not unzipped.
    bool storedUnpacked = false;

    bool hasUnzip() const;
    // The installed file's path relative to the application root.
    QString pureDestFilePath() const;
    // pureDestFilePath() with prefix put in front of its file name
    // ("plugins/libx.so" with "_old_" gives "plugins/_old_libx.so").
    QString destFileName(const QString &prefix) const;
    // The name under which the installed file is kept while it is replaced.
    QString oldDestFileName() const;
};
