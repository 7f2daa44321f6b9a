#pragma once

#include <zlib.h>

#include <memory>

// Owns one gzip file opened with gzopen() and closes it with gzclose() when
// it goes out of scope. A writer that must know whether the last bytes
// reached the disk calls gzclose(file.release()) itself.
struct GzFileCloser
{
    void operator()(gzFile_s *file) const { gzclose(file); }
};
using GzFile = std::unique_ptr<gzFile_s, GzFileCloser>;
