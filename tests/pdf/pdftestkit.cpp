#include "pdftestkit.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>

namespace {

uint8_t paletteComponent(int index, int c)
{
    return uint8_t((index * (37 + 50 * c) + 20 * c) % 256);
}

} // namespace

TiffPage palettePage(uint16_t bps)
{
    TiffPage p;
    p.spp = 1;
    p.bps = bps;
    p.photometric = PHOTOMETRIC_PALETTE;
    p.extra = [bps](TIFF *t) {
        const int n = 1 << bps;
        QVector<uint16_t> r(n), g(n), b(n);
        for (int i = 0; i < n; i++) {
            r[i] = uint16_t(paletteComponent(i, 0) * 257);
            g[i] = uint16_t(paletteComponent(i, 1) * 257);
            b[i] = uint16_t(paletteComponent(i, 2) * 257);
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    };
    return p;
}

QByteArray encodeJpeg(const QByteArray &rgb, int width, int height, int restartRows)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &mem, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.write_JFIF_header = FALSE;
    jpeg_set_quality(&cinfo, 90, TRUE);
    cinfo.restart_in_rows = restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<char *>(rgb.constData()) + cinfo.next_scanline * width * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray out(reinterpret_cast<const char *>(mem), int(size));
    free(mem);
    return out;
}

bool qpdfCheckClean(const QString &pdf, QString *report)
{
    const ToolResult r = runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
    *report = QString::fromLocal8Bit(r.out + r.err);
    return r.exitCode == 0 && r.out.contains("No syntax or stream encoding errors found")
           && !report->contains(QStringLiteral("WARNING"), Qt::CaseInsensitive);
}

QStringList pdfinfoPageSizes(const QString &pdf)
{
    const ToolResult r = runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"),
                                                             QStringLiteral("-l"), QStringLiteral("99999"), pdf});
    QStringList sizes;
    QRegularExpression re(QStringLiteral("^Page\\s+\\d+ size:\\s+(\\S+ x \\S+) pts"), QRegularExpression::MultilineOption);
    auto it = re.globalMatch(QString::fromLocal8Bit(r.out));
    while (it.hasNext())
        sizes << it.next().captured(1);
    return sizes;
}

QList<ImageListEntry> pdfimagesList(const QString &pdf)
{
    const ToolResult r = runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), pdf});
    QList<ImageListEntry> list;
    const QStringList lines = QString::fromLocal8Bit(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (int i = 2; i < lines.size(); i++) {
        const QStringList f = lines[i].simplified().split(QLatin1Char(' '));
        if (f.size() < 9)
            continue;
        ImageListEntry e;
        e.width = f[3].toInt();
        e.height = f[4].toInt();
        e.color = f[5];
        e.bpc = f[7].toInt();
        e.enc = f[8];
        list << e;
    }
    return list;
}

Picture renderPage(const QString &pdf, int page, int dpi, int oversample)
{
    QTemporaryDir dir;
    const QString prefix = dir.filePath(QStringLiteral("page"));
    const ToolResult r = runTool(QStringLiteral("pdftoppm"),
                                 {QStringLiteral("-r"), QString::number(dpi * oversample), QStringLiteral("-f"), QString::number(page),
                                  QStringLiteral("-l"), QString::number(page), QStringLiteral("-singlefile"), pdf, prefix});
    Picture pic;
    const QByteArray data = readFile(prefix + QStringLiteral(".ppm"));
    // "P6\n<w> <h>\n255\n" then the samples
    int width = 0, height = 0, pos = 0;
    if (r.exitCode != 0 || std::sscanf(data.constData(), "P6 %d %d 255%n", &width, &height, &pos) != 2 || pos == 0)
        return pic;
    pos++;
    const uchar *samples = reinterpret_cast<const uchar *>(data.constData()) + pos;
    if (data.size() - pos < width * height * 3 || width % oversample || height % oversample)
        return pic;
    pic.width = width / oversample;
    pic.height = height / oversample;
    pic.rgb.resize(pic.width * pic.height * 3);
    const int area = oversample * oversample;
    for (int y = 0; y < pic.height; y++) {
        for (int x = 0; x < pic.width; x++) {
            for (int c = 0; c < 3; c++) {
                int sum = 0;
                for (int dy = 0; dy < oversample; dy++)
                    for (int dx = 0; dx < oversample; dx++)
                        sum += samples[((y * oversample + dy) * width + x * oversample + dx) * 3 + c];
                pic.rgb[(y * pic.width + x) * 3 + c] = char((sum + area / 2) / area);
            }
        }
    }
    return pic;
}

