// TIFF-to-PDF conversion: the page list, the analysis of each page's TIFF
// directory, the page geometry and the production of each image's data.
//
// The PDF is written through a libtiff handle whose procedures write into the
// PDF file (see t2p_writeproc). Object texts go through it as plain bytes;
// image data that has to be encoded again is described to that handle as a
// one-strip TIFF image, so that libtiff's Group 4 and Deflate encoders write
// their output straight into the PDF stream, while libtiff's own TIFF header
// and directory writes are swallowed by switching the output off. JPEG is
// encoded by libjpeg into the same handle (see encodeJpegDirect).

#include "tiff2pdf.h"
#include "pendingfile.h"
#include "tiff2pdf_p.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <jpeglib.h>

namespace {

// Largest single image buffer a conversion may hold.
constexpr uint64_t kMaxDataSize = 268435456;

// Chunk in which libtiff's encoders hand their output to the PDF file. Left
// to itself libtiff would buffer a whole encoded page first.
constexpr tmsize_t kEncodeChunk = 64 * 1024;

struct TiffFree {
    void operator()(unsigned char *p) const
    {
        if (p)
            _TIFFfree(p);
    }
};
using TiffBuffer = std::unique_ptr<unsigned char[], TiffFree>;

TiffBuffer allocBuffer(uint64_t size)
{
    if (size == 0 || size > static_cast<uint64_t>(INT64_MAX) || size > SIZE_MAX)
        return TiffBuffer();
    return TiffBuffer(static_cast<unsigned char *>(_TIFFmalloc(static_cast<tmsize_t>(size))));
}

void fail(T2P *t2p)
{
    t2p->t2p_error = T2P_ERR_ERROR;
}

uint64_t checkAdd64(uint64_t a, uint64_t b, T2P *t2p)
{
    if (a > UINT64_MAX - b) {
        TIFFError(TIFF2PDF_MODULE, "Integer overflow");
        fail(t2p);
        return 0;
    }
    return a + b;
}

uint64_t checkMultiply64(uint64_t a, uint64_t b, T2P *t2p)
{
    if (a != 0 && b > UINT64_MAX / a) {
        TIFFError(TIFF2PDF_MODULE, "Integer overflow");
        fail(t2p);
        return 0;
    }
    return a * b;
}

// Bytes of one row of `width` pixels as they go to the encoder.
uint64_t rowBytes(uint64_t width, uint16_t samples, uint16_t bits)
{
    return (width * samples * bits + 7) / 8;
}

bool readTransferFunction(TIFF *input, std::vector<uint16_t> (&curves)[3], uint16_t &count)
{
    uint16_t *tf[3] = {nullptr, nullptr, nullptr};
    uint16_t bits = 1;
    TIFFGetFieldDefaulted(input, TIFFTAG_BITSPERSAMPLE, &bits);
    if (bits > 16 || !TIFFGetField(input, TIFFTAG_TRANSFERFUNCTION, &tf[0], &tf[1], &tf[2]) || !tf[0]) {
        count = 0;
        for (auto &curve : curves)
            curve.clear();
        return false;
    }
    const size_t entries = size_t(1) << bits;
    curves[0].assign(tf[0], tf[0] + entries);
    // One curve stored for all colour samples comes back as three equal
    // curves; a single transfer function says the same thing more simply.
    if (tf[1] && tf[2] && tf[1] != tf[0]
        && (!std::equal(tf[0], tf[0] + entries, tf[1]) || !std::equal(tf[0], tf[0] + entries, tf[2]))) {
        curves[1].assign(tf[1], tf[1] + entries);
        curves[2].assign(tf[2], tf[2] + entries);
        count = 3;
    } else {
        curves[1].clear();
        curves[2].clear();
        count = 1;
    }
    return true;
}

// --- Output handle procedures -------------------------------------------

tmsize_t t2p_readproc(thandle_t, void *, tmsize_t)
{
    return -1;
}

tmsize_t t2p_writeproc(thandle_t handle, void *data, tmsize_t size)
{
    T2P *t2p = static_cast<T2P *>(handle);
    if (t2p->outputdisable <= 0 && t2p->outputfile) {
        const size_t written = std::fwrite(data, 1, static_cast<size_t>(size), t2p->outputfile.get());
        t2p->outputwritten += written;
        if (written != static_cast<size_t>(size)) {
            t2p->outputfailed = true;
            fail(t2p);
        }
        return static_cast<tmsize_t>(written);
    }
    return size;
}

toff_t t2p_seekproc(thandle_t handle, toff_t offset, int whence)
{
    T2P *t2p = static_cast<T2P *>(handle);
    if (t2p->outputdisable <= 0 && t2p->outputfile) {
        std::FILE *file = t2p->outputfile.get();
        if (fseeko(file, static_cast<off_t>(offset), whence) != 0) {
            t2p->outputfailed = true;
            fail(t2p);
            return static_cast<toff_t>(-1);
        }
        return static_cast<toff_t>(ftello(file));
    }
    return offset;
}

int t2p_closeproc(thandle_t handle)
{
    T2P *t2p = static_cast<T2P *>(handle);
    std::FILE *file = t2p->outputfile.release();
    if (!file)
        return 0;
    const int result = std::fclose(file);
    if (result != 0) {
        t2p->outputfailed = true;
        fail(t2p);
    }
    return result;
}

toff_t t2p_sizeproc(thandle_t)
{
    return static_cast<toff_t>(-1);
}

int t2p_mapproc(thandle_t, void **, toff_t *)
{
    return 0;
}

void t2p_unmapproc(thandle_t, void *, toff_t)
{
}

// --- Sample conversions ---------------------------------------------------

// Scatters one strip or tile of a single sample plane into interleaved pixels.
void t2p_sample_planar_separate_to_contig(unsigned char *dst, const unsigned char *plane, uint64_t count,
                                          uint16_t samples, uint16_t sample, uint64_t firstpixel)
{
    unsigned char *out = dst + firstpixel * samples + sample;
    for (uint64_t i = 0; i < count; i++, out += samples)
        *out = plane[i];
}

// Widens rows of 1, 2 or 4-bit samples to one byte per sample, in place, from
// the end backwards so that no sample is overwritten before it is read.
// Palette indexes keep their value; other samples are scaled to 0..255.
void t2p_sample_expand_to_8bit(unsigned char *buffer, uint32_t width, uint32_t rows, uint16_t samples,
                               uint16_t bits, bool scale)
{
    const uint64_t perrow = uint64_t(width) * samples;
    const uint64_t inrow = rowBytes(width, samples, bits);
    const unsigned maxvalue = (1u << bits) - 1;
    for (uint64_t row = rows; row-- > 0;) {
        const unsigned char *in = buffer + row * inrow;
        unsigned char *out = buffer + row * perrow;
        for (uint64_t k = perrow; k-- > 0;) {
            const uint64_t bit = k * bits;
            const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
            const unsigned value = (in[bit / 8] >> shift) & maxvalue;
            out[k] = static_cast<unsigned char>(scale ? value * 255 / maxvalue : value);
        }
    }
}

// Keeps the high byte of each 16-bit sample (in the machine's byte order, as
// libtiff decodes them), in place from the front. Returns the new size.
uint64_t t2p_sample_reduce_16_to_8(unsigned char *buffer, uint64_t size)
{
    const uint64_t count = size / 2;
    for (uint64_t i = 0; i < count; i++) {
        uint16_t sample;
        std::memcpy(&sample, buffer + 2 * i, 2);
        buffer[i] = static_cast<unsigned char>(sample >> 8);
    }
    return count;
}

bool t2p_sample_realize_palette(T2P *t2p, unsigned char *buffer, uint64_t pixels, uint64_t capacity)
{
    const uint32_t components = t2p->pdf_samplesperpixel;
    if (pixels * components > capacity) {
        TIFFError(TIFF2PDF_MODULE, "Error: sample_count * component_count > t2p->tiff_datasize");
        return false;
    }
    for (uint64_t i = pixels; i-- > 0;) {
        const uint64_t paletteoffset = uint64_t(buffer[i]) * components;
        if (paletteoffset + components > t2p->pdf_palette.size()) {
            TIFFError(TIFF2PDF_MODULE, "Error: palette_offset + component_count > t2p->pdf_palettesize");
            return false;
        }
        std::memcpy(buffer + i * components, t2p->pdf_palette.data() + paletteoffset, components);
    }
    return true;
}

// Packed ABGR words from libtiff's RGBA reader to RGB bytes, in place.
uint64_t t2p_sample_abgr_to_rgb(unsigned char *buffer, uint64_t pixels)
{
    const uint32_t *words = reinterpret_cast<const uint32_t *>(buffer);
    for (uint64_t i = 0; i < pixels; i++) {
        const uint32_t sample = words[i];
        buffer[i * 3] = static_cast<unsigned char>(TIFFGetR(sample));
        buffer[i * 3 + 1] = static_cast<unsigned char>(TIFFGetG(sample));
        buffer[i * 3 + 2] = static_cast<unsigned char>(TIFFGetB(sample));
    }
    return pixels * 3;
}

// Unassociated alpha: each colour is weighted by its alpha over a white page.
uint64_t t2p_sample_rgba_to_rgb(unsigned char *buffer, uint64_t pixels)
{
    for (uint64_t i = 0; i < pixels; i++) {
        const unsigned alpha = buffer[i * 4 + 3];
        for (int c = 0; c < 3; c++) {
            const unsigned value = buffer[i * 4 + c];
            buffer[i * 3 + c] = static_cast<unsigned char>((value * alpha + 255 * (255 - alpha) + 127) / 255);
        }
    }
    return pixels * 3;
}

// Associated alpha: the colours are already weighted; the alpha goes.
uint64_t t2p_sample_rgbaa_to_rgb(unsigned char *buffer, uint64_t pixels)
{
    for (uint64_t i = 0; i < pixels; i++) {
        buffer[i * 3] = buffer[i * 4];
        buffer[i * 3 + 1] = buffer[i * 4 + 1];
        buffer[i * 3 + 2] = buffer[i * 4 + 2];
    }
    return pixels * 3;
}

// Signed a and b samples to the unsigned form PDF's Lab ranges expect.
void t2p_sample_lab_signed_to_unsigned(unsigned char *buffer, uint64_t pixels)
{
    for (uint64_t i = 0; i < pixels; i++) {
        buffer[i * 3 + 1] ^= 0x80;
        buffer[i * 3 + 2] ^= 0x80;
    }
}

// Drops the columns of an edge tile that lie beyond the image's right edge.
void t2p_tile_collapse_left(unsigned char *buffer, uint64_t scanwidth, uint64_t edgescanwidth, uint32_t rows)
{
    for (uint32_t i = 1; i < rows; i++)
        std::memmove(buffer + edgescanwidth * i, buffer + scanwidth * i, edgescanwidth);
}

// --- Stored JPEG data -----------------------------------------------------

inline uint16_t be16(const unsigned char *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Appends the strip `no` of a JPEG-compressed TIFF to one JPEG stream. Each
// strip is a JPEG image of its own; joined, the first strip gives the frame
// header (with the height of the whole image and a restart interval of one
// strip) and every later strip only its entropy-coded data behind a restart
// marker, so that the reader resets its predictors where a strip began.
int t2p_process_jpeg_strip(const unsigned char *strip, uint64_t striplength, unsigned char *buffer,
                           uint64_t buffersize, uint64_t *bufferoffset, tstrip_t no, uint32_t height)
{
    uint64_t i = 0;
    auto room = [&](uint64_t n) { return *bufferoffset + n <= buffersize; };
    while (i < striplength) {
        if (strip[i] != 0xff)
            return 0;
        while (i < striplength && strip[i] == 0xff)
            i++;
        if (i >= striplength)
            return 0;
        const unsigned char marker = strip[i];
        if (marker == 0xd8 || (marker >= 0xd0 && marker <= 0xd7)) {  // SOI, RSTn: no length
            i++;
            continue;
        }
        if (striplength - i < 3)
            return 0;
        const uint64_t datalen = be16(strip + i + 1);
        if (datalen < 2 || datalen >= striplength - i)
            return 0;
        const unsigned char *segment = strip + i - 1;  // from the 0xff
        switch (marker) {
        case 0xc0: case 0xc1: case 0xc2: case 0xc3:
        case 0xc5: case 0xc6: case 0xc7:
        case 0xc9: case 0xca: case 0xcb:
        case 0xcd: case 0xce: case 0xcf:
            if (no == 0) {
                if (datalen < 8 || !room(datalen + 2 + 6))
                    return 0;
                unsigned char *sof = buffer + *bufferoffset;
                std::memcpy(sof, segment, datalen + 2);
                const unsigned ncomp = sof[9];
                if (ncomp < 1 || ncomp > 4 || datalen < 8 + 3 * ncomp)
                    return 0;
                unsigned hsamp = 1, vsamp = 1;
                for (unsigned j = 0; j < ncomp; j++) {
                    const unsigned samp = sof[11 + 3 * j];
                    hsamp = std::max(hsamp, samp >> 4);
                    vsamp = std::max(vsamp, samp & 0x0fu);
                }
                const unsigned rows = be16(sof + 5);
                const unsigned cols = be16(sof + 7);
                const unsigned long interval = ((rows + vsamp * 8 - 1) / (vsamp * 8))
                                               * ((cols + hsamp * 8 - 1) / (hsamp * 8));
                if (interval == 0 || interval > 0xffff)
                    return 0;
                sof[5] = static_cast<unsigned char>((height >> 8) & 0xff);
                sof[6] = static_cast<unsigned char>(height & 0xff);
                *bufferoffset += datalen + 2;
                const unsigned char dri[6] = {0xff, 0xdd, 0x00, 0x04,
                                              static_cast<unsigned char>(interval >> 8),
                                              static_cast<unsigned char>(interval & 0xff)};
                std::memcpy(buffer + *bufferoffset, dri, sizeof dri);
                *bufferoffset += sizeof dri;
            }
            break;
        case 0xc4:  // DHT
        case 0xdb:  // DQT
            // Tables may only come before the scan; later strips share them.
            if (no == 0) {
                if (!room(datalen + 2))
                    return 0;
                std::memcpy(buffer + *bufferoffset, segment, datalen + 2);
                *bufferoffset += datalen + 2;
            }
            break;
        case 0xda: {  // SOS: the rest is the scan
            if (no == 0) {
                if (!room(datalen + 2))
                    return 0;
                std::memcpy(buffer + *bufferoffset, segment, datalen + 2);
                *bufferoffset += datalen + 2;
            } else {
                if (!room(2))
                    return 0;
                buffer[(*bufferoffset)++] = 0xff;
                buffer[(*bufferoffset)++] = static_cast<unsigned char>(0xd0 | ((no - 1) % 8));
            }
            i += datalen + 1;
            uint64_t rest = striplength - i;
            if (rest >= 2 && strip[striplength - 2] == 0xff && strip[striplength - 1] == 0xd9)
                rest -= 2;
            if (!room(rest))
                return 0;
            std::memcpy(buffer + *bufferoffset, strip + i, rest);
            *bufferoffset += rest;
            return 1;
        }
        default:  // DRI (replaced by ours), APPn, COM: dropped
            break;
        }
        i += datalen + 1;
    }
    return 0;  // no scan found
}

// Reads `size` bytes at `offset` of the input file.
bool readInputBytes(TIFF *input, uint64_t offset, unsigned char *dst, uint64_t size)
{
    TIFFSeekProc seek = TIFFGetSeekProc(input);
    TIFFReadWriteProc read = TIFFGetReadProc(input);
    thandle_t client = TIFFClientdata(input);
    if (!seek || !read || seek(client, offset, SEEK_SET) != offset)
        return false;
    return read(client, dst, static_cast<tmsize_t>(size)) == static_cast<tmsize_t>(size);
}

void appendMarker(std::vector<unsigned char> &out, unsigned char marker, const unsigned char *body, size_t length)
{
    out.push_back(0xff);
    out.push_back(marker);
    out.push_back(static_cast<unsigned char>((length + 2) >> 8));
    out.push_back(static_cast<unsigned char>((length + 2) & 0xff));
    out.insert(out.end(), body, body + length);
}

} // namespace

// Prepares the stream of an old-style JPEG page: the stored interchange
// stream when it holds the whole image (tables, frame and scan), else a
// stream header made from the quantisation and Huffman tables the directory
// points at, to which the strips are joined.
int t2p_process_ojpeg_tables(T2P *t2p, TIFF *input)
{
    const char *name = TIFFFileName(input);
    t2p->pdf_ojpegdata.clear();
    t2p->pdf_ojpegcomplete = false;

    uint64_t ifoffset = 0, iflength = 0;
    if (TIFFGetField(input, TIFFTAG_JPEGIFOFFSET, &ifoffset) && ifoffset != 0) {
        if (!TIFFGetField(input, TIFFTAG_JPEGIFBYTECOUNT, &iflength) || iflength == 0) {
            TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_JPEGIFBYTECOUNT", name);
            fail(t2p);
            return 0;
        }
        std::vector<unsigned char> stream;
        if (iflength <= kMaxDataSize) {
            stream.resize(iflength);
            if (!readInputBytes(input, ifoffset, stream.data(), iflength))
                stream.clear();
        }
        // Walk the segments up to the scan; a stream without one is only a
        // header for the strips.
        bool hasscan = false;
        for (size_t i = 2; stream.size() >= 4 && stream[0] == 0xff && stream[1] == 0xd8 && i + 4 <= stream.size();) {
            if (stream[i] != 0xff)
                break;
            if (stream[i + 1] == 0xda) {
                hasscan = true;
                break;
            }
            i += 2 + be16(&stream[i + 2]);
        }
        if (hasscan) {
            if (stream[stream.size() - 2] != 0xff || stream[stream.size() - 1] != 0xd9) {
                stream.push_back(0xff);
                stream.push_back(0xd9);
            }
            t2p->pdf_ojpegdata.swap(stream);
            t2p->pdf_ojpegcomplete = true;
            return 1;
        }
        TIFFWarning(TIFF2PDF_MODULE, "Input file %s has short JPEG interchange file byte count", name);
    }

    uint16_t proc = 0;
    uint32_t qcount = 0, dccount = 0, account = 0;
    const uint64_t *qoff = nullptr, *dcoff = nullptr, *acoff = nullptr;
    if (!TIFFGetField(input, TIFFTAG_JPEGPROC, &proc) || proc != JPEGPROC_BASELINE
        || !TIFFGetField(input, TIFFTAG_JPEGQTABLES, &qcount, &qoff)
        || !TIFFGetField(input, TIFFTAG_JPEGDCTABLES, &dccount, &dcoff)
        || !TIFFGetField(input, TIFFTAG_JPEGACTABLES, &account, &acoff)
        || qcount != t2p->tiff_samplesperpixel || dccount != qcount || account != qcount
        || qcount < 1 || qcount > 4 || !qoff || !dcoff || !acoff) {
        TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
        fail(t2p);
        return 0;
    }

    std::vector<unsigned char> &out = t2p->pdf_ojpegdata;
    out = {0xff, 0xd8};
    unsigned char table[1 + 16 + 256];
    for (uint32_t c = 0; c < qcount; c++) {
        table[0] = static_cast<unsigned char>(c);
        if (!readInputBytes(input, qoff[c], table + 1, 64)) {
            TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
            fail(t2p);
            return 0;
        }
        appendMarker(out, 0xdb, table, 65);
    }
    for (int ac = 0; ac < 2; ac++) {
        const uint64_t *offsets = ac ? acoff : dcoff;
        for (uint32_t c = 0; c < qcount; c++) {
            table[0] = static_cast<unsigned char>((ac << 4) | c);
            if (!readInputBytes(input, offsets[c], table + 1, 16)) {
                TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
                fail(t2p);
                return 0;
            }
            unsigned symbols = 0;
            for (int k = 1; k <= 16; k++)
                symbols += table[k];
            if (symbols > 256 || !readInputBytes(input, offsets[c] + 16, table + 17, symbols)) {
                TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
                fail(t2p);
                return 0;
            }
            appendMarker(out, 0xc4, table, 17 + symbols);
        }
    }

    uint16_t hsub = 1, vsub = 1;
    if (t2p->tiff_photometric == PHOTOMETRIC_YCBCR && qcount == 3)
        TIFFGetFieldDefaulted(input, TIFFTAG_YCBCRSUBSAMPLING, &hsub, &vsub);
    uint32_t rowsperstrip = t2p->tiff_length;
    TIFFGetFieldDefaulted(input, TIFFTAG_ROWSPERSTRIP, &rowsperstrip);
    rowsperstrip = std::min(rowsperstrip, t2p->tiff_length);

    unsigned char sof[6 + 3 * 4];
    sof[0] = 8;
    sof[1] = static_cast<unsigned char>(t2p->tiff_length >> 8);
    sof[2] = static_cast<unsigned char>(t2p->tiff_length & 0xff);
    sof[3] = static_cast<unsigned char>(t2p->tiff_width >> 8);
    sof[4] = static_cast<unsigned char>(t2p->tiff_width & 0xff);
    sof[5] = static_cast<unsigned char>(qcount);
    for (uint32_t c = 0; c < qcount; c++) {
        sof[6 + 3 * c] = static_cast<unsigned char>(c + 1);
        sof[7 + 3 * c] = c == 0 ? static_cast<unsigned char>((hsub << 4) | vsub) : 0x11;
        sof[8 + 3 * c] = static_cast<unsigned char>(c);
    }
    appendMarker(out, 0xc0, sof, 6 + 3 * qcount);

    // One restart interval per strip, as the strips are joined with restart
    // markers between them.
    const unsigned long interval = ((rowsperstrip + vsub * 8 - 1) / (vsub * 8))
                                   * ((t2p->tiff_width + hsub * 8 - 1) / (hsub * 8));
    if (TIFFNumberOfStrips(input) > 1) {
        if (interval == 0 || interval > 0xffff) {
            TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
            fail(t2p);
            return 0;
        }
        const unsigned char dri[2] = {static_cast<unsigned char>(interval >> 8),
                                      static_cast<unsigned char>(interval & 0xff)};
        appendMarker(out, 0xdd, dri, 2);
    }

    unsigned char sos[1 + 2 * 4 + 3];
    sos[0] = static_cast<unsigned char>(qcount);
    for (uint32_t c = 0; c < qcount; c++) {
        sos[1 + 2 * c] = static_cast<unsigned char>(c + 1);
        sos[2 + 2 * c] = static_cast<unsigned char>((c << 4) | c);
    }
    sos[1 + 2 * qcount] = 0;
    sos[2 + 2 * qcount] = 63;
    sos[3 + 2 * qcount] = 0;
    appendMarker(out, 0xda, sos, 4 + 2 * qcount);
    return 1;
}

// --- Context ----------------------------------------------------------------

T2P *t2p_init()
{
    T2P *t2p = new (std::nothrow) T2P();
    if (!t2p) {
        TIFFError(TIFF2PDF_MODULE, "Can't allocate %lu bytes of memory for t2p_init",
                  static_cast<unsigned long>(sizeof(T2P)));
        return nullptr;
    }
    t2p->pdf_majorversion = 1;
    t2p->pdf_minorversion = 1;
    t2p->pdf_defaultxres = 300;
    t2p->pdf_defaultyres = 300;
    t2p->pdf_defaultpagewidth = 612;
    t2p->pdf_defaultpagelength = 792;
    t2p->pdf_xrefcount = 3;  // catalog, info, pages
    t2p->tiff_maxdatasize = kMaxDataSize;
    return t2p;
}

void t2p_validate(T2P *t2p)
{
    if (t2p->pdf_defaultcompression == T2P_COMPRESS_JPEG) {
        if (t2p->pdf_defaultcompressionquality > 100 || t2p->pdf_defaultcompressionquality < 1)
            t2p->pdf_defaultcompressionquality = 0;
    }
    if (t2p->pdf_defaultcompression == T2P_COMPRESS_ZIP) {
        const uint16_t m = t2p->pdf_defaultcompressionquality % 100;
        if (t2p->pdf_defaultcompressionquality / 100 > 9 || (m > 1 && m < 10) || m > 15)
            t2p->pdf_defaultcompressionquality = 0;
        if (t2p->pdf_defaultcompressionquality % 100 != 0) {
            t2p->pdf_defaultcompressionquality = t2p->pdf_defaultcompressionquality / 100 * 100;
            TIFFError(TIFF2PDF_MODULE, "PNG Group predictor differencing not implemented, assuming compression quality %u",
                      static_cast<unsigned>(t2p->pdf_defaultcompressionquality));
        }
        if (t2p->pdf_minorversion < 2)
            t2p->pdf_minorversion = 2;
    }
}

void t2p_free(T2P *t2p)
{
    delete t2p;
}

// --- Page list ----------------------------------------------------------------

void t2p_read_tiff_init(T2P *t2p, TIFF *input)
{
    const char *name = TIFFFileName(input);
    t2p->tiff_filename = name;
    const tdir_t directorycount = TIFFNumberOfDirectories(input);
    if (directorycount > 65534) {
        TIFFError(TIFF2PDF_MODULE, "TIFF contains too many directories, %s", name);
        fail(t2p);
        return;
    }
    try {
        t2p->tiff_pages.assign(directorycount, T2P_PAGE());
        t2p->tiff_tiles.assign(directorycount, T2P_TILES());
    } catch (const std::bad_alloc &) {
        TIFFError(TIFF2PDF_MODULE, "Can't allocate %zu bytes of memory for tiff_pages array, %s",
                  size_t(directorycount) * sizeof(T2P_PAGE), name);
        fail(t2p);
        return;
    }
    t2p->tiff_pagecount = 0;

    for (tdir_t i = 0; i < directorycount; i++) {
        if (!TIFFSetDirectory(input, i)) {
            TIFFError(TIFF2PDF_MODULE, "Can't set directory %u of input file %s", static_cast<unsigned>(i), name);
            fail(t2p);
            return;
        }
        T2P_PAGE &page = t2p->tiff_pages[t2p->tiff_pagecount];
        if (!t2p_directory_is_page(input, t2p->tiff_pagecount, &page.page_number))
            continue;
        page.page_directory = i;
        if (TIFFIsTiled(input))
            page.page_tilecount = TIFFNumberOfTiles(input);
        t2p->tiff_pagecount++;
    }
    // Masks and reduced-resolution images alone would make a document
    // without a page, which no reader shows.
    if (t2p->tiff_pagecount == 0) {
        TIFFError(TIFF2PDF_MODULE, "Input file %s has no pages", name);
        fail(t2p);
        return;
    }

    std::stable_sort(t2p->tiff_pages.begin(), t2p->tiff_pages.begin() + t2p->tiff_pagecount,
                     [](const T2P_PAGE &a, const T2P_PAGE &b) {
                         if (a.page_number != b.page_number)
                             return a.page_number < b.page_number;
                         return a.page_directory < b.page_directory;
                     });

    for (uint32_t i = 0; i < t2p->tiff_pagecount; i++) {
        if (!t2p_read_tiff_page_init(t2p, input, i))
            return;
        const T2P_PAGE &page = t2p->tiff_pages[i];
        const ttile_t tiles = t2p->tiff_tiles[i].tiles_tilecount;
        t2p->pdf_xrefcount += 5 + page.page_extra + (tiles > 0 ? (tiles - 1) * 2 : 0);
    }
}

bool t2p_directory_is_page(TIFF *input, uint32_t position, uint32_t *number)
{
    uint16_t pagen = 0, paged = 0;
    uint32_t subfiletype = 0;
    uint16_t osubfiletype = 0;
    if (TIFFGetField(input, TIFFTAG_PAGENUMBER, &pagen, &paged)) {
        *number = (pagen > paged && paged != 0) ? paged : pagen;
        return true;
    }
    bool ispage = true;
    if (TIFFGetField(input, TIFFTAG_SUBFILETYPE, &subfiletype))
        ispage = (subfiletype & FILETYPE_PAGE) != 0 || subfiletype == 0;
    else if (TIFFGetField(input, TIFFTAG_OSUBFILETYPE, &osubfiletype))
        ispage = osubfiletype != OFILETYPE_REDUCEDIMAGE && osubfiletype <= OFILETYPE_PAGE;
    *number = position;
    return ispage;
}

bool t2p_read_tiff_page_init(T2P *t2p, TIFF *input, uint32_t i)
{
    const char *name = TIFFFileName(input);
    T2P_PAGE &page = t2p->tiff_pages[i];
    T2P_TILES &tiles = t2p->tiff_tiles[i];
    if (!TIFFSetDirectory(input, page.page_directory)) {
        TIFFError(TIFF2PDF_MODULE, "Can't set directory %u of input file %s",
                  static_cast<unsigned>(page.page_directory), name);
        fail(t2p);
        return false;
    }
    uint16_t xuint16 = 0;
    // With JPEG as the default compression a palette page is expanded to
    // colour samples, so it gets no palette object.
    if (((TIFFGetField(input, TIFFTAG_PHOTOMETRIC, &xuint16) && xuint16 == PHOTOMETRIC_PALETTE)
         || TIFFGetField(input, TIFFTAG_INDEXED, &xuint16))
        && t2p->pdf_defaultcompression != T2P_COMPRESS_JPEG) {
        page.page_extra++;
    }
    if (TIFFGetField(input, TIFFTAG_COMPRESSION, &xuint16)
        && (xuint16 == COMPRESSION_DEFLATE || xuint16 == COMPRESSION_ADOBE_DEFLATE)
        && (page.page_tilecount != 0 || TIFFNumberOfStrips(input) == 1) && !t2p->pdf_nopassthrough) {
        if (t2p->pdf_minorversion < 2)
            t2p->pdf_minorversion = 2;
    }
    if (readTransferFunction(input, t2p->tiff_transferfunction, t2p->tiff_transferfunctioncount)) {
        if (!t2p->tiff_havetransfer) {
            t2p->tiff_havetransfer = true;
            for (int c = 0; c < 3; c++)
                t2p->tiff_firsttransfer[c] = t2p->tiff_transferfunction[c];
        } else {
            for (int c = 0; c < 3; c++) {
                if (t2p->tiff_firsttransfer[c] != t2p->tiff_transferfunction[c]) {
                    TIFFError(TIFF2PDF_MODULE, "Different transfer function on page %u", i);
                    fail(t2p);
                    return false;
                }
            }
        }
        const uint32_t objects = t2p->tiff_transferfunctioncount == 3 ? 4 : 2;
        page.page_extra += objects;
        if (t2p->pdf_minorversion < 2)
            t2p->pdf_minorversion = 2;
    }
    uint32_t icclength = 0;
    void *icc = nullptr;
    if (TIFFGetField(input, TIFFTAG_ICCPROFILE, &icclength, &icc) != 0) {
        page.page_extra++;
        if (t2p->pdf_minorversion < 3)
            t2p->pdf_minorversion = 3;
    }
    tiles.tiles_tilecount = page.page_tilecount;
    if (TIFFGetField(input, TIFFTAG_PLANARCONFIG, &xuint16) != 0 && xuint16 == PLANARCONFIG_SEPARATE) {
        if (!TIFFGetField(input, TIFFTAG_SAMPLESPERPIXEL, &xuint16)) {
            TIFFError(TIFF2PDF_MODULE, "Missing SamplesPerPixel, %s", name);
            fail(t2p);
            return false;
        }
        if (xuint16 == 0 || tiles.tiles_tilecount % xuint16 != 0) {
            TIFFError(TIFF2PDF_MODULE, "Invalid tile count, %s", name);
            fail(t2p);
            return false;
        }
        tiles.tiles_tilecount /= xuint16;
    }
    if (tiles.tiles_tilecount > 0) {
        TIFFGetField(input, TIFFTAG_TILEWIDTH, &tiles.tiles_tilewidth);
        TIFFGetField(input, TIFFTAG_TILELENGTH, &tiles.tiles_tilelength);
        try {
            tiles.tiles_tiles.assign(tiles.tiles_tilecount, T2P_TILE());
        } catch (const std::bad_alloc &) {
            TIFFError(TIFF2PDF_MODULE, "Can't allocate %zu bytes of memory for tiff_tiles array, %s",
                      size_t(tiles.tiles_tilecount) * sizeof(T2P_TILE), name);
            fail(t2p);
            return false;
        }
    }
    return true;
}

// --- Page analysis --------------------------------------------------------------

void t2p_read_tiff_data(T2P *t2p, TIFF *input)
{
    const char *name = TIFFFileName(input);

    t2p->pdf_transcode = T2P_TRANSCODE_ENCODE;
    t2p->pdf_sample = T2P_SAMPLE_NOTHING;
    t2p->pdf_switchdecode = t2p->pdf_colorspace_invert;
    t2p->pdf_colorspace = 0;
    t2p->pdf_palette.clear();
    t2p->pdf_palettesize = 0;
    t2p->pdf_tilefull = false;
    t2p->pdf_ojpegdata.clear();
    t2p->tiff_iccprofile = nullptr;
    t2p->tiff_iccprofilelength = 0;
    t2p->tiff_hasprimaries = false;

    if (!TIFFSetDirectory(input, t2p->tiff_pages[t2p->pdf_page].page_directory)) {
        TIFFError(TIFF2PDF_MODULE, "Can't set directory %u of input file %s",
                  static_cast<unsigned>(t2p->tiff_pages[t2p->pdf_page].page_directory), name);
        fail(t2p);
        return;
    }

    t2p->tiff_width = 0;
    TIFFGetField(input, TIFFTAG_IMAGEWIDTH, &t2p->tiff_width);
    if (t2p->tiff_width == 0) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with zero width", name);
        fail(t2p);
        return;
    }
    t2p->tiff_length = 0;
    TIFFGetField(input, TIFFTAG_IMAGELENGTH, &t2p->tiff_length);
    if (t2p->tiff_length == 0) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with zero length", name);
        fail(t2p);
        return;
    }
    if (TIFFGetField(input, TIFFTAG_COMPRESSION, &t2p->tiff_compression) == 0) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with no compression tag", name);
        fail(t2p);
        return;
    }
    if (TIFFIsCODECConfigured(t2p->tiff_compression) == 0) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with compression type %u:  not configured", name,
                  static_cast<unsigned>(t2p->tiff_compression));
        fail(t2p);
        return;
    }

    TIFFGetFieldDefaulted(input, TIFFTAG_BITSPERSAMPLE, &t2p->tiff_bitspersample);
    switch (t2p->tiff_bitspersample) {
    case 1: case 2: case 4: case 8: case 16:
        break;
    case 0:
        TIFFWarning(TIFF2PDF_MODULE, "Image %s has 0 bits per sample, assuming 1", name);
        t2p->tiff_bitspersample = 1;
        break;
    default:
        TIFFError(TIFF2PDF_MODULE, "No support for %s with %u bits per sample", name,
                  static_cast<unsigned>(t2p->tiff_bitspersample));
        fail(t2p);
        return;
    }

    TIFFGetFieldDefaulted(input, TIFFTAG_SAMPLESPERPIXEL, &t2p->tiff_samplesperpixel);
    if (t2p->tiff_samplesperpixel > 4) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with %u samples per pixel", name,
                  static_cast<unsigned>(t2p->tiff_samplesperpixel));
        fail(t2p);
        return;
    }
    if (t2p->tiff_samplesperpixel == 0) {
        TIFFWarning(TIFF2PDF_MODULE, "Image %s has 0 samples per pixel, assuming 1", name);
        t2p->tiff_samplesperpixel = 1;
    }

    uint16_t xuint16 = 0;
    if (TIFFGetField(input, TIFFTAG_SAMPLEFORMAT, &xuint16) != 0) {
        switch (xuint16) {
        case 0:
        case SAMPLEFORMAT_UINT:
        case SAMPLEFORMAT_VOID:
            break;
        default:
            TIFFError(TIFF2PDF_MODULE, "No support for %s with sample format %u", name, static_cast<unsigned>(xuint16));
            fail(t2p);
            return;
        }
    }

    TIFFGetFieldDefaulted(input, TIFFTAG_FILLORDER, &t2p->tiff_fillorder);

    if (TIFFGetField(input, TIFFTAG_PHOTOMETRIC, &t2p->tiff_photometric) == 0) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with no photometric interpretation tag", name);
        fail(t2p);
        return;
    }

    uint16_t *r = nullptr, *g = nullptr, *b = nullptr, *a = nullptr;
    uint16_t *extras = nullptr;
    bool palette = false, palettecmyk = false;
    switch (t2p->tiff_photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        t2p->pdf_colorspace = t2p->tiff_bitspersample == 1 ? T2P_CS_BILEVEL : T2P_CS_GRAY;
        if (t2p->tiff_photometric == PHOTOMETRIC_MINISWHITE)
            t2p->pdf_switchdecode ^= 1;
        break;
    case PHOTOMETRIC_RGB:
        t2p->pdf_colorspace = T2P_CS_RGB;
        if (t2p->tiff_samplesperpixel == 3)
            break;
        if (t2p->tiff_samplesperpixel == 4) {
            if (TIFFGetField(input, TIFFTAG_EXTRASAMPLES, &xuint16, &extras) && xuint16 == 1) {
                const bool alpha = extras[0] == EXTRASAMPLE_ASSOCALPHA || extras[0] == EXTRASAMPLE_UNASSALPHA;
                if (!alpha)
                    TIFFWarning(TIFF2PDF_MODULE, "RGB image %s has 4 samples per pixel, assuming RGBA", name);
                if (t2p->tiff_bitspersample != 8) {
                    TIFFError(TIFF2PDF_MODULE, "No support for BitsPerSample=%u for RGBA",
                              static_cast<unsigned>(t2p->tiff_bitspersample));
                    fail(t2p);
                    return;
                }
                // An extra sample of unknown meaning is dropped like an
                // associated alpha; only unassociated alpha weighs the colours.
                t2p->pdf_sample = extras[0] == EXTRASAMPLE_UNASSALPHA ? T2P_SAMPLE_RGBA_TO_RGB
                                                                      : T2P_SAMPLE_RGBAA_TO_RGB;
                break;
            }
            t2p->pdf_colorspace = T2P_CS_CMYK;
            t2p->pdf_switchdecode ^= 1;
            TIFFWarning(TIFF2PDF_MODULE, "RGB image %s has 4 samples per pixel, assuming inverse CMYK", name);
            break;
        }
        TIFFError(TIFF2PDF_MODULE, "No support for RGB image %s with %u samples per pixel", name,
                  static_cast<unsigned>(t2p->tiff_samplesperpixel));
        fail(t2p);
        return;
    case PHOTOMETRIC_PALETTE:
        palette = true;
        break;
    case PHOTOMETRIC_SEPARATED:
        if (TIFFGetField(input, TIFFTAG_INDEXED, &xuint16) && xuint16 == 1) {
            palettecmyk = true;
            break;
        }
        t2p->tiff_inkset = INKSET_CMYK;
        TIFFGetField(input, TIFFTAG_INKSET, &t2p->tiff_inkset);
        if (t2p->tiff_inkset != INKSET_CMYK) {
            TIFFError(TIFF2PDF_MODULE, "No support for %s because its inkset is not CMYK", name);
            fail(t2p);
            return;
        }
        if (t2p->tiff_samplesperpixel != 4) {
            TIFFError(TIFF2PDF_MODULE, "No support for %s because it has %u samples per pixel", name,
                      static_cast<unsigned>(t2p->tiff_samplesperpixel));
            fail(t2p);
            return;
        }
        t2p->pdf_colorspace = T2P_CS_CMYK;
        break;
    case PHOTOMETRIC_YCBCR:
        t2p->pdf_colorspace = T2P_CS_RGB;
        if (t2p->tiff_samplesperpixel == 1) {
            t2p->pdf_colorspace = T2P_CS_GRAY;
            t2p->tiff_photometric = PHOTOMETRIC_MINISBLACK;
            break;
        }
        // The JPEG encoder takes YCbCr data as it is.
        if (t2p->pdf_defaultcompression != T2P_COMPRESS_JPEG)
            t2p->pdf_sample = T2P_SAMPLE_YCBCR_TO_RGB;
        break;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: {
        const char *which = t2p->tiff_photometric == PHOTOMETRIC_CIELAB  ? "CIELAB"
                            : t2p->tiff_photometric == PHOTOMETRIC_ICCLAB ? "ICCLAB"
                                                                          : "ITULAB";
        if (t2p->tiff_samplesperpixel != 3) {
            TIFFError(TIFF2PDF_MODULE, "Unsupported samplesperpixel = %u for %s",
                      static_cast<unsigned>(t2p->tiff_samplesperpixel), which);
            fail(t2p);
            return;
        }
        if (t2p->tiff_bitspersample != 8) {
            TIFFError(TIFF2PDF_MODULE, "Invalid bitspersample = %u for %s",
                      static_cast<unsigned>(t2p->tiff_bitspersample), which);
            fail(t2p);
            return;
        }
        static const int ranges[3][4] = {{-127, 127, -127, 127}, {0, 255, 0, 255}, {-85, 85, -75, 124}};
        const int k = t2p->tiff_photometric == PHOTOMETRIC_CIELAB ? 0 : t2p->tiff_photometric == PHOTOMETRIC_ICCLAB ? 1 : 2;
        std::copy(ranges[k], ranges[k] + 4, t2p->pdf_labrange);
        if (k != 1)
            t2p->pdf_sample = T2P_SAMPLE_LAB_SIGNED_TO_UNSIGNED;
        t2p->pdf_colorspace = T2P_CS_LAB;
        break;
    }
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV:
        TIFFError(TIFF2PDF_MODULE, "No support for %s with photometric interpretation LogL/LogLuv", name);
        fail(t2p);
        return;
    default:
        TIFFError(TIFF2PDF_MODULE, "No support for %s with photometric interpretation %u", name,
                  static_cast<unsigned>(t2p->tiff_photometric));
        fail(t2p);
        return;
    }

    if (palette || palettecmyk) {
        if (t2p->tiff_samplesperpixel != 1) {
            TIFFError(TIFF2PDF_MODULE,
                      palette ? "No support for palettized image %s with not one sample per pixel"
                              : "No support for palettized CMYK image %s with not one sample per pixel",
                      name);
            fail(t2p);
            return;
        }
        const uint32_t components = palette ? 3 : 4;
        t2p->pdf_colorspace = (palette ? T2P_CS_RGB : T2P_CS_CMYK) | T2P_CS_PALETTE;
        const uint32_t entries = 1u << t2p->tiff_bitspersample;
        const bool got = palette ? TIFFGetField(input, TIFFTAG_COLORMAP, &r, &g, &b)
                                 : TIFFGetField(input, TIFFTAG_COLORMAP, &r, &g, &b, &a);
        if (!got) {
            TIFFError(TIFF2PDF_MODULE, "Palettized image %s has no color map", name);
            fail(t2p);
            return;
        }
        if (!r || !g || !b || (!palette && !a)) {
            TIFFError(TIFF2PDF_MODULE, palette ? "Error getting 3 components from color map"
                                               : "Error getting 4 components from color map");
            fail(t2p);
            return;
        }
        t2p->pdf_palette.resize(size_t(entries) * components);
        for (uint32_t i = 0; i < entries; i++) {
            unsigned char *entry = &t2p->pdf_palette[size_t(i) * components];
            entry[0] = static_cast<unsigned char>(r[i] >> 8);
            entry[1] = static_cast<unsigned char>(g[i] >> 8);
            entry[2] = static_cast<unsigned char>(b[i] >> 8);
            if (!palette)
                entry[3] = static_cast<unsigned char>(a[i] >> 8);
        }
        t2p->pdf_palettesize = entries * components;
    }

    t2p->tiff_planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(input, TIFFTAG_PLANARCONFIG, &t2p->tiff_planar);
    switch (t2p->tiff_planar) {
    case 0:
        TIFFWarning(TIFF2PDF_MODULE, "Image %s has planar configuration 0, assuming 1", name);
        t2p->tiff_planar = PLANARCONFIG_CONTIG;
        break;
    case PLANARCONFIG_CONTIG:
        break;
    case PLANARCONFIG_SEPARATE:
        if (t2p->tiff_bitspersample != 8) {
            TIFFError(TIFF2PDF_MODULE, "No support for %s with separated planar configuration and %u bits per sample",
                      name, static_cast<unsigned>(t2p->tiff_bitspersample));
            fail(t2p);
            return;
        }
        if (t2p->tiff_samplesperpixel > 1)
            t2p->pdf_sample |= T2P_SAMPLE_PLANAR_SEPARATE_TO_CONTIG;
        break;
    default:
        TIFFError(TIFF2PDF_MODULE, "No support for %s with planar configuration %u", name,
                  static_cast<unsigned>(t2p->tiff_planar));
        fail(t2p);
        return;
    }

    TIFFGetFieldDefaulted(input, TIFFTAG_ORIENTATION, &t2p->tiff_orientation);
    if (t2p->tiff_orientation > 8) {
        TIFFWarning(TIFF2PDF_MODULE, "Image %s has orientation %u, assuming 0", name,
                    static_cast<unsigned>(t2p->tiff_orientation));
        t2p->tiff_orientation = 0;
    }

    if (TIFFGetField(input, TIFFTAG_XRESOLUTION, &t2p->tiff_xres) == 0)
        t2p->tiff_xres = 0;
    if (TIFFGetField(input, TIFFTAG_YRESOLUTION, &t2p->tiff_yres) == 0)
        t2p->tiff_yres = 0;
    TIFFGetFieldDefaulted(input, TIFFTAG_RESOLUTIONUNIT, &t2p->tiff_resunit);
    if (t2p->tiff_resunit == RESUNIT_CENTIMETER) {
        t2p->tiff_xres *= 2.54F;
        t2p->tiff_yres *= 2.54F;
    } else if (t2p->tiff_resunit != RESUNIT_INCH && t2p->pdf_centimeters) {
        t2p->tiff_xres *= 2.54F;
        t2p->tiff_yres *= 2.54F;
        t2p->tiff_resunit = RESUNIT_CENTIMETER;
    }

    // Compression: pass the stored data through where PDF can read it as it
    // is, otherwise decode and encode again.
    const bool tiled = TIFFIsTiled(input) != 0;
    const bool onestrip = !tiled && TIFFNumberOfStrips(input) == 1;
    t2p->tiff_predictor = 1;
    t2p->pdf_compressionquality = t2p->pdf_defaultcompressionquality;
    if (!t2p->pdf_nopassthrough && t2p->tiff_planar != PLANARCONFIG_SEPARATE) {
        switch (t2p->tiff_compression) {
        case COMPRESSION_CCITTFAX4:
            if (tiled || onestrip) {
                t2p->pdf_transcode = T2P_TRANSCODE_RAW;
                t2p->pdf_compression = T2P_COMPRESS_G4;
            }
            break;
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
            TIFFGetFieldDefaulted(input, TIFFTAG_PREDICTOR, &t2p->tiff_predictor);
            // PDF knows the horizontal differencing predictor, not the
            // floating point one.
            if ((tiled || onestrip) && t2p->tiff_predictor <= PREDICTOR_HORIZONTAL) {
                t2p->pdf_transcode = T2P_TRANSCODE_RAW;
                t2p->pdf_compression = T2P_COMPRESS_ZIP;
                t2p->pdf_compressionquality = t2p->tiff_predictor == PREDICTOR_HORIZONTAL ? 2 : 0;
            }
            break;
        case COMPRESSION_OJPEG:
            if (!tiled) {
                t2p->pdf_transcode = T2P_TRANSCODE_RAW;
                t2p->pdf_compression = T2P_COMPRESS_JPEG;
            }
            break;
        case COMPRESSION_JPEG:
            t2p->pdf_transcode = T2P_TRANSCODE_RAW;
            t2p->pdf_compression = T2P_COMPRESS_JPEG;
            break;
        default:
            break;
        }
    }
    if (t2p->pdf_transcode != T2P_TRANSCODE_RAW)
        t2p->pdf_compression = t2p->pdf_defaultcompression;

    if (t2p->pdf_defaultcompression == T2P_COMPRESS_JPEG && (t2p->pdf_colorspace & T2P_CS_PALETTE)) {
        t2p->pdf_sample |= T2P_SAMPLE_REALIZE_PALETTE;
        t2p->pdf_colorspace ^= T2P_CS_PALETTE;
    }
    if (t2p->tiff_compression == COMPRESSION_JPEG && t2p->tiff_planar == PLANARCONFIG_SEPARATE) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with JPEG compression and separated planar configuration", name);
        fail(t2p);
        return;
    }
    if (t2p->tiff_compression == COMPRESSION_OJPEG && t2p->tiff_planar == PLANARCONFIG_SEPARATE) {
        TIFFError(TIFF2PDF_MODULE, "No support for %s with OJPEG compression and separated planar configuration", name);
        fail(t2p);
        return;
    }

    if (t2p->tiff_bitspersample == 16) {
        if (t2p->tiff_photometric == PHOTOMETRIC_PALETTE || t2p->tiff_photometric == PHOTOMETRIC_YCBCR) {
            TIFFError(TIFF2PDF_MODULE, "No support for %s with %u bits per sample", name, 16u);
            fail(t2p);
            return;
        }
        t2p->pdf_sample |= T2P_SAMPLE_REDUCE_16_TO_8;
    }

    // Stored data can only be copied when its samples need no conversion,
    // and bilevel pages always go out as Group 4.
    const bool bilevel = t2p->tiff_bitspersample == 1 && t2p->tiff_samplesperpixel == 1
                         && !(t2p->pdf_sample & T2P_SAMPLE_REALIZE_PALETTE);
    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW
        && (t2p->pdf_sample != T2P_SAMPLE_NOTHING || (bilevel && t2p->pdf_compression != T2P_COMPRESS_G4))) {
        t2p->pdf_transcode = T2P_TRANSCODE_ENCODE;
        t2p->pdf_compression = t2p->pdf_defaultcompression;
        t2p->pdf_compressionquality = t2p->pdf_defaultcompressionquality;
    }
    if (bilevel)
        t2p->pdf_compression = T2P_COMPRESS_G4;
    if (t2p->pdf_transcode == T2P_TRANSCODE_ENCODE && t2p->pdf_compression == T2P_COMPRESS_JPEG
        && t2p->tiff_bitspersample < 8)
        t2p->pdf_sample |= T2P_SAMPLE_EXPAND_TO_8BIT;
    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW && t2p->tiff_compression == COMPRESSION_OJPEG
        && !t2p_process_ojpeg_tables(t2p, input))
        return;
    // A stored JPEG tile can't be cut at the image edge; it is drawn whole
    // and the part beyond the edge falls outside the page.
    t2p->pdf_tilefull = tiled && t2p->pdf_transcode == T2P_TRANSCODE_RAW && t2p->pdf_compression == T2P_COMPRESS_JPEG;

    t2p->pdf_bitspersample = (t2p->pdf_sample & (T2P_SAMPLE_EXPAND_TO_8BIT | T2P_SAMPLE_REDUCE_16_TO_8))
                                 ? 8 : t2p->tiff_bitspersample;
    t2p->pdf_samplesperpixel = t2p->tiff_samplesperpixel;
    t2p->pdf_photometric = t2p->tiff_photometric;
    if (t2p->pdf_sample & T2P_SAMPLE_REALIZE_PALETTE) {
        const bool cmyk = (t2p->pdf_colorspace & T2P_CS_CMYK) != 0;
        t2p->pdf_samplesperpixel = cmyk ? 4 : 3;
        t2p->pdf_photometric = cmyk ? PHOTOMETRIC_SEPARATED : PHOTOMETRIC_RGB;
    }
    if (t2p->pdf_sample & (T2P_SAMPLE_RGBA_TO_RGB | T2P_SAMPLE_RGBAA_TO_RGB | T2P_SAMPLE_YCBCR_TO_RGB)) {
        t2p->pdf_samplesperpixel = 3;
        t2p->pdf_photometric = PHOTOMETRIC_RGB;
    }

    t2p_compose_pdf_page(t2p);
    if (t2p->t2p_error != T2P_ERR_OK)
        return;

    readTransferFunction(input, t2p->tiff_transferfunction, t2p->tiff_transferfunctioncount);

    float *xfloatp = nullptr;
    const bool haswhite = TIFFGetField(input, TIFFTAG_WHITEPOINT, &xfloatp) != 0 && xfloatp;
    if (haswhite) {
        t2p->tiff_whitechromaticities[0] = xfloatp[0];
        t2p->tiff_whitechromaticities[1] = xfloatp[1];
    }
    xfloatp = nullptr;
    t2p->tiff_hasprimaries = TIFFGetField(input, TIFFTAG_PRIMARYCHROMATICITIES, &xfloatp) != 0 && xfloatp;
    if (t2p->tiff_hasprimaries)
        std::copy(xfloatp, xfloatp + 6, t2p->tiff_primarychromaticities);
    if (haswhite && (t2p->pdf_colorspace & T2P_CS_GRAY))
        t2p->pdf_colorspace |= T2P_CS_CALGRAY;
    if ((haswhite || t2p->tiff_hasprimaries) && (t2p->pdf_colorspace & T2P_CS_RGB)) {
        t2p->pdf_colorspace |= T2P_CS_CALRGB;
        // A calibrated space needs both; the one missing is the usual one.
        if (!haswhite) {
            t2p->tiff_whitechromaticities[0] = 0.3127F;
            t2p->tiff_whitechromaticities[1] = 0.3290F;
        }
        if (!t2p->tiff_hasprimaries) {
            static const float rec709[6] = {0.64F, 0.33F, 0.30F, 0.60F, 0.15F, 0.06F};
            std::copy(rec709, rec709 + 6, t2p->tiff_primarychromaticities);
        }
    }
    if ((t2p->pdf_colorspace & T2P_CS_LAB) && !haswhite) {
        t2p->tiff_whitechromaticities[0] = 0.3457F;  // D50
        t2p->tiff_whitechromaticities[1] = 0.3585F;
    }
    uint32_t icclength = 0;
    void *icc = nullptr;
    if (TIFFGetField(input, TIFFTAG_ICCPROFILE, &icclength, &icc) != 0 && icc) {
        t2p->tiff_iccprofilelength = icclength;
        t2p->tiff_iccprofile = icc;
        t2p->pdf_colorspace |= T2P_CS_ICCBASED;
    }
}

