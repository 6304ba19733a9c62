#include "tiffsamples.h"

#include <QProcess>
#include <QRegularExpression>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct Closer {
    void operator()(TIFF *t) const { if (t) TIFFClose(t); }
};
using Tiff = std::unique_ptr<TIFF, Closer>;

qsizetype rowBytes(uint32_t width, uint16_t bps, uint16_t spp)
{
    return (qsizetype(width) * bps * spp + 7) / 8;
}

bool writeTiles(TIFF *tif, const PageSpec &p, const QByteArray &raster)
{
    const qsizetype stride = rowBytes(p.width, p.bps, p.spp);
    const bool separate = p.planar == PLANARCONFIG_SEPARATE;
    const int planes = separate ? p.spp : 1;
    const int bs = separate ? p.bps / 8 : 0;
    QByteArray tile(int(TIFFTileSize(tif)), '\0');
    const qsizetype tileRow = TIFFTileRowSize(tif);
    for (uint32_t row = 0; row < p.length; row += p.tileLength) {
        for (uint32_t col = 0; col < p.width; col += p.tileWidth) {
            for (int s = 0; s < planes; ++s) {
                tile.fill('\0');
                for (uint32_t r = 0; r < p.tileLength && row + r < p.length; ++r) {
                    const char *src = raster.constData() + (row + r) * stride;
                    char *dst = tile.data() + r * tileRow;
                    if (!separate) {
                        const qsizetype colb = qsizetype(col) * p.bps * p.spp / 8;
                        std::memcpy(dst, src + colb, size_t(qMin(tileRow, stride - colb)));
                    } else {
                        for (uint32_t c = 0; c < p.tileWidth && col + c < p.width; ++c)
                            std::memcpy(dst + c * bs, src + ((col + c) * p.spp + s) * bs, size_t(bs));
                    }
                }
                if (TIFFWriteTile(tif, tile.data(), col, row, 0, uint16_t(s)) < 0)
                    return false;
            }
        }
    }
    return true;
}

bool writeStrips(TIFF *tif, const PageSpec &p, const QByteArray &raster)
{
    const qsizetype stride = rowBytes(p.width, p.bps, p.spp);
    if (p.planar != PLANARCONFIG_SEPARATE) {
        for (uint32_t row = 0; row < p.length; row += p.rowsPerStrip) {
            const uint32_t n = qMin(p.rowsPerStrip, p.length - row);
            if (TIFFWriteEncodedStrip(tif, TIFFComputeStrip(tif, row, 0),
                                      const_cast<char *>(raster.constData()) + row * stride, n * stride) < 0)
                return false;
        }
        return true;
    }
    const int bs = p.bps / 8;
    QByteArray plane(int(p.width) * bs, '\0');
    for (uint16_t s = 0; s < p.spp; ++s) {
        for (uint32_t row = 0; row < p.length; ++row) {
            const char *src = raster.constData() + row * stride;
            for (uint32_t c = 0; c < p.width; ++c)
                std::memcpy(plane.data() + c * bs, src + (c * p.spp + s) * bs, size_t(bs));
            if (TIFFWriteScanline(tif, plane.data(), row, s) < 0)
                return false;
        }
    }
    return true;
}

QByteArray readDirectory(TIFF *tif)
{
    uint32_t width = 0, length = 0;
    uint16_t bps = 1, spp = 1, planar = PLANARCONFIG_CONTIG, compression = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_JPEG)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    const qsizetype stride = rowBytes(width, bps, spp);
    QByteArray raster(int(stride * length), '\0');
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const int bs = bps / 8;
    if (TIFFIsTiled(tif)) {
        uint32_t tw = 0, tl = 0;
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &tl);
        QByteArray tile(int(TIFFTileSize(tif)), '\0');
        const qsizetype tileRow = TIFFTileRowSize(tif);
        for (uint32_t row = 0; row < length; row += tl)
            for (uint32_t col = 0; col < width; col += tw)
                for (int s = 0; s < (separate ? spp : 1); ++s) {
                    if (TIFFReadTile(tif, tile.data(), col, row, 0, uint16_t(s)) < 0)
                        return QByteArray();
                    for (uint32_t r = 0; r < tl && row + r < length; ++r) {
                        char *dst = raster.data() + (row + r) * stride;
                        const char *src = tile.constData() + r * tileRow;
                        if (!separate) {
                            const qsizetype colb = qsizetype(col) * bps * spp / 8;
                            std::memcpy(dst + colb, src, size_t(qMin(tileRow, stride - colb)));
                        } else {
                            for (uint32_t c = 0; c < tw && col + c < width; ++c)
                                std::memcpy(dst + ((col + c) * spp + s) * bs, src + c * bs, size_t(bs));
                        }
                    }
                }
        return raster;
    }
    if (!separate) {
        for (uint32_t row = 0; row < length; ++row)
            if (TIFFReadScanline(tif, raster.data() + row * stride, row, 0) < 0)
                return QByteArray();
        return raster;
    }
    QByteArray plane(int(TIFFScanlineSize(tif)), '\0');
    for (uint16_t s = 0; s < spp; ++s)
        for (uint32_t row = 0; row < length; ++row) {
            if (TIFFReadScanline(tif, plane.data(), row, s) < 0)
                return QByteArray();
            for (uint32_t c = 0; c < width; ++c)
                std::memcpy(raster.data() + row * stride + (c * spp + s) * bs, plane.constData() + c * bs, size_t(bs));
        }
    return raster;
}

