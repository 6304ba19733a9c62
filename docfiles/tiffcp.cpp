#include "tiffcp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

// Process-wide copy options. They outlive every assembly on purpose: a spec
// only changes what it names, and the strip-or-tile decision taken for the
// first directory ever copied holds for the life of the process.
// Unguarded: one thread at a time (combine2multiff holds a mutex around all
// of its work; direct callers of tiffcp.h must do the same).
struct CopyOptions {
    uint16_t defcompression = 0xFFFF; // 65535: keep the input's
    uint16_t defpredictor = 0xFFFF;   // 65535: keep the input's
    int defpreset = -1;               // Deflate/LZMA/ZSTD/WebP level, -1: unset
    int subcodec = -1;                // Deflate sub-codec, -1: unset
    uint32_t defg3opts = 0xFFFFFFFF;  // all ones: keep the input's
    int quality = 75;
    int jpegcolormode = JPEGCOLORMODE_RGB;
    int outtiled = -1; // -1 until the first directory decides strips or tiles
    tmsize_t maxMalloc = 256 * 1024 * 1024; // largest single buffer, 0: no limit
    char comma = ',';                       // separates the directory list
    int pageNum = 0;                        // next PageNumber handed out
};
CopyOptions opts;

// Working values of the directory being copied, reset before each one.
struct DirectoryValues {
    uint16_t compression;
    uint16_t predictor;
    int preset;
    uint32_t g3opts;
    uint16_t config;
    uint16_t fillorder;
    uint32_t tilewidth;
    uint32_t tilelength;
    uint32_t rowsperstrip;
    uint16_t orientation;
};
DirectoryValues cur;

constexpr uint16_t kAnyCount = 0xFFFF;

struct TagSpec {
    uint16_t tag;
    uint16_t count;
    TIFFDataType type;
};

// Descriptive tags carried from every input directory, after the ones that
// steer the copy.
const TagSpec tags[] = {
    {TIFFTAG_SUBFILETYPE, 1, TIFF_LONG},
    {TIFFTAG_THRESHHOLDING, 1, TIFF_SHORT},
    {TIFFTAG_DOCUMENTNAME, 1, TIFF_ASCII},
    {TIFFTAG_IMAGEDESCRIPTION, 1, TIFF_ASCII},
    {TIFFTAG_MAKE, 1, TIFF_ASCII},
    {TIFFTAG_MODEL, 1, TIFF_ASCII},
    {TIFFTAG_MINSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_MAXSAMPLEVALUE, 1, TIFF_SHORT},
    {TIFFTAG_XRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_YRESOLUTION, 1, TIFF_RATIONAL},
    {TIFFTAG_PAGENAME, 1, TIFF_ASCII},
    {TIFFTAG_XPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_YPOSITION, 1, TIFF_RATIONAL},
    {TIFFTAG_RESOLUTIONUNIT, 1, TIFF_SHORT},
    {TIFFTAG_SOFTWARE, 1, TIFF_ASCII},
    {TIFFTAG_DATETIME, 1, TIFF_ASCII},
    {TIFFTAG_ARTIST, 1, TIFF_ASCII},
    {TIFFTAG_HOSTCOMPUTER, 1, TIFF_ASCII},
    {TIFFTAG_WHITEPOINT, kAnyCount, TIFF_RATIONAL},
    {TIFFTAG_PRIMARYCHROMATICITIES, kAnyCount, TIFF_RATIONAL},
    {TIFFTAG_HALFTONEHINTS, 2, TIFF_SHORT},
    {TIFFTAG_INKSET, 1, TIFF_SHORT},
    {TIFFTAG_DOTRANGE, 2, TIFF_SHORT},
    {TIFFTAG_TARGETPRINTER, 1, TIFF_ASCII},
    {TIFFTAG_SAMPLEFORMAT, 1, TIFF_SHORT},
    {TIFFTAG_YCBCRCOEFFICIENTS, kAnyCount, TIFF_RATIONAL},
    {TIFFTAG_YCBCRSUBSAMPLING, 2, TIFF_SHORT},
    {TIFFTAG_YCBCRPOSITIONING, 1, TIFF_SHORT},
    {TIFFTAG_REFERENCEBLACKWHITE, kAnyCount, TIFF_RATIONAL},
    {TIFFTAG_EXTRASAMPLES, kAnyCount, TIFF_SHORT},
    {TIFFTAG_SMINSAMPLEVALUE, 1, TIFF_DOUBLE},
    {TIFFTAG_SMAXSAMPLEVALUE, 1, TIFF_DOUBLE},
    {TIFFTAG_STONITS, 1, TIFF_DOUBLE},
};

template <typename T>
bool copyField(TIFF *in, TIFF *out, uint32_t tag, T &value)
{
    if (!TIFFGetField(in, tag, &value))
        return false;
    TIFFSetField(out, tag, value);
    return true;
}

// ---- compression specs ----------------------------------------------------

