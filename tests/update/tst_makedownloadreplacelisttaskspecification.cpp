#include "fileops/publickey.h"
#include "digest/verifieddigests.h"
#include "fileops/tomcryptutil.h"
#include "formats/productini.h"
#include "localservers.h"
#include "scopedapproot.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDirIterator>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QThread>
#include <QTimer>

#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QString ClientType = QStringLiteral("client_linux_amd64");
const QString Compiling = QStringLiteral("Compiling download and replace list");
const QString NoFiles = QStringLiteral("No files in product ini");
const QByteArray NewContent = "content of the new version\n";
const QByteArray OldContent = "content of the old version\n";
const QByteArray PackedContent = "pretend these are gzip bytes";

QString md5(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A plain stand-in that no compiled list would contain.
FileSpecifications sentinelLists()
{
    FileSpecifications lists;
    lists.downloads.append({QStringLiteral("s"), QStringLiteral("earlier"), QString(), 1});
    lists.replaces.append(
        {QStringLiteral("s"), QStringLiteral("earlier"), QString(), 0, QString()});
    lists.deletes.append(QStringLiteral("earlier"));
    return lists;
}

QStringList paths(const QList<FileDownloadSpecification> &list)
{
    QStringList result;
    for (const FileDownloadSpecification &entry : list)
        result.append(entry.section + QLatin1Char(':') + entry.filePath);
    return result;
}

QStringList paths(const QList<FileReplaceSpecification> &list)
{
    QStringList result;
    for (const FileReplaceSpecification &entry : list)
        result.append(entry.section + QLatin1Char(':') + entry.filePath);
    return result;
}

} // namespace

// The file list step over a real application root and temporary directory,
// with hand-written product inis and releases made by mrvpublish.
class tst_MakeDownloadReplaceListTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listsFollowTheComparisons_data();
    void listsFollowTheComparisons();
    void recordedDigestServesOnlyTheSameFile_data();
    void recordedDigestServesOnlyTheSameFile();
    void fieldsReachTheEntries();
    void sectionsAndKeysInSettingsOrderWithProgressPerKey();
    void valueWithCommaIsReadAsText();
    void invalidFieldCountFailsWholeStep_data();
    void invalidFieldCountFailsWholeStep();
    void productIniWithoutFilesFails_data();
    void productIniWithoutFilesFails();
    void unsafePathIsRefused_data();
    void unsafePathIsRefused();
    void emptyExpectedSumNeverMatches();
    void fifoAtInstalledPathIsNotWaitedFor();
    void installedFileWithTheSameBytesIsTheLocalSource_data();
    void installedFileWithTheSameBytesIsTheLocalSource();
    void manyFilesKeepKeyOrder();
    void mrvpublishReleaseComparesAsPublished();
    void taskDeletedWhileWorkRunsLeavesNothingBroken();

private:
    void writeIni(const QByteArray &content);
    QString app(const QString &path) const { return m_app->filePath(path); }
    QString temp(const QString &path) const { return m_app->tempFilePath(path); }
    // Runs the step to its end; returns its final state.
    TaskState runStep();
    bool publish(const QStringList &args);

    std::unique_ptr<ScopedAppRoot> m_app;
    RunSettings m_settings;
    FileSpecifications m_lists;
    QStringList m_messages;
    QList<qreal> m_progress;
    bool m_devKeyCompiledIn = false;
};

void tst_MakeDownloadReplaceListTaskSpecification::initTestCase()
{
    const QString keys = LocalServers::sourceDir() + QStringLiteral("/keys/");
    const QByteArray der = readFile(keys + QStringLiteral("dev_public.der"));
    m_devKeyCompiledIn = !der.isEmpty()
        && der == QByteArray(reinterpret_cast<const char *>(PUBLIC_KEY), der.size());
    crypt_init();
}

