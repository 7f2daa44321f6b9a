// The single-instance guard: its server name, the message from a second
// start, and a stale socket left by a copy that crashed.

#include "app/singleinstancechecker.h"
#include "app/startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>

#include <cstring>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const char secondStartOption[] = "--second-start";
}

class tst_SingleInstanceChecker : public QObject
{
    Q_OBJECT

private slots:
    void serverNameIsStable();
    void upperCaseInExecutablePathDoesNotChangeName();
    void nameIsCrc16OfPathAndHome();
    void namesDifferBetweenInstallationsAndUsers_data();
    void namesDifferBetweenInstallationsAndUsers();
    void secondStartSendsHashAndExitsZero();
    void copiesStartedTogetherLeaveTheFirstAlone();
    void otherTextIsPassedOn();
    void nothingRunningMeansNoOtherInstance();
    void staleSocketNoLongerDisablesGuard();
    void runningCopyKeepsItsName();
    void socketIsForCurrentUserOnly();
    void listenerOfAnotherUserIsRefused();
};

void tst_SingleInstanceChecker::serverNameIsStable()
{
    const QString name = SingleInstanceChecker::getLocalServerName();
    QVERIFY(name.startsWith(QLatin1String("MRVClientUpdate")));
    QCOMPARE(SingleInstanceChecker::getLocalServerName(), name);
    QCOMPARE(SingleInstanceChecker::getLocalServerName(QCoreApplication::applicationFilePath(),
                                                       QDir::homePath()),
             name);
}

void tst_SingleInstanceChecker::upperCaseInExecutablePathDoesNotChangeName()
{
    const QString home = QStringLiteral("/home/anna");
    QCOMPARE(
        SingleInstanceChecker::getLocalServerName(QStringLiteral("/Opt/Morvane 3/UPDATE"), home),
        SingleInstanceChecker::getLocalServerName(QStringLiteral("/opt/morvane 3/update"), home));
}

void tst_SingleInstanceChecker::nameIsCrc16OfPathAndHome()
{
    // CRC-16/X-25 of "123456789" is 0x906e; slashes and colons are not part
    // of the key, and the checksum is written without leading zeros.
    QCOMPARE(SingleInstanceChecker::getLocalServerName(QStringLiteral("/1234:5"),
                                                       QStringLiteral("/6789")),
             QStringLiteral("MRVClientUpdate906e"));
}

void tst_SingleInstanceChecker::namesDifferBetweenInstallationsAndUsers_data()
{
    QTest::addColumn<QString>("pathA");
    QTest::addColumn<QString>("homeA");
    QTest::addColumn<QString>("pathB");
    QTest::addColumn<QString>("homeB");

    QTest::newRow("two users") << "/opt/morvane/update"
                               << "/home/anna"
                               << "/opt/morvane/update"
                               << "/home/bert";
    QTest::newRow("two installations") << "/opt/morvane/update"
                                       << "/home/anna"
                                       << "/home/anna/morvane/update"
                                       << "/home/anna";
    // The home directory keeps its case: two users whose names differ only
    // in case are two users.
    QTest::newRow("home case") << "/opt/morvane/update"
                               << "/home/Anna"
                               << "/opt/morvane/update"
                               << "/home/anna";
}

void tst_SingleInstanceChecker::namesDifferBetweenInstallationsAndUsers()
{
    QFETCH(QString, pathA);
    QFETCH(QString, homeA);
    QFETCH(QString, pathB);
    QFETCH(QString, homeB);
    QVERIFY(SingleInstanceChecker::getLocalServerName(pathA, homeA)
            != SingleInstanceChecker::getLocalServerName(pathB, homeB));
}

void tst_SingleInstanceChecker::secondStartSendsHashAndExitsZero()
{
    bool heldElsewhere = true;
    const UniqueFd lock = SingleInstanceChecker::lockInstallation(&heldElsewhere);
    QVERIFY(lock.isValid() && !heldElsewhere);
    SingleInstanceChecker running(nullptr);
    QVERIFY(running.isListening());
    QSignalSpy activations(&running, &SingleInstanceChecker::otherInstanceActivate);

    // The same executable started again goes through the whole start-up,
    // from another session (cron, ssh) with a private folder of its own.
    QProcess second;
    QTemporaryDir runtimeDir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    second.setProcessEnvironment(environment);
    second.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(secondStartOption)});
    QVERIFY(second.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(activations.size(), 1, 5000);
    QCOMPARE(activations.first().first().toString(), QStringLiteral("#"));
    if (second.state() != QProcess::NotRunning)
        QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAllStandardOutput().isEmpty());
}