// --- Geometry -----------------------------------------------------------------------

int t2p_tile_is_right_edge(const T2P_TILES &tiles, ttile_t tile)
{
    return tiles.tiles_tilecountx != 0 && (tile + 1) % tiles.tiles_tilecountx == 0
           && tiles.tiles_edgetilewidth != tiles.tiles_tilewidth;
}

int t2p_tile_is_bottom_edge(const T2P_TILES &tiles, ttile_t tile)
{
    return tiles.tiles_tilecountx != 0 && tile / tiles.tiles_tilecountx + 1 == tiles.tiles_tilecounty
           && tiles.tiles_edgetilelength != tiles.tiles_tilelength;
}

uint32_t t2p_tile_width(const T2P *t2p, ttile_t tile)
{
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    if (!t2p->pdf_tilefull && t2p_tile_is_right_edge(tiles, tile))
        return tiles.tiles_edgetilewidth;
    return tiles.tiles_tilewidth;
}

uint32_t t2p_tile_length(const T2P *t2p, ttile_t tile)
{
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    if (!t2p->pdf_tilefull && t2p_tile_is_bottom_edge(tiles, tile))
        return tiles.tiles_edgetilelength;
    return tiles.tiles_tilelength;
}

void t2p_compose_pdf_page(T2P *t2p)
{
    t2p->pdf_xres = t2p->tiff_xres;
    t2p->pdf_yres = t2p->tiff_yres;
    if (t2p->pdf_overrideres) {
        t2p->pdf_xres = t2p->pdf_defaultxres;
        t2p->pdf_yres = t2p->pdf_defaultyres;
    }
    if (t2p->pdf_xres == 0.0)
        t2p->pdf_xres = t2p->pdf_defaultxres;
    if (t2p->pdf_yres == 0.0)
        t2p->pdf_yres = t2p->pdf_defaultyres;

    if (t2p->pdf_image_fillpage && t2p->pdf_overridepagesize) {
        const double ratio = std::min(t2p->pdf_defaultpagewidth / t2p->tiff_width,
                                      t2p->pdf_defaultpagelength / t2p->tiff_length);
        t2p->pdf_imagewidth = t2p->tiff_width * ratio;
        t2p->pdf_imagelength = t2p->tiff_length * ratio;
    } else if (t2p->tiff_resunit != RESUNIT_CENTIMETER && t2p->tiff_resunit != RESUNIT_INCH) {
        t2p->pdf_imagewidth = t2p->tiff_width / t2p->pdf_xres;
        t2p->pdf_imagelength = t2p->tiff_length / t2p->pdf_yres;
    } else {
        t2p->pdf_imagewidth = t2p->tiff_width * 72.0 / t2p->pdf_xres;
        t2p->pdf_imagelength = t2p->tiff_length * 72.0 / t2p->pdf_yres;
    }
    if (t2p->pdf_overridepagesize) {
        t2p->pdf_pagewidth = t2p->pdf_defaultpagewidth;
        t2p->pdf_pagelength = t2p->pdf_defaultpagelength;
    } else {
        t2p->pdf_pagewidth = t2p->pdf_imagewidth;
        t2p->pdf_pagelength = t2p->pdf_imagelength;
    }
    t2p->pdf_mediabox = T2P_BOX();
    t2p->pdf_mediabox.x2 = t2p->pdf_pagewidth;
    t2p->pdf_mediabox.y2 = t2p->pdf_pagelength;
    t2p->pdf_imagebox = T2P_BOX();
    t2p->pdf_imagebox.x1 = (t2p->pdf_pagewidth - t2p->pdf_imagewidth) / 2;
    t2p->pdf_imagebox.y1 = (t2p->pdf_pagelength - t2p->pdf_imagelength) / 2;
    t2p->pdf_imagebox.x2 = t2p->pdf_imagebox.x1 + t2p->pdf_imagewidth;
    t2p->pdf_imagebox.y2 = t2p->pdf_imagebox.y1 + t2p->pdf_imagelength;
    if (t2p->tiff_orientation > 4)
        std::swap(t2p->pdf_mediabox.x2, t2p->pdf_mediabox.y2);

    t2p_compose_pdf_page_orient(&t2p->pdf_imagebox, t2p->tiff_orientation);

    T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    if (tiles.tiles_tilecount == 0)
        return;

    const uint32_t tilewidth = tiles.tiles_tilewidth;
    const uint32_t tilelength = tiles.tiles_tilelength;
    if (tilewidth == 0 || tilelength == 0 || tilewidth > INT_MAX || tilelength > INT_MAX
        || t2p->tiff_width > INT_MAX - tilewidth || t2p->tiff_length > INT_MAX - tilelength) {
        TIFFError(TIFF2PDF_MODULE, "Integer overflow");
        fail(t2p);
        return;
    }
    tiles.tiles_tilecountx = (t2p->tiff_width + tilewidth - 1) / tilewidth;
    tiles.tiles_tilecounty = (t2p->tiff_length + tilelength - 1) / tilelength;
    tiles.tiles_edgetilewidth = t2p->tiff_width - (tiles.tiles_tilecountx - 1) * tilewidth;
    tiles.tiles_edgetilelength = t2p->tiff_length - (tiles.tiles_tilecounty - 1) * tilelength;
    if (uint64_t(tiles.tiles_tilecountx) * tiles.tiles_tilecounty != tiles.tiles_tilecount) {
        TIFFError(TIFF2PDF_MODULE, "Invalid tile count, %s", t2p->tiff_filename.c_str());
        fail(t2p);
        return;
    }

    const T2P_BOX &image = t2p->pdf_imagebox;
    for (ttile_t k = 0; k < tiles.tiles_tilecount; k++) {
        const double px0 = double(k % tiles.tiles_tilecountx) * tilewidth;
        const double py0 = double(k / tiles.tiles_tilecountx) * tilelength;
        const double px1 = px0 + t2p_tile_width(t2p, k);
        const double py1 = py0 + t2p_tile_length(t2p, k);
        T2P_BOX &box = tiles.tiles_tiles[k].tile_box;
        box.x1 = image.x1 + t2p->pdf_imagewidth * px0 / t2p->tiff_width;
        box.x2 = image.x1 + t2p->pdf_imagewidth * px1 / t2p->tiff_width;
        box.y2 = image.y2 - t2p->pdf_imagelength * py0 / t2p->tiff_length;
        box.y1 = image.y2 - t2p->pdf_imagelength * py1 / t2p->tiff_length;
        t2p_compose_pdf_page_orient_flip(&box, &image);
    }
}

