#include "digest/md5.h"

#include "digest/md5steps.h"

#include <QtEndian>

#include <cstring>

namespace {

inline quint32 rotl(quint32 x, int s)
{
    return (x << s) | (x >> (32 - s));
}

inline quint32 word(const uchar *block, int i)
{
    return qFromLittleEndian<quint32>(block + 4 * i);
}

} // namespace

#define MD5_STEP(f, a, b, c, d, i, k, s) \
    a = b + rotl(a + f(b, c, d) + word(p, i) + k, s)
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

void Md5::hashBlocks(quint32 *state, const uchar *p, qint64 count)
{
    quint32 a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, p += blockSize) {
        const quint32 a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEPS(MD5_STEP, MD5_F, MD5_G, MD5_H, MD5_I)

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

void Md5::reset()
{
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    m_length = 0;
}

void Md5::addData(QByteArrayView data)
{
    auto p = reinterpret_cast<const uchar *>(data.data());
    qint64 size = data.size();
    const int held = pending();
    m_length += quint64(size);
    if (held) {
        const qint64 fill = qMin<qint64>(blockSize - held, size);
        std::memcpy(m_buffer + held, p, size_t(fill));
        if (held + fill < blockSize)
            return;
        hashBlocks(m_state, m_buffer, 1);
        p += fill;
        size -= fill;
    }
    hashBlocks(m_state, p, size / blockSize);
    std::memcpy(m_buffer, p + size / blockSize * blockSize, size_t(size % blockSize));
}

QByteArray Md5::result() const
{
    Md5 last = *this;
    uchar tail[2 * blockSize] = {};
    const int held = pending();
    std::memcpy(tail, m_buffer, size_t(held));
    tail[held] = 0x80;
    const int blocks = held < blockSize - 8 ? 1 : 2;
    qToLittleEndian<quint64>(m_length * 8, tail + blocks * blockSize - 8);
    hashBlocks(last.m_state, tail, blocks);
    QByteArray digest(16, Qt::Uninitialized);
    for (int i = 0; i < 4; ++i)
        qToLittleEndian<quint32>(last.m_state[i], digest.data() + 4 * i);
    return digest;
}