// A copy that holds the lock but does not listen yet (it is still starting)
// keeps every later copy out: they touch nothing of the installation, not
// even the left-over old copies, and an unattended one exits 3. The lock
// goes with the process that held it.
void tst_SingleInstanceChecker::copiesStartedTogetherLeaveTheFirstAlone()
{
    const QString leftOver = QCoreApplication::applicationDirPath() + QStringLiteral("/_old_update");
    QFile file(leftOver);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const auto removeLeftOver = qScopeGuard([&] { QFile::remove(leftOver); });
    {
        bool heldElsewhere = true;
        const UniqueFd lock = SingleInstanceChecker::lockInstallation(&heldElsewhere);
        QVERIFY(lock.isValid() && !heldElsewhere);
        QList<QProcess *> copies;
        for (int i = 0; i < 3; ++i) {
            copies.append(new QProcess(this));
            copies.last()->start(QCoreApplication::applicationFilePath(),
                                 {QString::fromLatin1(secondStartOption), QStringLiteral("--nouser")});
        }
        for (QProcess *copy : std::as_const(copies)) {
            QVERIFY(copy->waitForFinished(10000));
            QCOMPARE(copy->exitCode(), 3);
            QVERIFY(copy->readAllStandardError().contains("another copy of the updater runs"));
            delete copy;
        }
        QVERIFY(QFileInfo::exists(leftOver));
        bool again = false;
        QVERIFY(!SingleInstanceChecker::lockInstallation(&again).isValid() && again);
    }
    bool heldElsewhere = true;
    QVERIFY(SingleInstanceChecker::lockInstallation(&heldElsewhere).isValid());
}

void tst_SingleInstanceChecker::otherTextIsPassedOn()
{
    SingleInstanceChecker running(nullptr);
    QSignalSpy activations(&running, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("hello")));
    QTRY_COMPARE(activations.size(), 1);
    QCOMPARE(activations.first().first().toString(), QStringLiteral("hello"));

    // The next connection is served as well.
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(activations.size(), 2);
    QCOMPARE(activations.last().first().toString(), QStringLiteral("#"));
}

void tst_SingleInstanceChecker::nothingRunningMeansNoOtherInstance()
{
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
}

void tst_SingleInstanceChecker::staleSocketNoLongerDisablesGuard()
{
    // A copy that crashed leaves a bound socket file that nobody listens on.
    const QByteArray path = QFile::encodeName(SingleInstanceChecker::getLocalServerPath());
    QLocalServer::removeServer(QFile::decodeName(path));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(QFile::decodeName(path)));
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker running(nullptr);
    QVERIFY(running.isListening());
    QSignalSpy activations(&running, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(activations.size(), 1);
}

void tst_SingleInstanceChecker::runningCopyKeepsItsName()
{
    SingleInstanceChecker first(nullptr);
    QVERIFY(first.isListening());
    QSignalSpy activations(&first, &SingleInstanceChecker::otherInstanceActivate);
    {
        // A copy that starts although the first one answers does not take
        // the name away from it.
        SingleInstanceChecker intruder(nullptr);
        QVERIFY(!intruder.isListening());
    }
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(activations.size(), 1);
}

void tst_SingleInstanceChecker::socketIsForCurrentUserOnly()
{
    SingleInstanceChecker running(nullptr);
    QVERIFY(running.isListening());
    const QFileInfo socketFile(SingleInstanceChecker::getLocalServerPath());
    QVERIFY(socketFile.exists());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(socketFile.permissions() & others, QFile::Permissions());
    // Its directory is the user's own, a real one that nobody else may enter.
    struct stat directory;
    QCOMPARE(::lstat(QFile::encodeName(socketFile.path()).constData(), &directory), 0);
    QVERIFY(S_ISDIR(directory.st_mode) && directory.st_uid == ::geteuid());
    QCOMPARE(directory.st_mode & 0777, mode_t(0700));
}

// A process of another user listening under the name is no running copy:
// nothing is sent to it, and a new copy takes the name over.
void tst_SingleInstanceChecker::listenerOfAnotherUserIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("a listener of another user needs root to start");
    const QByteArray path = QFile::encodeName(SingleInstanceChecker::getLocalServerPath());
    QLocalServer::removeServer(QFile::decodeName(path));
    sockaddr_un address {AF_UNIX, {}};
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t foreign = ::fork();
    if (foreign == 0) {
        // Listens as the user "nobody", and never reads.
        if (::setuid(65534) == 0 && ::listen(fd, 4) == 0 && ::write(ready[1], "L", 1) == 1)
            ::pause();
        ::_exit(1);
    }
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
    const bool answered = SingleInstanceChecker::checkExistingInstance(QStringLiteral("#"));
    const bool listening = SingleInstanceChecker(nullptr).isListening();
    ::kill(foreign, SIGKILL);
    ::waitpid(foreign, nullptr, 0);
    QVERIFY(!answered);
    QVERIFY(listening);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().contains(QLatin1String(secondStartOption)))
    {
        QStringList arguments {app.arguments().first()};
        if (app.arguments().contains(QLatin1String("--nouser")))
            arguments << QStringLiteral("--nouser") << QStringLiteral("client_linux_amd64")
                      << QStringLiteral("2");
        return Startup::run(arguments);
    }
    tst_SingleInstanceChecker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstancechecker.moc"
