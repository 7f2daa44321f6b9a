#include "queryserver.h"

#include "formats/updateserverquery.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Datagrams taken from the kernel with one call, and calls per wake-up before
// the event loop gets its turn again (signals, the statistics timer).
constexpr int Batch = 64;
constexpr int BatchesPerWakeUp = 16;
// The longest request is 2 bytes; longer datagrams arrive cut to this size
// with MSG_TRUNC, so an oversized one costs no memory.
constexpr size_t RequestBuffer = 8;
// The standard ports of this server: a request from one of them is another
// update server's reply, and answering it could start an endless exchange.
constexpr quint16 StandardVersionPort = UpdateServerQuery::VersionPort;
constexpr quint16 StandardBannerPort = UpdateServerQuery::BannerPort;

quint64 monotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return quint64(now.tv_sec) * 1000 + quint64(now.tv_nsec) / 1000000;
}

UniqueFd boundSocket(quint32 address, quint16 port, quint16 *boundPort, QString *errorText)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd.isValid()) {
        *errorText = QString::fromLocal8Bit(std::strerror(errno));
        return fd;
    }
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    socklen_t length = sizeof local;
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        *errorText = QString::fromLocal8Bit(std::strerror(errno));
        return UniqueFd();
    }
    *boundPort = ntohs(local.sin_port);
    return fd;
}

} // namespace

QueryServer::QueryServer(QObject *parent)
    : QObject(parent)
{ }

QueryServer::~QueryServer() = default;

bool QueryServer::isIPv4Address(const QString &text, quint32 *address)
{
    in_addr parsed;
    if (::inet_pton(AF_INET, text.toLatin1().constData(), &parsed) != 1)
        return false;
    if (address)
        *address = ntohl(parsed.s_addr);
    return true;
}

const QByteArray *QueryServer::Answers::versionListFor(quint32 address, bool *rolledOut) const
{
    const QByteArray *list = rollout.listFor(address);
    *rolledOut = list != nullptr;
    return list ? list : versions ? &*versions : nullptr;
}

bool QueryServer::start(const QString &address, quint16 versionPort, quint16 bannerPort,
                        QString *errorText)
{
    in_addr parsed;
    if (::inet_pton(AF_INET, address.toLatin1().constData(), &parsed) != 1) {
        *errorText = QStringLiteral("%1 is not an IPv4 address").arg(address);
        return false;
    }
    m_address = ntohl(parsed.s_addr);
    QString reason;
    m_versionFd = boundSocket(m_address, versionPort, &m_versionPort, &reason);
    if (!m_versionFd.isValid()) {
        *errorText = QStringLiteral("cannot bind version port %1 on %2: %3")
                         .arg(versionPort)
                         .arg(address, reason);
        return false;
    }
    m_bannerFd = boundSocket(m_address, bannerPort, &m_bannerPort, &reason);
    if (!m_bannerFd.isValid()) {
        *errorText = QStringLiteral("cannot bind banner port %1 on %2: %3")
                         .arg(bannerPort)
                         .arg(address, reason);
        return false;
    }
    m_versionNotifier = new QSocketNotifier(m_versionFd.get(), QSocketNotifier::Read, this);
    connect(m_versionNotifier, &QSocketNotifier::activated, this,
            [this] { onReadable(Port::Version); });
    m_bannerNotifier = new QSocketNotifier(m_bannerFd.get(), QSocketNotifier::Read, this);
    connect(m_bannerNotifier, &QSocketNotifier::activated, this,
            [this] { onReadable(Port::Banner); });
    return true;
}

bool QueryServer::setReplyFromOtherPort(QString *errorText)
{
    quint16 port = 0;
    m_otherFd = boundSocket(m_address, 0, &port, errorText);
    return m_otherFd.isValid();
}

void QueryServer::setLimits(bool enabled, const SourceLimiter::Settings &settings)
{
    if (!enabled)
        m_limiter.reset();
    else if (m_limiter)
        m_limiter->setSettings(settings);
    else
        m_limiter = std::make_unique<SourceLimiter>(settings);
}

const std::optional<QByteArray> *QueryServer::answerTo(Port port, const char *request, size_t size,
                                                       int flags) const
{
    constexpr size_t requestSize = UpdateServerQuery::RequestSize;
    if (size != requestSize || (flags & MSG_TRUNC))
        return nullptr;
    if (port == Port::Banner)
        return std::memcmp(request, UpdateServerQuery::BannerRequest, requestSize) == 0
            ? &m_answers.banner
            : nullptr;
    if (std::memcmp(request, UpdateServerQuery::VersionListRequest, requestSize) == 0)
        return &m_answers.versions;
    if (std::memcmp(request, UpdateServerQuery::NewsRequest, requestSize) == 0)
        return &m_answers.news;
    return nullptr;
}