bool hasPrefix(const char *s, const char *prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Calls `part(begin, end)` for every ':'-separated suffix of a spec; false as
// soon as one is not understood.
template <typename F>
bool forEachSuffix(const char *spec, F part)
{
    for (const char *cp = std::strchr(spec, ':'); cp;) {
        const char *begin = cp + 1;
        const char *end = std::strchr(begin, ':');
        if (!end)
            end = begin + std::strlen(begin);
        if (!part(begin, end))
            return false;
        cp = *end ? end : nullptr;
    }
    return true;
}

// A number that makes up the whole of [begin, end).
bool wholeNumber(const char *begin, const char *end, long max, long *value)
{
    if (begin == end || end - begin > 9)
        return false;
    long v = 0;
    for (const char *p = begin; p < end; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
        v = v * 10 + (*p - '0');
    }
    if (v > max)
        return false;
    *value = v;
    return true;
}

bool parseZipSuffixes(const char *spec, CopyOptions &o)
{
    return forEachSuffix(spec, [&o](const char *b, const char *e) {
        long v;
        if (wholeNumber(b, e, 0xFFFE, &v))
            o.defpredictor = static_cast<uint16_t>(v);
        else if (*b == 'p' && wholeNumber(b + 1, e, 100, &v))
            o.defpreset = static_cast<int>(v);
        else if (*b == 's' && wholeNumber(b + 1, e, 100, &v))
            o.subcodec = static_cast<int>(v);
        else
            return false;
        return true;
    });
}

bool parseCompressSpec(const char *opt, CopyOptions &o)
{
    auto is = [opt](const char *word) { return std::strcmp(opt, word) == 0; };
    if (is("none")) {
        o.defcompression = COMPRESSION_NONE;
    } else if (is("packbits")) {
        o.defcompression = COMPRESSION_PACKBITS;
    } else if (hasPrefix(opt, "jpeg")) {
        o.defcompression = COMPRESSION_JPEG;
        return forEachSuffix(opt, [&o](const char *b, const char *e) {
            long v;
            if (wholeNumber(b, e, 100, &v))
                o.quality = static_cast<int>(v);
            else if (e - b == 1 && *b == 'r')
                o.jpegcolormode = JPEGCOLORMODE_RAW;
            else
                return false;
            return true;
        });
    } else if (hasPrefix(opt, "g3")) {
        o.defcompression = COMPRESSION_CCITTFAX3;
        return forEachSuffix(opt, [&o](const char *b, const char *e) {
            const std::string word(b, e);
            if (o.defg3opts == 0xFFFFFFFF)
                o.defg3opts = 0;
            if (word == "1d")
                o.defg3opts &= ~static_cast<uint32_t>(GROUP3OPT_2DENCODING);
            else if (word == "2d")
                o.defg3opts |= GROUP3OPT_2DENCODING;
            else if (word == "fill")
                o.defg3opts |= GROUP3OPT_FILLBITS;
            else
                return false;
            return true;
        });
    } else if (is("g4")) {
        o.defcompression = COMPRESSION_CCITTFAX4;
    } else if (hasPrefix(opt, "lzw")) {
        o.defcompression = COMPRESSION_LZW;
        return forEachSuffix(opt, [&o](const char *b, const char *e) {
            long v;
            if (!wholeNumber(b, e, 0xFFFE, &v))
                return false;
            o.defpredictor = static_cast<uint16_t>(v);
            return true;
        });
    } else if (hasPrefix(opt, "zip")) {
        o.defcompression = COMPRESSION_ADOBE_DEFLATE;
        return parseZipSuffixes(opt, o);
    } else if (hasPrefix(opt, "lzma")) {
        o.defcompression = COMPRESSION_LZMA;
        return parseZipSuffixes(opt, o);
    } else if (hasPrefix(opt, "zstd")) {
        o.defcompression = COMPRESSION_ZSTD;
        return parseZipSuffixes(opt, o);
    } else if (hasPrefix(opt, "webp")) {
        o.defcompression = COMPRESSION_WEBP;
        return parseZipSuffixes(opt, o);
    } else if (hasPrefix(opt, "jbig")) {
        o.defcompression = COMPRESSION_JBIG;
    } else if (hasPrefix(opt, "sgilog")) {
        o.defcompression = COMPRESSION_SGILOG;
    } else {
        return false;
    }
    return true;
}

// ---- image buffer copies ----------------------------------------------------

// The whole image of a directory held as contiguous pixels, `stride` bytes a
// row, whatever the planar configuration of either side.
struct Layout {
    uint32_t width;
    uint32_t length;
    uint16_t spp;
    uint16_t bps;
    tmsize_t stride;
};

using readFunc = int (*)(TIFF *, uint8_t *, const Layout &);
using writeFunc = int (*)(TIFF *, uint8_t *, const Layout &);

uint8_t *allocate(tmsize_t size)
{
    return static_cast<uint8_t *>(limitMalloc(size));
}

uint32_t rowsPerStrip(TIFF *tif, uint32_t imagelength)
{
    uint32_t rps = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rps);
    return (rps == 0 || rps > imagelength) ? imagelength : rps;
}

// Sample-interleaving needs whole bytes per sample; returns the byte count
// or 0 after reporting why not.
tmsize_t bytesPerSample(TIFF *tif)
{
    uint16_t bps = 0;
    if (!TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps)) {
        TIFFError(TIFFFileName(tif), "Error, cannot read BitsPerSample");
        return 0;
    }
    if (bps == 0 || bps % 8 != 0) {
        TIFFError(TIFFFileName(tif), "Error, cannot handle BitsPerSample that is not a multiple of 8");
        return 0;
    }
    return bps / 8;
}

bool tileSize(TIFF *tif, uint32_t *tw, uint32_t *tl)
{
    return TIFFGetField(tif, TIFFTAG_TILEWIDTH, tw) && TIFFGetField(tif, TIFFTAG_TILELENGTH, tl)
           && *tw > 0 && *tl > 0;
}

// Tiles of contiguous pixels are moved as bytes, so a tile row must start on
// a byte boundary.
bool byteAlignedTiles(TIFF *tif, const Layout &L, uint32_t tw)
{
    if ((static_cast<uint64_t>(tw) * L.bps * L.spp) % 8 == 0)
        return true;
    TIFFError(TIFFFileName(tif), "Error, cannot handle BitsPerSample that is not a multiple of 8");
    return false;
}

bool samplesPerTileRowFit(TIFF *tif, uint32_t tw, uint16_t spp)
{
    if (spp == 0 || tw <= 0x7FFFFFFFu / spp)
        return true;
    TIFFError(TIFFFileName(tif),
              "Error, cannot handle that much samples per tile row (Tile Width * Samples/Pixel)");
    return false;
}

int readContigStripsIntoBuffer(TIFF *in, uint8_t *buf, const Layout &L)
{
    const uint32_t rps = rowsPerStrip(in, L.length);
    for (uint32_t row = 0; row < L.length; row += rps) {
        const uint32_t nrows = std::min(rps, L.length - row);
        const tstrip_t s = TIFFComputeStrip(in, row, 0);
        if (TIFFReadEncodedStrip(in, s, buf + row * L.stride, nrows * L.stride) < 0) {
            TIFFError(TIFFFileName(in), "Error, can't read strip %u", s);
            return 0;
        }
    }
    return 1;
}

