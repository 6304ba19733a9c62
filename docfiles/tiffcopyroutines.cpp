// The copy routines of the directory copier: each moves the pixels of one
// directory between the strip/tile and contiguous/separate layouts of its
// input and output, by row, by strip or through one whole-image buffer.
#include "tiffcp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

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

} // namespace

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