void t2p_compose_pdf_page_orient(T2P_BOX *boxp, uint16_t orientation)
{
    if (boxp->x1 > boxp->x2)
        std::swap(boxp->x1, boxp->x2);
    if (boxp->y1 > boxp->y2)
        std::swap(boxp->y1, boxp->y2);
    const double x1 = boxp->x1, y1 = boxp->y1;
    const double w = boxp->x2 - boxp->x1;
    const double h = boxp->y2 - boxp->y1;
    double *m = boxp->mat;
    m[2] = 0;
    m[5] = 0;
    m[8] = 1;
    auto set = [m](double a, double b, double c, double d, double e, double f) {
        m[0] = a;
        m[1] = b;
        m[3] = c;
        m[4] = d;
        m[6] = e;
        m[7] = f;
    };
    switch (orientation) {
    case 2: set(-w, 0, 0, h, x1 + w, y1); break;
    case 3: set(-w, 0, 0, -h, x1 + w, y1 + h); break;
    case 4: set(w, 0, 0, -h, x1, y1 + h); break;
    case 5: set(0, -w, -h, 0, x1 + h, y1 + w); break;
    case 6: set(0, -w, h, 0, x1, y1 + w); break;
    case 7: set(0, w, h, 0, x1, y1); break;
    case 8: set(0, w, -h, 0, x1 + h, y1); break;
    default: set(w, 0, 0, h, x1, y1); break;
    }
}

