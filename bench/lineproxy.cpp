// The emulated access line of the benchmarks on its own, in front of a server
// on loopback, until interrupted; then prints what it carried.
//
//   lineproxy --server PORT [--kbit N] [--rtt MS] [--reset-kib MIN-MAX] [--port P]
//
// --kbit is the bandwidth in each direction (default unlimited), --rtt the
// round trip in milliseconds (default 0), --reset-kib resets each connection
// after between MIN and MAX KiB sent to its client. The line listens on a free
// port of 127.0.0.1 and prints its URL.

#include "accessline.h"
#include "benchutil.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QHash<QString, QString> options = bench::options(app.arguments().mid(1));
    const int serverPort = options.value(QStringLiteral("--server")).toInt();
    bench::AccessLine::Parameters line;
    line.bitsPerSecond = options.value(QStringLiteral("--kbit")).toLongLong() * 1000;
    line.roundTripMs = options.value(QStringLiteral("--rtt")).toInt();
    const QStringList reset = options.value(QStringLiteral("--reset-kib")).split(QLatin1Char('-'));
    line.resetAfterMin = reset.value(0).toLongLong() * 1024;
    line.resetAfterMax = reset.value(1, reset.value(0)).toLongLong() * 1024;
    if (serverPort <= 0 || serverPort > 65535) {
        std::fprintf(stderr,
                     "usage: lineproxy --server PORT [--kbit N] [--rtt MS] "
                     "[--reset-kib MIN-MAX]\n");
        return 2;
    }

    // The signals that end the line wait for sigwait, in no thread's handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    bench::AccessLine accessLine;
    if (!accessLine.start(quint16(serverPort), line)) {
        std::fprintf(stderr, "%s\n", qPrintable(accessLine.errorString()));
        return 1;
    }
    std::printf("%s: %s\n", qPrintable(accessLine.url()),
                qPrintable(bench::AccessLine::describe(line)));
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    accessLine.stop();
    const bench::AccessLine::Counters counters = accessLine.counters();
    std::printf("%lld connections, %lld reset; %lld bytes to the clients, %lld to the server; "
                "%.2f s CPU\n",
                static_cast<long long>(counters.connections),
                static_cast<long long>(counters.resets), static_cast<long long>(counters.toClients),
                static_cast<long long>(counters.toServer), counters.cpuSeconds);
    return 0;
}
