#include "fuzz/fuzzsupport.h"

#include "fileops/tomcryptutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

int s_argc = 1;
char s_program[] = "fuzz";
char *s_argv[] = {s_program, nullptr};
quint64 s_counter = 0;

QTemporaryDir &scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/morvane_fuzz_XXXXXX"));
    return dir;
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

namespace Fuzz {

void initialize()
{
    if (QCoreApplication::instance())
        return;
    // Left for the end of the process: the objects of every input live under it.
    new QCoreApplication(s_argc, s_argv);
    qInstallMessageHandler(dropMessage);
    crypt_init();
    if (!scratch().isValid())
        fail("no scratch directory", QDir::tempPath());
}

QString scratchDir()
{
    return scratch().path();
}

QString freshPath(const QString &suffix)
{
    return scratchDir() + QStringLiteral("/input_") + QString::number(++s_counter) + suffix;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()
        || !file.flush())
        fail("cannot write", path);
}

QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

bool staysInside(const QString &root, const QString &path)
{
    const QString joined = QDir::cleanPath(root + QLatin1Char('/') + path);
    return joined == root || joined.startsWith(root + QLatin1Char('/'));
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "FUZZ FINDING: %s: %s\n", what, qPrintable(detail));
    std::abort();
}

} // namespace Fuzz
