// mrvupdated under load, on loopback only:
// - replies per second to the version query with the limits off (target
//   >= 50,000/s, the generator sharing the machine's cores), against a bare
//   recvmmsg/sendmmsg loop in a child process as the peer of the same run;
// - the server's peak resident memory while 100,000 forged sources (distinct
//   addresses in 127.0.0.0/8, each with its own address/port pair) ask for
//   the news with the limits on (target <= 32 MiB).
//
//   bench_updated [--rounds N] [--seconds S]
//
// Each round of the first part asks for S seconds (default 2) or 2,000,000
// replies, whichever ends first, with at most 128 requests in flight; rounds
// alternate between server and peer. The flood sends 200,000 requests (two
// passes over the sources) within 60 s; each of the N rounds (default 5)
// starts a fresh server. Medians are reported. Exit code 0 when both targets
// are met.

#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

QTextStream out(stdout);

constexpr int batch = 32;
constexpr int window = 128; // requests in flight; fits the default socket buffers
constexpr qint64 maxRepliesPerRound = 2000000;
constexpr int floodSources = 100000;
constexpr int floodSockets = 4;
constexpr int floodPasses = 2;
constexpr int floodSecondsMax = 60;
constexpr double rateTarget = 50000;
constexpr double rssTargetMiB = 32;

const char versionReply[] = "43#3.4,44#3.5 Beta,4711";