// Matrix of one tile: the tile's part of the image's unit square, drawn
// through the whole image's matrix, so that mirrored and turned pages put
// every tile where its pixels belong.
void t2p_compose_pdf_page_orient_flip(T2P_BOX *boxp, const T2P_BOX *imagebox)
{
    const double iw = imagebox->x2 - imagebox->x1;
    const double ih = imagebox->y2 - imagebox->y1;
    const double u1 = (boxp->x1 - imagebox->x1) / iw;
    const double v1 = (boxp->y1 - imagebox->y1) / ih;
    const double du = (boxp->x2 - boxp->x1) / iw;
    const double dv = (boxp->y2 - boxp->y1) / ih;
    const double *m = imagebox->mat;
    double *t = boxp->mat;
    t[0] = du * m[0];
    t[1] = du * m[1];
    t[2] = 0;
    t[3] = dv * m[3];
    t[4] = dv * m[4];
    t[5] = 0;
    t[6] = u1 * m[0] + v1 * m[3] + m[6];
    t[7] = u1 * m[1] + v1 * m[4] + m[7];
    t[8] = 1;
}

// --- Data sizes ------------------------------------------------------------------------

namespace {

bool jpegTables(TIFF *input, const unsigned char **tables, uint32_t *count)
{
    uint32_t n = 0;
    void *data = nullptr;
    if (TIFFGetField(input, TIFFTAG_JPEGTABLES, &n, &data) != 0 && n > 4 && data) {
        *tables = static_cast<const unsigned char *>(data);
        *count = n;
        return true;
    }
    return false;
}

// Tables stream without its end marker.
uint32_t jpegTablesLength(const unsigned char *tables, uint32_t count)
{
    if (count >= 2 && tables[count - 2] == 0xff && tables[count - 1] == 0xd9)
        return count - 2;
    return count;
}

} // namespace

