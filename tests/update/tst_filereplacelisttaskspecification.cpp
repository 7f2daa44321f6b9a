#include "update/filereplacelisttaskspecification.h"
#include "update/filereplacetaskspecification.h"

#include "scopedapproot.h"
#include "tasklog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QPointer>
#include <QTest>
#include <QThreadPool>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace {

const QFile::Permissions Mode0644 = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
    | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
const QFile::Permissions Mode0666 = Mode0644 | QFile::WriteGroup | QFile::WriteOther;
const QFile::Permissions Mode0755 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
    | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
    | QFile::ReadOther | QFile::ExeOther;
const QFile::Permissions AnyExe = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QList<QString> oldCopies(const FileReplaceListTaskSpecification *step)
{
    QList<QString> names;
    for (int i = 0; i < step->oldCopyCount(); ++i)
        names << step->oldCopy(i);
    return names;
}

// Everything below a directory: files with their bytes and mode, directories
// as "<dir>".
using Tree = QMap<QString, QPair<QByteArray, int>>;

Tree snapshot(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = QDir(root).relativeFilePath(path);
        if (info.isDir()) {
            tree.insert(relative, {"<dir>", 0});
            continue;
        }
        QFile file(path);
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
        tree.insert(relative, {bytes, int(info.permissions() & ~(QFile::Permissions(0x0f00)))});
    }
    return tree;
}

// Chattr +i (of a directory or a file) for root, who writes through every
// mode; chmod for anyone else.
bool setImmutable(const QString &path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

bool canCreateIn(const QString &dir)
{
    QFile probe(dir + "/.probe");
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.remove();
    return true;
}

} // namespace

// The replacement step on a real application root in a temporary directory,
// with the downloads in a second one.
class tst_FileReplaceListTaskSpecification : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void newFileIsCopiedWithoutRename();
    void staleOldCopyMakesWayForReplacedFile();
    void specialFileKeepsItsOldCopy();
    void unpackedFileIsInstalledUnderItsOwnName();
    void subtaskWeightsAddUpToOne_data();
    void subtaskWeightsAddUpToOne();
    void executablesGet0755AndNothingMore_data();
    void executablesGet0755AndNothingMore();
    void manyFilesAreAllInstalled();
    void newDirectoryIsRemovedOnRollback();
    void failureOfLastFileRestoresEveryEarlierOne_data();
    void failureOfLastFileRestoresEveryEarlierOne();
    void emptyUnpackSumIsAnInvalidLine();
    void userCancelDuringStepRollsBack();
    void resetDuringStepRollsBack();

private:
    void install(const QString &path, const QByteArray &content,
                 QFile::Permissions mode = Mode0644);
    void download(const QString &path, const QByteArray &content,
                  QFile::Permissions mode = Mode0644);
    void downloadGzip(const QString &path, const QByteArray &content);
    FileReplaceSpecification copied(const QString &path) const;
    FileReplaceSpecification unpacked(const QString &key, const QString &installedAs,
                                      const QByteArray &content) const;
    QByteArray installed(const QString &path) const;
    // Version 1 installed and version 2 downloaded, eight files.
    void makeManyFiles();
    void makeUnwritable(const QString &dir);
    FileReplaceListTaskSpecification *makeStep();
    bool waitForEnd(TaskSpecification *task);
    QString normalised(QString line) const;
    // The installation is as it was before the step.
    void verifyRestored(const Tree &before) const;

    std::unique_ptr<ScopedAppRoot> m_root;
    std::unique_ptr<QObject> m_owner;
    RunSettings m_settings;
    QList<FileReplaceSpecification> m_replaces;
    QStringList m_log;
    QString m_lockedDir;
};

void tst_FileReplaceListTaskSpecification::init()
{
    m_root = std::make_unique<ScopedAppRoot>();
    QVERIFY(m_root->isValid());
    m_settings = m_root->settings();
    m_owner = std::make_unique<QObject>();
    m_replaces.clear();
    m_log.clear();
}

void tst_FileReplaceListTaskSpecification::cleanup()
{
    if (!m_lockedDir.isEmpty()) {
        setImmutable(m_lockedDir, false);
        QFile::setPermissions(m_lockedDir, Mode0755);
        m_lockedDir.clear();
    }
    m_owner.reset();
    m_root.reset();
}

