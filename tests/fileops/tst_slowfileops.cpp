#include "digest/filedigestcache.h"
#include "fileops/filecopytaskspecification.h"
#include "fileops/fileophook.h"
#include "fileops/filepatchfunc.h"
#include "fileops/fileunziptaskspecification.h"
#include "fileopstestutil.h"
#include "tasklog.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

namespace {
enum Operation { Copy, Unzip };

SlowFileOpSpecification *makeTask(Operation operation, RollbackDataList *journal,
                                  const QString &source, const QString &destination)
{
    if (operation == Copy)
        return new FileCopyTaskSpecification(journal, source, destination, nullptr, 0.5);
    return new FileUnzipTaskSpecification(journal, source, destination, nullptr, 0.5);
}

// A patch-from frame; streamed, it names no content size and the window
// that windowLog asks for.
QByteArray zstdPatch(const QByteArray &old, const QByteArray &now, bool streamed, int windowLog)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_refPrefix(context, old.constData(), size_t(old.size()));
    QByteArray patch(qsizetype(ZSTD_compressBound(size_t(now.size()))), Qt::Uninitialized);
    ZSTD_outBuffer out {patch.data(), size_t(patch.size()), 0};
    ZSTD_inBuffer in {now.constData(), size_t(now.size()), 0};
    if (streamed)
        ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
    while (ZSTD_compressStream2(context, &out, &in, ZSTD_e_end) != 0) { }
    ZSTD_freeCCtx(context);
    patch.truncate(qsizetype(out.pos));
    return patch;
}

QByteArray installedPath;

ino_t inode(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden, QDir::Name);
}
} // namespace

class tst_SlowFileOps : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void copyRunsOffTheMainThreadAndIsJournalledBeforeFinished();
    void copyOntoExistingFileReplacesItInOneStep();
    void copyKeepsPermissions();
    void copyAcrossFileSystems();
    void unzip_data();
    void unzip();
    void badInputFailsWithoutLeavingAFile_data();
    void badInputFailsWithoutLeavingAFile();
    void patch_data();
    void patch();

private:
    // Runs the task to its end; returns the log and, in journalAtEnd, the
    // journal's size when the task ended.
    QStringList run(SlowFileOpSpecification *task, RollbackDataList *journal,
                    int *journalAtEnd = nullptr);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_base;
};

void tst_SlowFileOps::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_base = m_dir->path();
}

void tst_SlowFileOps::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
}

QStringList tst_SlowFileOps::run(SlowFileOpSpecification *task, RollbackDataList *journal,
                                 int *journalAtEnd)
{
    TaskLog log;
    log.watch(task, "t");
    int sizeAtEnd = -1;
    auto noteJournal = [&] {
        sizeAtEnd = journal ? int(journal->size()) : 0;
    };
    QObject::connect(task, &TaskSpecification::finished, &log, noteJournal);
    QObject::connect(task, &TaskSpecification::canceled, &log, noteJournal);

    task->execute();
    if (task->state != Running || !log.lines.isEmpty())
        return {"execute did not return while the work runs"};
    if (!QTest::qWaitFor([task] { return task->state != Running; }, 30000))
        return {"the task did not end"};
    if (journalAtEnd)
        *journalAtEnd = sizeAtEnd;
    return log.take();
}

void tst_SlowFileOps::copyRunsOffTheMainThreadAndIsJournalledBeforeFinished()
{
    const QByteArray content = sampleContent(300000);
    QVERIFY(writeFile(m_base + "/download", content));
    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(
        makeTask(Copy, &journal, m_base + "/download", m_base + "/installed"));
    int journalAtEnd = -1;

    const QStringList log = run(task.data(), &journal, &journalAtEnd);

    QCOMPARE(log, QStringList({"t progress 0.5 [Finished]", "t finished [Finished]"}));
    QCOMPARE(journalAtEnd, 1);
    QCOMPARE(journal.entries().at(0).operation, RollbackData::CreateFile);
    QCOMPARE(journal.entries().at(0).path, m_base + "/installed");
    QCOMPARE(readFile(m_base + "/installed"), content);
}

