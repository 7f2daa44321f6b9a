#include "update/filedeletelisttaskspecification.h"

#include "scopedapproot.h"
#include "tasklog.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// The deletion step on a real application root in a temporary directory.
class tst_FileDeleteListTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyListFinishesAtOnce();
    void neededMissingOrUndeletableFilesArePassedOver();
    void fourEntriesMoveProgressInQuarters();
    void userCancelStopsBetweenDeletions();

private:
    void install(const QString &path);
    bool exists(const QString &path) const;
    FileDeleteListTaskSpecification *makeStep(double weight = 0.05);

    std::unique_ptr<ScopedAppRoot> m_root;
    std::unique_ptr<QObject> m_owner;
    QList<QString> m_deletes;
    QStringList m_log;
};

void tst_FileDeleteListTaskSpecification::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
    m_owner = std::make_unique<QObject>();
    m_deletes.clear();
    m_log.clear();
}

void tst_FileDeleteListTaskSpecification::cleanup()
{
    m_owner.reset();
    m_root.reset();
}

void tst_FileDeleteListTaskSpecification::install(const QString &path)
{
    QVERIFY(QDir(m_root->path()).mkpath(QFileInfo(path).path()));
    QFile file(m_root->filePath(path));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("old");
}

bool tst_FileDeleteListTaskSpecification::exists(const QString &path) const
{
    return QFileInfo::exists(m_root->filePath(path));
}

FileDeleteListTaskSpecification *tst_FileDeleteListTaskSpecification::makeStep(double weight)
{
    auto *step = new FileDeleteListTaskSpecification(&m_deletes, m_root->settings(), m_owner.get(),
                                                     weight);
    connect(step, &TaskSpecification::message, m_owner.get(),
            [this](const QString &text) { m_log << text; });
    connect(step, &TaskSpecification::finished, m_owner.get(), [this] { m_log << "finished"; });
    connect(step, &TaskSpecification::canceled, m_owner.get(), [this, step] {
        m_log << (step->state == UserCanceled ? "user canceled" : "error canceled");
    });
    return step;
}

void tst_FileDeleteListTaskSpecification::emptyListFinishesAtOnce()
{
    install("keep.txt");
    FileDeleteListTaskSpecification *step = makeStep();
    step->execute();

    QCOMPARE(step->state, Finished);
    QCOMPARE(m_log, QStringList({"Starting deleting files", "finished"}));
    QVERIFY(step->subTasks.isEmpty());
    QCOMPARE(step->progress, 0.05);
    QVERIFY(exists("keep.txt"));
}

void tst_FileDeleteListTaskSpecification::neededMissingOrUndeletableFilesArePassedOver()
{
    // The updater's files, also by other ways, and an ordinary file of the same name.
    const QStringList needed {"update.journal", "./update", "back/mirrors.ini"};
    QVERIFY(QFile::link(m_root->path(), m_root->filePath("back")));
    for (const QString &path : needed + QStringList {"lib/update", "keep.txt"})
        install(path);
    m_deletes << needed << "lib/update";
    install("old/_old_lib.so");
    install("obsolete.txt");
    // A non-empty directory cannot be removed as a file.
    QVERIFY(QDir(m_root->path()).mkpath("stuck/inside"));
    m_deletes << "gone.txt"
              << "stuck";
    // What the replacement set aside follows the list.
    const QStringList more {"old/_old_lib.so", "obsolete.txt"};
    FileDeleteListTaskSpecification *step = makeStep();
    step->setMoreNames({[more] { return int(more.size()); }, [more](int i) { return more.at(i); }});
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    QStringList expected {"Starting deleting files"};
    for (const QString &path : needed)
        expected << QStringLiteral("Not deleting %1: the updater needs it").arg(path);
    QCOMPARE(m_log, expected + QStringList({"Could not delete stuck; it stays", "finished"}));
    for (const QString &path : needed)
        QVERIFY(exists(path));
    QVERIFY(!exists("lib/update"));
    QVERIFY(!exists("old/_old_lib.so"));
    QVERIFY(!exists("obsolete.txt"));
    QVERIFY(exists("stuck/inside"));
    QVERIFY(exists("keep.txt"));
    QCOMPARE(step->deletedAmong(int(m_deletes.size() + more.size())), 3);
}

void tst_FileDeleteListTaskSpecification::fourEntriesMoveProgressInQuarters()
{
    m_deletes << "a"
              << "b"
              << "c/d"
              << "e";
    for (const QString &path : std::as_const(m_deletes))
        install(path);
    FileDeleteListTaskSpecification *step = makeStep(1.0);
    QSignalSpy progress(step, &TaskSpecification::updateProgress);
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    QList<qreal> values;
    for (const QList<QVariant> &arguments : std::as_const(progress))
        values << arguments.at(0).toReal();
    // Four deletions, then the end.
    QCOMPARE(values, QList<qreal>({0.25, 0.5, 0.75, 1.0, 1.0}));
    for (const QString &path : std::as_const(m_deletes))
        QVERIFY(!exists(path));
    for (const TaskSpecification *task : std::as_const(step->subTasks))
        QCOMPARE(task->parentProgressRange, 0.25);
}

void tst_FileDeleteListTaskSpecification::userCancelStopsBetweenDeletions()
{
    // More files than deletions in flight: those started end, no more start.
    for (int i = 0; i < 40; ++i)
        m_deletes << QString::number(i);
    for (const QString &path : std::as_const(m_deletes))
        install(path);
    FileDeleteListTaskSpecification *step = makeStep(1.0);
    connect(step, &TaskSpecification::updateProgress, m_owner.get(), [step](qreal value) {
        if (value > 0)
            step->userCanceled();
    });
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, UserCanceled);
    QCOMPARE(m_log, QStringList({"Starting deleting files", "user canceled"}));
    QVERIFY(!exists("0"));
    QVERIFY(exists("39"));
}

QTEST_GUILESS_MAIN(tst_FileDeleteListTaskSpecification)
#include "tst_filedeletelisttaskspecification.moc"