void tst_FileReplaceListTaskSpecification::install(const QString &path, const QByteArray &content,
                                                   QFile::Permissions mode)
{
    QVERIFY(QDir(m_root->path()).mkpath(QFileInfo(path).path()));
    QFile file(m_root->filePath(path));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    file.close();
    QVERIFY(file.setPermissions(mode));
}

void tst_FileReplaceListTaskSpecification::download(const QString &path, const QByteArray &content,
                                                    QFile::Permissions mode)
{
    QVERIFY(QDir(m_root->tempPath()).mkpath(QFileInfo(path).path()));
    QFile file(m_root->tempFilePath(path));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
    file.close();
    QVERIFY(file.setPermissions(mode));
}

void tst_FileReplaceListTaskSpecification::downloadGzip(const QString &path,
                                                        const QByteArray &content)
{
    QVERIFY(QDir(m_root->tempPath()).mkpath(QFileInfo(path).path()));
    gzFile gz = gzopen(QFile::encodeName(m_root->tempFilePath(path)).constData(), "wb");
    QVERIFY(gz);
    QCOMPARE(gzwrite(gz, content.constData(), unsigned(content.size())), int(content.size()));
    QCOMPARE(gzclose(gz), Z_OK);
}

FileReplaceSpecification tst_FileReplaceListTaskSpecification::copied(const QString &path) const
{
    FileReplaceSpecification file;
    file.section = "base";
    file.filePath = path;
    return file;
}

FileReplaceSpecification
tst_FileReplaceListTaskSpecification::unpacked(const QString &key, const QString &installedAs,
                                               const QByteArray &content) const
{
    FileReplaceSpecification file = copied(key);
    file.unzipMd5 = md5Of(content).toUpper();
    file.unzipSize = content.size();
    file.unzipFilePath = installedAs;
    return file;
}

QByteArray tst_FileReplaceListTaskSpecification::installed(const QString &path) const
{
    QFile file(m_root->filePath(path));
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

FileReplaceListTaskSpecification *tst_FileReplaceListTaskSpecification::makeStep()
{
    auto *step = new FileReplaceListTaskSpecification(&m_replaces, m_settings, m_owner.get(), 0.4);
    connect(step, &TaskSpecification::message, m_owner.get(),
            [this](const QString &text) { m_log << normalised(text); });
    connect(step, &TaskSpecification::error, m_owner.get(),
            [this](const QString &text) { m_log << "error: " + normalised(text); });
    connect(step, &TaskSpecification::finished, m_owner.get(), [this] { m_log << "finished"; });
    connect(step, &TaskSpecification::canceled, m_owner.get(), [this, step] {
        m_log << (step->state == UserCanceled ? "user canceled" : "error canceled");
    });
    return step;
}

bool tst_FileReplaceListTaskSpecification::waitForEnd(TaskSpecification *task)
{
    ::waitForEnd(task);
    // Whatever a late pool result would do, it has done it now.
    QThreadPool::globalInstance()->waitForDone();
    QTest::qWait(10);
    return task->state != Running;
}

QString tst_FileReplaceListTaskSpecification::normalised(QString line) const
{
    line.replace(m_root->path(), "ROOT");
    line.replace(m_root->tempPath(), "TEMP");
    return line;
}

void tst_FileReplaceListTaskSpecification::verifyRestored(const Tree &before) const
{
    // The stale old copy is deleted without a journal entry when its file
    // starts; everything else is as it was.
    const QString stale = QStringLiteral("plugins/_old_libx.so");
    Tree after = snapshot(m_root->path());
    if (after.contains(stale))
        QCOMPARE(after.value(stale), before.value(stale));
    after.remove(stale);
    Tree expected = before;
    expected.remove(stale);
    QCOMPARE(after, expected);
}

void tst_FileReplaceListTaskSpecification::makeUnwritable(const QString &dir)
{
    m_lockedDir = dir;
    if (::geteuid() == 0) {
        if (!setImmutable(dir, true))
            QSKIP("the file system refuses the immutable flag");
    } else {
        QVERIFY(QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner));
    }
    QVERIFY(!canCreateIn(dir));
}