int readSeparateStripsIntoBuffer(TIFF *in, uint8_t *buf, const Layout &L)
{
    const tmsize_t bs = bytesPerSample(in);
    if (!bs)
        return 0;
    const uint32_t rps = rowsPerStrip(in, L.length);
    const tmsize_t planeRow = static_cast<tmsize_t>(L.width) * bs;
    TiffBuffer strip(allocate(std::max<tmsize_t>(TIFFStripSize(in), planeRow * rps)));
    if (!strip)
        return 0;
    for (uint16_t s = 0; s < L.spp; ++s) {
        for (uint32_t row = 0; row < L.length; row += rps) {
            const uint32_t nrows = std::min(rps, L.length - row);
            const tstrip_t n = TIFFComputeStrip(in, row, s);
            if (TIFFReadEncodedStrip(in, n, strip.get(), nrows * planeRow) < 0) {
                TIFFError(TIFFFileName(in), "Error, can't read strip %u", n);
                return 0;
            }
            for (uint32_t r = 0; r < nrows; ++r) {
                const uint8_t *src = strip.get() + r * planeRow;
                uint8_t *dst = buf + (row + r) * L.stride + s * bs;
                for (uint32_t c = 0; c < L.width; ++c, src += bs, dst += L.spp * bs)
                    std::memcpy(dst, src, bs);
            }
        }
    }
    return 1;
}

int readContigTilesIntoBuffer(TIFF *in, uint8_t *buf, const Layout &L)
{
    uint32_t tw, tl;
    if (!tileSize(in, &tw, &tl) || !byteAlignedTiles(in, L, tw))
        return 0;
    const tmsize_t tileRow = TIFFTileRowSize(in);
    TiffBuffer tile(allocate(TIFFTileSize(in)));
    if (!tile || tileRow <= 0)
        return 0;
    for (uint32_t row = 0; row < L.length; row += tl) {
        const uint32_t nrows = std::min(tl, L.length - row);
        for (uint32_t col = 0; col < L.width; col += tw) {
            if (TIFFReadTile(in, tile.get(), col, row, 0, 0) < 0) {
                TIFFError(TIFFFileName(in), "Error, can't read tile at %u %u", col, row);
                return 0;
            }
            const tmsize_t colb = static_cast<tmsize_t>(static_cast<uint64_t>(col) * L.bps * L.spp / 8);
            const tmsize_t n = std::min(tileRow, L.stride - colb);
            for (uint32_t r = 0; r < nrows; ++r)
                std::memcpy(buf + (row + r) * L.stride + colb, tile.get() + r * tileRow, n);
        }
    }
    return 1;
}

int readSeparateTilesIntoBuffer(TIFF *in, uint8_t *buf, const Layout &L)
{
    uint32_t tw, tl;
    const tmsize_t bs = bytesPerSample(in);
    if (!bs || !tileSize(in, &tw, &tl) || !samplesPerTileRowFit(in, tw, L.spp))
        return 0;
    const tmsize_t tileRow = TIFFTileRowSize(in);
    TiffBuffer tile(allocate(TIFFTileSize(in)));
    if (!tile || tileRow < static_cast<tmsize_t>(tw) * bs)
        return 0;
    for (uint32_t row = 0; row < L.length; row += tl) {
        const uint32_t nrows = std::min(tl, L.length - row);
        for (uint32_t col = 0; col < L.width; col += tw) {
            const uint32_t ncols = std::min(tw, L.width - col);
            for (uint16_t s = 0; s < L.spp; ++s) {
                if (TIFFReadTile(in, tile.get(), col, row, 0, s) < 0) {
                    TIFFError(TIFFFileName(in), "Error, can't read tile at %u %u, sample %u", col, row, s);
                    return 0;
                }
                for (uint32_t r = 0; r < nrows; ++r) {
                    const uint8_t *src = tile.get() + r * tileRow;
                    uint8_t *dst = buf + (row + r) * L.stride + (static_cast<tmsize_t>(col) * L.spp + s) * bs;
                    for (uint32_t c = 0; c < ncols; ++c, src += bs, dst += L.spp * bs)
                        std::memcpy(dst, src, bs);
                }
            }
        }
    }
    return 1;
}

int writeBufferToContigStrips(TIFF *out, uint8_t *buf, const Layout &L)
{
    const uint32_t rps = rowsPerStrip(out, L.length);
    for (uint32_t row = 0; row < L.length; row += rps) {
        const uint32_t nrows = std::min(rps, L.length - row);
        const tstrip_t s = TIFFComputeStrip(out, row, 0);
        if (TIFFWriteEncodedStrip(out, s, buf + row * L.stride, nrows * L.stride) < 0) {
            TIFFError(TIFFFileName(out), "Error, can't write strip %u", s);
            return 0;
        }
    }
    return 1;
}

int writeBufferToSeparateStrips(TIFF *out, uint8_t *buf, const Layout &L)
{
    const tmsize_t bs = bytesPerSample(out);
    if (!bs)
        return 0;
    const uint32_t rps = rowsPerStrip(out, L.length);
    const tmsize_t planeRow = static_cast<tmsize_t>(L.width) * bs;
    TiffBuffer strip(allocate(planeRow * rps));
    if (!strip)
        return 0;
    for (uint16_t s = 0; s < L.spp; ++s) {
        for (uint32_t row = 0; row < L.length; row += rps) {
            const uint32_t nrows = std::min(rps, L.length - row);
            for (uint32_t r = 0; r < nrows; ++r) {
                const uint8_t *src = buf + (row + r) * L.stride + s * bs;
                uint8_t *dst = strip.get() + r * planeRow;
                for (uint32_t c = 0; c < L.width; ++c, src += L.spp * bs, dst += bs)
                    std::memcpy(dst, src, bs);
            }
            const tstrip_t n = TIFFComputeStrip(out, row, s);
            if (TIFFWriteEncodedStrip(out, n, strip.get(), nrows * planeRow) < 0) {
                TIFFError(TIFFFileName(out), "Error, can't write strip %u", n);
                return 0;
            }
        }
    }
    return 1;
}

