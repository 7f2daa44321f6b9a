#include "digest/md5lanes.h"

#include "digest/md5.h"
#include "digest/md5steps.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVANE_MD5_AVX2 1
#endif

#ifdef MORVANE_MD5_AVX2

namespace {

#define MD5X8_TARGET __attribute__((target("avx2")))

MD5X8_TARGET inline __m256i add(__m256i x, __m256i y)
{
    return _mm256_add_epi32(x, y);
}

MD5X8_TARGET inline __m256i fF(__m256i b, __m256i c, __m256i d)
{
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}

MD5X8_TARGET inline __m256i fG(__m256i b, __m256i c, __m256i d)
{
    return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
}

MD5X8_TARGET inline __m256i fH(__m256i b, __m256i c, __m256i d)
{
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
}

MD5X8_TARGET inline __m256i fI(__m256i b, __m256i c, __m256i d)
{
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// Words 0-7 (or 8-15) of the eight lanes' blocks, turned so that w[i] holds
// word i of every lane.
MD5X8_TARGET inline void loadTransposed(__m256i *w, const uchar *const *p, int offset)
{
    __m256i r[8];
    for (int lane = 0; lane < 8; ++lane)
        r[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p[lane] + offset));
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]);
    const __m256i t5 = _mm256_unpackhi_epi32(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]);
    const __m256i t7 = _mm256_unpackhi_epi32(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
    const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
    const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
    const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
    const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
    w[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    w[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    w[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    w[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    w[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    w[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    w[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    w[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

#define MD5X8_STEP(f, a, b, c, d, i, k, s)                                                 \
    a = add(a, add(f(b, c, d), add(w[i], _mm256_set1_epi32(int(k)))));                     \
    a = add(b, _mm256_or_si256(_mm256_slli_epi32(a, s), _mm256_srli_epi32(a, 32 - (s))))

// Lanes step through their data by step[lane] bytes a block (0 for an idle
// lane that hashes the same block over and over).
MD5X8_TARGET void hashBlocksAvx2(quint32 *const *states, const uchar *const *data,
                                 const int *step, qint64 count)
{
    const uchar *p[8];
    for (int lane = 0; lane < 8; ++lane)
        p[lane] = data[lane];
    __m256i a = _mm256_setr_epi32(int(states[0][0]), int(states[1][0]), int(states[2][0]),
                                  int(states[3][0]), int(states[4][0]), int(states[5][0]),
                                  int(states[6][0]), int(states[7][0]));
    __m256i b = _mm256_setr_epi32(int(states[0][1]), int(states[1][1]), int(states[2][1]),
                                  int(states[3][1]), int(states[4][1]), int(states[5][1]),
                                  int(states[6][1]), int(states[7][1]));
    __m256i c = _mm256_setr_epi32(int(states[0][2]), int(states[1][2]), int(states[2][2]),
                                  int(states[3][2]), int(states[4][2]), int(states[5][2]),
                                  int(states[6][2]), int(states[7][2]));
    __m256i d = _mm256_setr_epi32(int(states[0][3]), int(states[1][3]), int(states[2][3]),
                                  int(states[3][3]), int(states[4][3]), int(states[5][3]),
                                  int(states[6][3]), int(states[7][3]));
    for (; count > 0; --count) {
        __m256i w[16];
        loadTransposed(w, p, 0);
        loadTransposed(w + 8, p, 32);
        for (int lane = 0; lane < 8; ++lane)
            p[lane] += step[lane];
        const __m256i a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEPS(MD5X8_STEP, fF, fG, fH, fI)

        a = add(a, a0);
        b = add(b, b0);
        c = add(c, c0);
        d = add(d, d0);
    }
    alignas(32) quint32 out[4][8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(out[0]), a);
    _mm256_store_si256(reinterpret_cast<__m256i *>(out[1]), b);
    _mm256_store_si256(reinterpret_cast<__m256i *>(out[2]), c);
    _mm256_store_si256(reinterpret_cast<__m256i *>(out[3]), d);
    for (int lane = 0; lane < 8; ++lane) {
        for (int i = 0; i < 4; ++i)
            states[lane][i] = out[i][lane];
    }
}

} // namespace

#endif

bool Md5Lanes::parallel()
{
#ifdef MORVANE_MD5_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

void Md5Lanes::hashBlocks(quint32 *const states[width], const uchar *const data[width],
                          qint64 count)
{
    if (count <= 0)
        return;
    int busy = 0;
    for (int lane = 0; lane < width; ++lane)
        busy += data[lane] != nullptr;
#ifdef MORVANE_MD5_AVX2
    if (busy > 1 && parallel()) {
        // Idle lanes hash a block of zeros over and over into a state of
        // their own, so that every lane has something to load.
        static const uchar zeros[Md5::blockSize] = {};
        quint32 idleStates[width][4] = {};
        quint32 *laneStates[width];
        const uchar *laneData[width];
        int step[width];
        for (int lane = 0; lane < width; ++lane) {
            laneStates[lane] = data[lane] ? states[lane] : idleStates[lane];
            laneData[lane] = data[lane] ? data[lane] : zeros;
            step[lane] = data[lane] ? Md5::blockSize : 0;
        }
        hashBlocksAvx2(laneStates, laneData, step, count);
        return;
    }
#endif
    for (int lane = 0; lane < width; ++lane) {
        if (data[lane])
            Md5::hashBlocks(states[lane], data[lane], count);
    }
}

void Md5Lanes::feed(const std::function<bool(int lane, Chunk &chunk)> &next)
{
    // Where a lane's chunk stands: the bytes that completed a block held by
    // the digest went in before it was given to the lane, the whole blocks
    // after them are hashed side by side, the bytes after those go in once
    // the blocks are done.
    struct Lane
    {
        Chunk chunk;
        qint64 head = 0;
        const uchar *data = nullptr;
        qint64 blocks = 0;
        bool open = true;
    };
    Lane lanes[width];
    for (;;) {
        quint32 *states[width] = {};
        const uchar *data[width] = {};
        qint64 blocks = 0;
        int busy = 0;
        for (int i = 0; i < width; ++i) {
            Lane &lane = lanes[i];
            while (lane.blocks == 0 && lane.open) {
                if (lane.chunk.md5) {
                    Md5 &md5 = *lane.chunk.md5;
                    const qint64 whole = (lane.chunk.size - lane.head) / Md5::blockSize;
                    md5.skipBlocks(whole);
                    md5.addData(QByteArrayView(lane.chunk.data, lane.chunk.size)
                                    .sliced(lane.head + whole * Md5::blockSize));
                    lane.chunk = Chunk();
                }
                Chunk chunk;
                if (!next(i, chunk)) {
                    lane.open = false;
                    break;
                }
                Md5 &md5 = *chunk.md5;
                lane.chunk = chunk;
                lane.head = md5.pending() ? qMin<qint64>(Md5::blockSize - md5.pending(), chunk.size)
                                          : 0;
                md5.addData(QByteArrayView(chunk.data, lane.head));
                lane.data = reinterpret_cast<const uchar *>(chunk.data) + lane.head;
                lane.blocks = (chunk.size - lane.head) / Md5::blockSize;
            }
            if (lane.blocks == 0)
                continue;
            states[i] = lane.chunk.md5->state();
            data[i] = lane.data;
            blocks = busy++ ? qMin(blocks, lane.blocks) : lane.blocks;
        }
        if (busy == 0)
            return;
        hashBlocks(states, data, blocks);
        for (Lane &lane : lanes) {
            if (lane.blocks) {
                lane.data += blocks * Md5::blockSize;
                lane.blocks -= blocks;
            }
        }
    }
}