void tst_MakeDownloadReplaceListTaskSpecification::init()
{
    m_app = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_app->isValid());
    m_settings = m_app->settings();
    m_settings.clientType = ClientType;
    m_lists = FileSpecifications();
    m_messages.clear();
    m_progress.clear();
}

void tst_MakeDownloadReplaceListTaskSpecification::cleanup()
{
    m_app.reset();
}

void tst_MakeDownloadReplaceListTaskSpecification::writeIni(const QByteArray &content)
{
    QVERIFY(writeFile(temp(ClientType + QStringLiteral(".ini")), content));
}

TaskState tst_MakeDownloadReplaceListTaskSpecification::runStep()
{
    MakeDownloadReplaceListTaskSpecification task(m_settings, m_lists, nullptr, 1.0);
    connect(&task, &TaskSpecification::message, this,
            [this](const QString &line) { m_messages.append(line); });
    connect(&task, &TaskSpecification::updateProgress, this,
            [this](qreal value) { m_progress.append(value); });
    QEventLoop loop;
    connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    task.execute();
    loop.exec();
    return task.state;
}

bool tst_MakeDownloadReplaceListTaskSpecification::publish(const QStringList &args)
{
    QProcess process;
    process.start(LocalServers::binDir() + QStringLiteral("/mrvpublish"), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        qWarning() << process.readAllStandardError();
        return false;
    }
    return true;
}

void tst_MakeDownloadReplaceListTaskSpecification::listsFollowTheComparisons_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("installedPath");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("downloaded"); // lies at the key in the temporary directory
    QTest::addColumn<bool>("replace");
    QTest::addColumn<bool>("download");

    const QString plain = md5(NewContent) + "::" + QString::number(NewContent.size());
    const QString packed = md5(PackedContent) + "::" + QString::number(PackedContent.size())
        + "::" + md5(NewContent) + "::" + QString::number(NewContent.size()) + "::lib/libx.so";
    const QByteArray none;

    QTest::newRow("installed copy current")
        << "bin/tool" << plain << "bin/tool" << NewContent << none << false << false;
    QTest::newRow("installed copy missing")
        << "bin/tool" << plain << QString() << none << none << true << true;
    QTest::newRow("missing, intact download")
        << "bin/tool" << plain << QString() << none << NewContent << true << false;
    QTest::newRow("changed, no download")
        << "bin/tool" << plain << "bin/tool" << OldContent << none << true << true;
    QTest::newRow("changed, intact download")
        << "bin/tool" << plain << "bin/tool" << OldContent << NewContent << true << false;
    QTest::newRow("changed, corrupt download")
        << "bin/tool" << plain << "bin/tool" << OldContent << OldContent << true << true;
    QTest::newRow("expected sum in upper case")
        << "bin/tool" << plain.toUpper() << "bin/tool" << NewContent << none << false << false;
    QTest::newRow("unpacked file current under field 5")
        << "lib/libx.so.gz" << packed << "lib/libx.so" << NewContent << none << false << false;
    QTest::newRow("unpacked file is not looked for under its key")
        << "lib/libx.so.gz" << packed << "lib/libx.so.gz" << PackedContent << none << true << true;
    QTest::newRow("unpacked file with its download under the key")
        << "lib/libx.so.gz" << packed << QString() << none << PackedContent << true << false;
    QTest::newRow("unpacked copy under the key, as a patch leaves it")
        << "lib/libx.so.gz" << packed << QString() << none << NewContent << true << false;
    QTest::newRow("unpacked download checked against fields 1 and 3")
        << "lib/libx.so.gz" << packed << QString() << none << OldContent << true << true;
    QTest::newRow("empty field 5 installs under the key")
        << "bin/tool" << plain + "::" + md5(OldContent) + "::5::"
        << "bin/tool" << NewContent << none << false << false;
    QTest::newRow("dots inside a name are no parent directory")
        << "..data/a..b" << plain << "..data/a..b" << NewContent << none << false << false;
}