int writeBufferToContigTiles(TIFF *out, uint8_t *buf, const Layout &L)
{
    uint32_t tw, tl;
    if (!tileSize(out, &tw, &tl) || !byteAlignedTiles(out, L, tw))
        return 0;
    const tmsize_t tileRow = TIFFTileRowSize(out);
    const tmsize_t tileBytes = TIFFTileSize(out);
    TiffBuffer tile(allocate(tileBytes));
    if (!tile || tileRow <= 0)
        return 0;
    for (uint32_t row = 0; row < L.length; row += tl) {
        const uint32_t nrows = std::min(tl, L.length - row);
        for (uint32_t col = 0; col < L.width; col += tw) {
            const tmsize_t colb = static_cast<tmsize_t>(static_cast<uint64_t>(col) * L.bps * L.spp / 8);
            const tmsize_t n = std::min(tileRow, L.stride - colb);
            if (nrows < tl || n < tileRow) // edge tiles are padded with zeros
                std::memset(tile.get(), 0, tileBytes);
            for (uint32_t r = 0; r < nrows; ++r)
                std::memcpy(tile.get() + r * tileRow, buf + (row + r) * L.stride + colb, n);
            if (TIFFWriteTile(out, tile.get(), col, row, 0, 0) < 0) {
                TIFFError(TIFFFileName(out), "Error, can't write tile at %u %u", col, row);
                return 0;
            }
        }
    }
    return 1;
}

int writeBufferToSeparateTiles(TIFF *out, uint8_t *buf, const Layout &L)
{
    uint32_t tw, tl;
    const tmsize_t bs = bytesPerSample(out);
    if (!bs || !tileSize(out, &tw, &tl) || !samplesPerTileRowFit(out, tw, L.spp))
        return 0;
    const tmsize_t tileRow = TIFFTileRowSize(out);
    const tmsize_t tileBytes = TIFFTileSize(out);
    TiffBuffer tile(allocate(tileBytes));
    if (!tile || tileRow < static_cast<tmsize_t>(tw) * bs)
        return 0;
    for (uint32_t row = 0; row < L.length; row += tl) {
        const uint32_t nrows = std::min(tl, L.length - row);
        for (uint32_t col = 0; col < L.width; col += tw) {
            const uint32_t ncols = std::min(tw, L.width - col);
            for (uint16_t s = 0; s < L.spp; ++s) {
                if (nrows < tl || ncols < tw)
                    std::memset(tile.get(), 0, tileBytes);
                for (uint32_t r = 0; r < nrows; ++r) {
                    const uint8_t *src = buf + (row + r) * L.stride + (static_cast<tmsize_t>(col) * L.spp + s) * bs;
                    uint8_t *dst = tile.get() + r * tileRow;
                    for (uint32_t c = 0; c < ncols; ++c, src += L.spp * bs, dst += bs)
                        std::memcpy(dst, src, bs);
                }
                if (TIFFWriteTile(out, tile.get(), col, row, 0, s) < 0) {
                    TIFFError(TIFFFileName(out), "Error, can't write tile at %u %u sample %u", col, row, s);
                    return 0;
                }
            }
        }
    }
    return 1;
}

// Strip/tile conversions go through one buffer holding the whole image.
int cpImage(TIFF *in, TIFF *out, readFunc reader, writeFunc writer, uint32_t imagelength,
            uint32_t imagewidth, uint16_t spp)
{
    uint16_t bps = 1, outBps = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(out, TIFFTAG_BITSPERSAMPLE, &outBps);
    if (bps != outBps) {
        TIFFError(TIFFFileName(out), "Error, cannot convert %u to %u bits per sample", bps, outBps);
        return 0;
    }
    const uint64_t stride = (static_cast<uint64_t>(imagewidth) * bps * spp + 7) / 8;
    if (stride == 0 || imagelength == 0 || stride > static_cast<uint64_t>(INT64_MAX) / imagelength) {
        TIFFError(TIFFFileName(in), "Error, no space for image buffer");
        return 0;
    }
    const Layout layout{imagewidth, imagelength, spp, bps, static_cast<tmsize_t>(stride)};
    TiffBuffer buf(allocate(static_cast<tmsize_t>(stride * imagelength)));
    if (!buf) {
        TIFFError(TIFFFileName(in), "Error, can't allocate space for image buffer");
        return 0;
    }
    // Some decoders (Group 4 among them) leave the padding bits at the end
    // of a row alone; they must not carry stale memory into the output.
    std::memset(buf.get(), 0, static_cast<size_t>(stride * imagelength));
    return reader(in, buf.get(), layout) && writer(out, buf.get(), layout);
}

// Scanline buffer large enough for either side; zeroed so that a short
// decode never leaks stale memory into the output.
TiffBuffer scanlineBuffer(TIFF *in, TIFF *out, tmsize_t *size)
{
    *size = std::max(TIFFScanlineSize(in), TIFFScanlineSize(out));
    TiffBuffer buf(allocate(*size));
    if (buf)
        std::memset(buf.get(), 0, *size);
    return buf;
}

bool readRow(TIFF *in, uint8_t *buf, uint32_t row, uint16_t sample)
{
    if (TIFFReadScanline(in, buf, row, sample) >= 0)
        return true;
    TIFFError(TIFFFileName(in), "Error, can't read scanline %u", row);
    return false;
}

bool writeRow(TIFF *out, uint8_t *buf, uint32_t row, uint16_t sample)
{
    if (TIFFWriteScanline(out, buf, row, sample) >= 0)
        return true;
    TIFFError(TIFFFileName(out), "Error, can't write scanline %u", row);
    return false;
}

// Interleaving by row moves single bytes, so it needs 8-bit samples.
bool eightBitSamples(TIFF *in, const char *routine)
{
    uint16_t bps = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bps);
    if (bps == 8)
        return true;
    TIFFError(TIFFFileName(in), "Error, can only handle BitsPerSample=8 in %s", routine);
    return false;
}

