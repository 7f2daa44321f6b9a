#pragma once

#include <QByteArray>

#include <vector>

// Which version list a source address gets while new versions go to a share
// of the addresses first. Every IPv4 address has a part from 0 to Parts - 1,
// a hash of the address keyed by a salt: every server with the same salt
// gives an address the same part, and a larger share only adds addresses to
// those that had a smaller one. Stages are ordered by their bounds; an address
// gets the list of the first stage whose bound lies above its part, and none
// when its part lies beyond them all. A value type.
class VersionRollout
{
public:
    static constexpr quint32 Parts = 10000; // so a share is given in 0.01 %
    struct Stage
    {
        quint32 below = 0; // the parts below this get list
        QByteArray list;
    };

    VersionRollout() = default;
    VersionRollout(const QByteArray &salt, std::vector<Stage> stages);

    bool isEmpty() const { return m_stages.empty(); }
    const std::vector<Stage> &stages() const { return m_stages; }
    quint32 part(quint32 address) const;
    // The stage's list for the address (IPv4, host order), or null.
    const QByteArray *listFor(quint32 address) const;

private:
    quint64 m_key[2] = {0, 0};
    std::vector<Stage> m_stages;
};