void tst_MakeDownloadReplaceListTaskSpecification::recordedDigestServesOnlyTheSameFile_data()
{
    QTest::addColumn<QString>("change"); // made after the record was written
    QTest::addColumn<bool>("taken"); // the record's digest, not the file's
    QTest::addColumn<QString>("problem"); // logged once when the record is not used
    QTest::newRow("unchanged file: the record serves") << "" << true << "";
    QTest::newRow("rewritten, times restored (touch -r)") << "rewrite" << false << "";
    QTest::newRow("replaced by rename, same size and times") << "rename" << false << "";
    QTest::newRow("record of another installation")
        << "foreign" << false << "it belongs to another installation";
    QTest::newRow("record one byte short") << "truncate" << false << "it is damaged";
    QTest::newRow("--verify reads every file") << "verify" << false << "";
}

// The record's digest is taken only while the file is the very one it was
// written for; otherwise, or with a record that is not fit to be used, the
// file is read. The record here says the file holds the old version, while
// it holds the new one: taking the record shows as a replacement.
void tst_MakeDownloadReplaceListTaskSpecification::recordedDigestServesOnlyTheSameFile()
{
    QFETCH(QString, change);
    QFETCH(bool, taken);
    QFETCH(QString, problem);
    writeIni("[files]\nbin/tool=" + md5(NewContent).toUtf8() + "::"
             + QByteArray::number(NewContent.size()) + "\n");
    const QString tool = app(QStringLiteral("bin/tool"));
    QVERIFY(writeFile(tool, NewContent));
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(tool).constData(), &status), 0);
    VerifiedDigests record;
    record.setRoot(QFile::encodeName(m_app->path()) + '/');
    record.add(QFile::encodeName(tool), VerifiedDigests::Identity::of(status),
               QCryptographicHash::hash(OldContent, QCryptographicHash::Md5));
    VerifiedDigests::Owner owner;
    QVERIFY(VerifiedDigests::ownerOf(m_app->path(), QCoreApplication::applicationFilePath(),
                                     &owner));
    if (change == QLatin1String("foreign"))
        owner.root.inode += 1;
    QByteArray bytes = record.toBytes(owner, QDateTime::currentSecsSinceEpoch());
    if (change == QLatin1String("truncate"))
        bytes.chop(1);
    QVERIFY(writeFile(app(ProductIni::VerifiedRecordName), bytes));

    const timespec times[2] = {status.st_atim, status.st_mtim};
    // Past a tick of the file system's clock, which times changes coarsely.
    if (change == QLatin1String("rewrite") || change == QLatin1String("rename"))
        QThread::msleep(20);
    if (change == QLatin1String("rewrite")) {
        QVERIFY(writeFile(tool, NewContent));
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(tool).constData(), times, 0), 0);
    } else if (change == QLatin1String("rename")) {
        QVERIFY(writeFile(tool + QStringLiteral(".new"), NewContent));
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(tool + ".new").constData(), times, 0), 0);
        QVERIFY(::rename(QFile::encodeName(tool + ".new").constData(),
                         QFile::encodeName(tool).constData())
                == 0);
    }
    m_settings.verifyAll = change == QLatin1String("verify");

    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_lists.replaces.size(), taken ? 1 : 0);
    const QStringList notUsed = m_messages.filter(QStringLiteral("record of verified files"));
    QCOMPARE(notUsed.size(), problem.isEmpty() ? 0 : 1);
    if (!problem.isEmpty())
        QVERIFY2(notUsed.first().contains(problem), qPrintable(notUsed.first()));
}

