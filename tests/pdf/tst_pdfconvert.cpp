// Conversion of multi-page TIFF files into PDF documents, judged by what a
// reader sees: qpdf finds nothing wrong, poppler counts the pages, measures
// them, names the image encodings and renders pixels close to the input.

#include "multitiff.h"
#include "growingdocument.h"
#include "pdftestkit.h"
#include "tiff2pdf.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

TiffPage jpegPage(uint16_t photometric, uint16_t spp)
{
    TiffPage p;
    p.width = 80;
    p.length = 64;
    p.spp = spp;
    p.photometric = photometric;
    p.compression = COMPRESSION_JPEG;
    p.rowsPerStrip = 16;
    if (photometric == PHOTOMETRIC_YCBCR)
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); };
    return p;
}

TiffPage tiled(TiffPage p, uint32_t width, uint32_t length, uint32_t tile)
{
    p.width = width;
    p.length = length;
    p.tileWidth = p.tileLength = tile;
    return p;
}

// A 16-bit page as the assembly hands it over (LZW, 16-row strips): a smooth
// picture in the high bytes and noise in the low ones, so that a page made
// from the low bytes looks nothing like it.
TiffPage sixteenBits(TiffPage p)
{
    p.bps = 16;
    p.compression = COMPRESSION_LZW;
    p.rowsPerStrip = 16;
    p.pattern = [](const TiffPage &page) {
        TiffPage eight = page;
        eight.bps = 8;
        const QByteArray high = smoothPixels(eight);
        QByteArray raster(int(rowBytes(page.width, page.spp, 16) * page.length), '\0');
        for (uint32_t y = 0; y < page.length; y++)
            for (uint32_t x = 0; x < page.width; x++)
                for (int s = 0; s < page.spp; s++)
                    setSample(raster, page, x, y, s, sampleAt(high, eight, x, y, s) << 8 | ((x * 37 + y * 91 + s * 53) & 0xff));
        return raster;
    };
    return p;
}

// An uncompressed YCbCr page in tiles as a camera stores it: chroma
// subsampled 2 x 2, one colour per block of 2 x 2 pixels, at 72 pixels per
// inch. Blocks past the image's edge hold junk.
QByteArray subsampledTiles(uint32_t width, uint32_t length, uint32_t tile)
{
    RawTiff r;
    QVector<int> tiles;
    for (uint32_t y0 = 0; y0 < length; y0 += tile) {
        for (uint32_t x0 = 0; x0 < width; x0 += tile) {
            QByteArray data;
            for (uint32_t by = y0 / 2; by < (y0 + tile) / 2; by++) {
                for (uint32_t bx = x0 / 2; bx < (x0 + tile) / 2; bx++) {
                    data += QByteArray(4, char(40 + 160 * bx / width));
                    data += char(90 + 160 * by / length);
                    data += char(170 - 120 * bx / width);
                }
            }
            tiles << r.addBlob(data);
        }
    }
    r.longTag(TIFFTAG_IMAGEWIDTH, {width});
    r.longTag(TIFFTAG_IMAGELENGTH, {length});
    r.shortTag(TIFFTAG_BITSPERSAMPLE, {8, 8, 8});
    r.shortTag(TIFFTAG_COMPRESSION, {COMPRESSION_NONE});
    r.shortTag(TIFFTAG_PHOTOMETRIC, {PHOTOMETRIC_YCBCR});
    r.shortTag(TIFFTAG_SAMPLESPERPIXEL, {3});
    r.rationalTag(TIFFTAG_XRESOLUTION, 72, 1);
    r.rationalTag(TIFFTAG_YRESOLUTION, 72, 1);
    r.shortTag(TIFFTAG_RESOLUTIONUNIT, {RESUNIT_INCH});
    r.longTag(TIFFTAG_TILEWIDTH, {tile});
    r.longTag(TIFFTAG_TILELENGTH, {tile});
    r.offsetTag(TIFFTAG_TILEOFFSETS, tiles);
    r.sizeTag(TIFFTAG_TILEBYTECOUNTS, tiles);
    r.shortTag(TIFFTAG_YCBCRSUBSAMPLING, {2, 2});
    return r.build();
}

