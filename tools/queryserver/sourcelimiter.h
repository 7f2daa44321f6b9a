#pragma once

#include <QtGlobal>

#include <vector>

// Token buckets in bytes of reply: one per source address, and one per IPv4
// /24 block that all addresses of the block share, so that requests forged
// from a whole block draw no more than one block's budget. Each kind lives in
// a table of fixed size: a key that is not in the table takes the place of
// the least recently seen one of its set, so memory stays the same however
// many addresses send. A value type; not thread-safe.
class SourceLimiter
{
public:
    struct Settings
    {
        quint32 rate = 4096; // bytes per second and address
        quint32 burst = 16384; // bytes an idle address may draw at once
        quint32 blockRate = 65536; // bytes per second and /24 block
        quint32 blockBurst = 262144; // bytes an idle block may draw at once
        quint32 capacity = 65536; // addresses remembered, and as many blocks
    };
    enum class Verdict { Admitted, AddressLimited, BlockLimited };

    explicit SourceLimiter(const Settings &settings);

    // Takes bytes from the buckets of the address (IPv4, host order) and of
    // its block at the monotonic time nowMs; takes nothing from either if
    // one of them holds fewer.
    Verdict admit(quint32 address, quint32 bytes, quint64 nowMs);
    // New rates and bursts apply to the addresses and blocks already
    // remembered; a new capacity starts empty tables.
    void setSettings(const Settings &settings);
    const Settings &settings() const { return m_settings; }
    // Addresses and blocks remembered now; never more than the capacity.
    quint32 addresses() const { return m_addresses.size(); }
    quint32 blocks() const { return m_blocks.size(); }

private:
    // The buckets of one kind, by a 32-bit key.
    class Buckets
    {
    public:
        explicit Buckets(quint32 capacity);
        // The tokens of the key, refilled at rate, up to burst, since it was
        // last asked for; a full burst for a key not in the table.
        float &tokens(quint32 key, quint64 nowMs, quint32 rate, quint32 burst);
        void limitTo(quint32 burst);
        quint32 size() const { return m_size; }

    private:
        struct Entry
        {
            quint64 stamp = 0; // last use in ms + 1; 0 marks a free entry
            quint32 key = 0;
            float tokens = 0;
        };
        static constexpr quint32 Ways = 8;

        quint32 firstOfSet(quint32 key) const;

        std::vector<Entry> m_entries;
        quint32 m_sets = 1;
        quint32 m_size = 0;
        quint64 m_keys[2];
    };

    Settings m_settings;
    Buckets m_addresses;
    Buckets m_blocks;
};