bool QueryServer::mayReceiveReplies(quint32 address, quint16 port) const
{
    // Ports below 1024 belong to services (echo, chargen, DNS) that a forged
    // request would turn our reply against.
    if (port < 1024 || port == StandardVersionPort || port == StandardBannerPort
        || port == m_versionPort || port == m_bannerPort)
        return false;
    // "This network" 0.0.0.0/8, multicast and the reserved range up to the
    // broadcast address never send a genuine request.
    const quint32 firstOctet = address >> 24;
    return firstOctet != 0 && firstOctet < 224;
}

void QueryServer::onReadable(Port port)
{
    const int fd = port == Port::Version ? m_versionFd.get() : m_bannerFd.get();
    const int replyFd = m_otherFd.isValid() ? m_otherFd.get() : fd;
    char requests[Batch][RequestBuffer];
    sockaddr_in senders[Batch];
    iovec requestParts[Batch];
    mmsghdr received[Batch];
    iovec replyParts[Batch];
    mmsghdr replies[Batch];
    Reply kinds[Batch];

    for (int round = 0; round < BatchesPerWakeUp; ++round) {
        std::memset(received, 0, sizeof received);
        for (int i = 0; i < Batch; ++i) {
            requestParts[i] = {requests[i], RequestBuffer};
            received[i].msg_hdr.msg_name = &senders[i];
            received[i].msg_hdr.msg_namelen = sizeof senders[i];
            received[i].msg_hdr.msg_iov = &requestParts[i];
            received[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(fd, received, Batch, MSG_DONTWAIT, nullptr);
        // Nothing left (EAGAIN), or interrupted: the notifier fires again
        // while datagrams wait.
        if (count <= 0)
            return;

        const quint64 now = monotonicMs();
        int replyCount = 0;
        for (int i = 0; i < count; ++i) {
            const msghdr &header = received[i].msg_hdr;
            const std::optional<QByteArray> *answer
                = answerTo(port, requests[i], received[i].msg_len, header.msg_flags);
            if (!answer) {
                ++m_counts.malformed;
                continue;
            }
            const quint32 address = ntohl(senders[i].sin_addr.s_addr);
            if (!answer->has_value() || header.msg_namelen != sizeof(sockaddr_in)
                || !mayReceiveReplies(address, ntohs(senders[i].sin_port))) {
                ++m_counts.unanswered;
                continue;
            }
            const QByteArray *payload = &**answer;
            Reply kind = Reply::Other;
            if (answer == &m_answers.versions) {
                bool rolledOut = false;
                payload = m_answers.versionListFor(address, &rolledOut);
                kind = rolledOut ? Reply::RolledOut : Reply::VersionList;
            }
            if (m_limiter) {
                const SourceLimiter::Verdict verdict
                    = m_limiter->admit(address, quint32(payload->size()), now);
                if (verdict == SourceLimiter::Verdict::AddressLimited) {
                    ++m_counts.limitedByAddress;
                    continue;
                }
                if (verdict == SourceLimiter::Verdict::BlockLimited) {
                    ++m_counts.limitedByBlock;
                    continue;
                }
            }
            // The kernel copies the payload within send(), before anything
            // can replace the answers.
            replyParts[replyCount]
                = {const_cast<char *>(payload->constData()), size_t(payload->size())};
            kinds[replyCount] = kind;
            std::memset(&replies[replyCount], 0, sizeof replies[replyCount]);
            replies[replyCount].msg_hdr.msg_name = &senders[i];
            replies[replyCount].msg_hdr.msg_namelen = sizeof senders[i];
            replies[replyCount].msg_hdr.msg_iov = &replyParts[replyCount];
            replies[replyCount].msg_hdr.msg_iovlen = 1;
            ++replyCount;
        }
        sendReplies(replyFd, replies, kinds, replyCount);
        if (count < Batch)
            return;
    }
}

void QueryServer::sendReplies(int fd, mmsghdr *replies, const Reply *kinds, int count)
{
    int done = 0;
    while (done < count) {
        const int sent = ::sendmmsg(fd, replies + done, unsigned(count - done), MSG_DONTWAIT);
        if (sent > 0) {
            m_counts.answered += quint64(sent);
            for (int i = done; i < done + sent; ++i) {
                m_counts.versionLists += kinds[i] != Reply::Other ? 1 : 0;
                m_counts.rolledOut += kinds[i] == Reply::RolledOut ? 1 : 0;
            }
            done += sent;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A full send queue drops the rest rather than stall the server.
            m_counts.unanswered += quint64(count - done);
            return;
        } else {
            // This reply cannot go out (no route, say); the next ones may.
            ++m_counts.unanswered;
            ++done;
        }
    }
}
