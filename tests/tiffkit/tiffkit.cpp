#include "tiffkit.h"

#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// One sample in 0..255 before it is packed.
int smoothValue(const TiffPage &p, uint32_t x, uint32_t y, int s)
{
    const int w = std::max<int>(1, int(p.width) - 1);
    const int h = std::max<int>(1, int(p.length) - 1);
    if (p.bps == 1)  // bilevel and 1-bit colour: blocks, nothing in between
        return ((x / 8 + y / 8 + p.seed + unsigned(s)) % 2) ? 255 : 0;
    if (p.photometric == PHOTOMETRIC_PALETTE)
        return int((x * 7 / std::max<uint32_t>(1, p.width) + y * 3 / std::max<uint32_t>(1, p.length) + p.seed) * 37) % 256;
    switch (s) {
    case 0: return int(x) * 255 / w;
    case 1: return int(y) * 255 / h;
    case 2: return int(p.seed * 60 + 30) % 256;
    default: return 255 - int(y) * 127 / h;  // alpha: opaque at the top
    }
}

// One plane of a separate-plane page: sample `plane` of every pixel, packed
// as in the interleaved raster.
QByteArray planeRaster(const TiffPage &p, const QByteArray &raster, int plane)
{
    TiffPage single = p;
    single.spp = 1;
    QByteArray out(int(rowBytes(p.width, 1, p.bps) * p.length), '\0');
    for (uint32_t y = 0; y < p.length; y++)
        for (uint32_t x = 0; x < p.width; x++)
            setSample(out, single, x, y, 0, sampleAt(raster, p, x, y, plane));
    return out;
}

// The pixel data of one directory, strip by strip or tile by tile, plane
// after plane in libtiff's numbering.
bool writePixels(TIFF *t, const TiffPage &p)
{
    const QByteArray raster = pagePixels(p);
    const bool separate = p.planar == PLANARCONFIG_SEPARATE && p.spp > 1;
    const int planes = separate ? p.spp : 1;
    const uint16_t sppPlane = separate ? 1 : p.spp;
    const qsizetype planeRow = rowBytes(p.width, sppPlane, p.bps);
    bool ok = true;
    for (int plane = 0; plane < planes && ok; plane++) {
        const QByteArray data = separate ? planeRaster(p, raster, plane) : raster;
        if (p.tileWidth) {
            const qsizetype tileRow = rowBytes(p.tileWidth, sppPlane, p.bps);
            QByteArray tile(int(tileRow * p.tileLength), '\0');
            for (uint32_t y0 = 0; y0 < p.length && ok; y0 += p.tileLength) {
                for (uint32_t x0 = 0; x0 < p.width && ok; x0 += p.tileWidth) {
                    tile.fill('\0');
                    const qsizetype skip = rowBytes(x0, sppPlane, p.bps);
                    const qsizetype n = std::min(tileRow, planeRow - skip);
                    for (uint32_t r = 0; r < p.tileLength && y0 + r < p.length; r++)
                        std::memcpy(tile.data() + tileRow * r, data.constData() + planeRow * (y0 + r) + skip, size_t(n));
                    const ttile_t index = TIFFComputeTile(t, x0, y0, 0, uint16_t(plane));
                    ok = TIFFWriteEncodedTile(t, index, tile.data(), tile.size()) >= 0;
                }
            }
        } else {
            const uint32_t rps = std::min(p.rowsPerStrip, p.length);
            const uint32_t strips = (p.length + rps - 1) / rps;
            for (uint32_t s = 0; s < strips && ok; s++) {
                const uint32_t rows = std::min(rps, p.length - s * rps);
                ok = TIFFWriteEncodedStrip(t, s + uint32_t(plane) * strips,
                                           const_cast<char *>(data.constData()) + planeRow * s * rps,
                                           tmsize_t(planeRow * rows)) >= 0;
            }
        }
    }
    return ok;
}

bool writeDirectory(TIFF *t, const TiffPage &p)
{
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.length);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bps);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, p.compression);
    // a codec's pseudo-tag is unknown to the others
    if (p.zipQuality && (p.compression == COMPRESSION_DEFLATE || p.compression == COMPRESSION_ADOBE_DEFLATE))
        TIFFSetField(t, TIFFTAG_ZIPQUALITY, p.zipQuality);
    if (p.fillOrder)
        TIFFSetField(t, TIFFTAG_FILLORDER, p.fillOrder);
    if (p.planar)
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, p.planar);
    if (p.tileWidth) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, p.tileWidth);
        TIFFSetField(t, TIFFTAG_TILELENGTH, p.tileLength);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.rowsPerStrip);
    }
    if (p.orientation)
        TIFFSetField(t, TIFFTAG_ORIENTATION, p.orientation);
    if (p.resUnit) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, double(p.xres));
        TIFFSetField(t, TIFFTAG_YRESOLUTION, double(p.yres));
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, p.resUnit);
    }
    if (!p.dateTime.isEmpty())
        TIFFSetField(t, TIFFTAG_DATETIME, p.dateTime.constData());
    if (p.extraSample >= 0) {
        const uint16_t type = uint16_t(p.extraSample);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &type);
    }
    if (p.pageNumber >= 0)
        TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(p.pageNumber), uint16_t(p.pageTotal));
    if (p.extra)
        p.extra(t);
    return writePixels(t, p) && TIFFWriteDirectory(t);
}