void tst_FileReplaceListTaskSpecification::newFileIsCopiedWithoutRename()
{
    download("readme.txt", "new");
    m_replaces << copied("readme.txt");
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(m_log, QStringList({"Starting file updates", "add/replace readme.txt", "finished"}));
    QCOMPARE(installed("readme.txt"), QByteArray("new"));
    QCOMPARE(snapshot(m_root->path()).keys(), QStringList({"readme.txt"}));
    QCOMPARE(oldCopies(step), QList<QString>());
    QCOMPARE(step->progress, 0.4);
}

void tst_FileReplaceListTaskSpecification::staleOldCopyMakesWayForReplacedFile()
{
    install("plugins/libx.so", "installed");
    install("plugins/_old_libx.so", "stale");
    download("plugins/libx.so", "new");
    m_replaces << copied("plugins/libx.so");
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(m_log,
             QStringList({"Starting file updates", "add/replace plugins/libx.so", "finished"}));
    QCOMPARE(installed("plugins/libx.so"), QByteArray("new"));
    QCOMPARE(installed("plugins/_old_libx.so"), QByteArray("installed"));
    QCOMPARE(oldCopies(step), QList<QString>({"plugins/_old_libx.so"}));
    QCOMPARE(QFile::permissions(m_root->filePath("plugins/libx.so")), Mode0755);
}

void tst_FileReplaceListTaskSpecification::specialFileKeepsItsOldCopy()
{
    install("libQtCore.so.4", "installed");
    install("update", "old updater", Mode0755);
    download("libQtCore.so.4", "new");
    download("update", "new updater");
    m_replaces << copied("libQtCore.so.4") << copied("update");
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    QCOMPARE(installed("_old_libQtCore.so.4"), QByteArray("installed"));
    QCOMPARE(installed("_old_update"), QByteArray("old updater"));
    QCOMPARE(installed("libQtCore.so.4"), QByteArray("new"));
    QCOMPARE(installed("update"), QByteArray("new updater"));
    QCOMPARE(oldCopies(step), QList<QString>());
}

void tst_FileReplaceListTaskSpecification::unpackedFileIsInstalledUnderItsOwnName()
{
    const QByteArray content = QByteArray("unpacked content ").repeated(5000);
    install("bin/tool", "old tool");
    downloadGzip("packed/tool.gz", content);
    m_replaces << unpacked("packed/tool.gz", "bin/tool", content);
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(m_log,
             QStringList({"Starting file updates", "add/replace packed/tool.gz", "finished"}));
    QVERIFY(installed("bin/tool") == content);
    QCOMPARE(oldCopies(step), QList<QString>({"bin/_old_tool"}));
    QVERIFY(!QFileInfo::exists(m_root->filePath("packed")));
}

void tst_FileReplaceListTaskSpecification::subtaskWeightsAddUpToOne_data()
{
    QTest::addColumn<bool>("unpack");
    QTest::addColumn<bool>("isInstalled");
    QTest::addColumn<bool>("stale");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("new copy") << false << false << false
                              << QStringList({"FileCopyTaskSpecification 1"});
    QTest::newRow("new unpack") << true << false << false
                                << QStringList({"FileUnzipTaskSpecification 0.8",
                                                "CheckSignatureTaskSpecification 0.2"});
    QTest::newRow("replaced copy")
        << false << true << false
        << QStringList({"FileRenameTaskSpecification 0.1", "FileCopyTaskSpecification 0.9"});
    QTest::newRow("stale copy") << false << true << true
                                << QStringList({"FileDeleteTaskSpecification 0.1",
                                                "FileRenameTaskSpecification 0.1",
                                                "FileCopyTaskSpecification 0.8"});
    QTest::newRow("replaced unpack")
        << true << true << false
        << QStringList({"FileRenameTaskSpecification 0.1", "FileUnzipTaskSpecification 0.7",
                        "CheckSignatureTaskSpecification 0.2"});
    QTest::newRow("stale unpack") << true << true << true
                                  << QStringList({"FileDeleteTaskSpecification 0.1",
                                                  "FileRenameTaskSpecification 0.1",
                                                  "FileUnzipTaskSpecification 0.6",
                                                  "CheckSignatureTaskSpecification 0.2"});
}

