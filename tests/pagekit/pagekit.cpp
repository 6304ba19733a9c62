#include "pagekit.h"

#include <QFile>
#include <QRegularExpression>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace pagekit {

namespace {

int channelsOf(const ExpectedPage &e)
{
    return e.mode == ExpectedPage::Color ? 3 : 1;
}

// The simulator's formula, with x the pixel, y the line and c the colour
// (red 0, green 1, blue 2, gray 0): lineart as 1 for black, 16-bit samples
// as s*256 + (255 - s).
unsigned expectedSample(const ExpectedPage &e, int x, int y, int c)
{
    const bool white = e.whiteFrom >= 0
        && (y > e.whiteFrom || (y == e.whiteFrom && x * channelsOf(e) + c >= e.whiteFromSample));
    if (e.mode == ExpectedPage::Lineart)
        return white ? 0 : (x + y + e.image - 1) % 4 == 0;
    if (e.depth == 16)
        return white ? 65535 : sample16(x, y, c, e.image);
    return white ? 255 : sample8(x, y, c, e.image);
}

// A page file decoded into numbers, in the same terms as expectedSample.
struct Decoded {
    int width = 0;
    int height = 0;
    int channels = 0;
    int depth = 0;
    std::vector<uint16_t> samples; // row by row, interleaved
    QString error;

    // Rows of 1-, 8- or 16-bit samples (16-bit big-endian or in host order).
    void addRow(const unsigned char *row, bool bigEndian, bool invertBits)
    {
        for (int i = 0; i < width * channels; ++i) {
            uint16_t v;
            if (depth == 1)
                v = uint16_t(bool(row[i / 8] & (0x80 >> (i % 8))) != invertBits);
            else if (depth == 8)
                v = row[i];
            else if (bigEndian)
                v = uint16_t(row[2 * i] << 8 | row[2 * i + 1]);
            else
                std::memcpy(&v, row + 2 * i, 2);
            samples.push_back(v);
        }
    }
};

QString compare(const Decoded &d, const ExpectedPage &e)
{
    if (!d.error.isEmpty())
        return d.error;
    if (d.width != e.width || d.height != e.height)
        return QString("size %1x%2, expected %3x%4").arg(d.width).arg(d.height).arg(e.width).arg(e.height);
    if (d.channels != channelsOf(e) || d.depth != e.depth)
        return QString("%1 samples of %2 bits, expected %3 of %4")
            .arg(d.channels).arg(d.depth).arg(channelsOf(e)).arg(e.depth);
    size_t i = 0;
    for (int y = 0; y < e.height; ++y)
        for (int x = 0; x < e.width; ++x)
            for (int c = 0; c < d.channels; ++c, ++i)
                if (d.samples[i] != expectedSample(e, x, y, c))
                    return QString("pixel (%1,%2) sample %3 is %4, expected %5")
                        .arg(x).arg(y).arg(c).arg(d.samples[i]).arg(expectedSample(e, x, y, c));
    return QString();
}

// Netpbm exactly as the page writer produces it: magic, one comment, sizes,
// maxval (none for 1-bit), the data.
Decoded readPnm(const QByteArray &data)
{
    Decoded d;
    const bool bitmap = data[1] == '4';
    static const QRegularExpression pbm(R"(^P4\n#[^\n]*\n(\d+) (\d+)\n)");
    static const QRegularExpression pgm(R"(^P([56])\n#[^\n]*\n(\d+) (\d+)\n(255|65535)\n)");
    const QRegularExpressionMatch m = (bitmap ? pbm : pgm).match(QString::fromLatin1(data.left(100)));
    if (!m.hasMatch()) {
        d.error = "unreadable PNM header";
        return d;
    }
    d.width = m.captured(bitmap ? 1 : 2).toInt();
    d.height = m.captured(bitmap ? 2 : 3).toInt();
    d.channels = !bitmap && m.captured(1) == "6" ? 3 : 1;
    d.depth = bitmap ? 1 : m.captured(4) == "255" ? 8 : 16;
    const size_t bytes = (size_t(d.width) * d.channels * d.depth + 7) / 8;
    const int pos = m.capturedEnd();
    if (size_t(data.size() - pos) != bytes * size_t(d.height)) {
        d.error = QString("PNM holds %1 data bytes, its header promises %2")
                      .arg(data.size() - pos).arg(bytes * size_t(d.height));
        return d;
    }
    for (int y = 0; y < d.height; ++y)
        d.addRow(reinterpret_cast<const unsigned char *>(data.constData()) + pos + y * bytes, true, false);
    return d;
}

// Everything with a destructor lives outside the stretch that libpng may
// jump out of.
Decoded readPng(const QString &path, const ExpectedPage &e)
{
    Decoded d;
    std::vector<unsigned char> row;
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const char *volatile problem = nullptr; // set on both sides of a longjmp
    if (!file || !info) {
        problem = "cannot open the PNG";
    } else if (setjmp(png_jmpbuf(png))) {
        problem = "libpng cannot read the file";
    } else {
        png_init_io(png, file);
        png_read_info(png, info);
        d.width = int(png_get_image_width(png, info));
        d.height = int(png_get_image_height(png, info));
        d.depth = png_get_bit_depth(png, info);
        const int type = png_get_color_type(png, info);
        d.channels = type == PNG_COLOR_TYPE_RGB ? 3 : type == PNG_COLOR_TYPE_GRAY ? 1 : 0;
        png_uint_32 xppm = 0, yppm = 0;
        int unit = -1;
        const bool phys = png_get_pHYs(png, info, &xppm, &yppm, &unit) != 0;
        const auto wanted = png_uint_32(e.dpi * 39.3700787401575);
        if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
            problem = "interlaced PNG";
        } else if (e.dpi > 0 ? !phys || xppm != wanted || yppm != wanted || unit != PNG_RESOLUTION_METER : phys) {
            problem = "wrong pHYs";
        } else {
            row.resize(png_get_rowbytes(png, info));
            for (int y = 0; y < d.height; ++y) {
                png_read_row(png, row.data(), nullptr);
                d.addRow(row.data(), true, d.depth == 1); // PNG gray 0 is black
            }
            png_read_end(png, nullptr);
        }
    }
    if (png)
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (file)
        std::fclose(file);
    if (problem)
        d.error = problem;
    return d;
}

