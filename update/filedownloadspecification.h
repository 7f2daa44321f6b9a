#pragma once

#include "formats/productini.h"

#include <QString>

// One file to download, as listed in the product ini: its section (the
// file's directory on the mirror), its key (the relative path), and the MD5
// sum and size of the file as stored on the mirror. The list step adds what
// a patch needs (the installed file it would apply to, that file's MD5 sum
// as found, and the sum and size the result must have: those of the unpacked
// file for a gzip-compressed key), and an installed file with exactly the
// result's bytes, if there is one, to copy instead of fetching.
struct FileDownloadSpecification
{
    QString section;
    QString filePath;
    QString md5;
    qint64 size = 0;
    // Whether size bounds the download: false for a size field that is not a
    // number, or 0 for a file whose MD5 sum is not that of nothing. Such a
    // download is held to the space there is, and its MD5 sum decides.
    bool sizeBounds = true;
    bool unpacked = false; // a gzip-compressed key, installed unpacked

    QString installedPath; // relative to the application root
    QString installedMd5; // lower-case hexadecimal; empty: no readable copy
    QString targetMd5;
    qint64 targetSize = 0;
    // Relative to the application root: a regular installed file whose MD5
    // sum and size are targetMd5 and targetSize (renamed, moved or a
    // duplicate). Its copy lies unpacked, as a patch's result does.
    QString localSource;

    // A patch for the installed copy, taken from the patch list.
    QString patchMd5;
    qint64 patchSize = -1; // -1: no patch

    bool hasPatch() const { return patchSize >= 0; }
    // The patch's path on a mirror and in the temporary directory.
    QString patchPath() const { return ProductIni::patchPath(filePath, installedMd5); }
};