void tst_SlowFileOps::copyOntoExistingFileReplacesItInOneStep()
{
    QVERIFY(writeFile(m_base + "/download", "new"));
    QVERIFY(writeFile(m_base + "/installed", "old"));
    QVERIFY(::link(QFile::encodeName(m_base + "/installed"), QFile::encodeName(m_base + "/kept")) == 0);
    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(
        makeTask(Copy, &journal, m_base + "/download", m_base + "/installed"));

    const QStringList log = run(task.data(), &journal);

    QCOMPARE(log, QStringList({"t progress 0.5 [Finished]", "t finished [Finished]"}));
    QCOMPARE(readFile(m_base + "/installed"), QByteArray("new"));
    QCOMPARE(readFile(m_base + "/kept"), QByteArray("old")); // renamed over, not written into
    QCOMPARE(entriesOf(m_base), QStringList({"download", "installed", "kept"}));
    // On one file system no byte is copied: the download is the new file.
    QCOMPARE(inode(m_base + "/installed"), inode(m_base + "/download"));
}

void tst_SlowFileOps::copyKeepsPermissions()
{
    QVERIFY(writeFile(m_base + "/launcher", "#!/bin/sh\n"));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(m_base + "/launcher", mode));
    QScopedPointer<SlowFileOpSpecification> task(
        makeTask(Copy, nullptr, m_base + "/launcher", m_base + "/installed"));

    QCOMPARE(run(task.data(), nullptr).value(1), QStringLiteral("t finished [Finished]"));
    QCOMPARE(QFile::permissions(m_base + "/installed"), QFile::permissions(m_base + "/launcher"));
}

void tst_SlowFileOps::copyAcrossFileSystems()
{
    QTemporaryDir other(QStringLiteral("/dev/shm/morvane_test_XXXXXX"));
    if (!other.isValid())
        QSKIP("no second file system to copy from");
    const QByteArray content = sampleContent(100000);
    QVERIFY(writeFile(other.filePath("download"), content));
    QScopedPointer<SlowFileOpSpecification> task(
        makeTask(Copy, nullptr, other.filePath("download"), m_base + "/installed"));

    QCOMPARE(run(task.data(), nullptr).value(1), QStringLiteral("t finished [Finished]"));
    QCOMPARE(readFile(m_base + "/installed"), content);
}

void tst_SlowFileOps::unzip_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("compress");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("destinationExists");

    const QByteArray content = sampleContent(200000);
    QTest::newRow("gzip file") << content << true << "plain" << false;
    QTest::newRow("empty gzip stream") << QByteArray() << true << "plain" << false;
    QTest::newRow("not gzip at all is copied as it is") << content << false << "plain" << false;
    QTest::newRow("existing destination is overwritten") << content << true << "plain" << true;
    QTest::newRow("non-ASCII path") << content << true << QString::fromUtf8("Größe_файлы") << false;
}

void tst_SlowFileOps::unzip()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, compress);
    QFETCH(QString, dir);
    QFETCH(bool, destinationExists);
    const QString folder = m_base + "/" + dir;
    QVERIFY(QDir().mkpath(folder));
    const QString source = folder + "/data.bin.gz";
    const QString destination = folder + "/data.bin";
    if (compress) {
        QVERIFY(writeFile(m_base + "/original", content));
        QVERIFY(gzipFile(m_base + "/original", source));
    } else {
        QVERIFY(writeFile(source, content));
    }
    if (destinationExists)
        QVERIFY(writeFile(destination, sampleContent(500000)));
    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(makeTask(Unzip, &journal, source, destination));
    int journalAtEnd = -1;

    const QStringList log = run(task.data(), &journal, &journalAtEnd);

    QCOMPARE(log, QStringList({"t progress 0.5 [Finished]", "t finished [Finished]"}));
    QCOMPARE(readFile(destination), content);
    QCOMPARE(journalAtEnd, 1);
    QCOMPARE(journal.entries().at(0).path, destination);
}

