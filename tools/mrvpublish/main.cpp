// mrvpublish: makes signing keys, signs files and lays out client releases on
// a mirror for the Morvane 3 Client updater.

#include "mirrorverifier.h"
#include "releasepublisher.h"

#include "fileops/publickey.h"
#include "fileops/tomcryptutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTextStream>

#include <unistd.h>

namespace {

const char helpText[] = R"(Usage:
  mrvpublish keygen [--bits N] [--force] PRIVATE PUBLIC.der
  mrvpublish sign PRIVATE FILE
  mrvpublish release --key PRIVATE --type CLIENT_TYPE --version N
                     [--gzip GLOB]... [--previous OLD_CLIENT_DIR]...
                     [--patch-from OLD_CLIENT_DIR]...
                     [--changelog FILE] [--follow-links] CLIENT_DIR MIRROR_ROOT
  mrvpublish verify --version N [--type CLIENT_TYPE] [--public-key PUBLIC.der]
                    [--full] [--transfers N] [--idle-timeout SECONDS]
                    [--timeout SECONDS] URL...
  mrvpublish --help

Publisher tool of the Morvane 3 Client updater.

keygen   Makes a new RSA key pair with an N-bit modulus (3072 unless --bits
         says otherwise: a multiple of 8 from 2048 to 8192) and exponent
         65537. PRIVATE gets the private key (DER, zero-padded to 2048 bytes
         if it is shorter): keep it secret. PUBLIC.der gets the public key as
         DER PKCS #1 RSAPublicKey: build the updater with
         -DMORVANE_PUBLIC_KEY=PUBLIC.der. Existing files are never
         overwritten. Standard output names the two files written.
         PRIVATE is not written inside a git work tree (a folder above it
         holds .git), where one "git add" publishes it, unless --force is
         given.

sign     Writes FILE.sig: the RSASSA-PSS signature (SHA-1, salt length 8) of
         FILE's whole content, made with PRIVATE.

release  Lays out version N of client type CLIENT_TYPE in MIRROR_ROOT/N,
         exactly as a mirror must hold it:
           files/<path>         every file of CLIENT_DIR, at its path below it
           files/<path>.gz      the same, gzip-compressed, for files that a
                                --gzip GLOB matches (unpacked on installation)
           CLIENT_TYPE.ini      the product ini: section "General" names the
                                release (version=N, type=CLIENT_TYPE);
                                section "files" lists every file with its
                                MD5 sum and size; section "delete" every
                                file that the new version lacks and that a
                                release of CLIENT_TYPE already below
                                MIRROR_ROOT installs or deletes, or that an
                                --previous OLD_CLIENT_DIR holds
           CLIENT_TYPE.ini.sig  its signature, made with PRIVATE
           changelog_client.txt a copy of --changelog FILE (empty without it)
           patches/<key>.<md5>.zst
                                with --patch-from: a zstd patch that turns
                                the file of OLD_CLIENT_DIR at the same path
                                (MD5 sum <md5>) into the new file (unpacked,
                                for a --gzip file); kept only when it is
                                smaller than half of the stored file
           CLIENT_TYPE.patches  the list of those patches: a section per
                                key, "<md5>=<patch md5>::<patch size>" lines;
                                section "General" of the product ini names it
                                (patchlist=CLIENT_TYPE.patches::<md5>::<size>)
         A GLOB without "/" matches file names in every folder ("*.so"),
         one with "/" matches paths below CLIENT_DIR ("bin/*"). "*", "?"
         and "[...]" never cross a "/": "data/*.dat" takes data/a.dat but
         not data/maps/b.dat. "**" crosses folders: "data/**" takes every
         file below data, "data/**/*.dat" every .dat file in data and the
         folders below it. A GLOB that matches no file is an error.
         [delete] must not name a file that the updater needs in the
         application root (update, mrvclient_runscript.sh, update.ini,
         mirrors.ini, update.journal, update.digests): a CLIENT_DIR that
         lacks one that an earlier release or --previous tree has is an
         error. Without update
         in CLIENT_DIR, a warning: ship update in every release. The
         release is built under a temporary name beside MIRROR_ROOT/N and
         renamed when it is complete (one that a killed run left is removed
         by the next run); an existing MIRROR_ROOT/N is an error, and so is
         a file or directory below CLIENT_DIR that cannot be read, anything
         but regular files and directories, and a file name that is not
         valid UTF-8 or holds a control character. So is a symbolic link
         in CLIENT_DIR, since it would publish whatever it leads to;
         with --follow-links, a link stands for the file or directory it
         leads to when that lies inside CLIENT_DIR, and a link that leads
         outside CLIENT_DIR, nowhere, or to a directory holding it is still
         an error. Give --patch-from once per earlier version that players
         may have installed; files of 2 GiB and more get no patch. Files are
         stored and patches made on every core; on a terminal, standard error
         shows the files and bytes done. Standard output gives MIRROR_ROOT/N,
         then what the release holds, what each GLOB took, what it deletes
         and what its patches save.
         Upload MIRROR_ROOT/N to every mirror.

verify   Checks that every mirror (base URL, as in mirrors.ini) serves version
         N of CLIENT_TYPE (client_linux_amd64 unless --type says otherwise)
         completely, before the update server announces it: the product ini
         and its signature, verified with PUBLIC.der (the public key built
         into this tool unless --public-key names one), then every file it
         lists, the patch list and every patch, by their sizes (a ranged
         request for the last byte), or with --full by their MD5 sums too.
         --transfers N (default 6) transfers run at once; on a terminal,
         standard error shows what was checked. A transfer that gets no byte
         for --idle-timeout SECONDS (default 30) stalls its mirror, and the
         check of every mirror still running after --timeout SECONDS
         (default 300, counted from the start) ends; each such mirror gets
         "mirror URL: stalled after N bytes of SIZE" on standard error and
         is not checked further. Standard output says per mirror "complete"
         or what is missing or wrong. Exit status 0 only when every mirror
         serves the release completely.

On failure every command prints one line to standard error and exits with a
non-zero status. Having signed with the development key in keys/ (whose
private half is public), sign and release print a warning there.
)";

