#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What every fuzz target needs: the one QCoreApplication of the process (for
// QSettings and QFile), a scratch directory of its own, and file names that
// were never used before, since QSettings caches a file by its name.
namespace Fuzz {

// Creates the application object, once, with Qt's messages silenced and the
// crypto registrations done. The arguments are libFuzzer's, left untouched.
void initialize();

// A private directory of this process, removed at a normal exit.
QString scratchDir();

// A new path in the scratch directory, ending in suffix.
QString freshPath(const QString &suffix);

// Writes the bytes to path, replacing the file; aborts when that fails.
void writeFile(const QString &path, const QByteArray &bytes);

QByteArray bytes(const uint8_t *data, size_t size);

// True when path, joined to root with "/", names root or something below it.
bool staysInside(const QString &root, const QString &path);

// Ends the process as a finding of libFuzzer's.
[[noreturn]] void fail(const char *what, const QString &detail);

} // namespace Fuzz
