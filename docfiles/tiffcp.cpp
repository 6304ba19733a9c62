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

// ---- choosing a copy routine -------------------------------------------------

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