// The page as libtiff's own RGBA reading sees it.
Picture readRgba(const QString &path)
{
    Picture pic;
    const TiffFile t(TIFFOpen(QFile::encodeName(path).constData(), "r"));
    uint32_t width = 0, length = 0;
    if (t && TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &width) && TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &length)) {
        QVector<uint32_t> raster(int(width * length));
        if (TIFFReadRGBAImageOriented(t.get(), width, length, raster.data(), ORIENTATION_TOPLEFT, 0)) {
            pic.width = int(width);
            pic.height = int(length);
            for (uint32_t v : raster)
                for (int shift : {0, 8, 16})  // red, green, blue
                    pic.rgb += char(v >> shift & 0xff);
        }
    }
    return pic;
}

} // namespace

class TestPdfConvert : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_count = 0;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Writes the pages into one TIFF file and converts it; empty on failure.
    QString convert(const QList<TiffPage> &pages)
    {
        const QString tiff = path(QStringLiteral("in%1.tiff").arg(m_count));
        const QString pdf = path(QStringLiteral("out%1.pdf").arg(m_count++));
        if (!writeTiff(tiff, pages))
            return QString();
        return convert2pdf(tiff, pdf) == 0 ? pdf : QString();
    }

    static void verifyClean(const QString &pdf)
    {
        QString report;
        QVERIFY2(qpdfCheckClean(pdf, &report), qPrintable(report));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages();
    }

    void init() { takeTiffMessages(); }

    // One page per kind of input: the encoding poppler finds and how close
    // the rendering is to the pixels that went in (at one pixel per pixel).
    void pageRendersLikeItsPixels_data()
    {
        QTest::addColumn<TiffPage>("page");
        QTest::addColumn<QString>("enc");
        QTest::addColumn<QString>("color");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<double>("maxDiff");

        TiffPage p;
        const QString jpeg = QStringLiteral("jpeg"), flate = QStringLiteral("image"), ccitt = QStringLiteral("ccitt");
        const QString rgb = QStringLiteral("rgb"), gray = QStringLiteral("gray");

        QTest::newRow("rgb, one row per strip") << TiffPage() << jpeg << rgb << 72 << 4.0;
        p = scannerGray(64, 48);
        p.xres = p.yres = 72;
        QTest::newRow("gray, one row per strip") << p << jpeg << gray << 72 << 4.0;
        p.photometric = PHOTOMETRIC_MINISWHITE;
        QTest::newRow("gray, min-is-white") << p << jpeg << gray << 72 << 4.0;
        p.bps = 4;
        p.photometric = PHOTOMETRIC_MINISBLACK;
        QTest::newRow("gray, 4 bits") << p << jpeg << gray << 72 << 4.0;

        p.photometric = PHOTOMETRIC_MINISBLACK;
        QTest::newRow("gray, 16 bits: the high bytes") << sixteenBits(p) << jpeg << gray << 72 << 4.0;
        QTest::newRow("rgb, 16 bits: the high bytes") << sixteenBits(TiffPage()) << jpeg << rgb << 72 << 4.0;

        p = scannerBilevel(64, 48);
        p.xres = p.yres = 72;
        QTest::newRow("bilevel Group 4, one row per strip") << p << ccitt << gray << 72 << 2.0;
        p.rowsPerStrip = p.length;
        QTest::newRow("bilevel Group 4, one strip (stored data)") << p << ccitt << gray << 72 << 2.0;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB); };
        QTest::newRow("bilevel Group 4, one strip, reversed bits") << p << ccitt << gray << 72 << 2.0;
        p.extra = nullptr;
        p.compression = COMPRESSION_ADOBE_DEFLATE;
        p.photometric = PHOTOMETRIC_MINISBLACK;
        p.rowsPerStrip = 5;
        p.width = 61;
        QTest::newRow("bilevel Deflate min-is-black, odd width") << p << ccitt << gray << 72 << 2.0;

        p = TiffPage();
        p.rowsPerStrip = p.length;
        QTest::newRow("rgb Deflate, one strip (stored data)") << p << flate << rgb << 72 << 2.0;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL); };
        QTest::newRow("rgb Deflate with predictor, one strip") << p << flate << rgb << 72 << 2.0;
        p = TiffPage();
        p.compression = COMPRESSION_LZW;
        p.rowsPerStrip = 16;
        QTest::newRow("rgb LZW, 16-row strips") << p << jpeg << rgb << 72 << 4.0;

        QTest::newRow("tiled Deflate, edge tiles") << tiled(TiffPage(), 100, 70, 32) << flate << rgb << 72 << 2.0;
        p = tiled(TiffPage(), 100, 70, 32);
        p.compression = COMPRESSION_LZW;
        QTest::newRow("tiled LZW, edge tiles") << p << jpeg << rgb << 72 << 4.0;
        p = tiled(scannerBilevel(100, 70), 100, 70, 32);
        p.xres = p.yres = 72;
        QTest::newRow("tiled Group 4, edge tiles") << p << ccitt << gray << 72 << 2.0;
        p = tiled(TiffPage(), 96, 64, 32);
        p.orientation = 6;
        QTest::newRow("tiled, orientation 6") << p << flate << rgb << 72 << 2.0;
        p.orientation = 3;
        p.width = 90;
        QTest::newRow("tiled, orientation 3, edge tiles") << p << flate << rgb << 72 << 2.0;

        p = TiffPage();
        p.compression = COMPRESSION_LZW;
        p.rowsPerStrip = 8;
        for (p.orientation = 2; p.orientation <= 8; p.orientation++)
            QTest::addRow("orientation %d", p.orientation) << p << jpeg << rgb << 72 << 4.0;

        p = TiffPage();
        p.planar = PLANARCONFIG_SEPARATE;
        p.rowsPerStrip = 5;
        QTest::newRow("separate planes") << p << jpeg << rgb << 72 << 4.0;
        p = tiled(p, 70, 50, 16);
        QTest::newRow("separate planes, tiled") << p << jpeg << rgb << 72 << 4.0;

        // Saturated palette colours side by side lose some chroma in JPEG;
        // a wrong entry or a misread index is off by far more.
        QTest::newRow("palette, 8 bits") << palettePage(8) << jpeg << rgb << 72 << 12.0;
        QTest::newRow("palette, 4 bits") << palettePage(4) << jpeg << rgb << 72 << 12.0;
        QTest::newRow("palette, 1 bit") << palettePage(1) << jpeg << rgb << 72 << 12.0;

        p = TiffPage();
        p.spp = 4;
        p.extraSample = EXTRASAMPLE_UNASSALPHA;
        QTest::newRow("rgb with unassociated alpha") << p << jpeg << rgb << 72 << 4.0;
        p.extraSample = EXTRASAMPLE_ASSOCALPHA;
        QTest::newRow("rgb with associated alpha") << p << jpeg << rgb << 72 << 4.0;
        p.extraSample = EXTRASAMPLE_UNSPECIFIED;
        QTest::newRow("rgb with an unspecified extra sample") << p << jpeg << rgb << 72 << 4.0;

        QTest::newRow("YCbCr JPEG, 16-row strips (stored data)")
            << jpegPage(PHOTOMETRIC_YCBCR, 3) << jpeg << rgb << 72 << 4.0;
        QTest::newRow("RGB JPEG (stored data)") << jpegPage(PHOTOMETRIC_RGB, 3) << jpeg << rgb << 72 << 4.0;
        QTest::newRow("gray JPEG (stored data)") << jpegPage(PHOTOMETRIC_MINISBLACK, 1) << jpeg << gray << 72 << 4.0;
        QTest::newRow("YCbCr JPEG, tiled with edge tiles")
            << tiled(jpegPage(PHOTOMETRIC_YCBCR, 3), 100, 70, 32) << jpeg << rgb << 72 << 4.0;

        p = TiffPage();
        p.width = p.length = 127;  // 36 points at 254 per inch
        p.resUnit = RESUNIT_CENTIMETER;
        p.xres = p.yres = 100;  // 254 per inch
        QTest::newRow("resolution in centimetres") << p << jpeg << rgb << 254 << 4.0;
        p.resUnit = 0;
        QTest::newRow("no resolution: 300 per inch") << p << jpeg << rgb << 300 << 4.0;
    }

    void pageRendersLikeItsPixels()
    {
        QFETCH(TiffPage, page);
        QFETCH(QString, enc);
        QFETCH(QString, color);
        QFETCH(int, dpi);
        QFETCH(double, maxDiff);

        const QString pdf = convert({page});
        QVERIFY2(!pdf.isEmpty(), qPrintable(takeTiffMessages().join(QLatin1Char('\n'))));
        verifyClean(pdf);
        QCOMPARE(pdfinfoPageSizes(pdf).size(), 1);
        const QList<ImageListEntry> images = pdfimagesList(pdf);
        QVERIFY(!images.isEmpty());
        for (const ImageListEntry &image : images) {
            QCOMPARE(image.enc, enc);
            QCOMPARE(image.color, color);
        }
        const Picture expected = expectedPicture(page);
        const Picture rendered = renderPage(pdf, 1, dpi);
        QCOMPARE(rendered.width, expected.width);
        QCOMPARE(rendered.height, expected.height);
        const double diff = meanDifference(rendered, expected);
        QVERIFY2(diff >= 0 && diff <= maxDiff, qPrintable(QString::number(diff)));
    }

    // Subsampled YCbCr tiles go to the JPEG encoder as stored: the right
    // column's tiles are cut to the image by rows of 2 x 2 blocks, 1.5 bytes
    // a pixel, not by rows of 3 bytes a pixel. Converted by the tool, so
    // that a crash is a failed test and not a lost test run.
    void subsampledYCbCrTiles_data()
    {
        QTest::addColumn<uint32_t>("width");
        QTest::addColumn<uint32_t>("length");
        QTest::addColumn<uint32_t>("tile");
        QTest::newRow("24 x 24 in 16-pixel tiles") << 24u << 24u << 16u;
        QTest::newRow("odd edges: 25 x 21 in 16-pixel tiles") << 25u << 21u << 16u;
        QTest::newRow("2056 x 2056 in 1024-pixel tiles") << 2056u << 2056u << 1024u;
    }

    void subsampledYCbCrTiles()
    {
        QFETCH(uint32_t, width);
        QFETCH(uint32_t, length);
        QFETCH(uint32_t, tile);
        const QString dir = path(QStringLiteral("ycbcr%1").arg(m_count++));
        QVERIFY(QDir().mkpath(dir));
        const QString tiff = dir + QStringLiteral("/in.tiff"), pdf = dir + QStringLiteral("/out.pdf");
        QVERIFY(writeFile(tiff, subsampledTiles(width, length, tile)));
        const Picture expected = readRgba(tiff);
        const ToolResult r = runTool(QStringLiteral(VELLOSCAN_DOC_TOOL), {QStringLiteral("pdf"), tiff, pdf});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList({"in.tiff", "out.pdf"}));
        verifyClean(pdf);
        const int across = int((width + tile - 1) / tile);
        const QList<ImageListEntry> images = pdfimagesList(pdf);
        QCOMPARE(images.size(), across * int((length + tile - 1) / tile));
        QCOMPARE(images[across - 1].width, int(width - (across - 1) * tile));
        const double diff = meanDifference(renderPage(pdf, 1, 72, 1), expected);
        QVERIFY2(diff >= 0 && diff < 4.0, qPrintable(QString::number(diff)));
    }

    // Directories become pages in file order; with PageNumber tags in the
    // order of the tags. Reduced-resolution images (thumbnails) are not pages.
    void pagesFollowFileOrderOrPageNumbers()
    {
        QList<TiffPage> pages;
        for (int i = 0; i < 3; i++) {
            TiffPage p;
            p.width = 40 + 10 * uint32_t(i);
            p.seed = unsigned(i);
            pages << p;
        }
        TiffPage thumbnail;
        thumbnail.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE); };
        pages[1].extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE); };
        QString pdf = convert({pages[0], thumbnail, pages[1], pages[2]});
        QCOMPARE(pdfinfoPageSizes(pdf), QStringList({"40 x 48", "50 x 48", "60 x 48"}));

        pages[0].pageNumber = 2;
        pages[1].pageNumber = 0;
        pages[2].pageNumber = 1;
        pdf = convert(pages);
        verifyClean(pdf);
        QCOMPARE(pdfinfoPageSizes(pdf), QStringList({"50 x 48", "60 x 48", "40 x 48"}));
        QVERIFY(meanDifference(renderPage(pdf, 1, 72), expectedPicture(pages[1])) < 4.0);
        QVERIFY(meanDifference(renderPage(pdf, 3, 72), expectedPicture(pages[0])) < 4.0);
    }

    // Old-style JPEG: an interchange stream holding the whole image is
    // passed through; kept as tables plus entropy-coded strips, the stream
    // header is rebuilt from the tables and the strips joined with restart
    // markers.
    void oldStyleJpeg_data()
    {
        QTest::addColumn<int>("rowsPerStrip");  // -1: one interchange stream
        QTest::newRow("interchange stream") << -1;
        QTest::newRow("tables, one strip") << 0;
        QTest::newRow("tables, a strip per row of blocks") << 16;
    }

    void oldStyleJpeg()
    {
        QFETCH(int, rowsPerStrip);
        TiffPage p;
        p.width = 48;
        p.length = 40;
        const QByteArray jpeg = encodeJpeg(pagePixels(p), int(p.width), int(p.length), rowsPerStrip > 0 ? 1 : 0);
        RawTiff raw;
        QVector<int> strips;
        if (rowsPerStrip < 0) {
            strips << raw.addBlob(jpeg);
            raw.offsetTag(TIFFTAG_JPEGIFOFFSET, strips);
            raw.sizeTag(TIFFTAG_JPEGIFBYTECOUNT, strips);
        } else {
            const JpegParts parts = splitJpeg(jpeg);
            QCOMPARE(parts.segments.size(), rowsPerStrip ? 3 : 1);
            QVector<int> q, dc, ac;
            for (const QByteArray &segment : parts.segments)
                strips << raw.addBlob(segment);
            // luminance tables for Y, chrominance tables for Cb and Cr
            for (int c = 0; c < 3; c++) {
                q << raw.addBlob(parts.qtables.value(c ? 1 : 0));
                dc << raw.addBlob(parts.dctables.value(c ? 1 : 0));
                ac << raw.addBlob(parts.actables.value(c ? 1 : 0));
            }
            raw.offsetTag(TIFFTAG_JPEGQTABLES, q);
            raw.offsetTag(TIFFTAG_JPEGDCTABLES, dc);
            raw.offsetTag(TIFFTAG_JPEGACTABLES, ac);
        }
        raw.longTag(TIFFTAG_IMAGEWIDTH, {p.width});
        raw.longTag(TIFFTAG_IMAGELENGTH, {p.length});
        raw.shortTag(TIFFTAG_BITSPERSAMPLE, {8, 8, 8});
        raw.shortTag(TIFFTAG_COMPRESSION, {COMPRESSION_OJPEG});
        raw.shortTag(TIFFTAG_PHOTOMETRIC, {PHOTOMETRIC_YCBCR});
        raw.offsetTag(TIFFTAG_STRIPOFFSETS, strips);
        raw.shortTag(TIFFTAG_SAMPLESPERPIXEL, {3});
        raw.longTag(TIFFTAG_ROWSPERSTRIP, {rowsPerStrip > 0 ? uint32_t(rowsPerStrip) : p.length});
        raw.sizeTag(TIFFTAG_STRIPBYTECOUNTS, strips);
        raw.rationalTag(TIFFTAG_XRESOLUTION, 72, 1);
        raw.rationalTag(TIFFTAG_YRESOLUTION, 72, 1);
        raw.shortTag(TIFFTAG_RESOLUTIONUNIT, {RESUNIT_INCH});
        raw.shortTag(TIFFTAG_JPEGPROC, {JPEGPROC_BASELINE});
        raw.shortTag(TIFFTAG_YCBCRSUBSAMPLING, {2, 2});
        const QString tiff = path(QStringLiteral("ojpeg%1.tiff").arg(m_count));
        const QString pdf = path(QStringLiteral("ojpeg%1.pdf").arg(m_count++));
        QVERIFY(writeFile(tiff, raw.build()));
        QVERIFY2(convert2pdf(tiff, pdf) == 0, qPrintable(takeTiffMessages().join(QLatin1Char('\n'))));
        verifyClean(pdf);
        const QList<ImageListEntry> images = pdfimagesList(pdf);
        QCOMPARE(images.size(), 1);
        QCOMPARE(images[0].enc, QStringLiteral("jpeg"));
        if (rowsPerStrip < 0)
            QVERIFY(readFile(pdf).contains(jpeg));
        const double diff = meanDifference(renderPage(pdf, 1, 72), expectedPicture(p));
        QVERIFY2(diff >= 0 && diff < 4.0, qPrintable(QString::number(diff)));
    }

    // The service's road: scanned pages (one row per strip) assembled into an
    // LZW multi-page TIFF in 16-row strips, then converted: colour and gray
    // pages become JPEG, the black-and-white page Group 4. A document grown
    // page by page holds the same: the same intermediate TIFF byte for byte,
    // and for a PDF the same objects under the same numbers (only their order
    // in the file, so the offsets, and the random identifier differ).
    void documentGrowsWithTheBatch_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("pdf") << int(GrowingDocument::Pdf);
        QTest::newRow("multi-page tiff") << int(GrowingDocument::MultiTiff);
    }

    void documentGrowsWithTheBatch()
    {
        QFETCH(int, kind);
        const bool pdf = kind == GrowingDocument::Pdf;
        const QString dir = path(QStringLiteral("grow%1").arg(m_count++));
        QVERIFY(QDir().mkpath(dir));
        QList<TiffPage> pages = {scannerRgb(200, 150), scannerBilevel(120, 90), sixteenBits(scannerGray(64, 48))};
        // extra objects, and a version the header learns only at the end
        pages[0].extra = [](TIFF *t) {
            uint16_t curve[256];
            for (int i = 0; i < 256; i++)
                curve[i] = uint16_t(i * 257);
            TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, curve, curve, curve);
        };
        QList<QString> files;
        for (int i = 0; i < pages.size(); i++) {
            files << dir + QStringLiteral("/page%1.tiff").arg(i);
            QVERIFY(writeTiff(files.last(), {pages[i]}));
        }
        const QString batchTiff = dir + QStringLiteral("/batch.tiff"), batchPdf = dir + QStringLiteral("/batch.pdf");
        QCOMPARE(combine2multiff(files, batchTiff, QStringLiteral("lzw")), 0);
        QCOMPARE(convert2pdf(batchTiff, batchPdf), 0);
        QCOMPARE(takeTiffMessages(), QStringList());
        QStringList found;
        for (const ImageListEntry &image : pdfimagesList(batchPdf))
            found << image.enc + QLatin1Char(' ') + image.color + QLatin1Char(' ') + QString::number(image.bpc);
        QCOMPARE(found, QStringList({"jpeg rgb 8", "ccitt gray 1", "jpeg gray 8"}));
        for (int i = 0; i < pages.size(); i++) {
            const double diff = meanDifference(renderPage(batchPdf, i + 1, 300), expectedPicture(pages[i]));
            QVERIFY2(diff >= 0 && diff < 4.0, qPrintable(QString::number(diff)));
        }

        const QString work = dir + QStringLiteral("/work.tiff");
        const QString grown = dir + (pdf ? QStringLiteral("/grown.pdf") : QStringLiteral("/grown.tiff"));
        {
            GrowingDocument doc(GrowingDocument::Kind(kind), grown, work);
            for (const QString &file : files) {
                QCOMPARE(doc.addPage(file), 0);
                QVERIFY(!QFile::exists(grown));
            }
            QCOMPARE(doc.finish(), 0);
        }
        QCOMPARE(takeTiffMessages(), QStringList());
        QVERIFY(!QFile::exists(grown + QStringLiteral(".part")));
        QCOMPARE(readFile(pdf ? work : grown), readFile(batchTiff));
        if (!pdf)
            return;
        verifyClean(grown);
        const PdfFile a = parsePdf(readFile(batchPdf)), b = parsePdf(readFile(grown));
        QVERIFY2(a.ok && b.ok, qPrintable(a.error + b.error));
        QMap<int, QByteArray> expected, actual;
        for (const PdfObject &o : a.objects)
            expected[o.number] = o.text;
        for (const PdfObject &o : b.objects)
            actual[o.number] = o.text;
        QCOMPARE(actual.keys(), expected.keys());
        for (int n : expected.keys())
            QVERIFY2(actual[n] == expected[n], qPrintable(QStringLiteral("object %1 differs").arg(n)));
        QVERIFY(b.header.startsWith("%PDF-1.2 "));
        QCOMPARE(b.header, a.header);
        QCOMPARE(meanDifference(renderPage(grown, 1, 72), renderPage(batchPdf, 1, 72)), 0.0);
    }

    // A page that can't be added kills the document: nothing under its name,
    // no ".part"; nor when it is dropped unfinished.
    void failedGrowthLeavesNothing()
    {
        const QString dir = path(QStringLiteral("grow-fails"));
        QVERIFY(QDir().mkpath(dir));
        const QString page = dir + QStringLiteral("/page.tiff");
        QVERIFY(writeTiff(page, {scannerGray(64, 48)}));
        {
            GrowingDocument doc(GrowingDocument::Pdf, dir + QStringLiteral("/a.pdf"), dir + QStringLiteral("/a.tiff"));
            QCOMPARE(doc.addPage(page), 0);
            QCOMPARE(doc.addPage(dir + QStringLiteral("/missing.tiff")), 1);
            QCOMPARE(doc.addPage(page), 1);
            QCOMPARE(doc.finish(), 1);
        }
        {
            GrowingDocument doc(GrowingDocument::MultiTiff, dir + QStringLiteral("/b.tiff"));
            QCOMPARE(doc.addPage(page), 0);
            QVERIFY(QFile::exists(dir + QStringLiteral("/b.tiff.part")));
        }
        {
            GrowingDocument empty(GrowingDocument::MultiTiff, dir + QStringLiteral("/c.tiff"));
            QCOMPARE(empty.finish(), 1);
        }
        // the work TIFF is scratch and stays, as the end-of-batch build's does
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList({"a.tiff", "page.tiff"}));
    }
};

QTEST_GUILESS_MAIN(TestPdfConvert)
#include "tst_pdfconvert.moc"
