#include "fileops/dircreatetaskspecification.h"
#include "fileops/diskworker.h"
#include "fileops/filedeletetaskspecification.h"
#include "fileops/filerenametaskspecification.h"
#include "fileops/syncedfiles.h"
#include "fileopstestutil.h"
#include "sys/regularfile.h"
#include "tasklog.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
QStringList describe(const RollbackDataList &journal, const QString &base)
{
    QStringList lines;
    for (const RollbackData &data : journal.entries()) {
        QString path = data.path;
        QString oldPath = data.oldPath;
        path.replace(base, QStringLiteral("%T"));
        oldPath.replace(base, QStringLiteral("%T"));
        lines << QString::number(data.operation) + " " + oldPath + " " + path;
    }
    return lines;
}

QStringList filled(QStringList lines, const QString &base)
{
    for (QString &line : lines)
        line.replace(QStringLiteral("%T"), base);
    return lines;
}

const QStringList finishedLog = {"t progress 0.5 [Finished]", "t finished [Finished]"};

QStringList failedLog(const QString &message)
{
    return {"t message: " + message, "t canceled [ErrorCanceled]"};
}
} // namespace

class tst_FastFileOps : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void dirCreate_data();
    void dirCreate();
    void dirCreateOfBareNameFailsNamingTheTaskDir_data();
    void dirCreateOfBareNameFailsNamingTheTaskDir();
    void dirCreateInUnwritableDirFails();
    void dirCreateRollbackRemovesOnlyWhatItMade();
    void dirCreateWithoutJournalStillWorks();
    void fileDelete_data();
    void fileDelete();
    void renameIsJournalledAndUndone();
    void renameOntoExistingFileFails();
    void renameOfMissingFileFails();
    void filesMadeAheadAreEmptyAndTouchNothingElse();
    void syncBehindEndsWhateverItWasGiven();
    void sentFileCountsOnceAndOnlyUnchanged();
    void onlyRegularFilesOpenForReading_data();
    void onlyRegularFilesOpenForReading();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_base;
};

void tst_FastFileOps::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_base = m_dir->path();
}

void tst_FastFileOps::dirCreate_data()
{
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<QStringList>("expectedJournal");

    QTest::newRow("existing directory")
        << QStringList({"a"}) << QStringList() << "a" << finishedLog << QStringList();
    QTest::newRow("missing parents created outermost first")
        << QStringList({"a"}) << QStringList() << "a/b/c" << finishedLog
        << QStringList({"2  %T/a/b", "2  %T/a/b/c"});
    QTest::newRow("file of that name")
        << QStringList() << QStringList({"a"}) << "a"
        << failedLog("Could not create dir '%T/a' because it already exists and is not a dir")
        << QStringList();
    QTest::newRow("path blocked by a file")
        << QStringList() << QStringList({"f"}) << "f/sub/deeper"
        << failedLog("Could not create dir '%T/f' because it already exists and is not a dir")
        << QStringList();
}

void tst_FastFileOps::dirCreate()
{
    QFETCH(QStringList, dirs);
    QFETCH(QStringList, files);
    QFETCH(QString, target);
    QFETCH(QStringList, expectedLog);
    QFETCH(QStringList, expectedJournal);
    for (const QString &dir : dirs)
        QVERIFY(QDir().mkpath(m_base + "/" + dir));
    for (const QString &file : files)
        QVERIFY(writeFile(m_base + "/" + file, "x"));
    RollbackDataList journal;
    DirCreateTaskSpecification task(m_base + "/" + target, &journal, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), filled(expectedLog, m_base)); // all of it inside execute()
    QCOMPARE(describe(journal, m_base), expectedJournal);
    if (task.state == Finished)
        QVERIFY(QFileInfo(m_base + "/" + target).isDir());
}

void tst_FastFileOps::dirCreateOfBareNameFailsNamingTheTaskDir_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("no directory part") << "plain";
    QTest::newRow("missing relative parent") << "a/b";
}