void tst_MakeDownloadReplaceListTaskSpecification::listsFollowTheComparisons()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, installedPath);
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, downloaded);
    QFETCH(bool, replace);
    QFETCH(bool, download);

    writeIni("[files]\n" + key.toUtf8() + "=" + value.toUtf8() + "\n");
    if (!installedPath.isEmpty())
        QVERIFY(writeFile(app(installedPath), installed));
    if (!downloaded.isEmpty())
        QVERIFY(writeFile(temp(key), downloaded));

    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_messages, QStringList {Compiling});
    QCOMPARE(m_lists.replaces.size(), replace ? 1 : 0);
    QCOMPARE(m_lists.downloads.size(), download ? 1 : 0);
    QVERIFY(m_lists.deletes.isEmpty());
    // Nothing in the installation or the temporary directory was changed.
    if (!installedPath.isEmpty())
        QCOMPARE(readFile(app(installedPath)), installed);
    if (!downloaded.isEmpty())
        QCOMPARE(readFile(temp(key)), downloaded);
}

void tst_MakeDownloadReplaceListTaskSpecification::fieldsReachTheEntries()
{
    writeIni("[files]\n"
             "a.gz=AAAA0000aaaa0000AAAA0000aaaa0000::123::bbbb0000bbbb0000bbbb0000bbbb0000::456::"
             "sub/a\n"
             "b=cccc0000cccc0000cccc0000cccc0000::not a number\n");
    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_lists.downloads.size(), 2);
    QCOMPARE(m_lists.replaces.size(), 2);

    const FileDownloadSpecification &a = m_lists.downloads[0];
    QCOMPARE(a.section, QStringLiteral("files"));
    QCOMPARE(a.filePath, QStringLiteral("a.gz"));
    QCOMPARE(a.md5, QStringLiteral("AAAA0000aaaa0000AAAA0000aaaa0000"));
    QCOMPARE(a.size, qint64(123));
    const FileReplaceSpecification &ra = m_lists.replaces[0];
    QCOMPARE(ra.section, QStringLiteral("files"));
    QCOMPARE(ra.filePath, QStringLiteral("a.gz"));
    QCOMPARE(ra.unzipMd5, QStringLiteral("bbbb0000bbbb0000bbbb0000bbbb0000"));
    QCOMPARE(ra.unzipSize, quint64(456));
    QCOMPARE(ra.unzipFilePath, QStringLiteral("sub/a"));

    const FileDownloadSpecification &b = m_lists.downloads[1];
    QCOMPARE(b.filePath, QStringLiteral("b"));
    QCOMPARE(b.size, qint64(0));
    const FileReplaceSpecification &rb = m_lists.replaces[1];
    QVERIFY(rb.unzipMd5.isEmpty());
    QCOMPARE(rb.unzipSize, quint64(0));
    QVERIFY(!rb.hasUnzip());
}

void tst_MakeDownloadReplaceListTaskSpecification::
    sectionsAndKeysInSettingsOrderWithProgressPerKey()
{
    const QByteArray value = md5(NewContent).toUtf8() + "::1";
    writeIni("before=" + value
             + "\n"
               "[zeta]\n"
               "z2="
             + value
             + "\n"
               "z1="
             + value
             + "\n"
               "[General]\n"
               "general="
             + value
             + "\n"
               "patchlist=p::00000000000000000000000000000000::1\n"
               "[delete]\n"
               "gone.txt=\n"
               "kept.txt=\n"
               "[alpha]\n"
               "dir\\b="
             + value
             + "\n"
               "dir/a="
             + value
             + "\n"
               " name with spaces.txt = "
             + value + "\n");
    QVERIFY(writeFile(app("gone.txt"), OldContent));
    QVERIFY(writeFile(app("dir/a"), NewContent));

    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_messages, QStringList {Compiling});
    const QStringList expected {"alpha:dir/b", "alpha:name with spaces.txt", "zeta:z1", "zeta:z2"};
    QCOMPARE(paths(m_lists.replaces), expected);
    QCOMPARE(paths(m_lists.downloads), expected);
    QCOMPARE(m_lists.deletes, QStringList {"gone.txt"});
    // Seven keys in sections; "before" and [General] are neither listed nor
    // counted. Each key is reported before the next, then finish() gives 1.
    const QList<qreal> progress {1.0 / 7, 2.0 / 7, 3.0 / 7, 4.0 / 7, 5.0 / 7, 6.0 / 7, 1.0, 1.0};
    QCOMPARE(m_progress.size(), progress.size());
    for (int i = 0; i < progress.size(); ++i)
        QVERIFY2(qAbs(m_progress[i] - progress[i]) < 1e-9, qPrintable(QString::number(i)));
}

