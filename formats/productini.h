#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>

// The names and rules of a release's product ini that the publisher writes
// and the updater reads: its sections and [General] keys, the mirror paths of
// the patches and the patch list, the value that names the patch list, and
// what a path or a sum in it must look like. Qt Core only.
class ProductIni
{
public:
    // The section, and so the mirror directory, that the publisher stores the
    // client files in; the updater takes every section but "delete".
    static const QString FilesSection;
    // Files of earlier versions that an update deletes.
    static const QString DeleteSection;
    // Keys of [General], which lists no files: signed with the rest, they
    // bind the list to one version and client type, and name the patch list.
    static const QString VersionKey;
    static const QString TypeKey;
    static const QString PatchListKey;
    // The directory of the patches beside the files section.
    static const QString PatchesDirectory;
    static const QString ChangelogName;
    // Between the fields of a value; empty fields are kept.
    static const QString FieldSeparator;

    // Files of the application root that are the updater's own: the journal
    // of a replacement under way, and the record of verified files.
    static const QString JournalName;
    static const QString VerifiedRecordName;
    // What the updater needs in the application root, which no release may
    // delete: itself, the client's start script, the player's settings, the
    // mirror list, the journal and the record of verified files.
    static const QStringList &updaterFiles();

    // The largest product ini that the updater fetches.
    static constexpr qint64 MaxSize = 32 * 1024 * 1024;
    // The largest signature that the updater fetches: that of an RSA key of
    // up to 8192 bits.
    static constexpr qint64 MaxSignatureSize = 1024;

    static QString iniName(const QString &clientType)
    {
        return clientType + QStringLiteral(".ini");
    }
    // The signature of a file lies beside it: its name and SignatureSuffix.
    static const QString SignatureSuffix;
    static QString signatureName(const QString &fileName) { return fileName + SignatureSuffix; }
    static QString patchListName(const QString &clientType)
    {
        return clientType + QStringLiteral(".patches");
    }
    // Where the patch of key for an installed copy with that MD5 sum lies, on
    // a mirror below the version directory and in the session directory.
    static QString patchPath(const QString &key, const QString &installedMd5);

    // The value that names the patch list: "<name>::<md5>::<size>".
    static QString patchListValue(const QString &name, const QString &md5, qint64 size);
    // Reads such a value; false unless it has the three fields, a safe and
    // fetchable name, an MD5 sum and a size of 0 or more. The sum comes out
    // in lower case.
    static bool readPatchListValue(const QString &value, QString *name, QString *md5, qint64 *size);

    // A value as its text. An unquoted value with a "," reads as a string list
    // in the INI format; joining the parts gives the text back (spaces that
    // stood right beside such a comma are dropped by the format itself).
    static QString valueText(const QVariant &value);
    // 32 hexadecimal digits, either case.
    static bool isMd5Text(QStringView text);
    static bool isMd5Text(QByteArrayView text);
    // True when path may be joined to the application root or the temporary
    // directory: relative, and without a ".." component.
    static bool isSafeRelativePath(const QString &path);
    // The same for a path's UTF-8 bytes, without making a string.
    static bool isSafeRelativePath(QByteArrayView path);
    // True when name can be asked of a mirror as it was published: it was
    // valid UTF-8 in the product ini (no replacement character came out of
    // decoding it) and holds no control character.
    static bool isFetchableName(const QString &name);
    // A path that the updater joins to a directory as it stands and that the
    // publisher writes the same way: safe and fetchable, not empty, and
    // without "." or empty components.
    static bool isPlainRelativePath(const QString &path);

    // A client type names the product ini on the mirrors and in the session
    // directory: 1 to MaxClientTypeLength ASCII letters, digits, "_", "-"
    // and ".", and not "." or ".." alone.
    static constexpr int MaxClientTypeLength = 64;
    static bool isValidClientType(const QString &type);
    // text with its control and invisible formatting characters written as
    // \xNN or \uNNNN, so that a name from outside cannot shape a message.
    static QString escapedText(const QString &text);
};
