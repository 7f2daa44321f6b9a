#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// One line of a release's patch list: a "[<key>]" section header naming a
// product ini key, or "<installed md5>=<patch md5>::<patch size>" below it
// for the patch that turns that installed copy into the key's file. Empty
// lines and those starting with ";" or "#" are skipped. The publisher writes
// with sectionText() and text(), the updater and the publisher's checks read
// with read().
struct PatchListLine
{
    enum Kind { Skipped, Section, Patch, Invalid };

    Kind kind = Skipped;
    // Views into the line that was read.
    QByteArrayView section; // the bytes between the brackets
    QByteArrayView installedMd5;
    QByteArrayView patchMd5;
    qint64 patchSize = 0;

    // One line without its "\n"; a "\r" at its end is dropped.
    static PatchListLine read(QByteArrayView line);

    static QByteArray sectionText(const QString &key);
    static QByteArray text(const QString &installedMd5, const QString &patchMd5, qint64 size);
};
