#pragma once

#include "sourcelimiter.h"
#include "sys/uniquefd.h"
#include "versionrollout.h"

#include <QByteArray>
#include <QObject>

#include <memory>
#include <optional>

class QSocketNotifier;
struct mmsghdr;

// Answers the version query ("3\0" for the version list, "*\0" for the news)
// on one UDP port and the banner query (0x01 0x01) on another, each with one
// datagram back to the sender. Any other datagram, a request from a port no
// client uses, and a request over the limits of its source address or of
// the address's /24 block get no reply. While a roll-out is given, the version
// list depends on the source address. Works on the thread that starts it;
// answers and limits can be replaced at any time and apply from the next
// datagram on.
class QueryServer : public QObject
{
    Q_OBJECT
public:
    // Whole reply datagrams; none: the request stays unanswered.
    struct Answers
    {
        std::optional<QByteArray> versions;
        std::optional<QByteArray> news;
        std::optional<QByteArray> banner;
        // Version lists for shares of the source addresses, instead of versions.
        VersionRollout rollout;

        // The version list that goes to the address (IPv4, host order), or
        // null; *rolledOut says whether it is a roll-out stage's.
        const QByteArray *versionListFor(quint32 address, bool *rolledOut) const;
    };
    // Datagrams since the start.
    struct Counts
    {
        quint64 answered = 0;
        quint64 versionLists = 0; // of them replies to the version request
        quint64 rolledOut = 0; // of those the list of a roll-out stage
        quint64 limitedByAddress = 0; // refused by the limits of their source address
        quint64 limitedByBlock = 0; // refused by the limits of its /24 block
        quint64 malformed = 0; // not exactly one of the requests
        // Requests without an answer, from a refused address or port, or
        // whose reply could not be sent.
        quint64 unanswered = 0;
    };

    explicit QueryServer(QObject *parent = nullptr);
    ~QueryServer() override;

    // Binds both ports on the IPv4 address; a port of 0 takes a free one.
    bool start(const QString &address, quint16 versionPort, quint16 bannerPort, QString *errorText);
    quint16 versionPort() const { return m_versionPort; }
    quint16 bannerPort() const { return m_bannerPort; }

    void setAnswers(const Answers &answers) { m_answers = answers; }
    // Without limits every well-formed request is answered.
    void setLimits(bool enabled, const SourceLimiter::Settings &settings);
    // A fault for the updater's tests: replies leave from a third port.
    bool setReplyFromOtherPort(QString *errorText);

    const Counts &counts() const { return m_counts; }
    quint32 addressesRemembered() const { return m_limiter ? m_limiter->addresses() : 0; }
    quint32 blocksRemembered() const { return m_limiter ? m_limiter->blocks() : 0; }

    // True for dotted-quad text; *address gets it in host order.
    static bool isIPv4Address(const QString &text, quint32 *address = nullptr);

private:
    enum class Port { Version, Banner };

    void onReadable(Port port);
    const std::optional<QByteArray> *answerTo(Port port, const char *request, size_t size,
                                              int flags) const;
    bool mayReceiveReplies(quint32 address, quint16 port) const;
    enum class Reply : quint8 { Other, VersionList, RolledOut };
    void sendReplies(int fd, mmsghdr *replies, const Reply *kinds, int count);

    UniqueFd m_versionFd;
    UniqueFd m_bannerFd;
    UniqueFd m_otherFd;
    quint32 m_address = 0;
    quint16 m_versionPort = 0;
    quint16 m_bannerPort = 0;
    QSocketNotifier *m_versionNotifier = nullptr;
    QSocketNotifier *m_bannerNotifier = nullptr;
    Answers m_answers;
    std::unique_ptr<SourceLimiter> m_limiter;
    Counts m_counts;
};