void tst_FastFileOps::dirCreateOfBareNameFailsNamingTheTaskDir()
{
    QFETCH(QString, target);
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_base));
    RollbackDataList journal;
    DirCreateTaskSpecification task(target, &journal, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();
    QDir::setCurrent(previous);

    QCOMPARE(log.take(), failedLog("Could not create dir " + target));
    QVERIFY(journal.isEmpty());
    QCOMPARE(QDir(m_base).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void tst_FastFileOps::dirCreateInUnwritableDirFails()
{
    const QString target = unwritableDir(m_base) + "/morvane_new_dir";
    RollbackDataList journal;
    DirCreateTaskSpecification task(target, &journal, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), failedLog("unable to create dir " + target));
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFileInfo::exists(target));
}

void tst_FastFileOps::dirCreateRollbackRemovesOnlyWhatItMade()
{
    QVERIFY(QDir().mkpath(m_base + "/kept"));
    RollbackDataList journal;
    DirCreateTaskSpecification task(m_base + "/kept/x/y", &journal, nullptr, 1);
    task.execute();
    QCOMPARE(task.state, Finished);

    QVERIFY(journal.rollback(&task));

    QVERIFY(QFileInfo(m_base + "/kept").isDir());
    QVERIFY(!QFileInfo::exists(m_base + "/kept/x"));
}

void tst_FastFileOps::dirCreateWithoutJournalStillWorks()
{
    DirCreateTaskSpecification task(m_base + "/a/b", nullptr, nullptr, 1);
    task.execute();
    QCOMPARE(task.state, Finished);
    QVERIFY(QFileInfo(m_base + "/a/b").isDir());
}

void tst_FastFileOps::fileDelete_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::newRow("existing, strict") << true << true << finishedLog;
    QTest::newRow("existing, lenient") << true << false << finishedLog;
    QTest::newRow("missing, lenient") << false << false << finishedLog;
    QTest::newRow("missing, strict") << false << true << failedLog("Could not delete '%T/victim'");
}

void tst_FastFileOps::fileDelete()
{
    QFETCH(bool, exists);
    QFETCH(bool, failOnError);
    QFETCH(QStringList, expectedLog);
    const QString victim = m_base + "/victim";
    if (exists)
        QVERIFY(writeFile(victim, "old"));
    FileDeleteTaskSpecification task(failOnError, victim, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), filled(expectedLog, m_base));
    QVERIFY(!QFile::exists(victim));
    QVERIFY(task.rollbackList == nullptr);
}

