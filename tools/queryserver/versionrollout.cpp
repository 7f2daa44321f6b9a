#include "versionrollout.h"

#include <QCryptographicHash>
#include <QtEndian>

namespace {

// The finalizer of SplitMix64: every input bit reaches every output bit, so
// neighbouring addresses land on unrelated parts.
quint64 mix(quint64 x)
{
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

} // namespace

VersionRollout::VersionRollout(const QByteArray &salt, std::vector<Stage> stages)
    : m_stages(std::move(stages))
{
    // A fixed function of the salt alone, the same on every host and build.
    const QByteArray digest = QCryptographicHash::hash(salt, QCryptographicHash::Sha256);
    m_key[0] = qFromLittleEndian<quint64>(digest.constData());
    m_key[1] = qFromLittleEndian<quint64>(digest.constData() + 8);
}

quint32 VersionRollout::part(quint32 address) const
{
    return quint32(mix(mix(address ^ m_key[0]) ^ m_key[1]) % Parts);
}

const QByteArray *VersionRollout::listFor(quint32 address) const
{
    if (m_stages.empty())
        return nullptr;
    const quint32 own = part(address);
    for (const Stage &stage : m_stages) {
        if (own < stage.below)
            return &stage.list;
    }
    return nullptr;
}