Decoded readTiff(const QString &path, const ExpectedPage &e)
{
    Decoded d;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff) {
        d.error = "libtiff cannot open the file";
        return d;
    }
    const auto u16 = [tiff](ttag_t tag) { uint16_t v = 0; TIFFGetField(tiff, tag, &v); return v; };
    const auto u32 = [tiff](ttag_t tag) { uint32_t v = 0; TIFFGetField(tiff, tag, &v); return v; };
    const auto real = [tiff](ttag_t tag) { float v = -1; TIFFGetField(tiff, tag, &v); return v; };
    char *stamp = nullptr;
    TIFFGetField(tiff, TIFFTAG_DATETIME, &stamp);
    d.width = int(u32(TIFFTAG_IMAGEWIDTH));
    d.height = int(u32(TIFFTAG_IMAGELENGTH));
    d.depth = u16(TIFFTAG_BITSPERSAMPLE);
    d.channels = u16(TIFFTAG_SAMPLESPERPIXEL);
    const uint16_t compression = u16(TIFFTAG_COMPRESSION), photometric = u16(TIFFTAG_PHOTOMETRIC),
                   unit = u16(TIFFTAG_RESOLUTIONUNIT);
    const float xres = real(TIFFTAG_XRESOLUTION), yres = real(TIFFTAG_YRESOLUTION);

    const uint16_t wantCompression = e.depth == 1 ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE;
    const uint16_t wantPhotometric = e.depth == 1 ? PHOTOMETRIC_MINISWHITE
                                     : e.mode == ExpectedPage::Color ? PHOTOMETRIC_RGB
                                                                     : PHOTOMETRIC_MINISBLACK;
    if (compression != wantCompression)
        d.error = QString("compression %1, expected %2").arg(compression).arg(wantCompression);
    else if (photometric != wantPhotometric)
        d.error = QString("photometric %1, expected %2").arg(photometric).arg(wantPhotometric);
    else if (u32(TIFFTAG_ROWSPERSTRIP) != 1 || u16(TIFFTAG_PLANARCONFIG) != PLANARCONFIG_CONTIG
             || u16(TIFFTAG_FILLORDER) != FILLORDER_MSB2LSB)
        d.error = "layout tags differ";
    else if (unit != RESUNIT_INCH || xres != float(e.dpi) || yres != float(e.dpi))
        d.error = QString("resolution %1x%2 unit %3, expected %4 per inch").arg(xres).arg(yres).arg(unit).arg(e.dpi);
    else if (!stamp || std::strlen(stamp) != 19)
        d.error = "no date and time";
    std::vector<unsigned char> row(size_t(TIFFScanlineSize(tiff)));
    for (uint32_t y = 0; d.error.isEmpty() && y < uint32_t(d.height); ++y) {
        if (TIFFReadScanline(tiff, row.data(), y, 0) < 0)
            d.error = QString("row %1 cannot be read").arg(y);
        else
            d.addRow(row.data(), false, false); // min-is-white: a set bit is black
    }
    TIFFClose(tiff);
    return d;
}

} // namespace