copyFunc pickCopyFunc(TIFF *in, TIFF *out, uint16_t bitspersample, uint16_t samplesperpixel)
{
    uint16_t inConfig = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &inConfig);
    if (inConfig != cur.config && bitspersample != 8 && samplesperpixel > 1) {
        std::fprintf(stderr, "%s: Cannot handle different planar configuration w/ bits/sample != 8\n",
                     TIFFFileName(in));
        return nullptr;
    }
    const bool inTiled = TIFFIsTiled(in);
    const bool outTiled = TIFFIsTiled(out);
    const bool inSep = inConfig == PLANARCONFIG_SEPARATE;
    const bool outSep = cur.config == PLANARCONFIG_SEPARATE;
    const bool known = (inConfig == PLANARCONFIG_CONTIG || inSep)
                       && (cur.config == PLANARCONFIG_CONTIG || outSep);
    if (!known) {
        std::fprintf(stderr, "tiffcp: %s: Don't know how to copy/convert image.\n", TIFFFileName(in));
        return nullptr;
    }
    if (!inSep && !outSep && !inTiled && !outTiled) {
        // Strips of the output's height are decoded and encoded whole; the
        // scanner's one-row strips go row by row.
        uint32_t irps = 0xFFFFFFFF;
        TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &irps);
        return irps == cur.rowsperstrip ? cpDecodedStrips : cpContig2ContigByRow;
    }
    // Index: input separate, output separate, input tiled, output tiled.
    static const copyFunc table[2][2][2][2] = {
        {{{nullptr /* chosen above */, cpContigStrips2ContigTiles},
          {cpContigTiles2ContigStrips, cpContigTiles2ContigTiles}},
         {{cpContig2SeparateByRow, cpContigStrips2SeparateTiles},
          {cpContigTiles2SeparateStrips, cpContigTiles2SeparateTiles}}},
        {{{cpSeparate2ContigByRow, cpSeparateStrips2ContigTiles},
          {cpSeparateTiles2ContigStrips, cpSeparateTiles2ContigTiles}},
         {{cpSeparate2SeparateByRow, cpSeparateStrips2SeparateTiles},
          {cpSeparateTiles2SeparateStrips, cpSeparateTiles2SeparateTiles}}},
    };
    return table[inSep][outSep][inTiled][outTiled];
}

void copyInkNames(TIFF *in, TIFF *out)
{
    uint16_t ninks = 0;
    if (!TIFFGetField(in, TIFFTAG_NUMBEROFINKS, &ninks))
        return;
    TIFFSetField(out, TIFFTAG_NUMBEROFINKS, ninks);
    const char *inknames = nullptr;
    if (!TIFFGetField(in, TIFFTAG_INKNAMES, &inknames) || !inknames)
        return;
    // The names are NUL-separated, one per ink; the list is passed whole.
    // libtiff never keeps more inks than the list names.
    size_t len = 0;
    for (uint16_t i = 0; i < ninks; ++i)
        len += std::strlen(inknames + len) + 1;
    if (len <= 0xFFFF)
        TIFFSetField(out, TIFFTAG_INKNAMES, static_cast<int>(len), inknames);
}

} // namespace

// ---- public operations --------------------------------------------------------

int processZIPOptions(const char *opt)
{
    CopyOptions next = opts;
    if (!parseZipSuffixes(opt, next))
        return 0;
    opts = next;
    return 1;
}

int processCompressOptions(const char *opt)
{
    CopyOptions next = opts;
    if (!opt || !parseCompressSpec(opt, next))
        return 0;
    opts = next;
    return 1;
}

void *limitMalloc(tmsize_t size)
{
    if (opts.maxMalloc != 0 && size > opts.maxMalloc) {
        std::fprintf(stderr, "MemoryLimitError: allocation of %ld bytes is forbidden. Limit is %ld.\n",
                     static_cast<long>(size), static_cast<long>(opts.maxMalloc));
        std::fprintf(stderr, "                  use -m option to change limit.\n");
        return nullptr;
    }
    return size > 0 ? _TIFFmalloc(size) : nullptr;
}

// Checks that every item after the first comma is a number (or empty) ended
// by a comma or the end of the text.
static bool wellFormedList(const char *list, char comma)
{
    for (const char *p = list; *p == comma;) {
        char *end = nullptr;
        std::strtoul(p + 1, &end, 0);
        if (*end == '\0')
            return true;
        if (*end != comma)
            return false;
        p = end;
    }
    return true;
}

TIFF *openSrcImage(char **imageSpec)
{
    const char *mode = opts.defcompression == COMPRESSION_JBIG ? "rc" : "r";
    char *fn = *imageSpec;
    char *list = std::strchr(fn, opts.comma);
    // Page files live in directories the user chose; a real file whose name
    // holds a comma is that file, not a file with a directory list.
    struct stat st;
    if (list && ::stat(fn, &st) == 0 && S_ISREG(st.st_mode))
        list = nullptr;
    *imageSpec = list;
    if (!list)
        return TIFFOpen(fn, mode);
    *list = '\0';
    if (list[1] == '\0') { // a lone trailing comma: the whole file
        *imageSpec = nullptr;
        return TIFFOpen(fn, mode);
    }
    *list = opts.comma;
    if (!wellFormedList(list, opts.comma)) {
        *list = '\0';
        std::fprintf(stderr, "Expected a %c separated image # list after %s\n", opts.comma, fn);
        *list = opts.comma;
        return nullptr;
    }
    *list = '\0';
    TIFF *tif = TIFFOpen(fn, mode);
    *list = opts.comma;
    if (tif && !nextSrcImage(tif, imageSpec)) {
        TIFFClose(tif);
        tif = nullptr;
    }
    return tif;
}

int nextSrcImage(TIFF *tif, char **imageSpec)
{
    char *spec = *imageSpec;
    if (!spec || *spec != opts.comma)
        return 0;
    char *start = spec + 1;
    char *end = nullptr;
    const unsigned long number = std::strtoul(start, &end, 0);
    const unsigned long dir = end == start ? TIFFCurrentDirectory(tif) : number;
    if (*end != '\0' && *end != opts.comma) {
        std::fprintf(stderr, "Expected a %c separated image # list after %s\n", opts.comma, TIFFFileName(tif));
        *imageSpec = end + std::strlen(end);
        return 0;
    }
    // The cursor rests on the next item; a comma closing the list is ignored.
    *imageSpec = (end[0] == opts.comma && end[1] == '\0') ? end + 1 : end;
    if (dir <= 0xFFFFFFFEul && TIFFSetDirectory(tif, static_cast<tdir_t>(dir)))
        return 1;
    std::fprintf(stderr, "%s%c%lu not found!\n", TIFFFileName(tif), opts.comma, dir);
    return 0;
}