QStringList messages;

void collect(const char *module, const char *fmt, va_list ap)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    // The scanner's pages carry the legacy Deflate code; libtiff nags about
    // it on every page the tests write.
    if (std::strstr(text, "legacy Deflate codec"))
        return;
    const QString line = QString::fromLocal8Bit(module ? module : "") + QStringLiteral(": ") + QString::fromLocal8Bit(text);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    messages.append(line);
}

} // namespace

PageSpec PageSpec::scannerBilevel()
{
    PageSpec p;
    p.bps = 1;
    p.photometric = PHOTOMETRIC_MINISWHITE;
    p.compression = COMPRESSION_CCITTFAX4;
    p.width = 203;
    p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_THRESHHOLDING, THRESHHOLD_BILEVEL); };
    return p;
}

PageSpec PageSpec::scannerGray()
{
    PageSpec p;
    p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_THRESHHOLDING, THRESHHOLD_HALFTONE); };
    return p;
}

PageSpec PageSpec::scannerRgb()
{
    PageSpec p;
    p.spp = 3;
    p.photometric = PHOTOMETRIC_RGB;
    return p;
}

QByteArray samplePixels(const PageSpec &p)
{
    const qsizetype stride = rowBytes(p.width, p.bps, p.spp);
    QByteArray raster(int(stride * p.length), '\0');
    uint32_t state = 2463534242u ^ (p.seed * 2654435761u);
    for (uint32_t row = 0; row < p.length; ++row) {
        uint8_t *line = reinterpret_cast<uint8_t *>(raster.data()) + row * stride;
        for (qsizetype i = 0; i < stride; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            // Runs of equal bytes keep the coders honest about repeats.
            line[i] = (i % 7 < 3) ? uint8_t(row + p.seed) : uint8_t(state);
        }
        const int tailBits = int((qsizetype(p.width) * p.bps * p.spp) % 8);
        if (tailBits)
            line[stride - 1] &= uint8_t(0xFF << (8 - tailBits));
    }
    return raster;
}

bool writeTiff(const QString &path, const QList<PageSpec> &pages)
{
    Tiff tif(TIFFOpen(path.toLocal8Bit().constData(), "w"));
    if (!tif)
        return false;
    for (const PageSpec &p : pages) {
        TIFF *t = tif.get();
        if (!p.dateTime.isEmpty())
            TIFFSetField(t, TIFFTAG_DATETIME, p.dateTime.constData());
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.length);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bps);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.spp);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.photometric);
        TIFFSetField(t, TIFFTAG_COMPRESSION, p.compression);
        if (p.compression == COMPRESSION_DEFLATE || p.compression == COMPRESSION_ADOBE_DEFLATE)
            TIFFSetField(t, TIFFTAG_ZIPQUALITY, 9);
        TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
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
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, p.resUnit);
            TIFFSetField(t, TIFFTAG_XRESOLUTION, double(p.xres));
            TIFFSetField(t, TIFFTAG_YRESOLUTION, double(p.yres));
        }
        if (p.extra)
            p.extra(t);
        const QByteArray raster = samplePixels(p);
        if (!(p.tileWidth ? writeTiles(t, p, raster) : writeStrips(t, p, raster)))
            return false;
        if (!TIFFWriteDirectory(t))
            return false;
    }
    return true;
}

QList<QByteArray> readAllPixels(const QString &path)
{
    QList<QByteArray> result;
    Tiff tif(TIFFOpen(path.toLocal8Bit().constData(), "r"));
    if (!tif)
        return result;
    do {
        result.append(readDirectory(tif.get()));
    } while (TIFFReadDirectory(tif.get()));
    return result;
}

Dump tiffdump(const QString &path)
{
    Dump dump;
    QProcess p;
    p.start(QStringLiteral("tiffdump"), {path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return dump;
    static const QRegularExpression tagLine(QStringLiteral(R"(^.+? \((\d+)\) \S+ \(\d+\) (\d+)<(.*)>$)"));
    const QStringList lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Magic:")))
            dump.bigEndian = line.contains(QLatin1String("<big-endian>"));
        else if (line.startsWith(QLatin1String("Directory ")))
            dump.directories.append(DumpedDirectory());
        const QRegularExpressionMatch m = tagLine.match(line);
        if (m.hasMatch() && !dump.directories.isEmpty()) {
            dump.directories.last().values.insert(m.captured(1).toInt(), m.captured(3));
            dump.directories.last().counts.insert(m.captured(1).toInt(), m.captured(2).toInt());
        }
    }
    dump.ok = true;
    return dump;
}

QString tiffinfo(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("tiffinfo"), {path});
    p.waitForFinished(60000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

void captureTiffMessages()
{
    TIFFSetErrorHandler(collect);
    TIFFSetWarningHandler(collect);
}

QStringList takeTiffMessages()
{
    QStringList taken;
    taken.swap(messages);
    return taken;
}