QByteArray expectedJpeg(const ExpectedPage &e)
{
    const int channels = channelsOf(e);
    std::vector<unsigned char> row(size_t(e.width) * channels);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_compress_struct cinfo = {};
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(e.width);
    cinfo.image_height = JDIMENSION(e.height);
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    if (e.dpi > 0) {
        cinfo.write_JFIF_header = TRUE;
        cinfo.density_unit = 1;
        cinfo.X_density = cinfo.Y_density = UINT16(e.dpi);
    }
    jpeg_set_quality(&cinfo, 75, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    for (int y = 0; y < e.height; ++y) {
        for (size_t i = 0; i < row.size(); ++i) {
            const unsigned s = expectedSample(e, int(i) / channels, y, int(i) % channels);
            row[i] = e.mode == ExpectedPage::Lineart ? (s ? 0 : 255) : e.depth == 16 ? (s >> 8) : s;
        }
        JSAMPROW line = row.data();
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char *>(out), int(size));
    std::free(out);
    return bytes;
}

QString checkPage(const QString &path, const ExpectedPage &e)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString("cannot open %1").arg(path);
    const QByteArray data = file.readAll();
    if (data.startsWith("\xFF\xD8\xFF")) {
        const QByteArray want = expectedJpeg(e);
        int at = 0;
        while (at < data.size() && at < want.size() && data[at] == want[at])
            ++at;
        return data == want ? QString()
                            : QString("JPEG of %1 bytes differs from the expected %2 bytes at byte %3")
                                  .arg(data.size()).arg(want.size()).arg(at);
    }
    if (data.startsWith("P4") || data.startsWith("P5") || data.startsWith("P6"))
        return compare(readPnm(data), e);
    if (data.startsWith("\x89PNG"))
        return compare(readPng(path, e), e);
    if (data.startsWith(QByteArray("II*\0", 4)) || data.startsWith(QByteArray("MM\0*", 4)))
        return compare(readTiff(path, e), e);
    return QString("%1 is not a page file").arg(path);
}

unsigned sample8(int x, int y, int c, int n)
{
    return unsigned(x + 2 * y + 85 * c + 37 * (n - 1)) & 0xFFu;
}

unsigned sample16(int x, int y, int c, int n)
{
    const unsigned s = sample8(x, y, c, n);
    return s * 256 + (255 - s);
}

} // namespace pagekit