void t2p_read_tiff_size(T2P *t2p, TIFF *input)
{
    const char *name = TIFFFileName(input);
    uint64_t k = 0;
    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW) {
        uint64_t *sbc = nullptr;
        if (!TIFFGetField(input, TIFFTAG_STRIPBYTECOUNTS, &sbc) || !sbc) {
            TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_STRIPBYTECOUNTS", name);
            fail(t2p);
            return;
        }
        const tstrip_t stripcount = TIFFNumberOfStrips(input);
        if (t2p->tiff_compression == COMPRESSION_OJPEG) {
            k = t2p->pdf_ojpegdata.size();
            if (!t2p->pdf_ojpegcomplete) {
                for (tstrip_t i = 0; i < stripcount; i++)
                    k = checkAdd64(k, sbc[i], t2p);
                // restart markers between strips and the end marker
                k = checkAdd64(k, 2 * uint64_t(stripcount) + 2, t2p);
            }
        } else if (t2p->tiff_compression == COMPRESSION_JPEG) {
            const unsigned char *tables = nullptr;
            uint32_t count = 0;
            k = jpegTables(input, &tables, &count) ? jpegTablesLength(tables, count) : 2;  // else an SOI
            for (tstrip_t i = 0; i < stripcount; i++)
                k = checkAdd64(k, sbc[i], t2p);  // each strip's own SOI and EOI make room for a restart marker
            k = checkAdd64(k, 2 + 6, t2p);       // EOI, and the DRI segment
        } else {
            k = sbc[0];
        }
        if (k == 0 && t2p->t2p_error == T2P_ERR_OK) {
            TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_STRIPBYTECOUNTS", name);
            fail(t2p);
        }
        t2p->tiff_datasize = k;
        return;
    }

    if (t2p->pdf_compression == T2P_COMPRESS_JPEG && t2p->tiff_photometric == PHOTOMETRIC_YCBCR) {
        k = checkMultiply64(TIFFStripSize64(input), TIFFNumberOfStrips(input), t2p);
    } else {
        k = checkMultiply64(TIFFScanlineSize64(input), t2p->tiff_length, t2p);
        if (t2p->tiff_planar == PLANARCONFIG_SEPARATE)
            k = checkMultiply64(k, t2p->tiff_samplesperpixel, t2p);
    }
    if (k == 0 && t2p->t2p_error == T2P_ERR_OK) {
        // libtiff reports 0 when its own size arithmetic overflows
        TIFFError(TIFF2PDF_MODULE, "Integer overflow");
        fail(t2p);
    }
    t2p->tiff_datasize = k;
}