int failure(const QString &message)
{
    QTextStream(stderr) << "mrvpublish: " << message << Qt::endl;
    return 1;
}

int usageError(const QString &message)
{
    QTextStream(stderr) << "mrvpublish: " << message << " (see mrvpublish --help)" << Qt::endl;
    return 2;
}

// 1024-bit RSA is below every current recommendation. Above 8192 bits the
// signature outgrows the 1 KiB that the updater accepts for a .sig file.
constexpr int defaultKeyBits = 3072;
constexpr int minKeyBits = 2048;
constexpr int maxKeyBits = 8192;

// The git work tree that holds dir, found by the ".git" (a directory, or a
// file in a linked work tree) in dir or a folder above it; empty if none.
QString gitWorkTree(const QString &dir)
{
    const QFileInfo info(dir);
    QString folder = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    for (;;) {
        if (QFileInfo::exists(folder + QStringLiteral("/.git")))
            return folder;
        const QString parent = QFileInfo(folder).path();
        if (parent == folder)
            return QString();
        folder = parent;
    }
}

int keygen(QStringList args)
{
    const bool force = args.removeAll(QLatin1String("--force")) > 0;
    int bits = defaultKeyBits;
    const qsizetype option = args.indexOf(QLatin1String("--bits"));
    if (option >= 0) {
        const QString value = args.value(option + 1);
        bool numeric = false;
        bits = value.toInt(&numeric);
        if (!numeric || bits < minKeyBits || bits > maxKeyBits || bits % 8 != 0)
            return usageError(QStringLiteral("--bits needs a multiple of 8 from %1 to %2, not '%3'")
                                  .arg(minKeyBits)
                                  .arg(maxKeyBits)
                                  .arg(value));
        args.remove(option, 2);
    }
    if (args.size() != 2)
        return usageError(QStringLiteral("keygen needs PRIVATE and PUBLIC.der"));
    for (const QString &path : args) {
        if (QFileInfo::exists(path))
            return failure(QStringLiteral("%1 already exists; not overwriting it").arg(path));
    }
    const QString workTree = force ? QString() : gitWorkTree(QFileInfo(args[0]).absolutePath());
    if (!workTree.isEmpty())
        return failure(QStringLiteral("not writing the private key %1 inside the git work tree %2, "
                                      "where one \"git add\" publishes it: keep it elsewhere, "
                                      "or give --force")
                           .arg(args[0], workTree));
    // The private key file is made readable by its owner only before anything
    // is written to it.
    QFile privateFile(args[0]);
    if (!privateFile.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                          QFile::ReadOwner | QFile::WriteOwner))
        return failure(QStringLiteral("Cannot open file for writing: %1").arg(args[0]));
    privateFile.close();
    RsaKey key;
    try {
        crypt_init();
        key.create(bits);
    } catch (const crypt_exception &e) {
        QFile::remove(args[0]);
        return failure(QString::fromLocal8Bit(e.what()));
    }
    try {
        save_key(key.get(), PK_PRIVATE, QFile::encodeName(args[0]).constData());
        const std::vector<unsigned char> publicKey = export_key(key.get(), PK_PUBLIC);
        write_file(QFile::encodeName(args[1]).constData(), publicKey.data(), publicKey.size());
    } catch (const crypt_exception &e) {
        // Half a key pair is of no use.
        QFile::remove(args[0]);
        QFile::remove(args[1]);
        return failure(QString::fromLocal8Bit(e.what()));
    }
    const QString privatePath = QFileInfo(args[0]).absoluteFilePath();
    const QString publicPath = QFileInfo(args[1]).absoluteFilePath();
    QTextStream(stdout) << "private key: " << privatePath
                        << " (mode 0600: keep it secret, off the mirrors and out of every "
                           "repository)\npublic key: "
                        << publicPath
                        << " (build the updater with -DMORVANE_PUBLIC_KEY=" << publicPath << ")"
                        << Qt::endl;
    return 0;
}