void put16(QByteArray &b, uint16_t v)
{
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}

void put32(QByteArray &b, uint32_t v)
{
    put16(b, uint16_t(v & 0xffff));
    put16(b, uint16_t(v >> 16));
}

QStringList g_messages;
bool g_echo = false;

void record(const char *module, const char *fmt, va_list ap, bool warning)
{
    char text[2048];
    std::vsnprintf(text, sizeof text, fmt, ap);
    // Pages written with the legacy Deflate code, as the scanner's are, get
    // this remark from libtiff every time.
    if (std::strstr(text, "legacy Deflate codec"))
        return;
    QString line = module ? QString::fromLocal8Bit(module) + QStringLiteral(": ") : QString();
    if (warning)
        line += QStringLiteral("Warning, ");
    line += QString::fromLocal8Bit(text);
    if (g_echo)
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    g_messages << line;
}

void errorHandler(const char *module, const char *fmt, va_list ap)
{
    record(module, fmt, ap, false);
}

void warningHandler(const char *module, const char *fmt, va_list ap)
{
    record(module, fmt, ap, true);
}

} // namespace

QByteArray smoothPixels(const TiffPage &p)
{
    QByteArray raster(int(rowBytes(p.width, p.spp, p.bps) * p.length), '\0');
    for (uint32_t y = 0; y < p.length; y++) {
        for (uint32_t x = 0; x < p.width; x++) {
            for (int s = 0; s < p.spp; s++) {
                const uint64_t v = uint64_t(smoothValue(p, x, y, s));
                setSample(raster, p, x, y, s,
                          p.photometric == PHOTOMETRIC_PALETTE ? v % (uint64_t(1) << p.bps) : v * maxSample(p.bps) / 255);
            }
        }
    }
    return raster;
}

QByteArray noisyPixels(const TiffPage &p)
{
    const qsizetype stride = rowBytes(p.width, p.spp, p.bps);
    QByteArray raster(int(stride * p.length), '\0');
    uint32_t state = 2463534242u ^ (p.seed * 2654435761u);
    for (uint32_t row = 0; row < p.length; ++row) {
        uint8_t *line = reinterpret_cast<uint8_t *>(raster.data()) + row * stride;
        for (qsizetype i = 0; i < stride; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[i] = (i % 7 < 3) ? uint8_t(row + p.seed) : uint8_t(state);
        }
        const int tailBits = int((qsizetype(p.width) * p.bps * p.spp) % 8);
        if (tailBits)
            line[stride - 1] &= uint8_t(0xFF << (8 - tailBits));
    }
    return raster;
}

uint32_t maxSample(uint16_t bps)
{
    return uint32_t((uint64_t(1) << bps) - 1);
}

uint32_t sampleAt(const QByteArray &raster, const TiffPage &p, uint32_t x, uint32_t y, int s)
{
    const uchar *row = reinterpret_cast<const uchar *>(raster.constData()) + rowBytes(p.width, p.spp, p.bps) * y;
    const uint64_t bit = (uint64_t(x) * p.spp + uint64_t(s)) * p.bps;
    switch (p.bps) {
    case 16: {
        uint16_t v;
        std::memcpy(&v, row + bit / 8, sizeof v);
        return v;
    }
    case 32: {
        uint32_t v;
        std::memcpy(&v, row + bit / 8, sizeof v);
        return v;
    }
    default:  // 8 bits and below, packed from the high bit
        return (row[bit / 8] >> (8 - p.bps - bit % 8)) & maxSample(p.bps);
    }
}

void setSample(QByteArray &raster, const TiffPage &p, uint32_t x, uint32_t y, int s, uint32_t value)
{
    uchar *row = reinterpret_cast<uchar *>(raster.data()) + rowBytes(p.width, p.spp, p.bps) * y;
    const uint64_t bit = (uint64_t(x) * p.spp + uint64_t(s)) * p.bps;
    switch (p.bps) {
    case 16: {
        const uint16_t v = uint16_t(value);
        std::memcpy(row + bit / 8, &v, sizeof v);
        break;
    }
    case 32:
        std::memcpy(row + bit / 8, &value, sizeof value);
        break;
    default: {
        const unsigned shift = unsigned(8 - p.bps - bit % 8);
        row[bit / 8] = uchar((row[bit / 8] & ~(maxSample(p.bps) << shift)) | ((value & maxSample(p.bps)) << shift));
        break;
    }
    }
}

