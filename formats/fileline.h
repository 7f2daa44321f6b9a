#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// The value of a file key in the product ini: "<md5>::<size>" for a file
// installed as it is stored, "<md5>::<size>::<unpacked md5>::<unpacked
// size>::<installed path>" for one stored gzip-compressed (the five-field
// form with an empty path installs the file as it is). Written by the
// publisher with text(), read by the updater and the publisher's checks with
// read().
struct FileLine
{
    QString md5; // of the file as stored on the mirror
    qint64 size = 0; // its size; text that is not a number reads as 0
    // Whether size bounds the file's download: false for a size field that
    // is not a number, or 0 for a file whose MD5 sum is not that of nothing.
    bool sizeBounds = true;
    bool fiveFields = false;
    QString unpackedMd5;
    quint64 unpackedSize = 0;
    QString unpackedPath; // below the application root; empty: none

    // The two-field form.
    static FileLine stored(const QString &md5, qint64 size);
    // The five-field form of a file unpacked to path on installation.
    static FileLine unpacked(const QString &md5, qint64 size, const QString &unpackedMd5,
                             quint64 unpackedSize, const QString &path);

    // The fields of a value's UTF-8 bytes as views, "::" between them; two
    // or five make a line. read() takes its fields from here, and the list
    // step reads many thousand lines this way without making strings.
    struct Fields
    {
        QByteArrayView field[5];
        int count = 0; // 6 for more than five

        explicit Fields(QByteArrayView value);
        bool valid() const { return count == 2 || count == 5; }
        bool unpacked() const { return count == 5 && !field[4].isEmpty(); }
        QByteArrayView md5() const { return field[0]; }
        // The sum the installed file must have, and its path for key.
        QByteArrayView expectedMd5() const { return unpacked() ? field[2] : field[0]; }
        QByteArrayView installedPath(QByteArrayView key) const
        {
            return unpacked() ? field[4] : key;
        }
    };

    // A value of exactly two or five fields; none otherwise.
    static std::optional<FileLine> read(const QString &value);
    QString text() const;

    bool isUnpacked() const { return !unpackedPath.isEmpty(); }
    // The installed file's path for the key that the line belongs to.
    QString installedPath(const QString &key) const { return isUnpacked() ? unpackedPath : key; }
};
