#pragma once

#include <QString>

// One file to download, as listed in the product ini: its section (the
// file's directory on the mirror), its key (the relative path), and the MD5
// sum and size of the file as stored on the mirror.
struct FileDownloadSpecification
{
    QString section;
    QString filePath;
    QString md5;
    qint64 size = 0;
};