void resetDirectoryValues()
{
    cur.compression = opts.defcompression;
    cur.predictor = opts.defpredictor;
    cur.preset = opts.defpreset;
    cur.g3opts = opts.defg3opts;
    cur.config = 0xFFFF;
    cur.fillorder = 0;
    cur.tilewidth = 0xFFFFFFFF;
    cur.tilelength = 0xFFFFFFFF;
    cur.rowsperstrip = 16;
    cur.orientation = ORIENTATION_TOPLEFT;
}

void cpTag(TIFF *in, TIFF *out, uint16_t tag, uint16_t count, TIFFDataType type)
{
    switch (type) {
    case TIFF_SHORT:
        if (count == 1) {
            uint16_t v;
            copyField(in, out, tag, v);
        } else if (count == 2) {
            uint16_t v1, v2;
            if (TIFFGetField(in, tag, &v1, &v2))
                TIFFSetField(out, tag, v1, v2);
        } else if (count == 4) {
            // Colour maps and transfer functions: one or three curves. The
            // output may expect three where the input holds one (extra
            // samples are described later), so missing curves repeat the first.
            uint16_t *r = nullptr, *g = nullptr, *b = nullptr, *a = nullptr;
            if (TIFFGetField(in, tag, &r, &g, &b, &a) && r) {
                if (!g)
                    g = r;
                if (!b)
                    b = r;
                if (!a)
                    a = r;
                TIFFSetField(out, tag, r, g, b, a);
            }
        } else if (count == kAnyCount) {
            uint16_t n;
            uint16_t *values;
            if (TIFFGetField(in, tag, &n, &values))
                TIFFSetField(out, tag, n, values);
        }
        break;
    case TIFF_LONG: {
        uint32_t v;
        copyField(in, out, tag, v);
        break;
    }
    case TIFF_RATIONAL:
        if (count == 1) {
            // libtiff hands single rationals out as float or double depending
            // on the tag; ask it which, or the value lands in the wrong size.
            const TIFFField *field = TIFFFindField(in, tag, TIFF_ANY);
            if (field && TIFFFieldSetGetSize(field) == 8) {
                double v;
                copyField(in, out, tag, v);
            } else {
                float v;
                copyField(in, out, tag, v);
            }
        } else if (count == kAnyCount) {
            float *values;
            copyField(in, out, tag, values);
        }
        break;
    case TIFF_ASCII: {
        char *v;
        copyField(in, out, tag, v);
        break;
    }
    case TIFF_DOUBLE:
        if (count == 1) {
            double v;
            copyField(in, out, tag, v);
        } else if (count == kAnyCount) {
            double *values;
            copyField(in, out, tag, values);
        }
        break;
    default:
        TIFFError(TIFFFileName(in), "Data type %d is not supported, tag %d skipped.", type, tag);
        break;
    }
}

