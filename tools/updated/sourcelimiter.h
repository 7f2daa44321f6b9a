#pragma once

#include <QtGlobal>

#include <vector>

// Token buckets in bytes of reply, one per source address, in a table of fixed
// size: an address that is not in the table takes the place of the least
// recently seen one of its set, so memory stays the same however many
// addresses send. A value type; not thread-safe.
class SourceLimiter
{
public:
    struct Settings
    {
        quint32 rate = 4096; // bytes per second and address
        quint32 burst = 16384; // bytes an idle address may draw at once
        quint32 capacity = 65536; // addresses remembered
    };

    explicit SourceLimiter(const Settings &settings);

    // Takes bytes from the bucket of the address (IPv4, host order) at the
    // monotonic time nowMs; false, taking nothing, if it holds fewer.
    bool admit(quint32 address, quint32 bytes, quint64 nowMs);
    // New rate and burst apply to the addresses already remembered; a new
    // capacity starts an empty table.
    void setSettings(const Settings &settings);
    const Settings &settings() const { return m_settings; }
    // Addresses remembered now; never more than the capacity.
    quint32 size() const { return m_size; }

private:
    struct Entry
    {
        quint64 stamp = 0; // last use in ms + 1; 0 marks a free entry
        quint32 address = 0;
        float tokens = 0;
    };
    static constexpr quint32 Ways = 8;

    quint32 firstOfSet(quint32 address) const;

    Settings m_settings;
    std::vector<Entry> m_entries;
    quint32 m_sets = 1;
    quint32 m_size = 0;
    quint64 m_keys[2];
};
