#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>

// Small measuring helpers shared by the benchmarks.
namespace bench {

// Peak resident set size in KiB (VmHWM) of this process, or of the process
// pid; -1 if it cannot be read.
qint64 peakRssKiB(qint64 pid = 0);

// The load averages of /proc/loadavg, for the record of a run.
QString loadAverage();

// Runs a program to its end; returns its wall time in seconds and its standard
// output in *output, or a negative value if it failed.
double timedRun(const QString &program, const QStringList &arguments,
                const QString &workingDirectory, QByteArray *output);

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
