#include "pdftestkit.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <jpeglib.h>

namespace {

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

uint8_t paletteComponent(int index, int c)
{
    return uint8_t((index * (37 + 50 * c) + 20 * c) % 256);
}

} // namespace

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

int RawTiff::addBlob(const QByteArray &data)
{
    m_blobs << data;
    return m_blobs.size() - 1;
}

void RawTiff::shortTag(uint16_t tag, const QVector<uint16_t> &values)
{
    Entry e{tag, TIFF_SHORT, uint32_t(values.size()), {}, {}, 0, false};
    for (uint16_t v : values)
        put16(e.value, v);
    add(e);
}

void RawTiff::longTag(uint16_t tag, const QVector<uint32_t> &values)
{
    Entry e{tag, TIFF_LONG, uint32_t(values.size()), {}, {}, 0, false};
    for (uint32_t v : values)
        put32(e.value, v);
    add(e);
}

void RawTiff::offsetTag(uint16_t tag, const QVector<int> &blobs, int delta)
{
    add(Entry{tag, TIFF_LONG, uint32_t(blobs.size()), {}, blobs, delta, false});
}

void RawTiff::sizeTag(uint16_t tag, const QVector<int> &blobs)
{
    add(Entry{tag, TIFF_LONG, uint32_t(blobs.size()), {}, blobs, 0, true});
}

void RawTiff::asciiTag(uint16_t tag, const QByteArray &text)
{
    QByteArray v = text;
    v.append('\0');
    add(Entry{tag, TIFF_ASCII, uint32_t(v.size()), v, {}, 0, false});
}

void RawTiff::rationalTag(uint16_t tag, uint32_t num, uint32_t den)
{
    Entry e{tag, TIFF_RATIONAL, 1, {}, {}, 0, false};
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
                put32(e.value, e.sizes ? uint32_t(m_blobs[id].size()) : blobOffsets[id] + uint32_t(e.delta));
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

int pdfinfoPageCount(const QString &pdf)
{
    const ToolResult r = runTool(QStringLiteral("pdfinfo"), {pdf});
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^Pages:\\s+(\\d+)$"),
                                                         QRegularExpression::MultilineOption)
                                          .match(QString::fromLocal8Bit(r.out));
    return r.exitCode == 0 && m.hasMatch() ? m.captured(1).toInt() : -1;
}

QStringList pdfinfoPageSizes(const QString &pdf)
{
    const int pages = pdfinfoPageCount(pdf);
    if (pages <= 0)
        return {};
    const ToolResult r = runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"),
                                                             QStringLiteral("-l"), QString::number(pages), pdf});
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
        e.page = f[0].toInt();
        e.width = f[3].toInt();
        e.height = f[4].toInt();
        e.color = f[5];
        e.comp = f[6].toInt();
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
    if (r.exitCode != 0 || !data.startsWith("P6"))
        return pic;
    // "P6\n<w> <h>\n255\n" then the samples
    int pos = 2, fields[3] = {0, 0, 0};
    for (int &field : fields) {
        while (pos < data.size() && std::isspace(uchar(data[pos])))
            pos++;
        while (pos < data.size() && std::isdigit(uchar(data[pos])))
            field = field * 10 + (data[pos++] - '0');
    }
    pos++;
    const int width = fields[0], height = fields[1];
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
    PdfFile f;
    // the header is two lines; the objects follow in any order of numbers
    const int first = data.indexOf('\n', data.indexOf('\n') + 1) + 1;
    if (first <= 0 || !data.mid(first, 20).contains(" 0 obj\n")) {
        f.error = QStringLiteral("no first object");
        return f;
    }
    f.header = data.left(first);
    int pos = first;
    QRegularExpression head(QStringLiteral("^(\\d+) 0 obj\\n"));
    while (pos < data.size() && !data.mid(pos, 5).startsWith("xref")) {
        const QRegularExpressionMatch m = head.match(QString::fromLatin1(data.mid(pos, 20)));
        if (!m.hasMatch()) {
            f.error = QStringLiteral("no object at %1").arg(pos);
            return f;
        }
        PdfObject o;
        o.number = m.captured(1).toInt();
        o.offset = pos;
        const int body = pos + m.capturedLength(0);
        const int endobj = data.indexOf("endobj\n", body);
        const int streamAt = data.indexOf(" >>\nstream\n", body);
        int end = 0;
        if (streamAt >= 0 && (endobj < 0 || streamAt < endobj)) {
            o.isStream = true;
            o.dict = data.mid(body + 4, streamAt - body - 4);
            const int start = streamAt + 11;
            // the stream ends where the next object (or the xref table) begins
            const QByteArray next = QByteArray::number(o.number + 1) + " 0 obj\n";
            int at = start;
            for (;;) {
                at = data.indexOf("\nendstream\nendobj\n", at);
                if (at < 0)
                    break;
                const QByteArray after = data.mid(at + 18, next.size());
                if (after == next || after.startsWith("xref\n"))
                    break;
                at++;
            }
            if (at < 0) {
                f.error = QStringLiteral("unterminated stream in object %1").arg(o.number);
                return f;
            }
            o.stream = data.mid(start, at - start);
            end = at + 18;
        } else {
            if (endobj < 0) {
                f.error = QStringLiteral("unterminated object %1").arg(o.number);
                return f;
            }
            end = endobj + 7;
        }
        o.text = data.mid(pos, end - pos);
        f.objects << o;
        pos = end;
    }
    f.xrefOffset = pos;
    const int trailer = data.indexOf("trailer\n", pos);
    if (trailer < 0) {
        f.error = QStringLiteral("no trailer");
        return f;
    }
    f.xref = data.mid(pos, trailer - pos);
    f.trailer = data.mid(trailer);
    f.ok = true;
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
