#include "faultserver.h"
#include "fileops/checksigfunc.h"
#include "fileops/filepatchfunc.h"
#include "fileops/publickey.h"
#include "fileops/tomcryptutil.h"
#include "localservers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

// The publisher tool as a publisher runs it: keys and signatures that OpenSSL
// and the updater accept, and a release whose product ini reads back through
// QSettings exactly as the updater reads it.
class tst_MrvPublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void helpDescribesEveryCommand();
    void keygenWritesKeysOpensslReads();
    void keygenNeverOverwritesAKey();
    void keygenKeepsTheKeyOutOfAGitWorkTree();
    void signatureVerifiesWithOpenssl();
    void signedFilePassesTheUpdatersCheck();
    void releaseReadsBackAsTheUpdaterReadsIt();
    void releaseKeepsOnlyPatchesWorthFetching();
    void releaseDeletesWhatEarlierVersionsHad_data();
    void releaseDeletesWhatEarlierVersionsHad();
    void releaseFailsWithoutLeavingAnything_data();
    void releaseFailsWithoutLeavingAnything();
    void verifyFindsWhatAMirrorLacks_data();
    void verifyFindsWhatAMirrorLacks();
    void signFailsWithOneLine_data();
    void signFailsWithOneLine();

private:
    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Result run(const QStringList &args);
    static QByteArray opensslOutput(const QStringList &args);
    static void writeFile(const QString &path, const QByteArray &data);
    static QByteArray readFile(const QString &path);

    QString m_tool;
    QString m_devKey;
    bool m_devKeyCompiledIn = false;
};

// Root reads every file whatever its mode; without these two capabilities the
// tool meets the permissions that a publishing user does.
static bool dropsFilePermissionOverride()
{
    return ::geteuid() != 0 || ::prctl(PR_CAPBSET_READ, CAP_SETPCAP) == 1;
}

tst_MrvPublish::Result tst_MrvPublish::run(const QStringList &args)
{
    QProcess process;
    if (::geteuid() == 0) {
        process.setChildProcessModifier([] {
            ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE);
            ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH);
        });
    }
    // The event loop runs meanwhile for a fault server of this process.
    QEventLoop loop;
    connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    process.start(m_tool, args);
    Result result;
    if (process.waitForStarted())
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        qWarning() << "mrvpublish did not finish" << args;
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QByteArray tst_MrvPublish::opensslOutput(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("openssl"), args);
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

void tst_MrvPublish::writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(data);
}

QByteArray tst_MrvPublish::readFile(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

static QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

void tst_MrvPublish::initTestCase()
{
    m_tool = LocalServers::binDir() + QStringLiteral("/mrvpublish");
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
    const QString keys = LocalServers::sourceDir() + QStringLiteral("/keys/");
    m_devKey = keys + QStringLiteral("dev_private.key");
    const QByteArray der = readFile(keys + QStringLiteral("dev_public.der"));
    QVERIFY(!der.isEmpty());
    m_devKeyCompiledIn = der == QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), der.size());
    crypt_init();
}

void tst_MrvPublish::helpDescribesEveryCommand()
{
    const Result result = run({"--help"});
    QCOMPARE(result.exitCode, 0);
    for (const char *word :
         {"keygen [--bits N] [--force] PRIVATE PUBLIC.der", "sign PRIVATE FILE",
          "release --key PRIVATE --type CLIENT_TYPE --version N", "--gzip GLOB",
          "--previous OLD_CLIENT_DIR", "--changelog FILE", "changelog_client.txt", "delete",
          "--patch-from OLD_CLIENT_DIR", "CLIENT_TYPE.patches", "--follow-links",
          "verify --version N", "--full", "--idle-timeout SECONDS", "--timeout SECONDS"})
        QVERIFY2(result.out.contains(word), word);
}

void tst_MrvPublish::keygenWritesKeysOpensslReads()
{
    QTemporaryDir dir;
    const QString priv = dir.filePath("my.key");
    const QString pub = dir.filePath("my.der");
    QCOMPARE(run({"keygen", priv, pub}).exitCode, 0);

    QCOMPARE(QFileInfo(priv).size(), qint64(2048));
    QCOMPARE(QFileInfo(priv).permissions() & (QFile::ReadOther | QFile::ReadGroup),
             QFile::Permissions());
    // The form the updater's build option takes, as OpenSSL writes it too.
    const QByteArray text = opensslOutput(
        {"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", pub, "-noout", "-text"});
    QVERIFY2(text.contains("Public-Key: (3072 bit)"), text.constData());
    QVERIFY(text.contains("Exponent: 65537"));
    const QByteArray reexported = opensslOutput(
        {"rsa", "-inform", "DER", "-in", priv, "-RSAPublicKey_out", "-outform", "DER"});
    QCOMPARE(reexported, readFile(pub));
}

