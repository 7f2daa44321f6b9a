#include "tasks/rollbackdatalist.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
void touch(const QString &path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("x");
}
} // namespace

class tst_RollbackDataList : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void emptyJournalSucceedsSilently();
    void journalIsUndoneLastFirst();
    void failedUndoDoesNotStopTheRest();
    void renameUndoFailureNamesTheRename();
    void appendedJournalIsUndoneFirst();
    void nullTargetStillUndoes();
    void clearForgetsWithoutUndoing();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void tst_RollbackDataList::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_RollbackDataList::emptyJournalSucceedsSilently()
{
    TaskLog log;
    ScriptedTask target("target", nullptr, 1, &log);
    log.watch(&target, "target");
    RollbackDataList journal;

    QVERIFY(journal.rollback(&target));
    QCOMPARE(log.take(), QStringList());
}

void tst_RollbackDataList::journalIsUndoneLastFirst()
{
    // The changes of one replacement: two new directories, an installed file
    // moved aside, a new file in the innermost directory.
    QVERIFY(QDir().mkpath(path("a/b")));
    touch(path("x"));
    QVERIFY(QFile::rename(path("x"), path("y")));
    touch(path("a/b/f"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, path("a")));
    journal.add(RollbackData(RollbackData::CreateDir, path("a/b")));
    journal.add(RollbackData(RollbackData::Rename, path("x"), path("y")));
    journal.add(RollbackData(RollbackData::CreateFile, path("a/b/f")));
    TaskLog log;
    ScriptedTask target("target", nullptr, 1, &log);
    log.watch(&target, "target");

    QVERIFY(journal.rollback(&target));

    QCOMPARE(log.take(), QStringList());
    QVERIFY(journal.isEmpty());
    QVERIFY(QFile::exists(path("x")));
    QVERIFY(!QFile::exists(path("y")));
    QVERIFY(!QFile::exists(path("a")));
}

void tst_RollbackDataList::failedUndoDoesNotStopTheRest()
{
    QVERIFY(QDir().mkpath(path("d")));
    touch(path("d/foreign")); // not in the journal: the directory must stay
    touch(path("made"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, path("gone")));
    journal.add(RollbackData(RollbackData::CreateDir, path("d")));
    journal.add(RollbackData(RollbackData::CreateFile, path("made")));
    TaskLog log;
    ScriptedTask target("target", nullptr, 1, &log);
    log.watch(&target, "target");

    QVERIFY(!journal.rollback(&target));

    QCOMPARE(
        log.take(),
        QStringList({"target message: warning: rollback create dir " + path("d") + " failed",
                     "target message: warning: rollback create file " + path("gone") + " failed"}));
    QVERIFY(journal.isEmpty());
    QVERIFY(!QFile::exists(path("made")));
    QVERIFY(QFile::exists(path("d/foreign")));
}

void tst_RollbackDataList::renameUndoFailureNamesTheRename()
{
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::Rename, path("old"), path("new")));
    TaskLog log;
    ScriptedTask target("target", nullptr, 1, &log);
    log.watch(&target, "target");

    QVERIFY(!journal.rollback(&target));

    QCOMPARE(log.take(),
             QStringList({"target message: warning: rollback rename " + path("old") + " to "
                          + path("new") + " failed"}));
}

void tst_RollbackDataList::appendedJournalIsUndoneFirst()
{
    RollbackDataList run;
    run.add(RollbackData(RollbackData::CreateFile, path("a1")));
    RollbackDataList file;
    file.add(RollbackData(RollbackData::CreateFile, path("b1")));
    file.add(RollbackData(RollbackData::CreateFile, path("b2")));
    TaskLog log;
    ScriptedTask target("target", nullptr, 1, &log);
    log.watch(&target, "target");

    run.appendList(file);
    QCOMPARE(file.size(), 2);
    QVERIFY(!run.rollback(&target)); // none of the files exists: the warnings show the order

    const QString text = QStringLiteral("target message: warning: rollback create file %1 failed");
    QCOMPARE(log.take(),
             QStringList({text.arg(path("b2")), text.arg(path("b1")), text.arg(path("a1"))}));
    QCOMPARE(file.size(), 2);
}

void tst_RollbackDataList::nullTargetStillUndoes()
{
    touch(path("made"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, path("gone")));
    journal.add(RollbackData(RollbackData::CreateFile, path("made")));

    QVERIFY(!journal.rollback(nullptr));

    QVERIFY(!QFile::exists(path("made")));
    QVERIFY(journal.isEmpty());
}

void tst_RollbackDataList::clearForgetsWithoutUndoing()
{
    touch(path("made"));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, path("made")));

    journal.clear();

    QVERIFY(journal.isEmpty());
    QVERIFY(QFile::exists(path("made")));
}

QTEST_GUILESS_MAIN(tst_RollbackDataList)
#include "tst_rollbackdatalist.moc"