int sign(const QStringList &args)
{
    if (args.size() != 2)
        return usageError(QStringLiteral("sign needs PRIVATE and FILE"));
    RsaKey key;
    try {
        crypt_init();
        key.load(QFile::encodeName(args[0]).constData());
    } catch (const crypt_exception &e) {
        return failure(
            QStringLiteral("Bad key %1: %2").arg(args[0], QString::fromLocal8Bit(e.what())));
    }
    if (!key.isPrivate())
        return failure(QStringLiteral("Bad key %1: not a private key").arg(args[0]));
    try {
        sign_file(key.get(), QFile::encodeName(args[1]).constData());
    } catch (const crypt_exception &e) {
        return failure(QString::fromLocal8Bit(e.what()));
    }
    if (ReleasePublisher::isDevelopmentKey(key))
        QTextStream(stderr) << "mrvpublish: " << ReleasePublisher::developmentKeyWarning(args[0])
                            << Qt::endl;
    return 0;
}

int release(const QStringList &args)
{
    ReleasePublisher::Options options;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool takesValue = arg == QLatin1String("--key") || arg == QLatin1String("--type")
            || arg == QLatin1String("--version") || arg == QLatin1String("--gzip")
            || arg == QLatin1String("--previous") || arg == QLatin1String("--changelog")
            || arg == QLatin1String("--patch-from");
        if (takesValue) {
            if (i + 1 >= args.size())
                return usageError(QStringLiteral("%1 needs a value").arg(arg));
            const QString value = args[++i];
            if (arg == QLatin1String("--key"))
                options.keyPath = value;
            else if (arg == QLatin1String("--type"))
                options.clientType = value;
            else if (arg == QLatin1String("--version"))
                options.version = value;
            else if (arg == QLatin1String("--gzip"))
                options.gzipGlobs.append(value);
            else if (arg == QLatin1String("--previous"))
                options.previousDirs.append(value);
            else if (arg == QLatin1String("--patch-from"))
                options.patchFromDirs.append(value);
            else
                options.changelogPath = value;
        } else if (arg == QLatin1String("--follow-links")) {
            options.followLinks = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        } else {
            positional.append(arg);
        }
    }
    if (options.keyPath.isEmpty() || options.clientType.isEmpty() || options.version.isEmpty())
        return usageError(QStringLiteral("release needs --key, --type and --version"));
    if (positional.size() != 2)
        return usageError(QStringLiteral("release needs CLIENT_DIR and MIRROR_ROOT"));
    options.clientDir = positional[0];
    options.mirrorRoot = positional[1];
    options.showProgress = ::isatty(STDERR_FILENO) == 1;

    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        return failure(QString::fromLocal8Bit(e.what()));
    }
    ReleasePublisher builder(options);
    if (!builder.build())
        return failure(builder.errorString());
    for (const QString &warning : builder.warnings())
        QTextStream(stderr) << "mrvpublish: " << warning << Qt::endl;
    QTextStream out(stdout);
    out << builder.releaseDir() << Qt::endl;
    for (const QString &line : builder.summary())
        out << line << Qt::endl;
    return 0;
}

// Default time-outs of verify, in seconds: without a byte per transfer, and
// for the whole command.
constexpr int defaultIdleTimeout = 30;
constexpr int defaultTimeout = 300;
constexpr int maxTimeout = 7 * 24 * 3600;