void tst_MrvPublish::keygenNeverOverwritesAKey()
{
    QTemporaryDir dir;
    const QString priv = dir.filePath("my.key");
    writeFile(priv, "precious");
    const Result result = run({"keygen", priv, dir.filePath("my.der")});
    QVERIFY(result.exitCode != 0);
    QCOMPARE(readFile(priv), QByteArray("precious"));
    QVERIFY(!QFile::exists(dir.filePath("my.der")));
    // Nor any file for a size it refuses: too weak, a signature over 1 KiB, not whole bytes.
    for (const char *bits : {"1024", "8200", "3073"})
        QCOMPARE(run({"keygen", "--bits", bits, dir.filePath("k"), dir.filePath("p")}).exitCode, 2);
    QVERIFY(!QFile::exists(dir.filePath("k")) && !QFile::exists(dir.filePath("p")));
}

// A key written into a checkout is one "git add" from being published.
void tst_MrvPublish::keygenKeepsTheKeyOutOfAGitWorkTree()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath(".git")) && QDir().mkpath(dir.filePath("keys")));
    const QString priv = dir.filePath("keys/my.key");
    const QString pub = dir.filePath("my.der");
    const QStringList args = {"keygen", "--bits", "2048", priv, pub};
    const Result refused = run(args);
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("inside the git work tree " + dir.path().toLocal8Bit()),
             refused.err.constData());
    QVERIFY(QDir(dir.filePath("keys")).isEmpty() && !QFile::exists(pub));
    // Both files named, so that the publisher sees where the private key went.
    const Result forced = run(args + QStringList {"--force"});
    QCOMPARE(forced.exitCode, 0);
    QVERIFY2(forced.out.contains("private key: " + priv.toLocal8Bit() + " (mode 0600")
                 && forced.out.contains("public key: " + pub.toLocal8Bit() + " (build"),
             forced.out.constData());
}

void tst_MrvPublish::signatureVerifiesWithOpenssl()
{
    QTemporaryDir dir;
    const QString priv = dir.filePath("my.key");
    const QString pub = dir.filePath("my.der");
    const QString data = dir.filePath("data.ini");
    // Its private key outgrows the 2048 bytes of a padded key file.
    QCOMPARE(run({"keygen", "--bits", "4096", priv, pub}).exitCode, 0);
    writeFile(data, QByteArray("[files]\nx=y\n").repeated(300));
    QCOMPARE(run({"sign", priv, data}).exitCode, 0);
    QCOMPARE(QFileInfo(data + ".sig").size(), qint64(512));

    opensslOutput({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", pub, "-pubout", "-out",
                   dir.filePath("pub.pem")});
    const QStringList verify = {"dgst",       "-sha1",
                                "-sigopt",    "rsa_padding_mode:pss",
                                "-sigopt",    "rsa_pss_saltlen:8",
                                "-sigopt",    "rsa_mgf1_md:sha1",
                                "-verify",    dir.filePath("pub.pem"),
                                "-signature", data + ".sig",
                                data};
    QVERIFY(opensslOutput(verify).contains("Verified OK"));
}

void tst_MrvPublish::signedFilePassesTheUpdatersCheck()
{
    if (!m_devKeyCompiledIn)
        QSKIP("the updater is built with another public key than keys/dev_public.der");
    QTemporaryDir dir;
    const QString data = dir.filePath("client_linux_amd64.ini");
    writeFile(data, "[files]\nbin\\mrvclient_linux_amd64=0123::4\n");
    QCOMPARE(run({"sign", m_devKey, data}).exitCode, 0);
    CheckSigFunc check(data, QString());
    QVERIFY(check.run());
}