TiffPage scannerRgb(uint32_t width, uint32_t length)
{
    TiffPage p;
    p.width = width;
    p.length = length;
    p.xres = p.yres = 300;
    return p;
}

TiffPage scannerGray(uint32_t width, uint32_t length)
{
    TiffPage p = scannerRgb(width, length);
    p.spp = 1;
    p.photometric = PHOTOMETRIC_MINISBLACK;
    return p;
}

TiffPage scannerBilevel(uint32_t width, uint32_t length)
{
    TiffPage p = scannerGray(width, length);
    p.bps = 1;
    p.photometric = PHOTOMETRIC_MINISWHITE;
    p.compression = COMPRESSION_CCITTFAX4;
    return p;
}

qsizetype rowBytes(uint32_t width, uint16_t spp, uint16_t bps)
{
    return qsizetype((uint64_t(width) * spp * bps + 7) / 8);
}

QByteArray pagePixels(const TiffPage &page)
{
    return page.pixels.isEmpty() ? page.pattern(page) : page.pixels;
}

bool writeTiff(const QString &path, const QList<TiffPage> &pages)
{
    TiffFile tif(TIFFOpen(QFile::encodeName(path).constData(), "w"));
    if (!tif)
        return false;
    for (const TiffPage &p : pages) {
        if (!writeDirectory(tif.get(), p)) {
            tif.reset();
            QFile::remove(path);
            return false;
        }
    }
    return true;
}

void captureTiffMessages(bool echo)
{
    g_echo = echo;
    TIFFSetErrorHandler(errorHandler);
    TIFFSetWarningHandler(warningHandler);
}

QStringList takeTiffMessages()
{
    QStringList taken;
    taken.swap(g_messages);
    return taken;
}

ToolResult runTool(const QString &program, const QStringList &args)
{
    ToolResult r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(30000))
        return r;
    if (!p.waitForFinished(300000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

int RawTiff::addBlob(const QByteArray &data)
{
    m_blobs << data;
    return m_blobs.size() - 1;
}

void RawTiff::shortTag(uint16_t tag, const QVector<uint16_t> &values)
{
    Entry e{tag, TIFF_SHORT, uint32_t(values.size()), {}, {}, false};
    for (uint16_t v : values)
        put16(e.value, v);
    add(e);
}

void RawTiff::longTag(uint16_t tag, const QVector<uint32_t> &values)
{
    Entry e{tag, TIFF_LONG, uint32_t(values.size()), {}, {}, false};
    for (uint32_t v : values)
        put32(e.value, v);
    add(e);
}

void RawTiff::offsetTag(uint16_t tag, const QVector<int> &blobs)
{
    add(Entry{tag, TIFF_LONG, uint32_t(blobs.size()), {}, blobs, false});
}

void RawTiff::sizeTag(uint16_t tag, const QVector<int> &blobs)
{
    add(Entry{tag, TIFF_LONG, uint32_t(blobs.size()), {}, blobs, true});
}

void RawTiff::rationalTag(uint16_t tag, uint32_t num, uint32_t den)
{
    Entry e{tag, TIFF_RATIONAL, 1, {}, {}, false};
    put32(e.value, num);
    put32(e.value, den);
    add(e);
}

void RawTiff::add(const Entry &entry)
{
    for (int i = 0; i < m_entries.size(); i++) {
        if (m_entries[i].tag == entry.tag) {
            m_entries[i] = entry;
            return;
        }
    }
    m_entries << entry;
}

QByteArray RawTiff::build() const
{
    QByteArray out("II*\0", 4);
    QVector<uint32_t> blobOffsets;
    uint32_t pos = 8;
    for (const QByteArray &b : m_blobs) {
        blobOffsets << pos;
        pos += uint32_t(b.size());
        pos += pos % 2;
    }
    const uint32_t ifd = pos;
    put32(out, ifd);
    for (const QByteArray &b : m_blobs) {
        out += b;
        if (out.size() % 2)
            out.append('\0');
    }
    QList<Entry> entries = m_entries;
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
    uint32_t extra = ifd + 2 + 12 * uint32_t(entries.size()) + 4;
    QByteArray dir, values;
    put16(dir, uint16_t(entries.size()));
    for (Entry e : entries) {
        if (!e.blobs.isEmpty()) {
            for (int id : e.blobs)
                put32(e.value, e.sizes ? uint32_t(m_blobs[id].size()) : blobOffsets[id]);
        }
        put16(dir, e.tag);
        put16(dir, e.type);
        put32(dir, e.count);
        if (e.value.size() <= 4) {
            QByteArray v = e.value;
            v.append(QByteArray(4 - v.size(), '\0'));
            dir += v;
        } else {
            put32(dir, extra + uint32_t(values.size()));
            values += e.value;
            if (values.size() % 2)
                values.append('\0');
        }
    }
    put32(dir, 0);
    return out + dir + values;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