void tst_MakeDownloadReplaceListTaskSpecification::valueWithCommaIsReadAsText()
{
    const QString packed = md5(PackedContent) + "::" + QString::number(PackedContent.size())
        + "::" + md5(NewContent) + "::" + QString::number(NewContent.size()) + "::";
    writeIni("[files]\n"
             "a.gz="
             + packed.toUtf8()
             + "lib/a,b.so\n"
               "b.gz=\""
             + packed.toUtf8()
             + "lib/c, d.so\"\n"
               "c,d.txt="
             + md5(NewContent).toUtf8() + "::1\n");
    QVERIFY(writeFile(app("lib/a,b.so"), NewContent));
    QVERIFY(writeFile(app("lib/c, d.so"), NewContent));

    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_messages, QStringList {Compiling});
    // Both unpacked files are current where their field 5 says.
    QCOMPARE(paths(m_lists.replaces), QStringList {"files:c,d.txt"});
}

void tst_MakeDownloadReplaceListTaskSpecification::invalidFieldCountFailsWholeStep_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("section");
    QTest::addColumn<int>("progressReports");

    const QByteArray good = "ok=" + md5(NewContent).toUtf8() + "::1\n";
    QTest::newRow("three fields") << "[files]\n" + good + "x=a::1::b\n"
                                  << "files" << 2;
    QTest::newRow("one field") << "[files]\nx=justone\n" + good << "files" << 2;
    QTest::newRow("six fields") << "[other]\nx=a::1::b::2::c::d\n" + good << "other" << 2;
    QTest::newRow("empty value") << "[files]\n" + good + "y=\n"
                                 << "files" << 2;
    QTest::newRow("Delete is not delete") << QByteArray("[Delete]\nold.txt=\n") << "Delete" << 1;
}

void tst_MakeDownloadReplaceListTaskSpecification::invalidFieldCountFailsWholeStep()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, section);
    QFETCH(int, progressReports);

    writeIni(ini);
    m_lists = sentinelLists();
    QCOMPARE(runStep(), ErrorCanceled);
    const QStringList expected {
        Compiling,
        QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section)};
    QCOMPARE(m_messages, expected);
    QCOMPARE(m_progress.size(), progressReports);
    QCOMPARE(paths(m_lists.replaces), QStringList {"s:earlier"});
    QCOMPARE(paths(m_lists.downloads), QStringList {"s:earlier"});
    QCOMPARE(m_lists.deletes, QStringList {"earlier"});
}

void tst_MakeDownloadReplaceListTaskSpecification::productIniWithoutFilesFails_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("exists");

    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("keys before the first section only") << QByteArray("a=b::1\n") << true;
    QTest::newRow("General only") << QByteArray("[General]\na=b::1\n") << true;
    QTest::newRow("sections without keys") << QByteArray("[files]\n[delete]\n") << true;
}

void tst_MakeDownloadReplaceListTaskSpecification::productIniWithoutFilesFails()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, exists);

    if (exists)
        writeIni(ini);
    m_lists = sentinelLists();
    QCOMPARE(runStep(), ErrorCanceled);
    QCOMPARE(m_messages, (QStringList {Compiling, NoFiles}));
    QCOMPARE(m_lists.deletes, QStringList {"earlier"});
}