int udpSocket(quint32 address, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

quint16 localPort(int fd)
{
    sockaddr_in local {};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
    return ntohs(local.sin_port);
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Takes every reply waiting on the sockets, after waiting up to waitMs for the
// first; returns how many arrived, or -1 if none came in time.
int drainReplies(const std::vector<int> &fds, int waitMs)
{
    std::vector<pollfd> polls;
    for (int fd : fds)
        polls.push_back({fd, POLLIN, 0});
    if (::poll(polls.data(), nfds_t(polls.size()), waitMs) <= 0)
        return -1;
    static char buffers[64][16];
    iovec parts[64];
    mmsghdr messages[64];
    int total = 0;
    for (int fd : fds) {
        for (;;) {
            std::memset(messages, 0, sizeof messages);
            for (int i = 0; i < 64; ++i) {
                parts[i] = {buffers[i], sizeof buffers[i]};
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int count = ::recvmmsg(fd, messages, 64, MSG_DONTWAIT, nullptr);
            if (count <= 0)
                break;
            total += count;
        }
    }
    return total;
}

// Replies per second that a server on the port gives the version query.
double measureReplies(quint16 port, double seconds)
{
    const int fd = udpSocket(INADDR_LOOPBACK, 0);
    sockaddr_in server = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0)
        return -1;
    iovec request = {const_cast<char *>("3\0"), 2};
    mmsghdr requests[batch];
    std::memset(requests, 0, sizeof requests);
    for (mmsghdr &message : requests) {
        message.msg_hdr.msg_iov = &request;
        message.msg_hdr.msg_iovlen = 1;
    }
    qint64 replies = 0;
    int inFlight = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.nsecsElapsed() < qint64(seconds * 1e9) && replies < maxRepliesPerRound) {
        while (inFlight + batch <= window) {
            const int sent = ::sendmmsg(fd, requests, batch, 0);
            if (sent <= 0)
                break;
            inFlight += sent;
        }
        const int arrived = drainReplies({fd}, 20);
        // A lost request or reply leaves nothing to wait for: ask anew.
        inFlight = arrived < 0 ? 0 : qMax(0, inFlight - arrived);
        replies += qMax(0, arrived);
    }
    const double elapsed = timer.nsecsElapsed() / 1e9;
    ::close(fd);
    return replies / elapsed;
}

// The peer: the least a server can do, one reply per datagram, in batches.
int runEcho()
{
    const int fd = udpSocket(INADDR_LOOPBACK, 0);
    if (fd < 0)
        return 2;
    std::printf("%u\n", unsigned(localPort(fd)));
    std::fflush(stdout);
    char buffers[64][16];
    sockaddr_in senders[64];
    iovec parts[64];
    iovec reply = {const_cast<char *>(versionReply), sizeof versionReply};
    mmsghdr messages[64];
    for (;;) {
        pollfd pfd {fd, POLLIN, 0};
        ::poll(&pfd, 1, -1);
        std::memset(messages, 0, sizeof messages);
        for (int i = 0; i < 64; ++i) {
            parts[i] = {buffers[i], sizeof buffers[i]};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, messages, 64, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i)
            messages[i].msg_hdr.msg_iov = &reply;
        if (count > 0)
            ::sendmmsg(fd, messages, unsigned(count), MSG_DONTWAIT);
    }
}

// A child process that prints its port on one line of standard output or
// standard error (with the given prefix) and runs until stopped.
struct Child
{
    QProcess process;
    quint16 port = 0;

    bool start(const QString &program, const QStringList &arguments,
               QProcess::ProcessChannel channel, const QString &prefix)
    {
        process.setReadChannel(channel);
        process.start(program, arguments);
        while (process.waitForReadyRead(10000)) {
            while (process.canReadLine()) {
                const QString line = QString::fromUtf8(process.readLine()).trimmed();
                if (line.startsWith(prefix)) {
                    port = line.section(QLatin1Char(':'), -1).toUShort();
                    return port != 0;
                }
            }
        }
        out << "could not start " << program << ": " << process.readAllStandardError() << Qt::endl;
        return false;
    }
    // Stops it; returns the last line it wrote to the read channel.
    QString stop()
    {
        process.terminate();
        process.waitForFinished(10000);
        QString last;
        while (process.canReadLine())
            last = QString::fromUtf8(process.readLine()).trimmed();
        return last;
    }
};

bool startServer(Child *server, QTemporaryDir *dir, const QByteArray &limits)
{
    const QString path = dir->filePath(QStringLiteral("mrvupdated.ini"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("[server]\naddress=127.0.0.1\nversionPort=0\nbannerPort=0\n"
               "[versions]\nstable=43\nstableName=3.4\nbeta=44\nbetaName=3.5 Beta\nalpha=4711\n"
               "[news]\ntext=\""
               + QByteArray(1000, 'n') + "\"\n" + limits);
    file.close();
    return server->start(QCoreApplication::applicationDirPath() + QStringLiteral("/mrvupdated"),
                         {path}, QProcess::StandardError, QStringLiteral("listening version udp"));
}

// Sends the news request from 100,000 forged sources, twice over: each
// datagram names its source address (127.1.0.0 + i) with IP_PKTINFO, from
// one of a few sockets bound to any address, so that the replies come back.
// Returns false if the flood did not get through in time.
bool flood(quint16 port)
{
    std::vector<int> fds;
    for (int i = 0; i < floodSockets; ++i) {
        const int fd = udpSocket(INADDR_ANY, 0);
        if (fd < 0)
            return false;
        fds.push_back(fd);
    }
    sockaddr_in server = loopback(port);
    iovec request = {const_cast<char *>("*\0"), 2};
    struct Control
    {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
    };
    std::vector<Control> controls(batch);
    std::vector<mmsghdr> messages(batch);

    const int total = floodSources * floodPasses;
    int sent = 0;
    int inFlight = 0;
    QElapsedTimer timer;
    timer.start();
    while (sent < total) {
        if (timer.elapsed() > floodSecondsMax * 1000)
            return false;
        // One socket per batch: a batch goes out with one call.
        const int fd = fds[size_t((sent / batch) % floodSockets)];
        const int count = qMin(batch, total - sent);
        for (int i = 0; i < count; ++i) {
            const quint32 source = (127u << 24 | 1u << 16) + quint32((sent + i) % floodSources);
            std::memset(&messages[size_t(i)], 0, sizeof(mmsghdr));
            msghdr &header = messages[size_t(i)].msg_hdr;
            header.msg_name = &server;
            header.msg_namelen = sizeof server;
            header.msg_iov = &request;
            header.msg_iovlen = 1;
            header.msg_control = controls[size_t(i)].bytes;
            header.msg_controllen = sizeof controls[size_t(i)].bytes;
            cmsghdr *control = CMSG_FIRSTHDR(&header);
            control->cmsg_level = IPPROTO_IP;
            control->cmsg_type = IP_PKTINFO;
            control->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info {};
            info.ipi_spec_dst.s_addr = htonl(source);
            std::memcpy(CMSG_DATA(control), &info, sizeof info);
        }
        const int done = ::sendmmsg(fd, messages.data(), unsigned(count), 0);
        if (done <= 0) {
            out << "sending failed: " << std::strerror(errno) << Qt::endl;
            return false;
        }
        sent += done;
        inFlight += done;
        while (inFlight >= window) {
            const int arrived = drainReplies(fds, 20);
            // Limited requests and lost datagrams get no reply.
            inFlight = arrived < 0 ? 0 : inFlight - arrived;
        }
    }
    drainReplies(fds, 100);
    for (int fd : fds)
        ::close(fd);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args == QStringList {QStringLiteral("--echo")})
        return runEcho();
    const QHash<QString, QString> options = bench::options(args);
    const int rounds
        = qBound(1, options.value(QStringLiteral("--rounds"), QStringLiteral("5")).toInt(), 50);
    const double seconds = qBound(
        0.1, options.value(QStringLiteral("--seconds"), QStringLiteral("2")).toDouble(), 30.0);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 2;
    out << "load average before: " << bench::loadAverage() << Qt::endl;

    Child server;
    Child echo;
    if (!startServer(&server, &dir, "[limits]\nenabled=false\n")
        || !echo.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--echo")},
                       QProcess::StandardOutput, QString()))
        return 2;
    QList<double> serverRates;
    QList<double> echoRates;
    for (int round = 0; round < rounds; ++round) {
        const double serverRate = measureReplies(server.port, seconds);
        const double echoRate = measureReplies(echo.port, seconds);
        if (serverRate < 0 || echoRate < 0)
            return 2;
        out << "round " << round + 1 << ": mrvupdated " << qRound64(serverRate)
            << " replies/s, bare loop " << qRound64(echoRate) << " replies/s" << Qt::endl;
        serverRates.append(serverRate);
        echoRates.append(echoRate);
    }
    out << "mrvupdated after the rounds: " << server.stop() << Qt::endl;
    echo.stop();

    QList<double> peaks;
    for (int round = 0; round < rounds; ++round) {
        Child flooded;
        if (!startServer(&flooded, &dir, "[limits]\nenabled=true\n"))
            return 2;
        const qint64 idleKiB = bench::peakRssKiB(flooded.process.processId());
        if (!flood(flooded.port)) {
            out << "the flood did not get through" << Qt::endl;
            return 2;
        }
        const qint64 peakKiB = bench::peakRssKiB(flooded.process.processId());
        out << "flood " << round + 1 << ": peak resident memory " << idleKiB << " KiB idle, "
            << peakKiB << " KiB after " << floodSources * floodPasses << " requests; "
            << flooded.stop() << Qt::endl;
        peaks.append(peakKiB / 1024.0);
    }
    out << "load average after: " << bench::loadAverage() << Qt::endl;

    const double rate = bench::median(serverRates);
    const double ratio = rate / bench::median(echoRates);
    const double peakMiB = bench::median(peaks);
    const bool fastEnough = rate >= rateTarget;
    const bool smallEnough = peakMiB <= rssTargetMiB;
    out << "replies/s to the version query, limits off, median of " << rounds << ": "
        << qRound64(rate) << ", ratio to the bare loop " << QString::number(ratio, 'f', 2)
        << " (target >= " << qRound64(rateTarget) << ") " << (fastEnough ? "PASS" : "FAIL")
        << Qt::endl;
    out << "peak resident memory under a flood from " << floodSources
        << " forged sources, limits on, median of " << rounds << ": "
        << QString::number(peakMiB, 'f', 1) << " MiB (target <= " << rssTargetMiB << " MiB) "
        << (smallEnough ? "PASS" : "FAIL") << Qt::endl;
    return fastEnough && smallEnough ? 0 : 1;
}