void t2p_read_tiff_size_tile(T2P *t2p, TIFF *input, ttile_t tile)
{
    const char *name = TIFFFileName(input);
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    const bool edge = t2p_tile_is_right_edge(tiles, tile) || t2p_tile_is_bottom_edge(tiles, tile);
    uint64_t k = 0;
    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW && (!edge || t2p->pdf_tilefull)) {
        uint64_t *tbc = nullptr;
        if (!TIFFGetField(input, TIFFTAG_TILEBYTECOUNTS, &tbc) || !tbc) {
            TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_TILEBYTECOUNTS", name);
            fail(t2p);
            return;
        }
        k = tbc[tile];
        if (t2p->tiff_compression == COMPRESSION_JPEG) {
            const unsigned char *tables = nullptr;
            uint32_t count = 0;
            if (jpegTables(input, &tables, &count))
                k = checkAdd64(k, count, t2p);
        }
        if (k == 0 && t2p->t2p_error == T2P_ERR_OK) {
            TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_TILEBYTECOUNTS", name);
            fail(t2p);
        }
        t2p->tiff_datasize = k;
        return;
    }
    k = TIFFTileSize64(input);
    if (t2p->tiff_planar == PLANARCONFIG_SEPARATE)
        k = checkMultiply64(k, t2p->tiff_samplesperpixel, t2p);
    if (k == 0 && t2p->t2p_error == T2P_ERR_OK) {
        TIFFError(TIFF2PDF_MODULE, "Integer overflow");
        fail(t2p);
    }
    t2p->tiff_datasize = k;
}

// --- Image data --------------------------------------------------------------------------

namespace {

// Room the decoded samples need once widened, expanded or unpacked from
// libtiff's RGBA words, beyond the decoded size itself.
uint64_t workBufferSize(T2P *t2p, uint64_t pixels, uint64_t decoded)
{
    uint64_t size = decoded;
    if (t2p->pdf_sample & T2P_SAMPLE_YCBCR_TO_RGB)
        size = std::max(size, checkMultiply64(pixels, 4, t2p));
    if (t2p->pdf_sample & T2P_SAMPLE_EXPAND_TO_8BIT)
        size = std::max(size, checkMultiply64(pixels, t2p->tiff_samplesperpixel, t2p));
    if (t2p->pdf_sample & T2P_SAMPLE_REALIZE_PALETTE)
        size = std::max(size, checkMultiply64(pixels, t2p->pdf_samplesperpixel, t2p));
    return size;
}

TiffBuffer allocImageBuffer(T2P *t2p, TIFF *input, uint64_t size)
{
    TiffBuffer buffer = allocBuffer(size);
    if (!buffer) {
        TIFFError(TIFF2PDF_MODULE, "Can't allocate %ld bytes of memory for t2p_readwrite_pdf_image, %s",
                  static_cast<long>(size), TIFFFileName(input));
        fail(t2p);
    }
    return buffer;
}

// How the samples of `width` pixels lie in a decoded buffer as they go to the
// encoder: rows of `bytes` bytes, each row standing for `height` rows of
// pixels. YCbCr samples that reach the JPEG encoder still subsampled lie in
// blocks of h x v pixels (h * v luma samples, then the two chroma samples),
// one row of blocks for every v rows of pixels.
struct StoredRows {
    uint64_t bytes;
    uint32_t height;
};

StoredRows storedRows(const T2P *t2p, TIFF *input, uint32_t width)
{
    if (t2p->tiff_photometric == PHOTOMETRIC_YCBCR && !(t2p->pdf_sample & T2P_SAMPLE_YCBCR_TO_RGB)) {
        uint16_t h = 1, v = 1;
        TIFFGetFieldDefaulted(input, TIFFTAG_YCBCRSUBSAMPLING, &h, &v);
        h = std::max<uint16_t>(h, 1);
        v = std::max<uint16_t>(v, 1);
        const uint64_t blocks = (uint64_t(width) + h - 1) / h;
        return {rowBytes(blocks, static_cast<uint16_t>(h * v + 2), t2p->pdf_bitspersample), v};
    }
    return {rowBytes(width, t2p->pdf_samplesperpixel, t2p->pdf_bitspersample), 1};
}

// Sample conversions after decoding, in their fixed order. Returns the
// number of bytes the encoder gets, 0 on failure.
uint64_t convertSamples(T2P *t2p, unsigned char *buffer, uint64_t size, uint64_t capacity, uint32_t width,
                        uint32_t rows)
{
    const uint64_t pixels = uint64_t(width) * rows;
    if (t2p->pdf_sample & T2P_SAMPLE_REDUCE_16_TO_8)
        size = t2p_sample_reduce_16_to_8(buffer, size);
    if (t2p->pdf_sample & T2P_SAMPLE_EXPAND_TO_8BIT) {
        t2p_sample_expand_to_8bit(buffer, width, rows, t2p->tiff_samplesperpixel, t2p->tiff_bitspersample,
                                  !(t2p->pdf_sample & T2P_SAMPLE_REALIZE_PALETTE));
        size = pixels * t2p->tiff_samplesperpixel;
    }
    if (t2p->pdf_sample & T2P_SAMPLE_REALIZE_PALETTE) {
        if (!t2p_sample_realize_palette(t2p, buffer, pixels, capacity)) {
            fail(t2p);
            return 0;
        }
        size = pixels * t2p->pdf_samplesperpixel;
    }
    if (t2p->pdf_sample & T2P_SAMPLE_RGBA_TO_RGB)
        size = t2p_sample_rgba_to_rgb(buffer, pixels);
    if (t2p->pdf_sample & T2P_SAMPLE_RGBAA_TO_RGB)
        size = t2p_sample_rgbaa_to_rgb(buffer, pixels);
    if (t2p->pdf_sample & T2P_SAMPLE_LAB_SIGNED_TO_UNSIGNED)
        t2p_sample_lab_signed_to_unsigned(buffer, pixels);
    return size;
}

// --- JPEG straight into the PDF stream ---------------------------------------
//
// 8-bit gray, RGB and CMYK samples go to libjpeg directly, with the settings
// libtiff's JPEG codec uses for a self-contained strip: no JFIF marker, RGB
// as YCbCr with 2x2 chroma subsampling, Huffman tables optimised for the
// page. For gray and RGB the stream is byte for byte the strip libtiff would
// write; but it goes into the PDF as libjpeg makes it, and its rows can be
// fed strip by strip as they are decoded (see StripRows).

struct JpegDestination {
    jpeg_destination_mgr pub;
    T2P *t2p;
    TIFF *output;
    JOCTET buffer[kEncodeChunk];
};

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void jpegInitDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<JpegDestination *>(cinfo->dest);
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = sizeof dest->buffer;
}

boolean jpegEmptyBuffer(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<JpegDestination *>(cinfo->dest);
    if (t2pWriteFile(dest->output, dest->buffer, sizeof dest->buffer) != static_cast<tsize_t>(sizeof dest->buffer))
        fail(dest->t2p);
    jpegInitDestination(cinfo);
    return TRUE;
}

void jpegTermDestination(j_compress_ptr cinfo)
{
    auto *dest = reinterpret_cast<JpegDestination *>(cinfo->dest);
    const tmsize_t left = static_cast<tmsize_t>(sizeof dest->buffer - dest->pub.free_in_buffer);
    if (left > 0 && t2pWriteFile(dest->output, dest->buffer, left) != left)
        fail(dest->t2p);
}

void jpegErrorExit(j_common_ptr cinfo)
{
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    TIFFError("JPEGLib", "%s", message);
    std::longjmp(reinterpret_cast<JpegErrors *>(cinfo->err)->jump, 1);
}

void jpegOutputMessage(j_common_ptr cinfo)
{
    char message[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, message);
    TIFFWarning("JPEGLib", "%s", message);
}

// Whether the current page's samples are encoded by libjpeg directly; YCbCr
// samples as stored (subsampled) and everything else go through libtiff.
bool jpegDirect(const T2P *t2p)
{
    return t2p->pdf_compression == T2P_COMPRESS_JPEG && t2p->tiff_photometric != PHOTOMETRIC_YCBCR
           && t2p->pdf_bitspersample == 8 && t2p->pdf_samplesperpixel != 2;
}

// The encoder's rows, asked for one at a time from the top: row `row` of the
// image, valid until the next call, or null when it can't be had (the reason
// already reported).
using RowSource = std::function<const unsigned char *(uint32_t row)>;