void tst_FileReplaceListTaskSpecification::subtaskWeightsAddUpToOne()
{
    QFETCH(bool, unpack);
    QFETCH(bool, isInstalled);
    QFETCH(bool, stale);
    QFETCH(QStringList, expected);
    const QByteArray content = "content";
    if (isInstalled)
        install("f", "installed");
    if (stale)
        install("_old_f", "stale");
    if (unpack) {
        downloadGzip("f.gz", content);
        m_replaces << unpacked("f.gz", "f", content);
    } else {
        download("f", content);
        m_replaces << copied("f");
    }
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    // The file's task is made as it starts.
    QVERIFY(step->subTasks.isEmpty());
    QCoreApplication::sendPostedEvents(step, QEvent::MetaCall);
    QCOMPARE(step->subTasks.size(), 1);
    QPointer<FileReplaceTaskSpecification> file
        = qobject_cast<FileReplaceTaskSpecification *>(step->subTasks.first());
    QVERIFY(file);
    // Read as the file ends: a finished file lets go of its subtasks.
    QStringList weights;
    connect(file, &TaskSpecification::finished, this, [&] {
        for (const TaskSpecification *task : std::as_const(file->subTasks))
            weights << QString("%1 %2")
                           .arg(task->metaObject()->className())
                           .arg(task->parentProgressRange, 0, 'g', 6);
    });
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    QCOMPARE(installed("f"), content);
    QCOMPARE(weights, expected);
    // Finished, it is let go of.
    QVERIFY(step->subTasks.isEmpty());
    QTRY_VERIFY(!file);
}

void tst_FileReplaceListTaskSpecification::executablesGet0755AndNothingMore_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("downloadMode");
    QTest::addColumn<bool>("executable");
    QTest::newRow("updater") << "update" << int(Mode0644) << true;
    QTest::newRow("world-writable updater") << "update" << int(Mode0666) << true;
    QTest::newRow("script") << "mrvclient_runscript.sh" << int(Mode0644) << true;
    QTest::newRow("amd64 client") << "mrvclient_linux_amd64" << int(Mode0644) << true;
    QTest::newRow("x86 client") << "mrvclient_linux_x86" << int(Mode0644) << true;
    QTest::newRow("library") << "plugins/libx.so" << int(Mode0644) << true;
    QTest::newRow("qt library") << "libQtNetwork.so.4" << int(Mode0666) << true;
    QTest::newRow("two suffixes") << "libx.y.so" << int(Mode0644) << false;
    QTest::newRow("other case") << "Update" << int(Mode0644) << false;
    QTest::newRow("data") << "data/map.txt" << int(Mode0644) << false;
}

void tst_FileReplaceListTaskSpecification::executablesGet0755AndNothingMore()
{
    QFETCH(QString, path);
    QFETCH(int, downloadMode);
    QFETCH(bool, executable);
    download(path, "bytes", QFile::Permissions(downloadMode));
    m_replaces << copied(path);
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    const QFile::Permissions mode = QFile::permissions(m_root->filePath(path));
    if (executable) {
        QCOMPARE(mode, Mode0755);
    } else {
        QCOMPARE(mode & AnyExe, QFile::Permissions());
    }
}

void tst_FileReplaceListTaskSpecification::makeManyFiles()
{
    // Replaced, new, unpacked, new in a new directory, with a stale old
    // copy, special, the updater itself.
    install("readme.txt", "readme 1");
    install("data/map.txt", "map 1");
    install("bin/tool", "tool 1");
    install("plugins/libx.so", "libx 1", Mode0755);
    install("plugins/_old_libx.so", "libx 0");
    install("libQtGui.so.4", "qtgui 1", Mode0755);
    install("update", "update 1", Mode0755);
    install("keep.txt", "untouched");

    download("readme.txt", "readme 2");
    download("data/map.txt", "map 2");
    download("data/extra.txt", "extra 2");
    const QByteArray tool = QByteArray("tool 2 ").repeated(1000);
    downloadGzip("packed/tool.gz", tool);
    download("levels/a/b/level.dat", "level 2");
    download("plugins/libx.so", "libx 2");
    download("libQtGui.so.4", "qtgui 2");
    download("update", "update 2");
    m_replaces << copied("readme.txt") << copied("data/map.txt") << copied("data/extra.txt")
               << unpacked("packed/tool.gz", "bin/tool", tool) << copied("levels/a/b/level.dat")
               << copied("plugins/libx.so") << copied("libQtGui.so.4") << copied("update");
}