void tst_MakeDownloadReplaceListTaskSpecification::unsafePathIsRefused_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("path");

    const QByteArray sum = md5(NewContent).toUtf8();
    const QByteArray packed = sum + "::1::" + sum + "::1::";
    QTest::newRow("key climbing out") << "[files]\n..\\outside.txt=" + sum + "::1\n"
                                      << "files"
                                      << "../outside.txt";
    QTest::newRow("key climbing out midway") << "[files]\nsub/../../outside.txt=" + sum + "::1\n"
                                             << "files"
                                             << "sub/../../outside.txt";
    QTest::newRow("absolute unpack path") << "[files]\nx.gz=" + packed + "/tmp/outside.txt\n"
                                          << "files"
                                          << "/tmp/outside.txt";
    QTest::newRow("unpack path climbing out") << "[bin]\nx.gz=" + packed + "../outside.txt\n"
                                              << "bin"
                                              << "../outside.txt";
    QTest::newRow("delete key climbing out")
        << QByteArray("[delete]\nlib/../../victim.txt=\n") << "delete"
        << "lib/../../victim.txt";
}

void tst_MakeDownloadReplaceListTaskSpecification::unsafePathIsRefused()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, section);
    QFETCH(QString, path);

    writeIni("[a]\nfirst=" + md5(NewContent).toUtf8() + "::1\n" + ini);
    m_lists = sentinelLists();

    QCOMPARE(runStep(), ErrorCanceled);
    const QString refusal = QStringLiteral("Error: product ini section %1 names the path %2, "
                                           "which is absolute or contains \"..\"")
                                .arg(section, path);
    QCOMPARE(m_messages, (QStringList {Compiling, refusal}));
    QCOMPARE(m_lists.deletes, QStringList {"earlier"});
    QCOMPARE(paths(m_lists.replaces), QStringList {"s:earlier"});
}

void tst_MakeDownloadReplaceListTaskSpecification::emptyExpectedSumNeverMatches()
{
    if (!m_devKeyCompiledIn)
        QSKIP("built with another public key than the development key");
    // A validly signed installed file: with an empty expected sum the MD5
    // comparison must not turn into a signature check that it would pass.
    QVERIFY(writeFile(app("bin/tool"), NewContent));
    QVERIFY(
        publish({"sign", LocalServers::sourceDir() + "/keys/dev_private.key", app("bin/tool")}));
    QVERIFY(QFileInfo::exists(app("bin/tool.sig")));
    writeIni("[files]\nbin/tool=::" + QByteArray::number(NewContent.size()) + "\n");

    QCOMPARE(runStep(), Finished);
    QCOMPARE(paths(m_lists.replaces), QStringList {"files:bin/tool"});
    QCOMPARE(paths(m_lists.downloads), QStringList {"files:bin/tool"});
}

void tst_MakeDownloadReplaceListTaskSpecification::fifoAtInstalledPathIsNotWaitedFor()
{
    // Opening a FIFO for reading would wait for a writer that never comes.
    QVERIFY(QDir().mkpath(app("bin")));
    QCOMPARE(::mkfifo(QFile::encodeName(app("bin/tool")).constData(), 0600), 0);
    writeIni("[files]\nbin/tool=" + md5(NewContent).toUtf8() + "::"
             + QByteArray::number(NewContent.size()) + "\n");

    QCOMPARE(runStep(), Finished);
    QCOMPARE(paths(m_lists.replaces), QStringList {"files:bin/tool"});
    QCOMPARE(paths(m_lists.downloads), QStringList {"files:bin/tool"});
}

