#ifndef VELLOSCAN_TIFFHANDLE_H
#define VELLOSCAN_TIFFHANDLE_H

#include <cstdio>
#include <memory>
#include <tiffio.h>

// Owners for the C handles of the document code, so that every early return
// closes what it opened.
struct TiffCloser {
    void operator()(TIFF *t) const { if (t) TIFFClose(t); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

struct FileCloser {
    void operator()(std::FILE *f) const { if (f) std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

#endif