void tst_FileReplaceListTaskSpecification::manyFilesAreAllInstalled()
{
    makeManyFiles();
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, Finished);
    const Tree tree = snapshot(m_root->path());
    QStringList contents;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        contents << it.key() + ": " + QString::fromLatin1(it.value().first.left(12));
    QStringList expected {"_old_libQtGui.so.4: qtgui 1",
                          "_old_update: update 1",
                          "_old_readme.txt: readme 1",
                          "bin: <dir>",
                          "bin/_old_tool: tool 1",
                          "bin/tool: tool 2 tool ",
                          "data: <dir>",
                          "data/_old_map.txt: map 1",
                          "data/extra.txt: extra 2",
                          "data/map.txt: map 2",
                          "keep.txt: untouched",
                          "levels: <dir>",
                          "levels/a: <dir>",
                          "levels/a/b: <dir>",
                          "levels/a/b/level.dat: level 2",
                          "libQtGui.so.4: qtgui 2",
                          "plugins: <dir>",
                          "plugins/_old_libx.so: libx 1",
                          "plugins/libx.so: libx 2",
                          "readme.txt: readme 2",
                          "update: update 2"};
    contents.sort();
    expected.sort();
    QCOMPARE(contents, expected);
    QList<QString> deletes = oldCopies(step);
    std::sort(deletes.begin(), deletes.end());
    QCOMPARE(deletes,
             QList<QString>({"_old_readme.txt", "bin/_old_tool", "data/_old_map.txt",
                             "plugins/_old_libx.so"}));
    QCOMPARE(QFile::permissions(m_root->filePath("update")), Mode0755);
    QCOMPARE(QFile::permissions(m_root->filePath("libQtGui.so.4")), Mode0755);
}

void tst_FileReplaceListTaskSpecification::newDirectoryIsRemovedOnRollback()
{
    install("keep.txt", "untouched");
    download("new/dir/f.txt", "f");
    m_replaces << copied("new/dir/f.txt") << copied("missing.txt");
    const Tree before = snapshot(m_root->path());
    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, ErrorCanceled);
    QCOMPARE(m_log,
             QStringList({"Starting file updates", "add/replace new/dir/f.txt",
                          "add/replace missing.txt",
                          "Could not copy 'TEMP/missing.txt' to 'ROOT/missing.txt'",
                          "rolling back file updates", "error canceled"}));
    QCOMPARE(snapshot(m_root->path()), before);
}

void tst_FileReplaceListTaskSpecification::failureOfLastFileRestoresEveryEarlierOne_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("report");
    QTest::newRow("unwritable destination")
        << "unwritable"
        << "Could not rename 'ROOT/locked/last.txt' to 'ROOT/locked/_old_last.txt'";
    QTest::newRow("unpacked sum mismatch") << "mismatch"
                                           << "Signature check failed for ROOT/locked/last.txt";
    QTest::newRow("download missing")
        << "missing"
        << "Could not copy 'TEMP/locked/last.txt' to 'ROOT/locked/last.txt'";
    QTest::newRow("folder at an earlier file's path")
        << "folder"
        << "Could not copy 'TEMP/locked/last.txt' to 'ROOT/locked/last.txt'";
    QTest::newRow("stale copy undeletable") << "undeletable"
                                            << "Could not delete 'ROOT/locked/_old_last.txt'";
}