void tst_MakeDownloadReplaceListTaskSpecification::
    installedFileWithTheSameBytesIsTheLocalSource_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("link"); // the file, or a folder on its way, links outside
    QTest::addColumn<QString>("expected");

    const QString plain = md5(NewContent) + "::" + QString::number(NewContent.size());
    const QString packed = md5(PackedContent) + "::" + QString::number(PackedContent.size())
        + "::" + plain + "::new/name.txt";
    const QString old = QStringLiteral("old/name.txt");
    QTest::newRow("renamed, old name under [delete]")
        << "new/name.txt" << plain << old << NewContent << "" << old;
    QTest::newRow("duplicate of a current key")
        << "new/name.txt" << plain << "kept.txt" << NewContent << "" << "kept.txt";
    QTest::newRow("compressed key, installed unpacked")
        << "new/name.txt.gz" << packed << old << NewContent << "" << old;
    QTest::newRow("compressed key, as stored") << "new/name.txt.gz" << packed << old
                                               << PackedContent << "" << "";
    QTest::newRow("same sum, other size") << "new/name.txt" << md5(NewContent) + "::99" << old
                                          << NewContent << "" << "";
    QTest::newRow("link under [delete]")
        << "new/name.txt" << plain << old << NewContent << "file" << "";
    QTest::newRow("[delete] file in a linked folder")
        << "new/name.txt" << plain << old << NewContent << "folder" << "";
}

// A file to fetch is copied from an installed file only where that holds the
// bytes as installed, is regular and is reached through no link.
void tst_MakeDownloadReplaceListTaskSpecification::installedFileWithTheSameBytesIsTheLocalSource()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, source);
    QFETCH(QByteArray, content);
    QFETCH(QString, link);
    QFETCH(QString, expected);
    writeIni("[delete]\nold/name.txt=\n[files]\nkept.txt=" + md5(NewContent).toUtf8() + "::"
             + QByteArray::number(NewContent.size()) + "\n" + key.toUtf8() + "="
             + value.toUtf8() + "\n");
    const QString outside = temp("outside/") + source;
    QVERIFY(writeFile(link.isEmpty() ? app(source) : outside, content));
    if (link == QLatin1String("file"))
        QVERIFY(QDir().mkpath(app("old")) && QFile::link(outside, app(source)));
    if (link == QLatin1String("folder"))
        QVERIFY(QFile::link(temp("outside/old"), app("old")));

    QCOMPARE(runStep(), Finished);
    QStringList found;
    for (const FileDownloadSpecification &download : std::as_const(m_lists.downloads)) {
        if (download.filePath == key)
            found.append(download.localSource);
    }
    QCOMPARE(found, QStringList {expected});
}

void tst_MakeDownloadReplaceListTaskSpecification::manyFilesKeepKeyOrder()
{
    // Enough keys for the comparisons to run side by side; every third file
    // is current, every third has an intact download, the rest is missing.
    QByteArray ini = "[files]\n";
    QStringList replaces;
    QStringList downloads;
    for (int i = 0; i < 600; ++i) {
        const QString key = QStringLiteral("d%1/f%2").arg(i % 7).arg(i, 4, 10, QLatin1Char('0'));
        // Sizes from a few bytes to some thousands, most not whole blocks
        // of the digest, so that files of unequal length are hashed together.
        const QByteArray content = QByteArray("file " + QByteArray::number(i) + "\n")
                                       .repeated(1 + i * 13 % 500);
        ini += key.toUtf8() + "=" + md5(content).toUtf8() + "::" + QByteArray::number(i) + "\n";
        if (i % 3 == 0) {
            QVERIFY(writeFile(app(key), content));
        } else {
            replaces.append("files:" + key);
            if (i % 3 == 1)
                QVERIFY(writeFile(temp(key), content));
            else
                downloads.append("files:" + key);
        }
    }
    writeIni(ini);
    replaces.sort();
    downloads.sort();

    QCOMPARE(runStep(), Finished);
    QCOMPARE(paths(m_lists.replaces), replaces);
    QCOMPARE(paths(m_lists.downloads), downloads);
    QCOMPARE(m_progress.size(), 601);
    for (int i = 0; i < 600; ++i)
        QVERIFY(qAbs(m_progress[i] - (i + 1) / 600.0) < 1e-9);
}