void tst_FastFileOps::renameIsJournalledAndUndone()
{
    QVERIFY(writeFile(m_base + "/lib.so", "installed"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(m_base + "/lib.so", m_base + "/_old_lib.so", &journal, nullptr,
                                     0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), finishedLog);
    QCOMPARE(describe(journal, m_base), QStringList({"0 %T/lib.so %T/_old_lib.so"}));
    QVERIFY(!QFile::exists(m_base + "/lib.so"));
    QVERIFY(journal.rollback(&task));
    QCOMPARE(readFile(m_base + "/lib.so"), QByteArray("installed"));
    QVERIFY(!QFile::exists(m_base + "/_old_lib.so"));
}

void tst_FastFileOps::renameOntoExistingFileFails()
{
    QVERIFY(writeFile(m_base + "/a", "source"));
    QVERIFY(writeFile(m_base + "/b", "target"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(m_base + "/a", m_base + "/b", &journal, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), filled(failedLog("Could not rename '%T/a' to '%T/b'"), m_base));
    QVERIFY(journal.isEmpty());
    QCOMPARE(readFile(m_base + "/a"), QByteArray("source"));
    QCOMPARE(readFile(m_base + "/b"), QByteArray("target"));
}

void tst_FastFileOps::renameOfMissingFileFails()
{
    FileRenameTaskSpecification task(m_base + "/a", m_base + "/b", nullptr, nullptr, 0.5);
    TaskLog log;
    log.watch(&task, "t");

    task.execute();

    QCOMPARE(log.take(), filled(failedLog("Could not rename '%T/a' to '%T/b'"), m_base));
    QVERIFY(!QFile::exists(m_base + "/b"));
}

void tst_FastFileOps::filesMadeAheadAreEmptyAndTouchNothingElse()
{
    const QString kept = m_base + "/kept";
    const QString target = m_base + "/target";
    const QString link = m_base + "/link";
    QVERIFY(writeFile(kept, "partial"));
    QVERIFY(writeFile(target, "not ours"));
    QVERIFY(QFile::link(target, link));

    {
        DiskWorker disk;
        QByteArray names;
        for (const char *name : {"a", "", "kept", "link", "none/b", "z"})
            DiskWorker::appendName(&names, QString::fromUtf8(name));
        disk.makeAhead(m_base, names);
        // Made in list order.
        QTRY_VERIFY(QFileInfo::exists(m_base + "/z"));
    }

    QVERIFY(QFileInfo::exists(m_base + "/a"));
    QCOMPARE(QFileInfo(m_base + "/a").size(), 0);
    // An existing part and a planted link stay as they are.
    QCOMPARE(readFile(kept), QByteArray("partial"));
    QCOMPARE(readFile(target), QByteArray("not ours"));
    QVERIFY(QFileInfo(link).isSymLink());
}

void tst_FastFileOps::syncBehindEndsWhateverItWasGiven()
{
    // A pipe planted under a file's name would block a plain open for
    // reading, and with it the end of the run.
    const QString pipe = m_base + "/pipe";
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QVERIFY(writeFile(m_base + "/file", "bytes"));
    {
        DiskWorker disk;
        disk.syncBehind(pipe);
        disk.syncBehind(m_base + "/missing");
        disk.syncBehind(m_base + "/file");
        QTest::qWait(100);
    }
    QCOMPARE(readFile(m_base + "/file"), QByteArray("bytes"));
}

void tst_FastFileOps::sentFileCountsOnceAndOnlyUnchanged()
{
    const QByteArray path = QFile::encodeName(m_base + "/file");
    QVERIFY(writeFile(m_base + "/file", "bytes"));
    struct stat status;
    QCOMPARE(::stat(path.constData(), &status), 0);
    SyncedFiles::record(status);
    QVERIFY(SyncedFiles::take(status));
    QVERIFY(!SyncedFiles::take(status));

    // Written after it was sent, even to the same size: sent again.
    SyncedFiles::record(status);
    QTest::qWait(20);
    QVERIFY(writeFile(m_base + "/file", "BYTES"));
    QCOMPARE(::stat(path.constData(), &status), 0);
    QVERIFY(!SyncedFiles::take(status));
}

void tst_FastFileOps::onlyRegularFilesOpenForReading_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("error");
    QTest::newRow("regular file") << "file" << 0 << 0;
    // Would wait for a writer for ever.
    QTest::newRow("pipe") << "pipe" << 0 << EINVAL;
    QTest::newRow("directory") << "directory" << 0 << EINVAL;
    QTest::newRow("missing") << "missing" << 0 << ENOENT;
    QTest::newRow("link followed") << "link" << 0 << 0;
    QTest::newRow("link not followed") << "link" << int(O_NOFOLLOW) << ELOOP;
}

void tst_FastFileOps::onlyRegularFilesOpenForReading()
{
    QFETCH(QString, kind);
    QFETCH(int, flags);
    QFETCH(int, error);
    const QString path = m_base + "/" + kind;
    if (kind == "file")
        QVERIFY(writeFile(path, "bytes"));
    else if (kind == "link")
        QVERIFY(writeFile(m_base + "/file", "bytes") && QFile::link(m_base + "/file", path));
    else if (kind == "pipe")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == "directory")
        QVERIFY(QDir().mkdir(path));
    errno = 0;
    const UniqueFd fd = RegularFile::open(path, nullptr, flags);
    QCOMPARE(fd.isValid() ? 0 : errno, error);
}

QTEST_GUILESS_MAIN(tst_FastFileOps)
#include "tst_fastfileops.moc"
