#include "accessline.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <vector>

namespace bench {

namespace {

// The most a connection puts on the line at a time: a packet.
constexpr qint64 sliceBytes = 1500;
// The line's sender queues slices this far ahead of now and wakes when half
// of it is left, so that a late wake-up leaves no gap on the line.
constexpr qint64 queueAheadNs = 2'000'000;
// How far behind now the line's sender may be after this thread ran late;
// it makes up for the time, as the line would have carried on.
constexpr qint64 maximumCatchUpNs = 50'000'000;
// Slices that arrive this close together are delivered in one wake-up; no
// transfer notices the delay, and the line's thread stays cheap at 100 Mbit/s.
constexpr qint64 tickNs = 500'000;
// What each direction of a connection holds between its source and its sink,
// at least; a line with a large bandwidth-delay product holds twice that, as
// a sender's window would.
constexpr qint64 minimumWindow = 256 * 1024;

qint64 nowNs()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void setNoDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Closes with a reset instead of an orderly end.
void closeWithReset(int fd)
{
    const linger hard {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

QString formatBytes(qint64 bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

class AccessLine::Loop
{
public:
    Loop(const Parameters &parameters, int listenFd, quint16 serverPort);
    ~Loop();

    void run();
    void requestStop();

    std::atomic<qint64> toClients {0};
    std::atomic<qint64> toServer {0};
    std::atomic<qint64> connections {0};
    std::atomic<qint64> resets {0};
    std::atomic<qint64> finalCpuNs {-1};

private:
    struct Connection;

    // One direction of one connection. The bytes read from its source wait
    // in a ring buffer until the line has carried them and their delay is
    // over; offsets count the bytes of the direction since it began.
    struct Flow
    {
        Connection *connection = nullptr;
        bool towardClient = false;
        std::unique_ptr<char[]> ring;
        qint64 capacity = 0;
        qint64 read = 0; // from the source
        qint64 sent = 0; // put on the line
        qint64 due = 0; // arrived at the far end
        qint64 delivered = 0; // written to the sink
        qint64 limit = std::numeric_limits<qint64>::max(); // the reset
        qint64 notBefore = 0; // nothing arrives earlier
        std::deque<std::pair<qint64, qint64>> arrivals; // time, offset
        bool sourceEnded = false;
        bool sinkShut = false;
        bool sinkBlocked = false;
        bool waiting = false; // in its link's queue

        qint64 room() const { return capacity - (read - delivered); }
        qint64 sendable() const { return std::min(read, limit) - sent; }
    };

    // A socket with what epoll watches on it.
    struct Endpoint
    {
        Connection *connection = nullptr;
        int fd = -1;
        uint32_t events = 0;
        bool watched = false;
    };

    struct Connection
    {
        Endpoint client;
        Endpoint server;
        Flow down; // server to client
        Flow up; // client to server
        bool closed = false;
    };

    // One direction of the line, shared by every connection.
    struct Link
    {
        double freeAt = 0;
        std::deque<Flow *> queue;
        bool busy = false; // slices were waiting when the line was last fed
    };

    void accept(qint64 now);
    void readFrom(Flow &flow);
    void queueOnLine(Flow &flow, qint64 now);
    void carry(Link &link, qint64 now);
    void deliver(Flow &flow, qint64 now);
    void watch(Endpoint &endpoint, uint32_t events);
    void close(Connection &connection, bool reset);
    void dropClosed();
    qint64 nextWakeUp(qint64 now) const;
    Flow &flowFrom(Endpoint &endpoint);
    Flow &flowTo(Endpoint &endpoint);

    const Parameters m_parameters;
    const quint16 m_serverPort;
    const qint64 m_halfRoundTripNs;
    const double m_nsPerByte; // 0: unlimited
    const qint64 m_window;
    int m_listenFd;
    int m_epollFd;
    int m_stopFd;
    Endpoint m_listenEndpoint;
    Endpoint m_stopEndpoint;
    std::vector<std::unique_ptr<Connection>> m_connections;
    Link m_downLink;
    Link m_upLink;
    std::mt19937_64 m_random;
    bool m_stopping = false;
};

AccessLine::Loop::Loop(const Parameters &parameters, int listenFd, quint16 serverPort)
    : m_parameters(parameters)
    , m_serverPort(serverPort)
    , m_halfRoundTripNs(qint64(parameters.roundTripMs) * 500'000)
    , m_nsPerByte(parameters.bitsPerSecond > 0 ? 8e9 / double(parameters.bitsPerSecond) : 0)
    , m_window(std::max<qint64>(minimumWindow,
                                parameters.bitsPerSecond / 8 * parameters.roundTripMs / 1000 * 2))
    , m_listenFd(listenFd)
    , m_epollFd(::epoll_create1(EPOLL_CLOEXEC))
    , m_stopFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , m_random(parameters.seed)
{
    m_listenEndpoint.fd = m_listenFd;
    m_stopEndpoint.fd = m_stopFd;
    watch(m_listenEndpoint, EPOLLIN);
    watch(m_stopEndpoint, EPOLLIN);
}

AccessLine::Loop::~Loop()
{
    for (auto &connection : m_connections)
        close(*connection, true);
    ::close(m_listenFd);
    ::close(m_stopFd);
    ::close(m_epollFd);
}

void AccessLine::Loop::requestStop()
{
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
}

void AccessLine::Loop::run()
{
    epoll_event events[64];
    qint64 now = nowNs();
    while (!m_stopping) {
        const qint64 wakeUp = nextWakeUp(now);
        timespec timeout {};
        if (wakeUp > now) {
            timeout.tv_sec = (wakeUp - now) / 1'000'000'000;
            timeout.tv_nsec = (wakeUp - now) % 1'000'000'000;
        }
        const int n
            = ::epoll_pwait2(m_epollFd, events, 64, wakeUp < 0 ? nullptr : &timeout, nullptr);
        now = nowNs();
        for (int i = 0; i < n; ++i) {
            auto *endpoint = static_cast<Endpoint *>(events[i].data.ptr);
            if (endpoint == &m_stopEndpoint) {
                m_stopping = true;
            } else if (endpoint == &m_listenEndpoint) {
                accept(now);
            } else if (!endpoint->connection->closed) {
                // An error, or both directions gone though this side has
                // not ended its own: the peer reset the connection.
                if ((events[i].events & EPOLLERR)
                    || ((events[i].events & EPOLLHUP) && !flowTo(*endpoint).sinkShut)) {
                    close(*endpoint->connection, true);
                    continue;
                }
                if (events[i].events & EPOLLOUT)
                    flowTo(*endpoint).sinkBlocked = false;
                if (events[i].events & (EPOLLIN | EPOLLHUP)) {
                    Flow &flow = flowFrom(*endpoint);
                    readFrom(flow);
                    queueOnLine(flow, now);
                }
            }
        }
        carry(m_downLink, now);
        carry(m_upLink, now);
        for (auto &connection : m_connections) {
            for (Flow *flow : {&connection->down, &connection->up}) {
                if (!connection->closed)
                    deliver(*flow, now);
            }
            if (connection->closed)
                continue;
            if (connection->down.sinkShut && connection->up.sinkShut) {
                close(*connection, false);
                continue;
            }
            const auto wants = [](const Flow &from, const Flow &to) {
                // Reading again only once a quarter of the ring is free
                // saves a read for every slice delivered.
                return (!from.sourceEnded && from.room() >= from.capacity / 4 ? EPOLLIN : 0u)
                    | (to.sinkBlocked ? EPOLLOUT : 0u);
            };
            watch(connection->client, wants(connection->up, connection->down));
            watch(connection->server, wants(connection->down, connection->up));
        }
        dropClosed();
    }
    timespec cpu {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    finalCpuNs = qint64(cpu.tv_sec) * 1'000'000'000 + cpu.tv_nsec;
}

void AccessLine::Loop::accept(qint64 now)
{
    for (;;) {
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        // The server is on loopback: a blocking connect is over at once.
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_serverPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (server < 0
            || ::connect(server, reinterpret_cast<const sockaddr *>(&address), sizeof address)
                < 0) {
            if (server >= 0)
                ::close(server);
            closeWithReset(client);
            continue;
        }
        ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
        setNoDelay(client);
        setNoDelay(server);
        auto connection = std::make_unique<Connection>();
        connection->client.connection = connection.get();
        connection->client.fd = client;
        connection->server.connection = connection.get();
        connection->server.fd = server;
        for (Flow *flow : {&connection->down, &connection->up}) {
            flow->connection = connection.get();
            flow->capacity = m_window;
            flow->ring.reset(new char[m_window]);
        }
        connection->down.towardClient = true;
        if (m_parameters.resetAfterMin > 0) {
            connection->down.limit = std::uniform_int_distribution<qint64>(
                m_parameters.resetAfterMin,
                std::max(m_parameters.resetAfterMin, m_parameters.resetAfterMax))(m_random);
        }
        // The client's first bytes would leave after the handshake's round trip.
        connection->up.notBefore = now + 2 * m_halfRoundTripNs;
        watch(connection->client, EPOLLIN);
        watch(connection->server, EPOLLIN);
        m_connections.push_back(std::move(connection));
        ++connections;
    }
}

AccessLine::Loop::Flow &AccessLine::Loop::flowFrom(Endpoint &endpoint)
{
    Connection &c = *endpoint.connection;
    return &endpoint == &c.client ? c.up : c.down;
}

AccessLine::Loop::Flow &AccessLine::Loop::flowTo(Endpoint &endpoint)
{
    Connection &c = *endpoint.connection;
    return &endpoint == &c.client ? c.down : c.up;
}

void AccessLine::Loop::readFrom(Flow &flow)
{
    const qint64 room = flow.room();
    if (flow.sourceEnded || room == 0)
        return;
    const qint64 at = flow.read % flow.capacity;
    const qint64 first = std::min(room, flow.capacity - at);
    iovec parts[2]
        = {{flow.ring.get() + at, size_t(first)}, {flow.ring.get(), size_t(room - first)}};
    Connection &c = *flow.connection;
    const int fd = flow.towardClient ? c.server.fd : c.client.fd;
    const ssize_t n = ::readv(fd, parts, room > first ? 2 : 1);
    if (n > 0)
        flow.read += n;
    else if (n == 0)
        flow.sourceEnded = true;
    else if (errno != EAGAIN && errno != EINTR)
        close(c, true);
}

void AccessLine::Loop::queueOnLine(Flow &flow, qint64 now)
{
    if (flow.connection->closed || flow.sendable() <= 0)
        return;
    if (m_nsPerByte == 0) {
        flow.sent += flow.sendable();
        flow.arrivals.emplace_back(std::max(now, flow.notBefore) + m_halfRoundTripNs, flow.sent);
        return;
    }
    if (!flow.waiting) {
        flow.waiting = true;
        (flow.towardClient ? m_downLink : m_upLink).queue.push_back(&flow);
    }
}

void AccessLine::Loop::carry(Link &link, qint64 now)
{
    // A line that had slices waiting carried them while this thread was
    // late; one that ran dry starts again now.
    link.freeAt = std::max(link.freeAt, double(link.busy ? now - maximumCatchUpNs : now));
    while (!link.queue.empty() && link.freeAt < now + queueAheadNs) {
        Flow &flow = *link.queue.front();
        link.queue.pop_front();
        const qint64 n = std::min(sliceBytes, flow.sendable());
        if (n <= 0 || flow.connection->closed) {
            flow.waiting = false;
            continue;
        }
        link.freeAt += n * m_nsPerByte;
        flow.sent += n;
        flow.arrivals.emplace_back(
            std::max(qint64(link.freeAt), flow.notBefore) + m_halfRoundTripNs, flow.sent);
        if (flow.sendable() > 0)
            link.queue.push_back(&flow);
        else
            flow.waiting = false;
    }
    link.busy = !link.queue.empty();
}

void AccessLine::Loop::deliver(Flow &flow, qint64 now)
{
    while (!flow.arrivals.empty() && flow.arrivals.front().first <= now) {
        flow.due = flow.arrivals.front().second;
        flow.arrivals.pop_front();
    }
    Connection &c = *flow.connection;
    const int sink = flow.towardClient ? c.client.fd : c.server.fd;
    const qint64 pending = flow.due - flow.delivered;
    if (pending > 0 && !flow.sinkBlocked) {
        const qint64 at = flow.delivered % flow.capacity;
        const qint64 first = std::min(pending, flow.capacity - at);
        iovec parts[2]
            = {{flow.ring.get() + at, size_t(first)}, {flow.ring.get(), size_t(pending - first)}};
        msghdr message {};
        message.msg_iov = parts;
        message.msg_iovlen = pending > first ? 2 : 1;
        const ssize_t n = ::sendmsg(sink, &message, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            close(c, true);
            return;
        }
        if (n < pending)
            flow.sinkBlocked = true;
        if (n > 0) {
            flow.delivered += n;
            (flow.towardClient ? toClients : toServer) += n;
        }
    }
    if (flow.delivered >= flow.limit) {
        ++resets;
        close(c, true);
        return;
    }
    if (flow.sourceEnded && flow.delivered == flow.read && !flow.sinkShut) {
        ::shutdown(sink, SHUT_WR);
        flow.sinkShut = true;
    }
}

void AccessLine::Loop::watch(Endpoint &endpoint, uint32_t events)
{
    if (endpoint.watched && endpoint.events == events)
        return;
    // A socket that both ends have shut would report its hang-up for ever;
    // one that waits for nothing leaves epoll until it does again.
    if (events == 0) {
        if (endpoint.watched)
            ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, endpoint.fd, nullptr);
        endpoint.watched = false;
        return;
    }
    epoll_event event {};
    event.events = events;
    event.data.ptr = &endpoint;
    ::epoll_ctl(m_epollFd, endpoint.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, endpoint.fd, &event);
    endpoint.events = events;
    endpoint.watched = true;
}

void AccessLine::Loop::close(Connection &connection, bool reset)
{
    if (connection.closed)
        return;
    connection.closed = true;
    for (Endpoint *endpoint : {&connection.client, &connection.server}) {
        if (reset)
            closeWithReset(endpoint->fd);
        else
            ::close(endpoint->fd);
        endpoint->fd = -1;
    }
}

void AccessLine::Loop::dropClosed()
{
    const auto closed = [](const std::unique_ptr<Connection> &c) {
        return c->closed;
    };
    if (std::none_of(m_connections.begin(), m_connections.end(), closed))
        return;
    // The links' queues may still point into a closed connection.
    for (Link *link : {&m_downLink, &m_upLink}) {
        link->queue.erase(std::remove_if(link->queue.begin(), link->queue.end(),
                                         [](Flow *flow) { return flow->connection->closed; }),
                          link->queue.end());
    }
    m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(), closed),
                        m_connections.end());
}

qint64 AccessLine::Loop::nextWakeUp(qint64 now) const
{
    qint64 next = -1;
    const auto consider = [&](qint64 at) {
        at = std::max(at, now + tickNs);
        if (next < 0 || at < next)
            next = at;
    };
    for (const Link *link : {&m_downLink, &m_upLink}) {
        if (!link->queue.empty())
            consider(qint64(link->freeAt) - queueAheadNs / 2);
    }
    for (const auto &connection : m_connections) {
        for (const Flow *flow : {&connection->down, &connection->up}) {
            if (!flow->arrivals.empty())
                consider(flow->arrivals.front().first);
        }
    }
    return next;
}

AccessLine::AccessLine() = default;

AccessLine::~AccessLine()
{
    stop();
}

bool AccessLine::start(quint16 serverPort, const Parameters &parameters)
{
    stop();
    const int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd < 0
        || ::bind(listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0
        || ::listen(listenFd, 512) < 0
        || ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&address), &length) < 0) {
        m_error = QStringLiteral("cannot listen on 127.0.0.1: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (listenFd >= 0)
            ::close(listenFd);
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_loop = std::make_unique<Loop>(parameters, listenFd, serverPort);
    m_thread = std::thread([loop = m_loop.get()] { loop->run(); });
    return true;
}

void AccessLine::stop()
{
    if (!m_thread.joinable())
        return;
    m_loop->requestStop();
    m_thread.join();
}

QString AccessLine::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

AccessLine::Counters AccessLine::counters() const
{
    Counters counters;
    if (!m_loop)
        return counters;
    counters.toClients = m_loop->toClients;
    counters.toServer = m_loop->toServer;
    counters.connections = m_loop->connections;
    counters.resets = m_loop->resets;
    qint64 cpuNs = m_loop->finalCpuNs;
    if (cpuNs < 0) {
        clockid_t clock;
        timespec cpu {};
        if (::pthread_getcpuclockid(const_cast<std::thread &>(m_thread).native_handle(), &clock)
                == 0
            && ::clock_gettime(clock, &cpu) == 0)
            cpuNs = qint64(cpu.tv_sec) * 1'000'000'000 + cpu.tv_nsec;
    }
    counters.cpuSeconds = std::max<qint64>(cpuNs, 0) / 1e9;
    return counters;
}

QString AccessLine::describe(const Parameters &parameters)
{
    QString text;
    const qint64 bits = parameters.bitsPerSecond;
    if (bits == 0)
        text = QStringLiteral("unlimited bandwidth");
    else if (bits % 1'000'000 == 0)
        text = QStringLiteral("%1 Mbit/s").arg(bits / 1'000'000);
    else if (bits % 1000 == 0)
        text = QStringLiteral("%1 kbit/s").arg(bits / 1000);
    else
        text = QStringLiteral("%1 bit/s").arg(bits);
    text += QStringLiteral(", %1 ms round trip").arg(parameters.roundTripMs);
    if (parameters.resetAfterMin > 0) {
        text += QStringLiteral(", resets after %1 to %2")
                    .arg(formatBytes(parameters.resetAfterMin),
                         formatBytes(std::max(parameters.resetAfterMin, parameters.resetAfterMax)));
    }
    return text;
}

} // namespace bench
