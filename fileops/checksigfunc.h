#pragma once

#include "tasks/asyncfunc.h"

#include <QByteArray>
#include <QString>

class QFile;

// Checks one file on a pool thread (or synchronously, by calling run()): with
// an expected MD5 sum, the file's MD5 digest against it (ignoring letter
// case); with an empty one, the RSASSA-PSS signature in filePath + ".sig"
// against the compiled-in public key. Reports unreadable files through
// message(); the task that owns it reports the failed check.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString &filePath, const QString &md5);

    // True when the check passed.
    bool run() override;

    // Hashes the file while reading it in fixed-size chunks, so memory stays
    // bounded whatever the file's size.
    bool checkMD5();
    // Whether a digest (raw bytes) is the expected sum (hexadecimal text, in
    // either letter case).
    static bool digestMatches(const QByteArray &digest, const QString &md5);
    // The file's MD5 digest (raw bytes), from FileDigestCache when the file
    // was just written; empty, after a message, if it cannot be read.
    QByteArray fileDigest();
    bool checkRSA();
    // Reads a whole (small) file into bytes.
    bool readFile(const QString &path, QByteArray &bytes);

    QString filePath;
    // Expected MD5 sum as hexadecimal text; empty selects the signature check.
    QString md5;

signals:
    // The file was read whole and its MD5 sum (hexadecimal) is not md5.
    void md5Mismatch(QString found);
};
