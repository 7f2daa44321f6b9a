#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <optional>

// Small measuring helpers shared by the benchmarks.
namespace bench {

// Peak resident set size in KiB (VmHWM) of this process, or of the process
// pid; -1 if it cannot be read.
qint64 peakRssKiB(qint64 pid = 0);
// The resident anonymous memory in KiB (RssAnon) of this process now; -1 if
// it cannot be read.
qint64 rssAnonKiB();

// The load averages of /proc/loadavg, for the record of a run.
QString loadAverage();
// "PASS" or "FAIL", as bench/run looks for them.
const char *verdict(bool met);

// The "--name value" pairs of a command line given without the program's
// name; a last name without a value is left out.
QHash<QString, QString> options(const QStringList &arguments);

// How a benchmark's main() goes on after its opening.
struct MainStart
{
    // Set where main() ends at once, with this code.
    std::optional<int> exitCode;
    // The set that "--set NAME" names; empty for all of them.
    QString set;
};

// The opening the benchmarks' main() share, once the QCoreApplication
// exists. A command line whose first argument is "--child" is a child's (a
// process the benchmark started to measure one thing on its own): child runs
// with the whole command line, the program's name first, and its code ends
// main(). Otherwise, where trustsKey is given and says no (the updater trusts
// another key than the development key that signs the benchmark's
// releases), that is said on standard output and main() ends with 1.
MainStart startMain(const std::function<int(const QStringList &)> &child,
                    const std::function<bool()> &trustsKey = {});

// The template of a QTemporaryDir below parent, named after this benchmark;
// an empty parent gives the default (the system's temporary directory).
QString tempDirTemplate(const QString &parent);

// Runs a program to its end; returns its wall time in seconds and its standard
// output in *output, or a negative value if it failed.
double timedRun(const QString &program, const QStringList &arguments,
                const QString &workingDirectory, QByteArray *output);

// Runs a program to its end with its standard error passed through and its
// standard output too, or written to outputFile; true if it exited with 0.
bool runProgram(const QString &program, const QStringList &arguments,
                const QString &workingDirectory = QString(), const QString &outputFile = QString());

// Runs a program to its end as "/usr/bin/time -f %M" does: in the working
// directory, with the environment of this process and the given "NAME=value"
// settings, its standard output and error written to outputFile. Returns its
// wall time in seconds and its peak resident size in KiB (the kernel's count,
// ru_maxrss) in *peakKiB, or a negative time if it could not be started or
// did not exit with 0.
double timedRunWithPeak(const QString &program, const QStringList &arguments,
                        const QString &workingDirectory, const QStringList &environment,
                        const QString &outputFile, qint64 *peakKiB);

// Runs this benchmark's own executable with the arguments (a child that
// measures one thing in a process of its own), its standard error passed
// through; returns its wall time in seconds and its standard output in
// *output, or a negative value if it failed or, killed, outlived timeLimitMs.
double timedChild(const QStringList &arguments, QByteArray *output, int timeLimitMs = -1);

// One update by the engine, as a benchmark's child process runs it.
struct UpdateRun
{
    bool finished = false;
    // The engine's messages, in order.
    QStringList log;
    // The milliseconds since the start at which each step message came.
    QList<QPair<qint64, QString>> steps;

    // The time from the step message starting with from to the one starting
    // with to, or -1 if either is missing.
    qint64 between(const QString &from, const QString &to) const;
};

// Updates the installation at appRoot to the given version of clientType,
// with systemTemp as the system's temporary directory. Where the time goes:
// each message for which isStep is true is printed to standard error with the
// milliseconds since the start.
UpdateRun runUpdate(const QString &appRoot, const QString &systemTemp, const QString &clientType,
                    int version, const std::function<bool(const QString &)> &isStep);

// Prints the lines to standard error, each behind "  | ", e.g. the log of a
// failed update.
void printLog(const QStringList &lines);

// The median of the values; the mean of the two middle ones for an even count.
template<typename Container>
double median(Container values)
{
    std::sort(values.begin(), values.end());
    const auto n = values.size();
    if (n == 0)
        return 0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace bench
