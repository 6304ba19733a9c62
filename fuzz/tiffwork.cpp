#include "tiffwork.h"

#include <QFile>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <tiffio.h>

namespace {

constexpr uint64_t MaxPixelBytes = 64 << 20;
constexpr uint64_t MaxTiles = 4096;

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};

struct Work {
    uint64_t pixelBytes = 0;
    uint64_t tiles = 0;
    bool tooMuch() const { return pixelBytes > MaxPixelBytes || tiles > MaxTiles; }
};

// Adds what the directories of one file claim, as libtiff reads them.
void addFile(const QString &path, Work &work)
{
    std::unique_ptr<TIFF, TiffCloser> t(TIFFOpen(QFile::encodeName(path).constData(), "r"));
    if (!t)
        return;
    do {
        uint32_t length = 0;
        uint16_t spp = 1, planar = PLANARCONFIG_CONTIG;
        TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &length);
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_PLANARCONFIG, &planar);
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(uint64_t(TIFFScanlineSize64(t.get())), uint64_t(length), &bytes)
            || (planar == PLANARCONFIG_SEPARATE && __builtin_mul_overflow(bytes, uint64_t(spp), &bytes)))
            bytes = MaxPixelBytes + 1;
        work.pixelBytes += std::min(bytes, MaxPixelBytes + 1);
        if (TIFFIsTiled(t.get()))
            work.tiles += std::min<uint64_t>(TIFFNumberOfTiles(t.get()), MaxTiles + 1);
    } while (!work.tooMuch() && TIFFReadDirectory(t.get()));
}

} // namespace

bool ClaimsTooMuchWork(const QList<QString> &files)
{
    Work work;
    for (const QString &file : files) {
        addFile(file, work);
        if (work.tooMuch())
            return true;
    }
    return false;
}