int tiffcp(TIFF *in, TIFF *out)
{
    uint16_t bitspersample = 1, samplesperpixel = 1;
    uint16_t input_compression = COMPRESSION_NONE, input_photometric = PHOTOMETRIC_MINISBLACK;
    uint32_t width = 0, length = 0;

    copyField(in, out, TIFFTAG_IMAGEWIDTH, width);
    copyField(in, out, TIFFTAG_IMAGELENGTH, length);
    copyField(in, out, TIFFTAG_BITSPERSAMPLE, bitspersample);
    copyField(in, out, TIFFTAG_SAMPLESPERPIXEL, samplesperpixel);

    if (cur.compression != 0xFFFF)
        TIFFSetField(out, TIFFTAG_COMPRESSION, cur.compression);
    else
        copyField(in, out, TIFFTAG_COMPRESSION, cur.compression);
    TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &input_compression);
    TIFFGetFieldDefaulted(in, TIFFTAG_PHOTOMETRIC, &input_photometric);

    if (input_compression == COMPRESSION_JPEG) {
        // Have the decoder hand out RGB rather than raw YCbCr.
        TIFFSetField(in, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    } else if (input_photometric == PHOTOMETRIC_YCBCR) {
        uint16_t h = 1, v = 1;
        TIFFGetFieldDefaulted(in, TIFFTAG_YCBCRSUBSAMPLING, &h, &v);
        if (h != 1 || v != 1) {
            std::fprintf(stderr, "tiffcp: %s: Can't copy/convert subsampled image.\n", TIFFFileName(in));
            return 0;
        }
    }

    if (cur.compression == COMPRESSION_JPEG) {
        const bool toYCbCr = input_photometric == PHOTOMETRIC_RGB && opts.jpegcolormode == JPEGCOLORMODE_RGB;
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, toYCbCr ? PHOTOMETRIC_YCBCR : input_photometric);
    } else if (cur.compression == COMPRESSION_SGILOG || cur.compression == COMPRESSION_SGILOG24) {
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, samplesperpixel == 1 ? PHOTOMETRIC_LOGL : PHOTOMETRIC_LOGLUV);
    } else if (input_compression == COMPRESSION_JPEG && samplesperpixel == 3) {
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    } else {
        cpTag(in, out, TIFFTAG_PHOTOMETRIC, 1, TIFF_SHORT);
    }

    if (cur.fillorder != 0)
        TIFFSetField(out, TIFFTAG_FILLORDER, cur.fillorder);
    else
        cpTag(in, out, TIFFTAG_FILLORDER, 1, TIFF_SHORT);

    // Only four orientations are written; the others are replaced by the
    // nearest of them, with a warning. The pixels themselves are not turned.
    TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &cur.orientation);
    switch (cur.orientation) {
    case ORIENTATION_BOTRIGHT:
    case ORIENTATION_RIGHTBOT:
        TIFFWarning(TIFFFileName(in), "using bottom-left orientation");
        cur.orientation = ORIENTATION_BOTLEFT;
        break;
    case ORIENTATION_LEFTBOT:
    case ORIENTATION_BOTLEFT:
    case ORIENTATION_LEFTTOP:
    case ORIENTATION_TOPLEFT:
        break;
    default:
        TIFFWarning(TIFFFileName(in), "using top-left orientation");
        cur.orientation = ORIENTATION_TOPLEFT;
        break;
    }
    TIFFSetField(out, TIFFTAG_ORIENTATION, cur.orientation);

    if (opts.outtiled == -1)
        opts.outtiled = TIFFIsTiled(in) ? 1 : 0;
    if (opts.outtiled) {
        if (cur.tilewidth == 0xFFFFFFFF)
            TIFFGetField(in, TIFFTAG_TILEWIDTH, &cur.tilewidth);
        if (cur.tilelength == 0xFFFFFFFF)
            TIFFGetField(in, TIFFTAG_TILELENGTH, &cur.tilelength);
        TIFFDefaultTileSize(out, &cur.tilewidth, &cur.tilelength);
        TIFFSetField(out, TIFFTAG_TILEWIDTH, cur.tilewidth);
        TIFFSetField(out, TIFFTAG_TILELENGTH, cur.tilelength);
    } else {
        if (cur.rowsperstrip == 0) {
            if (!TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &cur.rowsperstrip))
                cur.rowsperstrip = TIFFDefaultStripSize(out, cur.rowsperstrip);
            if (cur.rowsperstrip > length && cur.rowsperstrip != 0xFFFFFFFF)
                cur.rowsperstrip = length;
        } else if (cur.rowsperstrip == 0xFFFFFFFF) {
            cur.rowsperstrip = length;
        }
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, cur.rowsperstrip);
    }

    // A file without the tag is contiguous, as the TIFF standard says.
    if (cur.config == 0xFFFF)
        TIFFGetFieldDefaulted(in, TIFFTAG_PLANARCONFIG, &cur.config);
    TIFFSetField(out, TIFFTAG_PLANARCONFIG, cur.config);

    if (samplesperpixel <= 4)
        cpTag(in, out, TIFFTAG_TRANSFERFUNCTION, 4, TIFF_SHORT);
    cpTag(in, out, TIFFTAG_COLORMAP, 4, TIFF_SHORT);

    switch (cur.compression) {
    case COMPRESSION_JPEG:
        TIFFSetField(out, TIFFTAG_JPEGQUALITY, opts.quality);
        TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, opts.jpegcolormode);
        break;
    case COMPRESSION_JBIG:
        cpTag(in, out, TIFFTAG_FAXRECVPARAMS, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_FAXRECVTIME, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_FAXSUBADDRESS, 1, TIFF_ASCII);
        cpTag(in, out, TIFFTAG_FAXDCS, 1, TIFF_ASCII);
        break;
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_LZMA:
    case COMPRESSION_ZSTD:
        if (cur.predictor != 0xFFFF)
            TIFFSetField(out, TIFFTAG_PREDICTOR, cur.predictor);
        else
            copyField(in, out, TIFFTAG_PREDICTOR, cur.predictor);
        if (cur.compression == COMPRESSION_ADOBE_DEFLATE || cur.compression == COMPRESSION_DEFLATE) {
            if (opts.subcodec != -1 && TIFFSetField(out, TIFFTAG_DEFLATE_SUBCODEC, opts.subcodec) != 1)
                return 0;
            if (cur.preset != -1)
                TIFFSetField(out, TIFFTAG_ZIPQUALITY, cur.preset);
        } else if (cur.compression == COMPRESSION_LZMA) {
            if (cur.preset != -1)
                TIFFSetField(out, TIFFTAG_LZMAPRESET, cur.preset);
        } else if (cur.compression == COMPRESSION_ZSTD) {
            if (cur.preset != -1)
                TIFFSetField(out, TIFFTAG_ZSTD_LEVEL, cur.preset);
        }
        break;
    case COMPRESSION_WEBP:
        if (cur.preset != -1)
            TIFFSetField(out, TIFFTAG_WEBP_LEVEL, cur.preset);
        break;
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
        if (cur.compression == COMPRESSION_CCITTFAX3) {
            if (cur.g3opts != 0xFFFFFFFF)
                TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, cur.g3opts);
            else
                copyField(in, out, TIFFTAG_GROUP3OPTIONS, cur.g3opts);
        } else {
            cpTag(in, out, TIFFTAG_GROUP4OPTIONS, 1, TIFF_LONG);
        }
        cpTag(in, out, TIFFTAG_BADFAXLINES, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_CLEANFAXDATA, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_CONSECUTIVEBADFAXLINES, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_FAXRECVPARAMS, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_FAXRECVTIME, 1, TIFF_LONG);
        cpTag(in, out, TIFFTAG_FAXSUBADDRESS, 1, TIFF_ASCII);
        break;
    default:
        break;
    }

    {
        uint32_t len = 0;
        void *profile = nullptr;
        if (TIFFGetField(in, TIFFTAG_ICCPROFILE, &len, &profile))
            TIFFSetField(out, TIFFTAG_ICCPROFILE, len, profile);
    }
    copyInkNames(in, out);

    // Page numbers are handed out in copy order, so a document made of
    // numbered pages keeps the order in which the pages were listed.
    {
        uint16_t pg0, pg1;
        if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &pg0, &pg1))
            TIFFSetField(out, TIFFTAG_PAGENUMBER, opts.pageNum++, 0);
    }

    for (const TagSpec &t : tags)
        cpTag(in, out, t.tag, t.count, t.type);

    const copyFunc cf = pickCopyFunc(in, out, bitspersample, samplesperpixel);
    return cf ? cf(in, out, length, width, samplesperpixel) : 0;
}

// ---- copy routines --------------------------------------------------------------

int cpContig2ContigByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t, uint16_t)
{
    tmsize_t size;
    TiffBuffer buf = scanlineBuffer(in, out, &size);
    if (!buf)
        return 0;
    for (uint32_t row = 0; row < imagelength; ++row) {
        if (!readRow(in, buf.get(), row, 0) || !writeRow(out, buf.get(), row, 0))
            return 0;
    }
    return 1;
}

int cpDecodedStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t, uint16_t)
{
    const tmsize_t stripsize = std::max(TIFFStripSize(in), TIFFStripSize(out));
    TiffBuffer buf(allocate(stripsize));
    if (!buf) {
        TIFFError(TIFFFileName(in), "Error, can't allocate memory buffer of size %ld to read strips",
                  static_cast<long>(stripsize));
        return 0;
    }
    std::memset(buf.get(), 0, stripsize);
    const uint32_t rps = rowsPerStrip(in, imagelength);
    const tstrip_t ns = TIFFNumberOfStrips(in);
    uint32_t row = 0;
    for (tstrip_t s = 0; s < ns && row < imagelength; ++s, row += rps) {
        const tmsize_t cc = TIFFVStripSize(in, std::min(rps, imagelength - row));
        if (TIFFReadEncodedStrip(in, s, buf.get(), cc) < 0) {
            TIFFError(TIFFFileName(in), "Error, can't read strip %u", s);
            return 0;
        }
        if (TIFFWriteEncodedStrip(out, s, buf.get(), cc) < 0) {
            TIFFError(TIFFFileName(out), "Error, can't write strip %u", s);
            return 0;
        }
        if (rps >= imagelength - row)
            break;
    }
    return 1;
}

int cpSeparate2SeparateByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t, uint16_t spp)
{
    tmsize_t size;
    TiffBuffer buf = scanlineBuffer(in, out, &size);
    if (!buf)
        return 0;
    for (uint16_t s = 0; s < spp; ++s) {
        for (uint32_t row = 0; row < imagelength; ++row) {
            if (!readRow(in, buf.get(), row, s) || !writeRow(out, buf.get(), row, s))
                return 0;
        }
    }
    return 1;
}

int cpContig2SeparateByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp)
{
    if (!eightBitSamples(in, "cpContig2SeparateByRow"))
        return 0;
    const tmsize_t inSize = std::max<tmsize_t>(TIFFScanlineSize(in), static_cast<tmsize_t>(imagewidth) * spp);
    const tmsize_t outSize = std::max<tmsize_t>(TIFFScanlineSize(out), imagewidth);
    TiffBuffer inbuf(allocate(inSize));
    TiffBuffer outbuf(allocate(outSize));
    if (!inbuf || !outbuf)
        return 0;
    std::memset(inbuf.get(), 0, inSize);
    std::memset(outbuf.get(), 0, outSize);
    for (uint16_t s = 0; s < spp; ++s) {
        for (uint32_t row = 0; row < imagelength; ++row) {
            if (!readRow(in, inbuf.get(), row, 0))
                return 0;
            const uint8_t *inp = inbuf.get() + s;
            uint8_t *outp = outbuf.get();
            for (uint32_t n = 0; n < imagewidth; ++n, inp += spp)
                *outp++ = *inp;
            if (!writeRow(out, outbuf.get(), row, s))
                return 0;
        }
    }
    return 1;
}

int cpSeparate2ContigByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp)
{
    if (!eightBitSamples(in, "cpSeparate2ContigByRow"))
        return 0;
    const tmsize_t inSize = std::max<tmsize_t>(TIFFScanlineSize(in), imagewidth);
    const tmsize_t outSize = std::max<tmsize_t>(TIFFScanlineSize(out), static_cast<tmsize_t>(imagewidth) * spp);
    TiffBuffer inbuf(allocate(inSize));
    TiffBuffer outbuf(allocate(outSize));
    if (!inbuf || !outbuf)
        return 0;
    std::memset(inbuf.get(), 0, inSize);
    std::memset(outbuf.get(), 0, outSize);
    for (uint32_t row = 0; row < imagelength; ++row) {
        for (uint16_t s = 0; s < spp; ++s) {
            if (!readRow(in, inbuf.get(), row, s))
                return 0;
            const uint8_t *inp = inbuf.get();
            uint8_t *outp = outbuf.get() + s;
            for (uint32_t n = 0; n < imagewidth; ++n, outp += spp)
                *outp = *inp++;
        }
        if (!writeRow(out, outbuf.get(), row, 0))
            return 0;
    }
    return 1;
}

#define VS_IMAGE_COPY(name, reader, writer)                                                   \
    int name(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp)   \
    {                                                                                         \
        return cpImage(in, out, reader, writer, imagelength, imagewidth, spp);                \
    }

VS_IMAGE_COPY(cpContigStrips2ContigTiles, readContigStripsIntoBuffer, writeBufferToContigTiles)
VS_IMAGE_COPY(cpContigStrips2SeparateTiles, readContigStripsIntoBuffer, writeBufferToSeparateTiles)
VS_IMAGE_COPY(cpSeparateStrips2ContigTiles, readSeparateStripsIntoBuffer, writeBufferToContigTiles)
VS_IMAGE_COPY(cpSeparateStrips2SeparateTiles, readSeparateStripsIntoBuffer, writeBufferToSeparateTiles)
VS_IMAGE_COPY(cpContigTiles2ContigStrips, readContigTilesIntoBuffer, writeBufferToContigStrips)
VS_IMAGE_COPY(cpContigTiles2SeparateStrips, readContigTilesIntoBuffer, writeBufferToSeparateStrips)
VS_IMAGE_COPY(cpSeparateTiles2ContigStrips, readSeparateTilesIntoBuffer, writeBufferToContigStrips)
VS_IMAGE_COPY(cpSeparateTiles2SeparateStrips, readSeparateTilesIntoBuffer, writeBufferToSeparateStrips)
VS_IMAGE_COPY(cpContigTiles2ContigTiles, readContigTilesIntoBuffer, writeBufferToContigTiles)
VS_IMAGE_COPY(cpContigTiles2SeparateTiles, readContigTilesIntoBuffer, writeBufferToSeparateTiles)
VS_IMAGE_COPY(cpSeparateTiles2ContigTiles, readSeparateTilesIntoBuffer, writeBufferToContigTiles)
VS_IMAGE_COPY(cpSeparateTiles2SeparateTiles, readSeparateTilesIntoBuffer, writeBufferToSeparateTiles)

#undef VS_IMAGE_COPY
