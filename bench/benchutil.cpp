#include "benchutil.h"

#include "app/configuration.h"
#include "app/startup.h"
#include "update/updateengine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

// A "Name:   value kB" line of /proc/<pid>/status, in KiB; -1 if missing.
qint64 statusKiB(const QByteArray &name, qint64 pid)
{
    QFile status(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid)
                         : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = name + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Runs a program to its end; its wall time in seconds and its standard
// output in *output, or a negative value if it failed.
double timed(QProcess::ProcessChannelMode mode, const QString &program,
             const QStringList &arguments, const QString &workingDirectory, QByteArray *output,
             int timeLimitMs = -1)
{
    QProcess process;
    process.setProcessChannelMode(mode);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(timeLimitMs)) {
        process.kill();
        process.waitForFinished(-1);
        return -1;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (output)
        *output = process.readAllStandardOutput();
    return seconds;
}

} // namespace

qint64 peakRssKiB(qint64 pid)
{
    return statusKiB("VmHWM", pid);
}

qint64 rssAnonKiB()
{
    return statusKiB("RssAnon", 0);
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readLine()).section(QLatin1Char(' '), 0, 2);
}

const char *verdict(bool met)
{
    return met ? "PASS" : "FAIL";
}

QHash<QString, QString> options(const QStringList &arguments)
{
    QHash<QString, QString> result;
    for (int i = 0; i + 1 < arguments.size(); i += 2)
        result.insert(arguments[i], arguments[i + 1]);
    return result;
}

MainStart startMain(const std::function<int(const QStringList &)> &child,
                    const std::function<bool()> &trustsKey)
{
    MainStart start;
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--child")) {
        start.exitCode = child(arguments);
        return start;
    }
    if (trustsKey && !trustsKey()) {
        std::fputs("built with another public key than the development key\n", stdout);
        start.exitCode = 1;
        return start;
    }
    start.set = options(arguments.mid(1)).value(QStringLiteral("--set"));
    return start;
}

QString tempDirTemplate(const QString &parent)
{
    if (parent.isEmpty())
        return QString();
    return parent + QLatin1Char('/') + QCoreApplication::applicationName()
        + QStringLiteral("-XXXXXX");
}

double timedRun(const QString &program, const QStringList &arguments,
                const QString &workingDirectory, QByteArray *output)
{
    return timed(QProcess::SeparateChannels, program, arguments, workingDirectory, output);
}

bool runProgram(const QString &program, const QStringList &arguments,
                const QString &workingDirectory, const QString &outputFile)
{
    QProcess process;
    if (outputFile.isEmpty()) {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
    } else {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(outputFile);
    }
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

double timedRunWithPeak(const QString &program, const QStringList &arguments,
                        const QString &workingDirectory, const QStringList &environment,
                        const QString &outputFile, qint64 *peakKiB)
{
    // Everything the child needs is made before fork(): after it, the child
    // only redirects and execs.
    std::vector<QByteArray> strings {QFile::encodeName(program)};
    for (const QString &argument : arguments)
        strings.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &string : strings)
        argv.push_back(string.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> settings;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray setting(*entry);
        const QByteArray name = setting.left(setting.indexOf('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const QString &own) { return own.toLocal8Bit().startsWith(name); }))
            settings.push_back(setting);
    }
    for (const QString &own : environment)
        settings.push_back(own.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &setting : settings)
        envp.push_back(setting.data());
    envp.push_back(nullptr);
    const QByteArray directory = QFile::encodeName(workingDirectory);
    const QByteArray output = QFile::encodeName(outputFile);

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int fd = ::open(output.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || (!directory.isEmpty() && ::chdir(directory.constData()) != 0)
            || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0)
            ::_exit(127);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            return -1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    *peakKiB = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double timedChild(const QStringList &arguments, QByteArray *output, int timeLimitMs)
{
    return timed(QProcess::ForwardedErrorChannel, QCoreApplication::applicationFilePath(),
                 arguments, QString(), output, timeLimitMs);
}

UpdateRun runUpdate(const QString &appRoot, const QString &systemTemp, const QString &clientType,
                    int version, const std::function<bool(const QString &)> &isStep)
{
    Configuration::setAppRootPath(appRoot);
    qputenv("TMPDIR", QFile::encodeName(systemTemp));
    UpdateRun run;
    Configuration configuration;
    configuration.m_clientType = clientType;
    configuration.m_clientVersion = version;
    configuration.getProxyAndDownloadConcurrency();
    UpdateEngine engine(configuration.settings(), nullptr);
    Startup::connectEngine(engine, configuration);
    QEventLoop loop;
    QObject::connect(&engine, &UpdateEngine::updateFinished, &loop, [&] {
        run.finished = true;
        loop.quit();
    });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &loop, &QEventLoop::quit);
    QObject::connect(&engine, &UpdateEngine::fatalError, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&engine, &UpdateEngine::message, &loop, [&](const QString &line) {
        // The last lines are enough to tell why an update failed; the whole
        // log would count in the update's memory.
        run.log.append(line);
        if (run.log.size() > 1000)
            run.log.removeFirst();
        if (isStep(line))
            run.steps.append({clock.elapsed(), line});
        if (isStep(line))
            std::fprintf(stderr, "  %7lld ms  %s\n", static_cast<long long>(clock.elapsed()),
                         qPrintable(line));
    });
    if (engine.initialize()) {
        engine.startUpdate();
        loop.exec();
    }
    return run;
}

qint64 UpdateRun::between(const QString &from, const QString &to) const
{
    qint64 start = -1;
    for (const auto &[ms, line] : steps) {
        if (start < 0 && line.startsWith(from))
            start = ms;
        else if (start >= 0 && line.startsWith(to))
            return ms - start;
    }
    return -1;
}

void printLog(const QStringList &lines)
{
    for (const QString &line : lines)
        std::fprintf(stderr, "  | %s\n", qPrintable(line));
}

} // namespace bench
