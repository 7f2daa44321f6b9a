#pragma once

#include <QtGlobal>

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
};
