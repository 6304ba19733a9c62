#include "tiffsamples.h"

#include <QRegularExpression>

#include <cstring>

namespace {

// The scanner's page made small and noisy, in the legacy Deflate code at
// level 9 and with the FillOrder and Threshholding tags the scanner writes.
TiffPage scanned(TiffPage p, uint16_t threshholding)
{
    if (p.compression != COMPRESSION_CCITTFAX4)
        p.compression = COMPRESSION_DEFLATE;
    p.zipQuality = 9;
    p.fillOrder = FILLORDER_MSB2LSB;
    p.pattern = noisyPixels;
    if (threshholding)
        p.extra = [threshholding](TIFF *t) { TIFFSetField(t, TIFFTAG_THRESHHOLDING, threshholding); };
    return p;
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
    const qsizetype stride = rowBytes(width, spp, bps);
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

} // namespace

TiffPage scannedBilevel()
{
    return scanned(scannerBilevel(203, 37), THRESHHOLD_BILEVEL);
}

TiffPage scannedGray()
{
    return scanned(scannerGray(61, 37), THRESHHOLD_HALFTONE);
}

TiffPage scannedRgb()
{
    return scanned(scannerRgb(61, 37), 0);
}

QList<QByteArray> readAllPixels(const QString &path)
{
    QList<QByteArray> result;
    TiffFile tif(TIFFOpen(path.toLocal8Bit().constData(), "r"));
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
    const ToolResult r = runTool(QStringLiteral("tiffdump"), {path});
    if (r.exitCode != 0)
        return dump;
    static const QRegularExpression tagLine(QStringLiteral(R"(^.+? \((\d+)\) \S+ \(\d+\) (\d+)<(.*)>$)"));
    const QStringList lines = QString::fromLocal8Bit(r.out).split(QLatin1Char('\n'));
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

QString tagMismatches(const DumpedDirectory &dir, const QMap<int, QString> &expected)
{
    QString report;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QString found = dir.values.value(it.key());
        if (it.value().startsWith(QLatin1Char('#')) && dir.values.contains(it.key()))
            found = QLatin1Char('#') + QString::number(dir.counts.value(it.key()));
        if (found != it.value())
            report += QStringLiteral("tag %1: <%2>, expected <%3>\n").arg(it.key()).arg(found, it.value());
    }
    return report;
}
