#include "sourcelimiter.h"

#include <QRandomGenerator>

#include <algorithm>

SourceLimiter::SourceLimiter(const Settings &settings)
    : m_settings(settings)
{
    // The sets are chosen by a keyed hash, so that nobody who only sees the
    // replies can pick addresses that crowd one set and push a victim out of
    // the table to give it a fresh burst.
    QRandomGenerator::system()->generate(std::begin(m_keys), std::end(m_keys));
    m_sets = std::max<quint32>(1, settings.capacity / Ways);
    m_entries.resize(size_t(m_sets) * Ways);
}

void SourceLimiter::setSettings(const Settings &settings)
{
    if (settings.capacity != m_settings.capacity) {
        *this = SourceLimiter(settings);
        return;
    }
    m_settings = settings;
    for (Entry &entry : m_entries)
        entry.tokens = std::min(entry.tokens, float(settings.burst));
}

quint32 SourceLimiter::firstOfSet(quint32 address) const
{
    quint64 x = (address ^ m_keys[0]) * 0x9e3779b97f4a7c15ull;
    x ^= x >> 29;
    x *= m_keys[1] | 1;
    x ^= x >> 32;
    // Maps the hash onto [0, m_sets) without a division.
    return quint32((quint64(quint32(x)) * m_sets) >> 32) * Ways;
}

bool SourceLimiter::admit(quint32 address, quint32 bytes, quint64 nowMs)
{
    const quint64 stamp = nowMs + 1;
    Entry *const set = &m_entries[firstOfSet(address)];
    Entry *victim = set;
    for (Entry *entry = set; entry != set + Ways; ++entry) {
        if (entry->stamp != 0 && entry->address == address) {
            const double refill = double(m_settings.rate) * double(stamp - entry->stamp) / 1000.0;
            entry->tokens = float(std::min(double(m_settings.burst), entry->tokens + refill));
            entry->stamp = stamp;
            if (entry->tokens < float(bytes))
                return false;
            entry->tokens -= float(bytes);
            return true;
        }
        // A free entry first, else the one seen longest ago: its bucket is
        // the likeliest to be full again, so forgetting it loses nothing.
        if (victim->stamp != 0 && entry->stamp < victim->stamp)
            victim = entry;
    }
    if (victim->stamp == 0)
        ++m_size;
    victim->stamp = stamp;
    victim->address = address;
    victim->tokens = float(m_settings.burst);
    if (victim->tokens < float(bytes))
        return false;
    victim->tokens -= float(bytes);
    return true;
}
