#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <thread>

namespace bench {

// An emulated access line between a player and its mirrors: a TCP proxy on a
// free 127.0.0.1 port in front of one server on loopback. Every byte waits
// half the round trip in each direction (and a new connection one round trip
// more, for its handshake); one bandwidth per direction is shared by all
// connections, which take turns in slices of at most 1500 bytes as packets
// would; optionally each connection is reset after a random number of bytes
// sent to its client. The line runs on a thread of its own from start() until
// stop() or its destruction.
class AccessLine
{
public:
    struct Parameters
    {
        qint64 bitsPerSecond = 0; // in each direction; 0: unlimited
        int roundTripMs = 0;
        // A connection is reset after between these many bytes sent to its
        // client, drawn anew for each; 0: never.
        qint64 resetAfterMin = 0;
        qint64 resetAfterMax = 0;
        quint64 seed = 1;
    };

    // Counts since start().
    struct Counters
    {
        qint64 toClients = 0; // bytes delivered to the clients
        qint64 toServer = 0;
        qint64 connections = 0;
        qint64 resets = 0;
        double cpuSeconds = 0; // of the line's thread
    };

    AccessLine();
    ~AccessLine();
    AccessLine(const AccessLine &) = delete;
    AccessLine &operator=(const AccessLine &) = delete;

    // Listens and starts the thread; false, with errorString(), if it cannot.
    bool start(quint16 serverPort, const Parameters &parameters);
    // Closes every connection and joins the thread.
    void stop();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:port"
    QString url() const;
    QString errorString() const { return m_error; }
    Counters counters() const;

    // The parameters in words, e.g. "100 Mbit/s, 60 ms round trip, resets
    // after 1 to 4 MiB".
    static QString describe(const Parameters &parameters);

private:
    class Loop;

    std::unique_ptr<Loop> m_loop;
    std::thread m_thread;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace bench