void tst_MrvPublish::releaseReadsBackAsTheUpdaterReadsIt()
{
    QTemporaryDir dir;
    const QString client = dir.filePath("client");
    const QString previous = dir.filePath("previous");
    const QString mirror = dir.filePath("mirror");

    QByteArray binary;
    for (int i = 0; i < 70000; ++i)
        binary.append(char(i * 31 + i / 7));
    QMap<QString, QByteArray> files = {
        {"bin/mrvclient_linux_amd64", binary},
        {"lib/libx.so", binary + "lib"},
        {"plugins/a,b c.so", "comma, blank"},
        {"data dir/with space.txt", "gzipped by a path glob"},
        {"data dir/keep.dat", "not gzipped"},
        {"a,b.txt", "comma"},
        {"semi;colon=eq.txt", "semicolon"},
        {"unicod\u00e9 \u00fc.txt", "unicode"},
        {"percent%20.txt", "percent"},
        {"[bracket].txt", "bracket"},
        {"#hash.txt", "hash"},
        {"quote\"d.txt", "quote"},
        {"back\\slash.txt", "backslash"},
        {".hidden", "hidden"},
        {" lead.txt", "leading blank"},
        {"General", "a file named like the top-level section"},
        {"size", "a file named like an array's size key"},
        {"empty.dat", ""},
        {"deep/er/st/file.txt", "deep"},
    };
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        writeFile(client + "/" + it.key(), it.value());
    // Links inside the tree, followed: stored as what they lead to.
    QVERIFY(QFile::link("../data dir/keep.dat", client + "/bin/keep link"));
    QVERIFY(QFile::link("deep/er", client + "/er link"));
    files.insert("bin/keep link", files.value("data dir/keep.dat"));
    files.insert("er link/st/file.txt", files.value("deep/er/st/file.txt"));
    for (const char *old :
         {"old.txt", "bin/mrvclient_linux_amd64", "lib/libx.so", "data dir/gone file.txt"})
        writeFile(previous + "/" + QString::fromUtf8(old), "old");
    writeFile(dir.filePath("changes.txt"), "Version 42\n- everything\n");

    // What a killed run left goes.
    writeFile(mirror + "/.41.partial-AbC123/files/x", "half");

    const QString key = m_devKeyCompiledIn ? m_devKey : dir.filePath("release.key");
    if (!m_devKeyCompiledIn)
        QCOMPARE(run({"keygen", key, dir.filePath("release.der")}).exitCode, 0);
    const Result result
        = run({"release", "--key", key, "--type", "client_linux_amd64", "--version", "42", "--gzip",
               "*.so", "--gzip", "data dir/*.txt", "--gzip", "deep/**", "--previous", previous,
               "--changelog", dir.filePath("changes.txt"), "--follow-links", client, mirror});
    QVERIFY2(result.exitCode == 0, result.err.constData());

    const QString version = mirror + "/42";
    QCOMPARE(QDir(mirror).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {"42"});
    QCOMPARE(readFile(version + "/changelog_client.txt"), QByteArray("Version 42\n- everything\n"));
    const QString ini = version + "/client_linux_amd64.ini";
    if (m_devKeyCompiledIn) {
        CheckSigFunc check(ini, QString());
        QVERIFY(check.run());
    }

    // Read as the updater does: every section but "delete" lists files, each
    // section's keys come from allKeys(), values are text split at "::".
    QSettings settings(ini, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    QVERIFY(readFile(ini).startsWith("[General]\ntype=client_linux_amd64\nversion=42\n\n"));
    QCOMPARE(settings.childGroups(), (QStringList {"delete", "files"}));
    settings.beginGroup("delete");
    QStringList deletes = settings.allKeys();
    deletes.sort();
    QCOMPARE(deletes, (QStringList {"data dir/gone file.txt", "old.txt"}));
    settings.endGroup();

    settings.beginGroup("files");
    const QStringList keys = settings.allKeys();
    QCOMPARE(keys.size(), files.size());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString &path = it.key();
        const bool gzipped
            = path.endsWith(".so") || path == "data dir/with space.txt" || path.startsWith("deep/");
        const QString entry = gzipped ? path + ".gz" : path;
        QVERIFY2(keys.contains(entry), qPrintable(entry));
        const QStringList fields = settings.value(entry).toString().split("::", Qt::KeepEmptyParts);
        const QByteArray stored = readFile(version + "/files/" + entry);
        QVERIFY2(QFile::exists(version + "/files/" + entry), qPrintable(entry));
        QCOMPARE(fields.value(0), md5Of(stored));
        QCOMPARE(fields.value(1), QString::number(stored.size()));
        if (!gzipped) {
            QCOMPARE(fields.size(), 2);
            QCOMPARE(stored, it.value());
            continue;
        }
        QCOMPARE(fields.size(), 5);
        QCOMPARE(fields[2], md5Of(it.value()));
        QCOMPARE(fields[3], QString::number(it.value().size()));
        QCOMPARE(fields[4], path);
        QProcess gunzip;
        gunzip.start("gzip", {"-dc", version + "/files/" + entry});
        QVERIFY(gunzip.waitForFinished(30000));
        QCOMPARE(gunzip.readAllStandardOutput(), it.value());
    }
}