Picture expectedPicture(const TiffPage &p)
{
    const QByteArray raster = pagePixels(p);
    const int maxValue = int(maxSample(p.bps));
    auto sample = [&](uint32_t x, uint32_t y, int s) { return int(sampleAt(raster, p, x, y, s)); };
    Picture src;
    src.width = int(p.width);
    src.height = int(p.length);
    src.rgb.resize(src.width * src.height * 3);
    for (uint32_t y = 0; y < p.length; y++) {
        for (uint32_t x = 0; x < p.width; x++) {
            int rgb[3];
            if (p.photometric == PHOTOMETRIC_PALETTE) {
                for (int c = 0; c < 3; c++)
                    rgb[c] = paletteComponent(sample(x, y, 0), c);
            } else if (p.spp < 3) {
                int v = sample(x, y, 0) * 255 / maxValue;
                if (p.photometric == PHOTOMETRIC_MINISWHITE)
                    v = 255 - v;
                rgb[0] = rgb[1] = rgb[2] = v;
            } else {
                for (int c = 0; c < 3; c++)
                    rgb[c] = sample(x, y, c) * 255 / maxValue;
                if (p.spp == 4 && p.extraSample == EXTRASAMPLE_UNASSALPHA) {
                    const int a = sample(x, y, 3);
                    for (int &v : rgb)
                        v = (v * a + 255 * (255 - a) + 127) / 255;
                }
            }
            char *out = src.rgb.data() + (int(y) * src.width + int(x)) * 3;
            for (int c = 0; c < 3; c++)
                out[c] = char(rgb[c]);
        }
    }
    // Turn into the display orientation.
    const int o = p.orientation;
    if (o <= 1)
        return src;
    Picture out;
    const bool swap = o >= 5;
    out.width = swap ? src.height : src.width;
    out.height = swap ? src.width : src.height;
    out.rgb.resize(src.rgb.size());
    const int W = src.width, L = src.height;
    for (int Y = 0; Y < out.height; Y++) {
        for (int X = 0; X < out.width; X++) {
            int c = 0, r = 0;
            switch (o) {
            case 2: c = W - 1 - X; r = Y; break;
            case 3: c = W - 1 - X; r = L - 1 - Y; break;
            case 4: c = X; r = L - 1 - Y; break;
            case 5: c = Y; r = X; break;
            case 6: c = Y; r = L - 1 - X; break;
            case 7: c = W - 1 - Y; r = L - 1 - X; break;
            default: c = W - 1 - Y; r = X; break;  // 8
            }
            std::memcpy(out.rgb.data() + (Y * out.width + X) * 3, src.rgb.constData() + (r * W + c) * 3, 3);
        }
    }
    return out;
}

double meanDifference(const Picture &a, const Picture &b)
{
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.isEmpty())
        return -1;
    double sum = 0;
    for (int i = 0; i < a.rgb.size(); i++)
        sum += std::abs(int(uchar(a.rgb[i])) - int(uchar(b.rgb[i])));
    return sum / a.rgb.size();
}

PdfFile parsePdf(const QByteArray &data)
{
    // Objects are cut at the offsets the cross-reference table gives (a grown
    // document writes them out of number order), so that a wrong offset shows
    // as an object that does not begin or end where it should.
    PdfFile f;
    const int xref = data.lastIndexOf("\nxref\n") + 1;
    const int trailer = data.indexOf("trailer\n", xref);
    if (xref <= 0 || trailer < 0) {
        f.error = QStringLiteral("no cross-reference table");
        return f;
    }
    f.xrefOffset = xref;
    f.xref = data.mid(xref, trailer - xref);
    f.trailer = data.mid(trailer);
    // after "xref", "0 <size> " and the free entry, one line per object
    const QList<QByteArray> lines = f.xref.split('\n').mid(3, f.xref.count('\n') - 3);
    QList<qint64> starts{xref};
    for (const QByteArray &line : lines)
        starts << line.left(10).toLongLong();
    std::sort(starts.begin(), starts.end());
    for (const QByteArray &line : lines) {
        PdfObject o;
        o.number = f.objects.size() + 1;
        o.offset = line.left(10).toLongLong();
        o.text = data.mid(o.offset, *std::upper_bound(starts.begin(), starts.end(), o.offset) - o.offset);
        const QByteArray head = QByteArray::number(o.number) + " 0 obj\n<< \n";
        const int stream = o.text.indexOf(" >>\nstream\n");
        if (!o.text.startsWith(QByteArray::number(o.number) + " 0 obj\n") || !o.text.endsWith("endobj\n")) {
            f.error = QStringLiteral("object %1 is not at its offset").arg(o.number);
            return f;
        }
        if (o.text.startsWith(head) && stream > 0 && o.text.endsWith("\nendstream\nendobj\n")) {
            o.isStream = true;
            o.dict = o.text.mid(head.size(), stream - head.size());
            o.stream = o.text.mid(stream + 11, o.text.size() - 18 - stream - 11);
        }
        f.objects << o;
    }
    f.header = data.left(int(starts.first()));
    f.ok = !f.objects.isEmpty();
    return f;
}

JpegParts splitJpeg(const QByteArray &jpeg)
{
    JpegParts parts;
    int i = 2;
    while (i + 4 <= jpeg.size() && uchar(jpeg[i]) == 0xff) {
        const uchar marker = uchar(jpeg[i + 1]);
        const int length = (uchar(jpeg[i + 2]) << 8) | uchar(jpeg[i + 3]);
        const QByteArray body = jpeg.mid(i + 4, length - 2);
        if (marker == 0xdb) {
            for (int k = 0; k + 65 <= body.size(); k += 65)
                parts.qtables << body.mid(k + 1, 64);
        } else if (marker == 0xc4) {
            for (int k = 0; k + 17 <= body.size();) {
                int symbols = 0;
                for (int n = 1; n <= 16; n++)
                    symbols += uchar(body[k + n]);
                (uchar(body[k]) >> 4 ? parts.actables : parts.dctables) << body.mid(k + 1, 16 + symbols);
                k += 17 + symbols;
            }
        } else if (marker == 0xda) {
            // entropy-coded data up to the end marker, cut at restart markers
            QByteArray scan = jpeg.mid(i + 2 + length, jpeg.size() - (i + 2 + length) - 2);
            int from = 0;
            for (int k = 0; k + 1 < scan.size(); k++) {
                if (uchar(scan[k]) == 0xff && uchar(scan[k + 1]) >= 0xd0 && uchar(scan[k + 1]) <= 0xd7) {
                    parts.segments << scan.mid(from, k - from);
                    from = k + 2;
                    k++;
                }
            }
            parts.segments << scan.mid(from);
            break;
        }
        i += 2 + length;
    }
    return parts;
}
