#pragma once

#include <QtGlobal>

#include <functional>

class Md5;

// The whole blocks of up to eight MD5 digests, hashed side by side in one
// vector register per state word on processors with AVX2 (about five times
// the bytes per second of one digest at a time with six or more lanes busy),
// one after the other elsewhere.
class Md5Lanes
{
public:
    static constexpr int width = 8;

    // Whether the lanes really run side by side on this processor.
    static bool parallel();
    // Hashes count blocks of 64 bytes from data[i] into the four words at
    // states[i], for every lane whose data is not null.
    static void hashBlocks(quint32 *const states[width], const uchar *const data[width],
                           qint64 count);

    // Bytes to add to a digest.
    struct Chunk
    {
        Md5 *md5 = nullptr;
        const char *data = nullptr;
        qint64 size = 0;
    };
    // Hashes the chunks that next hands out, up to eight digests side by
    // side, until it has none left for any lane. next(lane, chunk) fills in
    // the lane's next chunk, or returns false once it has no more for that
    // lane; it is called again for a lane only after the lane's last chunk
    // is wholly added, so its bytes may then be let go. A digest's chunks
    // must come on one lane, in order.
    static void feed(const std::function<bool(int lane, Chunk &chunk)> &next);
};