enum ReleaseFault {
    MissingClientDir,
    MissingPreviousDir,
    MissingChangelog,
    SymbolicLink,
    LinkLeadingOutside,
    GarbageKey,
    PublicKeyAsKey,
    MissingKey,
    ExistingVersion,
    BadVersion,
    LeadingZeroVersion,
    EmptyClientDir,
    ClashingNames,
    NameNotUtf8,
    NameWithControlCharacter,
    VersionZero,
    ClientDirIsAFile,
    UnreadableFile,
    UnreadableFolder,
    UnreadableClientDir,
    EarlierReleaseLeavingTheRoot,
    DeletingAnUpdaterFile, // the one that ends the row's name
    GlobMatchingNothing,
};

// Patches from each earlier tree, kept only when smaller than half of the
// stored file (the .gz for a compressed one), listed in a file that [General]
// names with its sum and size; nothing on standard error without a terminal.
void tst_MrvPublish::releaseKeepsOnlyPatchesWorthFetching()
{
    QTemporaryDir dir;
    auto random = [](int size, quint32 seed) {
        QByteArray data(size, Qt::Uninitialized);
        QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
        return data;
    };
    QByteArray text;
    for (int i = 0; i < 4000; ++i)
        text += random(12, quint32(i)).toHex() + '\n';
    const QByteArray small = random(200000, 1);
    writeFile(dir.filePath("v1/small.bin"), small);
    writeFile(dir.filePath("v2/small.bin"), QByteArray(small).replace(5000, 10, "ten bytes!"));
    writeFile(dir.filePath("v1/rewritten.bin"), random(200000, 2));
    writeFile(dir.filePath("v2/rewritten.bin"), small + "2");
    writeFile(dir.filePath("v1/same.bin"), small);
    writeFile(dir.filePath("v3/same.bin"), small);
    writeFile(dir.filePath("v1/packed.txt"), text);
    writeFile(dir.filePath("v3/packed.txt"), QByteArray(text).replace(100, 6, "edited"));
    for (const char *version : {"v3/small.bin", "v3/rewritten.bin"})
        writeFile(dir.filePath(version), small + "3");
    const QString key = m_devKeyCompiledIn ? m_devKey : dir.filePath("release.key");
    if (!m_devKeyCompiledIn)
        QCOMPARE(run({"keygen", key, dir.filePath("release.der")}).exitCode, 0);

    const Result result = run({"release", "--key", key, "--type", "client_linux_amd64",
                               "--version", "3", "--gzip", "*.txt", "--patch-from",
                               dir.filePath("v1"), "--patch-from", dir.filePath("v2"),
                               dir.filePath("v3"), dir.filePath("mirror")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err,
             (m_devKeyCompiledIn ? "mrvpublish: warning: " + m_devKey.toLocal8Bit()
                      + " is the development key, whose private half is public: only updaters "
                        "that trust it accept this, and they accept what anyone signs; make "
                        "your own with mrvpublish keygen\n"
                                 : QByteArray())
                 + "mrvpublish: warning: " + dir.filePath("v3").toLocal8Bit()
                 + " has no update: this release leaves every player's updater as it is; ship "
                   "update in every release\n");
    for (const char *from : {"v1", "v2"})
        QVERIFY(result.out.contains("patches from " + QFile::encodeName(dir.filePath(from))
                                    + ": 2 files"));

    const QString release = dir.filePath("mirror/3/");
    QByteArray expected;
    for (const auto &[file, old] : {std::pair("packed.txt", "v1/packed.txt"),
                                    std::pair("rewritten.bin", "v2/rewritten.bin"),
                                    std::pair("small.bin", "v1/small.bin"),
                                    std::pair("small.bin", "v2/small.bin")}) {
        const QString stored = QString(file).endsWith(".txt") ? file + QString(".gz") : file;
        const QString oldMd5 = md5Of(readFile(dir.filePath(old)));
        const QString patch = release + "patches/" + stored + "." + oldMd5 + ".zst";
        // Only the file rewritten from v1 has no patch worth fetching.
        QVERIFY2(QFileInfo::exists(patch), qPrintable(patch));
        QVERIFY(QFileInfo(patch).size() * 2 < QFileInfo(release + "files/" + stored).size());
        if (!expected.contains("[" + stored.toUtf8() + "]"))
            expected += "[" + stored.toUtf8() + "]\n";
        expected += oldMd5.toLatin1() + "=" + md5Of(readFile(patch)).toLatin1()
            + "::" + QByteArray::number(QFileInfo(patch).size()) + "\n";
        FilePatchFunc apply(dir.filePath(old), patch, dir.filePath("out"),
                            QFileInfo(dir.filePath(QString("v3/") + file)).size());
        QVERIFY(apply.run());
        QCOMPARE(readFile(dir.filePath("out")), readFile(dir.filePath(QString("v3/") + file)));
    }
    QCOMPARE(QDir(release + "patches").entryList(QDir::Files).size(), 4);
    QCOMPARE(readFile(release + "client_linux_amd64.patches"), expected);
    QSettings ini(release + "client_linux_amd64.ini", QSettings::IniFormat);
    QCOMPARE(ini.value("patchlist").toString(),
             QString("client_linux_amd64.patches::%1::%2").arg(md5Of(expected)).arg(expected.size()));
}

void tst_MrvPublish::releaseDeletesWhatEarlierVersionsHad_data()
{
    QTest::addColumn<QList<int>>("published"); // versions released below the mirror root first
    QTest::addColumn<QList<int>>("removed"); // their directories taken off it before version 3
    QTest::addColumn<QList<int>>("previous"); // client trees given as --previous

    QTest::newRow("three releases") << QList<int> {1, 2} << QList<int>() << QList<int>();
    QTest::newRow("oldest release taken off the mirror")
        << QList<int> {1, 2} << QList<int> {1} << QList<int>();
    QTest::newRow("repeated --previous") << QList<int>() << QList<int>() << QList<int> {1, 2};
}

// A player who skips versions loses what any of them had, and nothing else:
// version 3 deletes what versions 1 and 2 had and it lacks, including a file
// that version 1 installed from a compressed one.
void tst_MrvPublish::releaseDeletesWhatEarlierVersionsHad()
{
    QFETCH(QList<int>, published);
    QFETCH(QList<int>, removed);
    QFETCH(QList<int>, previous);
    QTemporaryDir dir;
    const QString mirror = dir.filePath("mirror");
    const QMap<int, QStringList> clients = {
        {1, {"kept.txt", "data/gone1.txt", "lib/x.so", "data/back.txt"}},
        {2, {"kept.txt", "data/gone2.txt"}},
        {3, {"kept.txt", "data/back.txt"}},
    };
    for (auto it = clients.cbegin(); it != clients.cend(); ++it) {
        for (const QString &file : it.value())
            writeFile(dir.filePath(QString("v%1/%2").arg(it.key()).arg(file)), file.toUtf8());
    }
    QStringList extra;
    for (int version : previous)
        extra << "--previous" << dir.filePath(QString("v%1").arg(version));
    const QString key = m_devKeyCompiledIn ? m_devKey : dir.filePath("release.key");
    if (!m_devKeyCompiledIn)
        QCOMPARE(run({"keygen", key, dir.filePath("release.der")}).exitCode, 0);
    for (int version : published + QList<int> {3}) {
        for (int old : version == 3 ? removed : QList<int>())
            QVERIFY(QDir(mirror + QString("/%1").arg(old)).removeRecursively());
        const Result result
            = run(QStringList {"release", "--key", key, "--type", "client_linux_amd64", "--version",
                               QString::number(version)}
                  + (version == 1 ? QStringList {"--gzip", "*.so"} : QStringList())
                  + (version == 3 ? extra : QStringList())
                  + QStringList {dir.filePath(QString("v%1").arg(version)), mirror});
        QVERIFY2(result.exitCode == 0, result.err.constData());
    }
    QSettings ini(mirror + "/3/client_linux_amd64.ini", QSettings::IniFormat);
    ini.beginGroup("delete");
    QStringList deletes = ini.allKeys();
    deletes.sort();
    QCOMPARE(deletes, (QStringList {"data/gone1.txt", "data/gone2.txt", "lib/x.so"}));
}

void tst_MrvPublish::releaseFailsWithoutLeavingAnything_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing client directory") << int(MissingClientDir) << "Client directory";
    QTest::newRow("missing previous directory")
        << int(MissingPreviousDir) << "Previous client directory";
    QTest::newRow("missing change log") << int(MissingChangelog) << "Cannot read change log";
    QTest::newRow("symbolic link") << int(SymbolicLink) << "/lib/liby.so is a symbolic link";
    QTest::newRow("followed link leading outside")
        << int(LinkLeadingOutside) << "/lib/liby.so is a symbolic link leading outside";
    QTest::newRow("garbage key") << int(GarbageKey) << "Bad key";
    QTest::newRow("public key instead of private") << int(PublicKeyAsKey) << "not a private key";
    QTest::newRow("missing key") << int(MissingKey) << "Cannot open file for reading";
    QTest::newRow("existing version directory") << int(ExistingVersion) << "already exists";
    QTest::newRow("version not a number") << int(BadVersion) << "Invalid version";
    QTest::newRow("version with a leading zero")
        << int(LeadingZeroVersion) << "Invalid version '07': no leading zeros";
    QTest::newRow("version 0") << int(VersionZero) << "a whole number from 1 to 2147483647";
    QTest::newRow("file as client directory") << int(ClientDirIsAFile) << "is a file, not a";
    QTest::newRow("unreadable file")
        << int(UnreadableFile) << "/lib/libx.so cannot be read: Permission denied";
    QTest::newRow("unreadable folder")
        << int(UnreadableFolder) << "/lib cannot be read: Permission denied";
    QTest::newRow("unreadable client directory")
        << int(UnreadableClientDir) << "client cannot be read: Permission denied";
    QTest::newRow("earlier release naming a path outside")
        << int(EarlierReleaseLeavingTheRoot) << "names in [files] the path \"../x.so\"";
    for (const char *file :
         {"update", "mrvclient_runscript.sh", "update.ini", "mirrors.ini", "update.journal"})
        QTest::addRow("delete list naming %s", file)
            << int(DeletingAnUpdaterFile)
            << QString("%1 is missing from CLIENT, so [delete] would remove it").arg(file);
    QTest::newRow("glob matching nothing")
        << int(GlobMatchingNothing)
        << "--gzip 'data/*.dat' matches no file of CLIENT (\"*\" stops at \"/\"; "
           "'data/**/*.dat' also matches";
    QTest::newRow("empty client directory") << int(EmptyClientDir) << "No files";
    QTest::newRow("two files stored under one name") << int(ClashingNames) << "Two files";
    QTest::newRow("name not UTF-8") << int(NameNotUtf8) << "/lib/x\\xff.so is not valid UTF-8";
    QTest::newRow("control character")
        << int(NameWithControlCharacter) << "a\\x0ab holds a control";
}