void tst_FileReplaceListTaskSpecification::failureOfLastFileRestoresEveryEarlierOne()
{
    QFETCH(QString, fault);
    QFETCH(QString, report);
    makeManyFiles();
    install("locked/last.txt", "last 1");
    if (fault == "mismatch") {
        downloadGzip("last.txt.gz", "last 2");
        FileReplaceSpecification last = unpacked("last.txt.gz", "locked/last.txt", "last 2");
        last.unzipMd5 = md5Of("something else");
        m_replaces << last;
    } else {
        if (fault != "missing" && fault != "folder")
            download("locked/last.txt", "last 2");
        m_replaces << copied("locked/last.txt");
    }
    if (fault == "folder")
        install("data/extra.txt/mine.txt", "the player's");
    if (fault == "undeletable") {
        // A stale copy made immutable: a folder there would be left in place.
        install("locked/_old_last.txt", "stale");
        if (::geteuid() != 0)
            QSKIP("only root can make a file undeletable in a writable directory");
        m_lockedDir = m_root->filePath("locked/_old_last.txt");
        QVERIFY(setImmutable(m_lockedDir, true));
    }
    const Tree before = snapshot(m_root->path());
    if (fault == "unwritable")
        makeUnwritable(m_root->filePath("locked"));

    FileReplaceListTaskSpecification *step = makeStep();
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, ErrorCanceled);
    QVERIFY2(m_log.contains(report), qPrintable(m_log.join('\n')));
    QCOMPARE(m_log.mid(m_log.size() - 2),
             QStringList({"rolling back file updates", "error canceled"}));
    QCOMPARE(m_log.filter("warning").size(), 0);
    // Every other file was replaced before the last one failed.
    QCOMPARE(m_log.filter("add/replace").size(), m_replaces.size());
    verifyRestored(before);
    if (QTest::currentTestFailed())
        return;
}

// An unpacked file without a sum to check: refused before anything is touched.
void tst_FileReplaceListTaskSpecification::emptyUnpackSumIsAnInvalidLine()
{
    install("a.txt", "old");
    download("a.txt", "new");
    m_replaces << copied("a.txt") << unpacked("b.txt.gz", "b.txt", "packed");
    m_replaces.last().unzipMd5.clear();
    makeStep()->execute();
    QCOMPARE(m_log, QStringList({"Starting file updates",
                                 "Warning: product ini contains invalid line in section base",
                                 "error canceled"}));
    QCOMPARE(installed("a.txt"), QByteArray("old"));
}

void tst_FileReplaceListTaskSpecification::userCancelDuringStepRollsBack()
{
    makeManyFiles();
    // More files than run at once come before the last one.
    for (int i = 0; i < 16; ++i) {
        const QString name = QStringLiteral("more/%1.txt").arg(i);
        download(name, "more");
        m_replaces.insert(m_replaces.size() - 1, copied(name));
    }
    const Tree before = snapshot(m_root->path());
    FileReplaceListTaskSpecification *step = makeStep();
    connect(step, &TaskSpecification::message, m_owner.get(), [step](const QString &text) {
        if (text == "add/replace levels/a/b/level.dat")
            QMetaObject::invokeMethod(
                step, [step] { step->userCanceled(); }, Qt::QueuedConnection);
    });
    step->execute();
    QVERIFY(waitForEnd(step));

    QCOMPARE(step->state, UserCanceled);
    QCOMPARE(m_log.mid(m_log.size() - 2),
             QStringList({"rolling back file updates", "user canceled"}));
    // The files after the cancel never started.
    QVERIFY(!m_log.contains("add/replace update"));
    verifyRestored(before);
    if (QTest::currentTestFailed())
        return;
}

void tst_FileReplaceListTaskSpecification::resetDuringStepRollsBack()
{
    makeManyFiles();
    const Tree before = snapshot(m_root->path());
    FileReplaceListTaskSpecification *step = makeStep();
    // Queued twice over, the reset lands after the copy of the new file in a
    // new directory has gone to the pool and before its result is handled.
    connect(step, &TaskSpecification::message, m_owner.get(), [step](const QString &text) {
        if (text != "add/replace levels/a/b/level.dat")
            return;
        QMetaObject::invokeMethod(
            step,
            [step] {
                QMetaObject::invokeMethod(
                    step, [step] { step->reset(); }, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    });
    step->execute();
    QDeadlineTimer deadline(30000);
    while (step->state == Running && !deadline.hasExpired())
        QTest::qWait(2);
    QThreadPool::globalInstance()->waitForDone();
    QTest::qWait(50);

    QCOMPARE(step->state, Idle);
    QVERIFY(step->subTasks.isEmpty());
    verifyRestored(before);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(step->rollbackList.isEmpty());
}

QTEST_GUILESS_MAIN(tst_FileReplaceListTaskSpecification)
#include "tst_filereplacelisttaskspecification.moc"