void tst_SlowFileOps::badInputFailsWithoutLeavingAFile_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");

    // %T is the test's directory, %R an unwritable one; "good.gz" is a real
    // gzip file, "locked.gz" a copy nobody may read, "corrupt.gz" has damaged
    // deflate data, "truncated.gz" and "notrailer.gz" end early.
    for (const int op : {int(Copy), int(Unzip)}) {
        const char *name = op == Copy ? "copy: " : "unzip: ";
        QTest::newRow(QByteArray(name) + "missing source") << op << "%T/missing.gz"
                                                           << "%T/out";
        QTest::newRow(QByteArray(name) + "source is a directory") << op << "%T"
                                                                  << "%T/out";
        QTest::newRow(QByteArray(name) + "source is a pipe") << op << "%T/pipe"
                                                             << "%T/out";
        QTest::newRow(QByteArray(name) + "unreadable source") << op << "%T/locked.gz"
                                                              << "%T/out";
        QTest::newRow(QByteArray(name) + "destination directory missing") << op << "%T/good.gz"
                                                                          << "%T/nodir/out";
        QTest::newRow(QByteArray(name) + "destination directory unwritable") << op << "%T/good.gz"
                                                                             << "%R/morvane_out";
    }
    QTest::newRow("unzip: corrupt stream") << int(Unzip) << "%T/corrupt.gz"
                                           << "%T/out";
    QTest::newRow("unzip: truncated stream") << int(Unzip) << "%T/truncated.gz"
                                             << "%T/out";
    QTest::newRow("unzip: stream without its trailer") << int(Unzip) << "%T/notrailer.gz"
                                                       << "%T/out";
    QTest::newRow("unzip: corrupt stream over an installed file") << int(Unzip) << "%T/corrupt.gz"
                                                                  << "%T/existing";
}

void tst_SlowFileOps::badInputFailsWithoutLeavingAFile()
{
    QFETCH(int, operation);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    const QString readOnly = unwritableDir(m_base);
    source.replace("%T", m_base);
    destination.replace("%T", m_base).replace("%R", readOnly);

    QVERIFY(writeFile(m_base + "/original", sampleContent(200000)));
    QVERIFY(gzipFile(m_base + "/original", m_base + "/good.gz"));
    const QByteArray gz = readFile(m_base + "/good.gz");
    QByteArray corrupt = gz;
    for (int i = gz.size() / 2; i < gz.size() / 2 + 64; ++i)
        corrupt[i] = char(corrupt[i] ^ 0x5a);
    QVERIFY(writeFile(m_base + "/corrupt.gz", corrupt));
    QVERIFY(writeFile(m_base + "/truncated.gz", gz.left(gz.size() / 2)));
    QVERIFY(writeFile(m_base + "/notrailer.gz", gz.left(gz.size() - 4)));
    QVERIFY(writeFile(m_base + "/existing", "installed"));
    QVERIFY(QFile::copy(m_base + "/good.gz", m_base + "/locked.gz"));
    QCOMPARE(::mkfifo(QFile::encodeName(m_base + "/pipe").constData(), 0600), 0);
    QVERIFY(QFile::setPermissions(m_base + "/locked.gz", QFile::Permissions()));
    if (source.endsWith("/locked.gz") && QFile(source).open(QIODevice::ReadOnly))
        QSKIP("permission bits do not bind root");
    const QStringList before = entriesOf(m_base);
    const bool destinationExisted = QFileInfo::exists(destination);

    RollbackDataList journal;
    QScopedPointer<SlowFileOpSpecification> task(
        makeTask(Operation(operation), &journal, source, destination));
    const QStringList log = run(task.data(), &journal);

    const QString text
        = operation == Copy ? "Could not copy '%1' to '%2'" : "Could not unzip '%1' to '%2'";
    QCOMPARE(
        log,
        QStringList({"t message: " + text.arg(source, destination), "t canceled [ErrorCanceled]"}));
    QVERIFY(journal.isEmpty());
    // An installed file stays as it was; nothing else is left behind.
    QCOMPARE(QFileInfo::exists(destination), destinationExisted);
    if (destinationExisted)
        QCOMPARE(readFile(destination), QByteArray("installed"));
    QCOMPARE(entriesOf(m_base), before);
}