void tst_MakeDownloadReplaceListTaskSpecification::mrvpublishReleaseComparesAsPublished()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString v1 = work.filePath("v1");
    const QString v2 = work.filePath("v2");
    struct File
    {
        QString path;
        QByteArray v1;
        QByteArray v2;
    };
    const QList<File> files {
        {"mrvclient_linux_amd64", "client 1", "client 2"},
        {"unchanged.txt", "same", "same"},
        {"lib/a,b.so", "lib 1", "lib 2"},
        {"lib/c, d.so", "same lib", "same lib"},
        {"data/with space.dat", "data 1", "data 2"},
        {"data/x, y.txt", "x 1", "x 2"},
        {"obsolete.txt", "old", QByteArray()},
        {"gone/already.txt", "old", QByteArray()},
        {"new/dir/file.txt", QByteArray(), "new"},
    };
    for (const File &file : files) {
        if (!file.v1.isNull())
            QVERIFY(writeFile(v1 + "/" + file.path, file.v1));
        if (!file.v2.isNull())
            QVERIFY(writeFile(v2 + "/" + file.path, file.v2));
    }
    const QString key = LocalServers::sourceDir() + "/keys/dev_private.key";
    QVERIFY(publish({"release", "--key", key, "--type", ClientType, "--version", "2", "--gzip",
                     "*.so", "--previous", v1, v2, work.filePath("mirror")}));

    // Version 1 is installed, except one file the user already removed.
    for (const File &file : files) {
        if (!file.v1.isNull() && file.path != "gone/already.txt")
            QVERIFY(writeFile(app(file.path), file.v1));
    }
    const QString release = work.filePath("mirror/2/");
    QVERIFY(QFile::copy(release + ClientType + ".ini", temp(ClientType + ".ini")));
    // One changed file was downloaded by an earlier, interrupted run.
    QVERIFY(QDir().mkpath(temp("data")));
    QVERIFY(QFile::copy(release + "files/data/with space.dat", temp("data/with space.dat")));

    QCOMPARE(runStep(), Finished);
    QCOMPARE(m_messages, QStringList {Compiling});
    const QStringList replaced {"files:data/with space.dat", "files:data/x, y.txt",
                                "files:lib/a,b.so.gz", "files:mrvclient_linux_amd64",
                                "files:new/dir/file.txt"};
    QCOMPARE(paths(m_lists.replaces), replaced);
    QStringList downloaded = replaced;
    downloaded.removeOne("files:data/with space.dat");
    QCOMPARE(paths(m_lists.downloads), downloaded);
    QCOMPARE(m_lists.deletes, QStringList {"obsolete.txt"});

    const FileReplaceSpecification &lib = m_lists.replaces[2];
    QCOMPARE(lib.unzipFilePath, QStringLiteral("lib/a,b.so"));
    QCOMPARE(lib.unzipMd5, md5("lib 2"));
    for (const FileDownloadSpecification &entry : std::as_const(m_lists.downloads)) {
        const QString stored = release + entry.section + "/" + entry.filePath;
        QCOMPARE(entry.md5, md5(readFile(stored)));
        QCOMPARE(entry.size, QFileInfo(stored).size());
    }
}

void tst_MakeDownloadReplaceListTaskSpecification::taskDeletedWhileWorkRunsLeavesNothingBroken()
{
    QByteArray ini = "[files]\n";
    const QByteArray big(256 * 1024, 'b');
    for (int i = 0; i < 200; ++i) {
        const QString key = QStringLiteral("f%1").arg(i);
        QVERIFY(writeFile(app(key), big));
        ini += key.toUtf8() + "=" + md5(big).toUtf8() + "::1\n";
    }
    writeIni(ini);
    {
        auto *task
            = new MakeDownloadReplaceListTaskSpecification(m_settings, m_lists, nullptr, 1.0);
        task->execute();
        delete task;
    }
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QVERIFY(m_lists.replaces.isEmpty());
    // The step still works afterwards.
    QCOMPARE(runStep(), Finished);
    QVERIFY(m_lists.replaces.isEmpty());
}

QTEST_GUILESS_MAIN(tst_MakeDownloadReplaceListTaskSpecification)
#include "tst_makedownloadreplacelisttaskspecification.moc"
