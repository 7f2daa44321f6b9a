#include "sourcelimiter.h"

#include <QRandomGenerator>

#include <algorithm>

SourceLimiter::Buckets::Buckets(quint32 capacity)
{
    // The sets are chosen by a keyed hash, so that nobody who only sees the
    // replies can pick keys that crowd one set and push a victim out of the
    // table to give it a fresh burst.
    QRandomGenerator::system()->generate(std::begin(m_keys), std::end(m_keys));
    m_sets = std::max<quint32>(1, capacity / Ways);
    m_entries.resize(size_t(m_sets) * Ways);
}

void SourceLimiter::Buckets::limitTo(quint32 burst)
{
    for (Entry &entry : m_entries)
        entry.tokens = std::min(entry.tokens, float(burst));
}

quint32 SourceLimiter::Buckets::firstOfSet(quint32 key) const
{
    quint64 x = (key ^ m_keys[0]) * 0x9e3779b97f4a7c15ull;
    x ^= x >> 29;
    x *= m_keys[1] | 1;
    x ^= x >> 32;
    // Maps the hash onto [0, m_sets) without a division.
    return quint32((quint64(quint32(x)) * m_sets) >> 32) * Ways;
}

float &SourceLimiter::Buckets::tokens(quint32 key, quint64 nowMs, quint32 rate, quint32 burst)
{
    const quint64 stamp = nowMs + 1;
    Entry *const set = &m_entries[firstOfSet(key)];
    Entry *victim = set;
    for (Entry *entry = set; entry != set + Ways; ++entry) {
        if (entry->stamp != 0 && entry->key == key) {
            const double refill = double(rate) * double(stamp - entry->stamp) / 1000.0;
            entry->tokens = float(std::min(double(burst), entry->tokens + refill));
            entry->stamp = stamp;
            return entry->tokens;
        }
        // A free entry first, else the one seen longest ago: its bucket is
        // the likeliest to be full again, so forgetting it loses nothing.
        if (victim->stamp != 0 && entry->stamp < victim->stamp)
            victim = entry;
    }
    if (victim->stamp == 0)
        ++m_size;
    victim->stamp = stamp;
    victim->key = key;
    victim->tokens = float(burst);
    return victim->tokens;
}

SourceLimiter::SourceLimiter(const Settings &settings)
    : m_settings(settings)
    , m_addresses(settings.capacity)
    , m_blocks(settings.capacity)
{ }

void SourceLimiter::setSettings(const Settings &settings)
{
    if (settings.capacity != m_settings.capacity) {
        *this = SourceLimiter(settings);
        return;
    }
    m_settings = settings;
    m_addresses.limitTo(settings.burst);
    m_blocks.limitTo(settings.blockBurst);
}

SourceLimiter::Verdict SourceLimiter::admit(quint32 address, quint32 bytes, quint64 nowMs)
{
    // An address over its own limit leaves its block's bucket alone: a flood
    // from one address spends no more of its neighbours' budget than its own
    // burst and rate.
    float &own = m_addresses.tokens(address, nowMs, m_settings.rate, m_settings.burst);
    if (own < float(bytes))
        return Verdict::AddressLimited;
    float &block
        = m_blocks.tokens(address >> 8, nowMs, m_settings.blockRate, m_settings.blockBurst);
    if (block < float(bytes))
        return Verdict::BlockLimited;
    own -= float(bytes);
    block -= float(bytes);
    return Verdict::Admitted;
}
