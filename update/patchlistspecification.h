#pragma once

#include <QSet>
#include <QString>

// The patch list a product ini names in [General]
// ("patchlist=<name>::<md5>::<size>"): its path beside the product ini on
// the mirrors, and the MD5 sum and size it must have. Empty name: none.
struct PatchListSpecification
{
    QString name;
    QString md5;
    qint64 size = 0;
    // Every file key of the product ini: the paths a patch list may name.
    QSet<QString> listedKeys;

    bool isValid() const { return !name.isEmpty(); }
};