int verify(const QStringList &args)
{
    // The command's own time counts from its start.
    QElapsedTimer started;
    started.start();
    MirrorVerifier::Options options;
    options.idleTimeoutMs = defaultIdleTimeout * 1000;
    int timeout = defaultTimeout;
    options.clientType = QStringLiteral("client_linux_amd64");
    QString keyPath;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--full")) {
            options.full = true;
            continue;
        }
        const bool takesValue = arg == QLatin1String("--version") || arg == QLatin1String("--type")
            || arg == QLatin1String("--public-key") || arg == QLatin1String("--transfers")
            || arg == QLatin1String("--idle-timeout") || arg == QLatin1String("--timeout");
        if (!takesValue && arg.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        if (!takesValue) {
            options.mirrors.append(arg);
            continue;
        }
        if (i + 1 >= args.size())
            return usageError(QStringLiteral("%1 needs a value").arg(arg));
        const QString value = args[++i];
        if (arg == QLatin1String("--version")) {
            options.version = value;
        } else if (arg == QLatin1String("--type")) {
            options.clientType = value;
        } else if (arg == QLatin1String("--public-key")) {
            keyPath = value;
        } else if (arg != QLatin1String("--transfers")) {
            bool numeric = false;
            const int seconds = value.toInt(&numeric);
            if (!numeric || seconds < 1 || seconds > maxTimeout)
                return usageError(
                    QStringLiteral("%1 needs a number of seconds from 1 to %2, not '%3'")
                        .arg(arg)
                        .arg(maxTimeout)
                        .arg(value));
            if (arg == QLatin1String("--timeout"))
                timeout = seconds;
            else
                options.idleTimeoutMs = seconds * 1000;
        } else {
            bool numeric = false;
            options.transfers = value.toInt(&numeric);
            if (!numeric || options.transfers < 1 || options.transfers > 64)
                return usageError(
                    QStringLiteral("--transfers needs a number from 1 to 64, not '%1'").arg(value));
        }
    }
    if (options.version.isEmpty() || options.mirrors.isEmpty())
        return usageError(QStringLiteral("verify needs --version and at least one mirror URL"));
    const QString versionFault = ReleasePublisher::versionFault(options.version);
    if (!versionFault.isEmpty())
        return failure(
            QStringLiteral("Invalid version '%1': %2").arg(options.version, versionFault));
    if (keyPath.isEmpty()) {
        options.publicKey
            = QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), qsizetype(PUBLIC_KEY_SIZE));
    } else {
        QFile key(keyPath);
        if (!key.open(QIODevice::ReadOnly))
            return failure(
                QStringLiteral("Cannot read public key %1: %2").arg(keyPath, key.errorString()));
        options.publicKey = key.read(PUBLIC_KEY_SIZE + 1);
        if (options.publicKey.isEmpty() || options.publicKey.size() > qsizetype(PUBLIC_KEY_SIZE))
            return failure(QStringLiteral("Bad key %1: not a public key of 1 to %2 bytes")
                               .arg(keyPath)
                               .arg(PUBLIC_KEY_SIZE));
    }
    options.showProgress = ::isatty(STDERR_FILENO) == 1;
    options.deadline = QDeadlineTimer(qint64(timeout) * 1000 - started.elapsed());
    try {
        crypt_init();
    } catch (const crypt_exception &e) {
        return failure(QString::fromLocal8Bit(e.what()));
    }
    MirrorVerifier verifier(options);
    const bool complete = verifier.run();
    QTextStream out(stdout);
    for (const QString &line : verifier.report())
        out << line << Qt::endl;
    if (verifier.timedOut())
        return failure(
            QStringLiteral("Stopped after the --timeout of %1 s: version %2 is not known "
                           "to be complete on every mirror; do not announce it yet")
                .arg(timeout)
                .arg(options.version));
    if (!complete)
        return failure(
            QStringLiteral("Version %1 is not complete on every mirror: do not announce it yet")
                .arg(options.version));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    const QString command = args.takeFirst();
    if (command == QLatin1String("help") || command == QLatin1String("-h")
        || args.contains(QLatin1String("--help")) || command == QLatin1String("--help")) {
        QTextStream(stdout) << helpText;
        return 0;
    }
    if (command == QLatin1String("keygen"))
        return keygen(args);
    if (command == QLatin1String("sign"))
        return sign(args);
    if (command == QLatin1String("release"))
        return release(args);
    if (command == QLatin1String("verify"))
        return verify(args);
    return usageError(QStringLiteral("unknown command %1").arg(command));
}