void tst_SlowFileOps::patch_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("sizeOffset"); // signed size - real size
    QTest::addColumn<QString>("failure"); // empty: the patch applies

    QTest::newRow("patch") << "plain" << 0 << "";
    QTest::newRow("patch without content size") << "streamed" << 0 << "";
    QTest::newRow("frame asking for a larger window") << "wide" << 0 << "asks for a window";
    QTest::newRow("content size above the signed size") << "plain" << -1 << "makes";
    QTest::newRow("decodes to more than the signed size") << "streamed" << -1 << "too small";
    QTest::newRow("decodes to less than the signed size") << "streamed" << 1 << "makes";
    QTest::newRow("corrupt patch") << "corrupt" << 0 << "";
    QTest::newRow("two frames") << "twice" << 0 << "exactly one zstd frame";
    QTest::newRow("not zstd") << "text" << 0 << "not a zstd frame";
    QTest::newRow("empty patch") << "empty" << 0 << "not a zstd frame";
    QTest::newRow("installed file cut while it is read")
        << "cut" << 0 << "changed while it was read";
    QTest::newRow("output over the file size limit") << "limited" << 0 << "File too large";
}

// A patch turns the installed file into the new one through mapped files;
// whatever is wrong with it, nothing is left of the output.
void tst_SlowFileOps::patch()
{
    QFETCH(QString, kind);
    QFETCH(int, sizeOffset);
    QFETCH(QString, failure);
    const QByteArray old = sampleContent(300000);
    QByteArray now = old;
    now.insert(1000, "inserted").replace(200000, 5000, sampleContent(5000).toUpper());
    const int allowed = FilePatchFunc::windowLogFor(old.size(), now.size());
    QByteArray patch = zstdPatch(old, now, kind != "plain", kind == "wide" ? 27 : allowed);
    if (kind == "corrupt")
        patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 0x55);
    if (kind == "twice")
        patch += patch;
    if (kind == "text" || kind == "empty")
        patch = kind == "text" ? QByteArray("not a patch") : QByteArray();
    QVERIFY(writeFile(m_base + "/installed", old));
    QVERIFY(writeFile(m_base + "/patch.zst", patch));
    const QString destination = m_base + "/new";

    FilePatchFunc func(m_base + "/installed", m_base + "/patch.zst", destination,
                       now.size() + sizeOffset);
    QStringList messages;
    connect(&func, &ASyncFunc::message, this, [&](const QString &line) { messages << line; });
    // Another program cuts the installed file once the patch has opened it;
    // or the output alone exceeds what the process may write.
    installedPath = QFile::encodeName(m_base + "/installed");
    if (kind == "cut")
        FileOpHook::set([] { ::truncate(installedPath.constData(), 1000); });
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    struct rlimit belowOutput = limit;
    belowOutput.rlim_cur = rlim_t(now.size() - 4);
    const auto noSignal = std::signal(SIGXFSZ, SIG_IGN);
    if (kind == "limited")
        ::setrlimit(RLIMIT_FSIZE, &belowOutput);
    const bool ok = func.run();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, noSignal);
    FileOpHook::set(nullptr);

    QCOMPARE(entriesOf(m_base).contains("new.patching"), false);
    if (failure.isEmpty() && kind != "corrupt") {
        QVERIFY2(ok, qPrintable(messages.join('\n')));
        QCOMPARE(readFile(destination), now);
        QCOMPARE(FileDigestCache::lookup(destination),
                 QCryptographicHash::hash(now, QCryptographicHash::Md5));
        return;
    }
    // A corrupt frame may still decode: the check of the result catches that.
    if (ok && kind == "corrupt")
        QVERIFY(readFile(destination) != now);
    else
        QVERIFY(!ok && !QFileInfo::exists(destination));
    if (!ok)
        QVERIFY2(messages.size() == 1 && messages[0].startsWith("Patch ")
                     && messages[0].contains(failure),
                 qPrintable(messages.join('\n')));
}

QTEST_GUILESS_MAIN(tst_SlowFileOps)
#include "tst_slowfileops.moc"
