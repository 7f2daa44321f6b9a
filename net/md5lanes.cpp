#include "net/md5lanes.h"

#include "net/md5.h"

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

        MD5X8_STEP(fF, a, b, c, d, 0, 0xd76aa478, 7);
        MD5X8_STEP(fF, d, a, b, c, 1, 0xe8c7b756, 12);
        MD5X8_STEP(fF, c, d, a, b, 2, 0x242070db, 17);
        MD5X8_STEP(fF, b, c, d, a, 3, 0xc1bdceee, 22);
        MD5X8_STEP(fF, a, b, c, d, 4, 0xf57c0faf, 7);
        MD5X8_STEP(fF, d, a, b, c, 5, 0x4787c62a, 12);
        MD5X8_STEP(fF, c, d, a, b, 6, 0xa8304613, 17);
        MD5X8_STEP(fF, b, c, d, a, 7, 0xfd469501, 22);
        MD5X8_STEP(fF, a, b, c, d, 8, 0x698098d8, 7);
        MD5X8_STEP(fF, d, a, b, c, 9, 0x8b44f7af, 12);
        MD5X8_STEP(fF, c, d, a, b, 10, 0xffff5bb1, 17);
        MD5X8_STEP(fF, b, c, d, a, 11, 0x895cd7be, 22);
        MD5X8_STEP(fF, a, b, c, d, 12, 0x6b901122, 7);
        MD5X8_STEP(fF, d, a, b, c, 13, 0xfd987193, 12);
        MD5X8_STEP(fF, c, d, a, b, 14, 0xa679438e, 17);
        MD5X8_STEP(fF, b, c, d, a, 15, 0x49b40821, 22);

        MD5X8_STEP(fG, a, b, c, d, 1, 0xf61e2562, 5);
        MD5X8_STEP(fG, d, a, b, c, 6, 0xc040b340, 9);
        MD5X8_STEP(fG, c, d, a, b, 11, 0x265e5a51, 14);
        MD5X8_STEP(fG, b, c, d, a, 0, 0xe9b6c7aa, 20);
        MD5X8_STEP(fG, a, b, c, d, 5, 0xd62f105d, 5);
        MD5X8_STEP(fG, d, a, b, c, 10, 0x02441453, 9);
        MD5X8_STEP(fG, c, d, a, b, 15, 0xd8a1e681, 14);
        MD5X8_STEP(fG, b, c, d, a, 4, 0xe7d3fbc8, 20);
        MD5X8_STEP(fG, a, b, c, d, 9, 0x21e1cde6, 5);
        MD5X8_STEP(fG, d, a, b, c, 14, 0xc33707d6, 9);
        MD5X8_STEP(fG, c, d, a, b, 3, 0xf4d50d87, 14);
        MD5X8_STEP(fG, b, c, d, a, 8, 0x455a14ed, 20);
        MD5X8_STEP(fG, a, b, c, d, 13, 0xa9e3e905, 5);
        MD5X8_STEP(fG, d, a, b, c, 2, 0xfcefa3f8, 9);
        MD5X8_STEP(fG, c, d, a, b, 7, 0x676f02d9, 14);
        MD5X8_STEP(fG, b, c, d, a, 12, 0x8d2a4c8a, 20);

        MD5X8_STEP(fH, a, b, c, d, 5, 0xfffa3942, 4);
        MD5X8_STEP(fH, d, a, b, c, 8, 0x8771f681, 11);
        MD5X8_STEP(fH, c, d, a, b, 11, 0x6d9d6122, 16);
        MD5X8_STEP(fH, b, c, d, a, 14, 0xfde5380c, 23);
        MD5X8_STEP(fH, a, b, c, d, 1, 0xa4beea44, 4);
        MD5X8_STEP(fH, d, a, b, c, 4, 0x4bdecfa9, 11);
        MD5X8_STEP(fH, c, d, a, b, 7, 0xf6bb4b60, 16);
        MD5X8_STEP(fH, b, c, d, a, 10, 0xbebfbc70, 23);
        MD5X8_STEP(fH, a, b, c, d, 13, 0x289b7ec6, 4);
        MD5X8_STEP(fH, d, a, b, c, 0, 0xeaa127fa, 11);
        MD5X8_STEP(fH, c, d, a, b, 3, 0xd4ef3085, 16);
        MD5X8_STEP(fH, b, c, d, a, 6, 0x04881d05, 23);
        MD5X8_STEP(fH, a, b, c, d, 9, 0xd9d4d039, 4);
        MD5X8_STEP(fH, d, a, b, c, 12, 0xe6db99e5, 11);
        MD5X8_STEP(fH, c, d, a, b, 15, 0x1fa27cf8, 16);
        MD5X8_STEP(fH, b, c, d, a, 2, 0xc4ac5665, 23);

        MD5X8_STEP(fI, a, b, c, d, 0, 0xf4292244, 6);
        MD5X8_STEP(fI, d, a, b, c, 7, 0x432aff97, 10);
        MD5X8_STEP(fI, c, d, a, b, 14, 0xab9423a7, 15);
        MD5X8_STEP(fI, b, c, d, a, 5, 0xfc93a039, 21);
        MD5X8_STEP(fI, a, b, c, d, 12, 0x655b59c3, 6);
        MD5X8_STEP(fI, d, a, b, c, 3, 0x8f0ccc92, 10);
        MD5X8_STEP(fI, c, d, a, b, 10, 0xffeff47d, 15);
        MD5X8_STEP(fI, b, c, d, a, 1, 0x85845dd1, 21);
        MD5X8_STEP(fI, a, b, c, d, 8, 0x6fa87e4f, 6);
        MD5X8_STEP(fI, d, a, b, c, 15, 0xfe2ce6e0, 10);
        MD5X8_STEP(fI, c, d, a, b, 6, 0xa3014314, 15);
        MD5X8_STEP(fI, b, c, d, a, 13, 0x4e0811a1, 21);
        MD5X8_STEP(fI, a, b, c, d, 4, 0xf7537e82, 6);
        MD5X8_STEP(fI, d, a, b, c, 11, 0xbd3af235, 10);
        MD5X8_STEP(fI, c, d, a, b, 2, 0x2ad7d2bb, 15);
        MD5X8_STEP(fI, b, c, d, a, 9, 0xeb86d391, 21);

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
        bool loaded = false;
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
                if (lane.loaded) {
                    Md5 &md5 = *lane.chunk.md5;
                    const qint64 whole = (lane.chunk.size - lane.head) / Md5::blockSize;
                    md5.skipBlocks(whole);
                    md5.addData(QByteArrayView(lane.chunk.data, lane.chunk.size)
                                    .sliced(lane.head + whole * Md5::blockSize));
                    lane.loaded = false;
                }
                Chunk chunk;
                if (!next(i, chunk)) {
                    lane.open = false;
                    break;
                }
                Md5 &md5 = *chunk.md5;
                lane.chunk = chunk;
                lane.loaded = true;
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