void tst_MrvPublish::releaseFailsWithoutLeavingAnything()
{
    QFETCH(int, fault);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QString client = dir.filePath("client");
    QString key = m_devKey;
    QString version = "7";
    QStringList extra;
    const QString mirror = dir.filePath("mirror");
    QDir().mkpath(mirror);
    writeFile(client + "/bin/mrvclient_linux_amd64", "client");
    writeFile(client + "/lib/libx.so", "lib");
    expected.replace("CLIENT", client);

    QByteArray rawName;
    switch (fault) {
    case MissingClientDir:
        client = dir.filePath("nowhere");
        break;
    case MissingPreviousDir:
        extra << "--previous" << dir.filePath("nowhere");
        break;
    case MissingChangelog:
        extra << "--changelog" << dir.filePath("nowhere.txt");
        break;
    case LinkLeadingOutside:
        extra << "--follow-links";
        Q_FALLTHROUGH();
    case SymbolicLink:
        writeFile(dir.filePath("secret"), "secret");
        QVERIFY(QFile::link(dir.filePath("secret"), client + "/lib/liby.so"));
        break;
    case GarbageKey:
        key = dir.filePath("garbage.key");
        writeFile(key, QByteArray(2048, 'g'));
        break;
    case PublicKeyAsKey:
        key = LocalServers::sourceDir() + "/keys/dev_public.der";
        break;
    case MissingKey:
        key = dir.filePath("nowhere.key");
        break;
    case ExistingVersion:
        QDir().mkpath(mirror + "/7");
        break;
    case BadVersion:
        version = "1.5";
        break;
    case LeadingZeroVersion:
        version = "07";
        break;
    case EmptyClientDir:
        client = dir.filePath("empty");
        QDir().mkpath(client);
        break;
    case ClashingNames:
        writeFile(client + "/lib/libx.so.gz", "already compressed");
        extra << "--gzip"
              << "*.so";
        break;
    case NameNotUtf8:
        // Bytes that QString cannot carry (nor QTemporaryDir remove).
        rawName = QFile::encodeName(client) + "/lib/x\xff.so";
        QVERIFY(::symlink("libx.so", rawName.constData()) == 0);
        break;
    case NameWithControlCharacter:
        writeFile(client + "/a\nb", "x");
        break;
    case VersionZero:
        version = "0";
        break;
    case ClientDirIsAFile:
        client += "/lib/libx.so";
        break;
    case UnreadableFile:
    case UnreadableFolder:
    case UnreadableClientDir:
        if (!dropsFilePermissionOverride())
            QSKIP("root reads every file here");
        QFile::setPermissions(client
                                  + (fault == UnreadableFile         ? "/lib/libx.so"
                                         : fault == UnreadableFolder ? "/lib"
                                                                     : ""),
                              QFile::Permissions());
        break;
    case EarlierReleaseLeavingTheRoot:
        writeFile(mirror + "/6/client_linux_amd64.ini",
                  "[files]\nx.so.gz=d41d8cd98f00b204e9800998ecf8427e::0::"
                  "d41d8cd98f00b204e9800998ecf8427e::0::../x.so\n");
        break;
    case DeletingAnUpdaterFile:
        writeFile(mirror + "/6/client_linux_amd64.ini",
                  "[files]\n" + QString(QTest::currentDataTag()).section(' ', -1).toUtf8()
                      + "=d41d8cd98f00b204e9800998ecf8427e::0\n");
        break;
    case GlobMatchingNothing:
        writeFile(client + "/data/maps/harbour.dat", "map");
        extra << "--gzip" << "data/*.dat";
        break;
    }
    const QStringList before
        = QDir(mirror).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    const Result result = run(
        QStringList {"release", "--key", key, "--type", "client_linux_amd64", "--version", version}
        + extra + QStringList {client, mirror});
    if (!rawName.isEmpty())
        ::unlink(rawName.constData());
    if (fault == UnreadableFile || fault == UnreadableFolder || fault == UnreadableClientDir) {
        for (const QString &path : {client, client + "/lib", client + "/lib/libx.so"})
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QVERIFY(result.exitCode > 0);
    const QString err = QString::fromLocal8Bit(result.err);
    QVERIFY2(err.startsWith("mrvpublish: ") && err.endsWith('\n') && err.count('\n') == 1,
             qPrintable(err));
    QVERIFY2(err.contains(expected), qPrintable(err));
    QCOMPARE(QDir(mirror).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             before);
    if (fault == ExistingVersion)
        QVERIFY(QDir(mirror + "/7").isEmpty());
}

enum MirrorFault {
    Complete,
    MissingFile,
    ShortFile,
    ChangedFile,
    MissingPatch,
    WrongKey,
    Stall,
    Trickle
};

void tst_MrvPublish::verifyFindsWhatAMirrorLacks_data()
{
    QTest::addColumn<int>("fault"); // done to the second of two mirrors
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("expected"); // of the second mirror's report

    QTest::newRow("complete") << int(Complete) << false << "complete, 2 files and 1 patches";
    QTest::newRow("missing file")
        << int(MissingFile) << false << "1 faults\n    2/files/data.bin: missing (HTTP 404)";
    QTest::newRow("file cut short") << int(ShortFile) << false
                                    << "2/files/data.bin: shorter than the listed 300000 bytes";
    QTest::newRow("file changed, by its sum")
        << int(ChangedFile) << true << "2/files/data.bin: MD5 sum ";
    QTest::newRow("missing patch")
        << int(MissingPatch) << false << "2/patches/data.bin.PATCHED.zst: missing (HTTP 404)";
    QTest::newRow("another key") << int(WrongKey) << false
                                 << "2/client_linux_amd64.ini: its signature does not verify";
    QTest::newRow("stalls after its headers")
        << int(Stall) << false << "2/files/data.bin: stalled after 0 bytes of 300000";
    QTest::newRow("trickles") << int(Trickle) << false << "2/client_linux_amd64.ini: stalled after";
}

// Two mirrors of a release with a patch, the second one faulty.
void tst_MrvPublish::verifyFindsWhatAMirrorLacks()
{
    QFETCH(int, fault);
    QFETCH(bool, full);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QByteArray data(300000, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    writeFile(dir.filePath("v1/data.bin"), data);
    writeFile(dir.filePath("v2/data.bin"), QByteArray(data).replace(100, 4, "new!"));
    writeFile(dir.filePath("v2/readme.txt"), "read me");
    const QString good = dir.filePath("good");
    QVERIFY(run({"release", "--key", m_devKey, "--type", "client_linux_amd64", "--version", "2",
                 "--patch-from", dir.filePath("v1"), dir.filePath("v2"), good})
                .exitCode
            == 0);
    const QString bad = dir.filePath("bad");
    QCOMPARE(QProcess::execute("cp", {"-a", good, bad}), 0);
    QString publicKey = LocalServers::sourceDir() + "/keys/dev_public.der";
    switch (fault) {
    case MissingFile:
        QVERIFY(QFile::remove(bad + "/2/files/data.bin"));
        break;
    case ShortFile:
        QVERIFY(QFile::resize(bad + "/2/files/data.bin", 250000));
        break;
    case ChangedFile:
        writeFile(bad + "/2/files/data.bin", QByteArray(data).replace(100, 4, "old!"));
        break;
    case MissingPatch:
        QVERIFY(QFile::remove(bad + "/2/patches/data.bin." + md5Of(data) + ".zst"));
        expected.replace("PATCHED", md5Of(data));
        break;
    case WrongKey:
        publicKey = dir.filePath("other.der");
        QCOMPARE(run({"keygen", "--bits", "2048", dir.filePath("other.key"), publicKey}).exitCode,
                 0);
        break;
    }
    LocalServers servers;
    FaultServer faulty(QByteArray {});
    faulty.serveDirectory(bad);
    faulty.setFault(fault == Stall ? "data.bin" : "client_linux_amd64.ini",
                    fault == Stall ? "stall" : "trickle");
    const bool stalls = fault == Stall || fault == Trickle;
    const QStringList urls
        = {servers.startNginx(good),
           stalls && faulty.start() ? faulty.baseUrl() : servers.startNginx(bad)};
    QVERIFY(!urls[0].isEmpty() && !urls[1].isEmpty());

    QElapsedTimer clock;
    clock.start();
    const Result result = run(
        QStringList {"verify", "--version", "2", "--public-key", publicKey}
        + (full ? QStringList {"--full"} : QStringList())
        + (stalls ? QStringList {"--idle-timeout", "1", "--timeout", "5"} : QStringList()) + urls);
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(result.exitCode, fault == Complete ? 0 : 1);
    const QString out = QString::fromUtf8(result.out);
    QVERIFY2(out.section(urls[1] + ": ", 1).contains(expected), qPrintable(out));
    if (fault != WrongKey)
        QVERIFY2(out.startsWith(urls[0] + ": complete, 2 files and 1 patches\n"), qPrintable(out));
    // Product ini and signature, then two files, the patch list and its patch.
    const QByteArray checked = fault == WrongKey ? ": checked 2 of 2\n" : ": checked 6 of 6\n";
    QVERIFY2(result.err.contains(urls[0].toUtf8() + checked), result.err);
    const QRegularExpression stalled("mirror " + QRegularExpression::escape(urls[1])
                                     + ": stalled after \\d+ bytes of "
                                     + (fault == Stall ? "300000\n" : "unknown\n"));
    QCOMPARE(QString::fromUtf8(result.err).contains(stalled), stalls);
    QCOMPARE(result.err.contains("Stopped after the --timeout of 5 s"), fault == Trickle);
}

void tst_MrvPublish::signFailsWithOneLine_data()
{
    QTest::addColumn<QString>("keyName");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing file") << "dev"
                                  << "nowhere.ini"
                                  << "Cannot open file for reading";
    QTest::newRow("missing key") << "nowhere.key"
                                 << "data.ini"
                                 << "Cannot open file for reading";
    QTest::newRow("public key") << "public"
                                << "data.ini"
                                << "not a private key";
    QTest::newRow("garbage key") << "garbage"
                                 << "data.ini"
                                 << "Bad key";
}

void tst_MrvPublish::signFailsWithOneLine()
{
    QFETCH(QString, keyName);
    QFETCH(QString, fileName);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    writeFile(dir.filePath("data.ini"), "data");
    writeFile(dir.filePath("garbage"), QByteArray(300, 'x'));
    QString key = dir.filePath(keyName);
    if (keyName == "dev")
        key = m_devKey;
    else if (keyName == "public")
        key = LocalServers::sourceDir() + "/keys/dev_public.der";
    const Result result = run({"sign", key, dir.filePath(fileName)});
    QVERIFY(result.exitCode > 0);
    const QString err = QString::fromLocal8Bit(result.err);
    QVERIFY2(err.startsWith("mrvpublish: ") && err.count('\n') == 1, qPrintable(err));
    QVERIFY2(err.contains(expected), qPrintable(err));
    QVERIFY(!QFile::exists(dir.filePath(fileName) + ".sig"));
}

QTEST_GUILESS_MAIN(tst_MrvPublish)
#include "tst_mrvpublish.moc"