bool encodeJpegDirect(T2P *t2p, TIFF *output, uint32_t width, uint32_t length, const RowSource &source)
{
    std::unique_ptr<JpegDestination> dest(new (std::nothrow) JpegDestination());
    if (!dest)
        return false;
    dest->t2p = t2p;
    dest->output = output;
    dest->pub.init_destination = jpegInitDestination;
    dest->pub.empty_output_buffer = jpegEmptyBuffer;
    dest->pub.term_destination = jpegTermDestination;

    jpeg_compress_struct cinfo;
    JpegErrors errors;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = jpegErrorExit;
    errors.pub.output_message = jpegOutputMessage;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest->pub;
    cinfo.image_width = width;
    cinfo.image_height = length;
    cinfo.input_components = t2p->pdf_samplesperpixel;
    cinfo.in_color_space = t2p->pdf_samplesperpixel == 1 ? JCS_GRAYSCALE
                           : t2p->pdf_samplesperpixel == 3 ? JCS_RGB
                                                           : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    cinfo.write_JFIF_header = FALSE;
    // Unlike libtiff, CMYK keeps its Adobe marker: it is what tells readers
    // that the components are stored untransformed, whatever the DecodeParms
    // of the stream say.
    cinfo.write_Adobe_marker = cinfo.in_color_space == JCS_CMYK;
    cinfo.optimize_coding = TRUE;
    if (t2p->pdf_defaultcompressionquality != 0)
        jpeg_set_quality(&cinfo, t2p->pdf_defaultcompressionquality, FALSE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(source(cinfo.next_scanline));
        if (!row) {
            jpeg_destroy_compress(&cinfo);
            return false;
        }
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return t2p->t2p_error == T2P_ERR_OK;
}

// Encodes the image into the PDF stream; returns the stream's length, 0 on
// failure.
tsize_t writeJpegDirect(T2P *t2p, TIFF *output, uint32_t width, uint32_t length, const RowSource &source)
{
    t2p->outputdisable = 0;
    t2p->outputwritten = 0;
    if (!encodeJpegDirect(t2p, output, width, length, source)) {
        TIFFError(TIFF2PDF_MODULE, "Error writing encoded strip to output PDF %s", TIFFFileName(output));
        fail(t2p);
        return 0;
    }
    return static_cast<tsize_t>(t2p->outputwritten);
}

// Describes the decoded image to the output handle as a one-strip TIFF image
// and encodes it; the encoder's output lands in the PDF stream.
tsize_t encodeToOutput(T2P *t2p, TIFF *input, TIFF *output, unsigned char *buffer, uint64_t size, uint32_t width,
                       uint32_t length)
{
    const uint64_t stride = uint64_t(width) * t2p->pdf_samplesperpixel;
    if (jpegDirect(t2p) && size >= stride * length)
        return writeJpegDirect(t2p, output, width, length,
                               [buffer, stride](uint32_t row) { return buffer + row * stride; });

    t2p->outputdisable = 1;
    TIFFSetField(output, TIFFTAG_PHOTOMETRIC, t2p->pdf_photometric);
    TIFFSetField(output, TIFFTAG_BITSPERSAMPLE, t2p->pdf_bitspersample);
    TIFFSetField(output, TIFFTAG_SAMPLESPERPIXEL, t2p->pdf_samplesperpixel);
    TIFFSetField(output, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(output, TIFFTAG_IMAGELENGTH, length);
    TIFFSetField(output, TIFFTAG_ROWSPERSTRIP, length);
    TIFFSetField(output, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(output, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);

    switch (t2p->pdf_compression) {
    case T2P_COMPRESS_NONE:
        TIFFSetField(output, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        break;
    case T2P_COMPRESS_G4:
        TIFFSetField(output, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        break;
    case T2P_COMPRESS_JPEG: {
        if (t2p->tiff_photometric == PHOTOMETRIC_YCBCR) {
            uint16_t hor = 0, ver = 0;
            if (TIFFGetField(input, TIFFTAG_YCBCRSUBSAMPLING, &hor, &ver) != 0 && hor != 0 && ver != 0)
                TIFFSetField(output, TIFFTAG_YCBCRSUBSAMPLING, hor, ver);
            float *refblackwhite = nullptr;
            if (TIFFGetField(input, TIFFTAG_REFERENCEBLACKWHITE, &refblackwhite) != 0)
                TIFFSetField(output, TIFFTAG_REFERENCEBLACKWHITE, refblackwhite);
        }
        if (TIFFSetField(output, TIFFTAG_COMPRESSION, COMPRESSION_JPEG) == 0) {
            TIFFError(TIFF2PDF_MODULE, "Unable to use JPEG compression for input %s and output %s",
                      TIFFFileName(input), TIFFFileName(output));
            fail(t2p);
            t2p->outputdisable = 0;
            return 0;
        }
        TIFFSetField(output, TIFFTAG_JPEGTABLESMODE, 0);
        if (t2p->pdf_colorspace & (T2P_CS_RGB | T2P_CS_LAB)) {
            TIFFSetField(output, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
            TIFFSetField(output, TIFFTAG_JPEGCOLORMODE,
                         t2p->tiff_photometric != PHOTOMETRIC_YCBCR ? JPEGCOLORMODE_RGB : JPEGCOLORMODE_RAW);
        }
        if (t2p->pdf_defaultcompressionquality != 0)
            TIFFSetField(output, TIFFTAG_JPEGQUALITY, static_cast<int>(t2p->pdf_defaultcompressionquality));
        break;
    }
    case T2P_COMPRESS_ZIP:
        TIFFSetField(output, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        if (t2p->pdf_compressionquality % 100 != 0)
            TIFFSetField(output, TIFFTAG_PREDICTOR, t2p->pdf_compressionquality % 100);
        if (t2p->pdf_compressionquality / 100 != 0)
            TIFFSetField(output, TIFFTAG_ZIPQUALITY, t2p->pdf_compressionquality / 100);
        break;
    }

    const uint64_t stripsize = TIFFStripSize64(output);
    if (stripsize != 0 && size > stripsize)
        size = stripsize;
    TIFFWriteBufferSetup(output, nullptr, kEncodeChunk);
    t2p->outputdisable = 0;
    t2p->outputwritten = 0;
    if (TIFFWriteEncodedStrip(output, 0, buffer, static_cast<tmsize_t>(size)) < 0) {
        TIFFError(TIFF2PDF_MODULE, "Error writing encoded strip to output PDF %s", TIFFFileName(output));
        fail(t2p);
        return 0;
    }
    return static_cast<tsize_t>(t2p->outputwritten);
}

// Rows of an untiled, contiguous page decoded one strip at a time, with the
// page's sample conversions applied, for the JPEG encoder. With optimised
// Huffman tables libjpeg holds the page's coefficients until the end, as
// much memory again as the decoded page; fed strip by strip, a conversion
// still holds about one page.
class StripRows {
public:
    StripRows(T2P *t2p, TIFF *input) : m_t2p(t2p), m_input(input)
    {
        TIFFGetFieldDefaulted(input, TIFFTAG_ROWSPERSTRIP, &m_rowsperstrip);
        m_rowsperstrip = std::max<uint32_t>(1, std::min(m_rowsperstrip, t2p->tiff_length));
        m_scanline = static_cast<uint64_t>(TIFFScanlineSize64(input));
        m_stride = uint64_t(t2p->tiff_width) * t2p->pdf_samplesperpixel;
    }

    bool allocate()
    {
        const uint64_t decoded = checkMultiply64(m_scanline, m_rowsperstrip, m_t2p);
        m_capacity = workBufferSize(m_t2p, uint64_t(m_t2p->tiff_width) * m_rowsperstrip, decoded);
        if (m_t2p->t2p_error != T2P_ERR_OK)
            return false;
        m_buffer = allocImageBuffer(m_t2p, m_input, m_capacity);
        return m_buffer != nullptr;
    }

    const unsigned char *operator()(uint32_t row)
    {
        if ((row < m_first || row - m_first >= m_rows) && !load(row / m_rowsperstrip))
            return nullptr;
        return m_buffer.get() + (row - m_first) * m_stride;
    }

private:
    bool load(tstrip_t strip)
    {
        m_first = strip * m_rowsperstrip;
        m_rows = std::min(m_rowsperstrip, m_t2p->tiff_length - m_first);
        const uint64_t want = m_scanline * m_rows;
        const tmsize_t got = TIFFReadEncodedStrip(m_input, strip, m_buffer.get(), static_cast<tmsize_t>(want));
        if (got < 0) {
            TIFFError(TIFF2PDF_MODULE, "Error on decoding strip %u of %s", static_cast<unsigned>(strip),
                      TIFFFileName(m_input));
            fail(m_t2p);
            m_rows = 0;
            return false;
        }
        if (static_cast<uint64_t>(got) < want)
            std::memset(m_buffer.get() + got, 0, static_cast<size_t>(want - static_cast<uint64_t>(got)));
        convertSamples(m_t2p, m_buffer.get(), want, m_capacity, m_t2p->tiff_width, m_rows);
        if (m_t2p->t2p_error != T2P_ERR_OK) {
            m_rows = 0;
            return false;
        }
        return true;
    }

    T2P *m_t2p;
    TIFF *m_input;
    uint32_t m_rowsperstrip = 0;
    uint64_t m_scanline = 0;
    uint64_t m_stride = 0;
    uint64_t m_capacity = 0;
    TiffBuffer m_buffer;
    uint32_t m_first = 0;
    uint32_t m_rows = 0;
};

tsize_t writeRaw(T2P *t2p, TIFF *output, const unsigned char *data, uint64_t size)
{
    const tsize_t written = t2pWriteFile(output, data, static_cast<tmsize_t>(size));
    if (written != static_cast<tsize_t>(size))
        fail(t2p);
    return written < 0 ? 0 : written;
}

} // namespace

tsize_t t2p_readwrite_pdf_image(T2P *t2p, TIFF *input, TIFF *output)
{
    const char *name = TIFFFileName(input);

    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW) {
        TiffBuffer buffer = allocImageBuffer(t2p, input, t2p->tiff_datasize);
        if (!buffer)
            return 0;
        uint64_t length = 0;
        if (t2p->tiff_compression == COMPRESSION_JPEG || t2p->tiff_compression == COMPRESSION_OJPEG) {
            uint64_t *sbc = nullptr;
            if (!TIFFGetField(input, TIFFTAG_STRIPBYTECOUNTS, &sbc) || !sbc) {
                TIFFError(TIFF2PDF_MODULE, "Input file %s missing field: TIFFTAG_STRIPBYTECOUNTS", name);
                fail(t2p);
                return 0;
            }
            const tstrip_t stripcount = TIFFNumberOfStrips(input);
            uint64_t maxstrip = 0;
            for (tstrip_t i = 0; i < stripcount; i++)
                maxstrip = std::max(maxstrip, sbc[i]);
            TiffBuffer strip = allocImageBuffer(t2p, input, maxstrip);
            if (!strip)
                return 0;
            if (t2p->tiff_compression == COMPRESSION_OJPEG) {
                const std::vector<unsigned char> &header = t2p->pdf_ojpegdata;
                if (t2p->pdf_ojpegcomplete)
                    return writeRaw(t2p, output, header.data(), header.size());
                const uint64_t headerlength = header.size();
                if (headerlength + 2 > t2p->tiff_datasize) {
                    TIFFError(TIFF2PDF_MODULE, "No support for OJPEG image %s with bad tables", name);
                    fail(t2p);
                    return 0;
                }
                std::memcpy(buffer.get(), header.data(), headerlength);
                length = headerlength;
                // libtiff gives no raw access to old-style JPEG strips; they
                // are read from the file where the directory says they are.
                uint64_t *offsets = nullptr;
                if (!TIFFGetField(input, TIFFTAG_STRIPOFFSETS, &offsets) || !offsets) {
                    TIFFError(TIFF2PDF_MODULE, "TIFFReadRawStrip() failed");
                    fail(t2p);
                    return 0;
                }
                for (tstrip_t i = 0; i < stripcount; i++) {
                    if (length + sbc[i] + 4 > t2p->tiff_datasize) {
                        TIFFError(TIFF2PDF_MODULE, "Can't process JPEG data in input file %s", name);
                        fail(t2p);
                        return 0;
                    }
                    if (!readInputBytes(input, offsets[i], strip.get(), sbc[i])) {
                        TIFFError(TIFF2PDF_MODULE, "TIFFReadRawStrip() failed");
                        fail(t2p);
                        return 0;
                    }
                    if (i != 0) {
                        buffer[length++] = 0xff;
                        buffer[length++] = static_cast<unsigned char>(0xd0 | ((i - 1) % 8));
                    }
                    std::memcpy(buffer.get() + length, strip.get(), static_cast<size_t>(sbc[i]));
                    length += sbc[i];
                    if (length >= 2 && buffer[length - 2] == 0xff && buffer[length - 1] == 0xd9)
                        length -= 2;
                }
            } else {
                const unsigned char *tables = nullptr;
                uint32_t count = 0;
                if (jpegTables(input, &tables, &count)) {
                    length = jpegTablesLength(tables, count);
                    std::memcpy(buffer.get(), tables, length);
                } else {
                    buffer[0] = 0xff;
                    buffer[1] = 0xd8;
                    length = 2;
                }
                for (tstrip_t i = 0; i < stripcount; i++) {
                    const tmsize_t got = TIFFReadRawStrip(input, i, strip.get(), static_cast<tmsize_t>(maxstrip));
                    if (got < 0) {
                        TIFFError(TIFF2PDF_MODULE, "TIFFReadRawStrip() failed");
                        fail(t2p);
                        return 0;
                    }
                    if (!t2p_process_jpeg_strip(strip.get(), static_cast<uint64_t>(got), buffer.get(),
                                                t2p->tiff_datasize - 2, &length, i, t2p->tiff_length)) {
                        TIFFError(TIFF2PDF_MODULE, "Can't process JPEG data in input file %s", name);
                        fail(t2p);
                        return 0;
                    }
                }
            }
            buffer[length++] = 0xff;
            buffer[length++] = 0xd9;
        } else {
            const tmsize_t got = TIFFReadRawStrip(input, 0, buffer.get(), static_cast<tmsize_t>(t2p->tiff_datasize));
            if (got < 0) {
                TIFFError(TIFF2PDF_MODULE, "TIFFReadRawStrip() failed");
                fail(t2p);
                return 0;
            }
            length = static_cast<uint64_t>(got);
            if (t2p->tiff_fillorder == FILLORDER_LSB2MSB)
                TIFFReverseBits(buffer.get(), got);
        }
        return writeRaw(t2p, output, buffer.get(), length);
    }

    if (jpegDirect(t2p) && !(t2p->pdf_sample & (T2P_SAMPLE_YCBCR_TO_RGB | T2P_SAMPLE_PLANAR_SEPARATE_TO_CONTIG))) {
        StripRows rows(t2p, input);
        if (!rows.allocate())
            return 0;
        return writeJpegDirect(t2p, output, t2p->tiff_width, t2p->tiff_length, std::ref(rows));
    }

    const uint64_t pixels = uint64_t(t2p->tiff_width) * t2p->tiff_length;
    const uint64_t capacity = workBufferSize(t2p, pixels, t2p->tiff_datasize);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;
    TiffBuffer buffer = allocImageBuffer(t2p, input, capacity);
    if (!buffer)
        return 0;

    uint64_t size = 0;
    if (t2p->pdf_sample & T2P_SAMPLE_YCBCR_TO_RGB) {
        if (!TIFFReadRGBAImageOriented(input, t2p->tiff_width, t2p->tiff_length,
                                       reinterpret_cast<uint32_t *>(buffer.get()), ORIENTATION_TOPLEFT, 0)) {
            TIFFError(TIFF2PDF_MODULE, "Can't use TIFFReadRGBAImageOriented to extract RGB image from %s", name);
            fail(t2p);
            return 0;
        }
        size = t2p_sample_abgr_to_rgb(buffer.get(), pixels);
    } else if (t2p->pdf_sample & T2P_SAMPLE_PLANAR_SEPARATE_TO_CONTIG) {
        const tmsize_t stripsize = TIFFStripSize(input);
        const tstrip_t perplane = TIFFNumberOfStrips(input) / t2p->tiff_samplesperpixel;
        TiffBuffer plane = allocImageBuffer(t2p, input, static_cast<uint64_t>(stripsize));
        if (!plane)
            return 0;
        for (uint16_t j = 0; j < t2p->tiff_samplesperpixel; j++) {
            uint64_t first = 0;
            for (tstrip_t i = 0; i < perplane; i++) {
                const tmsize_t got = TIFFReadEncodedStrip(input, i + j * perplane, plane.get(), stripsize);
                if (got < 0) {
                    TIFFError(TIFF2PDF_MODULE, "Error on decoding strip %u of %s",
                              static_cast<unsigned>(i + j * perplane), name);
                    fail(t2p);
                    return 0;
                }
                const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(got), pixels - first);
                t2p_sample_planar_separate_to_contig(buffer.get(), plane.get(), count, t2p->tiff_samplesperpixel,
                                                     j, first);
                first += count;
            }
        }
        size = pixels * t2p->tiff_samplesperpixel;
    } else {
        const tmsize_t stripsize = TIFFStripSize(input);
        const tstrip_t stripcount = TIFFNumberOfStrips(input);
        for (tstrip_t i = 0; i < stripcount && size < t2p->tiff_datasize; i++) {
            const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(stripsize), t2p->tiff_datasize - size);
            const tmsize_t got = TIFFReadEncodedStrip(input, i, buffer.get() + size, static_cast<tmsize_t>(want));
            if (got < 0) {
                TIFFError(TIFF2PDF_MODULE, "Error on decoding strip %u of %s", static_cast<unsigned>(i), name);
                fail(t2p);
                return 0;
            }
            size += static_cast<uint64_t>(got);
        }
    }

    size = convertSamples(t2p, buffer.get(), size, capacity, t2p->tiff_width, t2p->tiff_length);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;
    return encodeToOutput(t2p, input, output, buffer.get(), size, t2p->tiff_width, t2p->tiff_length);
}

tsize_t t2p_readwrite_pdf_image_tile(T2P *t2p, TIFF *input, TIFF *output, ttile_t tile)
{
    const char *name = TIFFFileName(input);
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    const bool rightedge = t2p_tile_is_right_edge(tiles, tile);
    const bool bottomedge = t2p_tile_is_bottom_edge(tiles, tile);

    if (t2p->pdf_transcode == T2P_TRANSCODE_RAW && (!(rightedge || bottomedge) || t2p->pdf_tilefull)) {
        TiffBuffer buffer = allocImageBuffer(t2p, input, t2p->tiff_datasize);
        if (!buffer)
            return 0;
        uint64_t offset = 0;
        const unsigned char *tables = nullptr;
        uint32_t count = 0;
        const bool withtables = t2p->tiff_compression == COMPRESSION_JPEG && jpegTables(input, &tables, &count);
        if (withtables) {
            offset = jpegTablesLength(tables, count);
            std::memcpy(buffer.get(), tables, offset);
        }
        const tmsize_t got = TIFFReadRawTile(input, tile, buffer.get() + offset,
                                             static_cast<tmsize_t>(t2p->tiff_datasize - offset));
        if (got < 0) {
            TIFFError(TIFF2PDF_MODULE, "TIFFReadRawTile() failed");
            fail(t2p);
            return 0;
        }
        uint64_t length = offset + static_cast<uint64_t>(got);
        if (withtables && got >= 2 && buffer[offset] == 0xff && buffer[offset + 1] == 0xd8) {
            // the tile's own start marker follows the tables' one
            std::memmove(buffer.get() + offset, buffer.get() + offset + 2, static_cast<size_t>(got - 2));
            length -= 2;
        }
        if (t2p->tiff_compression != COMPRESSION_JPEG && t2p->tiff_fillorder == FILLORDER_LSB2MSB)
            TIFFReverseBits(buffer.get(), static_cast<tmsize_t>(length));
        return writeRaw(t2p, output, buffer.get(), length);
    }

    const uint32_t tilewidth = tiles.tiles_tilewidth;
    const uint32_t tilelength = tiles.tiles_tilelength;
    const uint64_t pixels = uint64_t(tilewidth) * tilelength;
    const uint64_t capacity = workBufferSize(t2p, pixels, t2p->tiff_datasize);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;
    TiffBuffer buffer = allocImageBuffer(t2p, input, capacity);
    if (!buffer)
        return 0;

    uint64_t size = 0;
    if (t2p->pdf_sample & T2P_SAMPLE_YCBCR_TO_RGB) {
        const uint32_t col = (tile % tiles.tiles_tilecountx) * tilewidth;
        const uint32_t row = (tile / tiles.tiles_tilecountx) * tilelength;
        uint32_t *raster = reinterpret_cast<uint32_t *>(buffer.get());
        if (!TIFFReadRGBATile(input, col, row, raster)) {
            TIFFError(TIFF2PDF_MODULE, "Can't use TIFFReadRGBATile to extract RGB image from %s", name);
            fail(t2p);
            return 0;
        }
        // The tile reader fills from the bottom row up.
        for (uint32_t top = 0, bottom = tilelength - 1; top < bottom; top++, bottom--)
            std::swap_ranges(raster + uint64_t(top) * tilewidth, raster + uint64_t(top + 1) * tilewidth,
                             raster + uint64_t(bottom) * tilewidth);
        size = t2p_sample_abgr_to_rgb(buffer.get(), pixels);
    } else if (t2p->pdf_sample & T2P_SAMPLE_PLANAR_SEPARATE_TO_CONTIG) {
        const tmsize_t tilesize = TIFFTileSize(input);
        TiffBuffer plane = allocImageBuffer(t2p, input, static_cast<uint64_t>(tilesize));
        if (!plane)
            return 0;
        for (uint16_t j = 0; j < t2p->tiff_samplesperpixel; j++) {
            const ttile_t which = tile + j * tiles.tiles_tilecount;
            const tmsize_t got = TIFFReadEncodedTile(input, which, plane.get(), tilesize);
            if (got < 0) {
                TIFFError(TIFF2PDF_MODULE, "Error on decoding tile %u of %s", static_cast<unsigned>(which), name);
                fail(t2p);
                return 0;
            }
            t2p_sample_planar_separate_to_contig(buffer.get(), plane.get(),
                                                 std::min<uint64_t>(static_cast<uint64_t>(got), pixels),
                                                 t2p->tiff_samplesperpixel, j, 0);
        }
        size = pixels * t2p->tiff_samplesperpixel;
    } else {
        const tmsize_t got = TIFFReadEncodedTile(input, tile, buffer.get(), static_cast<tmsize_t>(t2p->tiff_datasize));
        if (got < 0) {
            TIFFError(TIFF2PDF_MODULE, "Error on decoding tile %u of %s", static_cast<unsigned>(tile), name);
            fail(t2p);
            return 0;
        }
        size = static_cast<uint64_t>(got);
    }

    size = convertSamples(t2p, buffer.get(), size, capacity, tilewidth, tilelength);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;

    const uint32_t width = rightedge ? tiles.tiles_edgetilewidth : tilewidth;
    const uint32_t rows = bottomedge ? tiles.tiles_edgetilelength : tilelength;
    const StoredRows full = storedRows(t2p, input, tilewidth);
    const StoredRows edge = storedRows(t2p, input, width);
    const uint32_t stored = (rows + full.height - 1) / full.height;
    if (rightedge)
        t2p_tile_collapse_left(buffer.get(), full.bytes, edge.bytes, stored);
    size = std::min(size, edge.bytes * stored);
    return encodeToOutput(t2p, input, output, buffer.get(), size, width, rows);
}

void t2p_write_advance_directory(T2P *t2p, TIFF *output)
{
    t2p->outputdisable = 1;
    if (!TIFFWriteDirectory(output)) {
        TIFFError(TIFF2PDF_MODULE, "Error writing virtual directory to output PDF %s", TIFFFileName(output));
        fail(t2p);
    }
    t2p->outputdisable = 0;
}

TIFF *t2p_open_output(T2P *t2p, const char *name)
{
    return TIFFClientOpen(name, "wb", static_cast<thandle_t>(t2p), t2p_readproc, t2p_writeproc, t2p_seekproc,
                          t2p_closeproc, t2p_sizeproc, t2p_mapproc, t2p_unmapproc);
}

tsize_t t2pWriteFile(TIFF *tif, const void *data, tmsize_t size)
{
    TIFFReadWriteProc proc = TIFFGetWriteProc(tif);
    if (!proc)
        return -1;
    return proc(TIFFClientdata(tif), const_cast<void *>(data), size);
}

toff_t t2pSeekFile(TIFF *tif, toff_t offset, int whence)
{
    TIFFSeekProc proc = TIFFGetSeekProc(tif);
    if (!proc)
        return static_cast<toff_t>(-1);
    return proc(TIFFClientdata(tif), offset, whence);
}

// --- Entry -------------------------------------------------------------------------------------

namespace {

struct T2PDeleter {
    void operator()(T2P *t2p) const { t2p_free(t2p); }
};

} // namespace

int convert2pdf(QString tiff, QString pdf)
{
    std::unique_ptr<T2P, T2PDeleter> t2p(t2p_init());
    if (!t2p) {
        TIFFError(TIFF2PDF_MODULE, "Can't initialize context");
        return 1;
    }

    const QByteArray inputName = QFile::encodeName(tiff);
    const QByteArray outputName = QFile::encodeName(pdf);
    // Read, not mapped: a mapped input would count towards the process's
    // memory page after page.
    TiffHandle input(TIFFOpen(inputName.constData(), "rm"));
    if (!input) {
        TIFFError(TIFF2PDF_MODULE, "Can't open input file %s for reading", inputName.constData());
        return 1;
    }

    PendingFile pending(outputName);
    t2p->outputdisable = 1;
    t2p->outputfile.reset(pending.open());
    if (!t2p->outputfile) {
        if (errno == EEXIST)
            TIFFError(TIFF2PDF_MODULE, "Output file %s (or its .part) already exists, not replaced",
                      outputName.constData());
        else
            TIFFError(TIFF2PDF_MODULE, "Can't open output file %s for writing", outputName.constData());
        return 1;
    }

    t2p->pdf_defaultcompression = T2P_COMPRESS_JPEG;

    TiffHandle output(t2p_open_output(t2p.get(), outputName.constData()));
    if (!output) {
        TIFFError(TIFF2PDF_MODULE, "Can't initialize output descriptor");
        return 1;
    }
    t2p->outputdisable = 0;

    t2p_validate(t2p.get());
    t2pSeekFile(output.get(), 0, SEEK_SET);
    t2p_write_pdf(t2p.get(), input.get(), output.get());

    input.reset();
    // Whatever libtiff still flushes on closing is not part of the document.
    t2p->outputdisable = 1;
    output.reset();  // closes the PDF file through t2p_closeproc

    if (t2p->t2p_error != T2P_ERR_OK) {
        TIFFError(TIFF2PDF_MODULE, "An error occurred creating output PDF file");
        return 1;
    }
    if (!pending.commit()) {
        TIFFError(TIFF2PDF_MODULE, "Can't open output file %s for writing", outputName.constData());
        return 1;
    }
    return 0;
}
