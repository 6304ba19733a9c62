// The written document byte by byte: object order and numbering, the exact
// text of every object, the cross-reference table against the real offsets,
// the trailer and the info dictionary.

#include "pdftestkit.h"
#include "tiff2pdf.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using ObjectTexts = QList<QByteArray>;
Q_DECLARE_METATYPE(ObjectTexts)

namespace {

const QByteArray kHeader11 = QByteArray("%PDF-1.1 \n%\xE2\xE3\xCF\xD3\n");
const QByteArray kCatalog = "1 0 obj\n<< \n/Type /Catalog \n/Pages 3 0 R \n>>\nendobj\n";
const QByteArray kProducer = "/Producer (libtiff / tiff2pdf - 20201219)\n";

QByteArray infoText(const QByteArray &date, const QByteArray &rest = QByteArray())
{
    return "2 0 obj\n<< \n/CreationDate (" + date + ")\n/ModDate (" + date + ")\n" + kProducer + rest + ">> \nendobj\n";
}

TiffPage grayPage(uint32_t width, uint32_t length)
{
    TiffPage p = scannerGray(width, length);
    p.xres = p.yres = 72;
    return p;
}

} // namespace

class TestPdfWriter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_count = 0;

    // Converts the pages and walks the result; checks what holds for every
    // document: objects numbered 1..n in file order, each xref entry the
    // real offset of its object, the trailer pointing at the table.
    PdfFile convert(const QList<TiffPage> &pages)
    {
        const QString tiff = m_dir.filePath(QStringLiteral("in%1.tiff").arg(m_count));
        const QString pdf = m_dir.filePath(QStringLiteral("out%1.pdf").arg(m_count++));
        if (!writeTiff(tiff, pages) || convert2pdf(tiff, pdf) != 0)
            return PdfFile();
        QString report;
        if (!qpdfCheckClean(pdf, &report)) {
            qWarning("%s", qPrintable(report));
            return PdfFile();
        }
        PdfFile f = parsePdf(readFile(pdf));
        if (!f.ok)
            qWarning("%s", qPrintable(f.error));
        return f;
    }

    // Objects numbered in file order (their offsets the parse has checked),
    // the table's and the trailer's wording, and the length objects, which
    // qpdf does not hold against their streams. False on any failure, so that
    // a test stops before it reads objects that are not there.
    static bool wellFormed(const PdfFile &f)
    {
        [&f] {
            QVERIFY2(f.ok, qPrintable(f.error));
            QByteArray xref = "xref\n0 " + QByteArray::number(f.objects.size() + 1) + " \n0000000000 65535 f \n";
            for (int i = 0; i < f.objects.size(); i++) {
                QVERIFY(i == 0 || f.objects[i].offset > f.objects[i - 1].offset);
                xref += QByteArray::number(f.objects[i].offset).rightJustified(10, '0') + " 00000 n \n";
            }
            QCOMPARE(f.xref, xref);
            const QRegularExpression trailer(QStringLiteral(
                "^trailer\\n<<\\n/Size (\\d+)\\n/Root 1 0 R \\n/Info 2 0 R \\n/ID\\[<([0-9A-F]{32})><\\2>\\]\\n>>\\n"
                "startxref\\n(\\d+)\\n%%EOF\\n$"));
            const QRegularExpressionMatch m = trailer.match(QString::fromLatin1(f.trailer));
            QVERIFY2(m.hasMatch(), f.trailer.constData());
            QCOMPARE(m.captured(1).toInt(), f.objects.size() + 1);
            QCOMPARE(m.captured(3).toLongLong(), f.xrefOffset);
            for (const PdfObject &o : f.objects)
                if (o.isStream && o.dict.startsWith("/Length " + QByteArray::number(o.number + 1) + " 0 R \n"))
                    QCOMPARE(f.objects.value(o.number).text,
                             QByteArray::number(o.number + 1) + " 0 obj\n" + QByteArray::number(o.stream.size()) + "\nendobj\n");
        }();
        return !QTest::currentTestFailed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages();
    }

    void onePageDocument()
    {
        TiffPage page;
        page.width = 100;
        page.length = 50;
        page.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SOFTWARE, "velloscan 1.0"); };
        const PdfFile f = convert({page});
        QVERIFY(wellFormed(f));
        QCOMPARE(f.header, kHeader11);
        QCOMPARE(f.objects.size(), 8);
        QCOMPARE(f.objects[0].text, kCatalog);
        QCOMPARE(f.objects[1].text, infoText("D:20240506070809", "/Creator (velloscan 1.0)\n"));
        QCOMPARE(f.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R ] \n/Count 1 \n>> \nendobj\n"));
        QCOMPARE(f.objects[3].text, QByteArray("4 0 obj\n<<\n/Type /Page \n/Parent 3 0 R \n"
                                               "/MediaBox [0.0000 0.0000 100.0000 50.0000] \n/Contents 5 0 R \n"
                                               "/Resources << \n/XObject <<\n/Im1 7 0 R >>\n/ProcSet [ /ImageC ]\n>>\n>>\n"
                                               "endobj\n"));
        const QByteArray content = "q  100.0000 0.0000 0.0000 50.0000 0.0000 0.0000 cm /Im1 Do Q\n";
        QCOMPARE(f.objects[4].text, "5 0 obj\n<< \n/Length 6 0 R \n >>\nstream\n" + content + "\nendstream\nendobj\n");
        QCOMPARE(f.objects[5].text, "6 0 obj\n" + QByteArray::number(content.size()) + "\nendobj\n");
        QCOMPARE(f.objects[6].dict, QByteArray("/Length 8 0 R \n/Type /XObject \n/Subtype /Image \n/Name /Im1\n"
                                               "/Width 100\n/Height 50\n/BitsPerComponent 8\n/ColorSpace /DeviceRGB \n"
                                               "/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n"));
        QVERIFY(f.objects[6].stream.startsWith("\xFF\xD8"));
        QVERIFY(f.objects[6].stream.endsWith("\xFF\xD9"));
        // every document its own identifier, even from the same input
        const PdfFile again = convert({page});
        QVERIFY(again.ok && again.trailer != f.trailer);
    }

    void twoPageDocument()
    {
        TiffPage bilevel = scannerBilevel(64, 48);
        bilevel.xres = bilevel.yres = 72;
        TiffPage gray = grayPage(40, 30);
        gray.dateTime = "2023:01:02 03:04:05";
        const PdfFile f = convert({bilevel, gray});
        QVERIFY(wellFormed(f));
        QCOMPARE(f.objects.size(), 13);
        // the date comes from the directory of the last page
        QCOMPARE(f.objects[1].text, infoText("D:20230102030405"));
        QCOMPARE(f.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R 9 0 R ] \n/Count 2 \n>> \nendobj\n"));
        QVERIFY(f.objects[3].text.contains("/MediaBox [0.0000 0.0000 64.0000 48.0000] \n/Contents 5 0 R \n"
                                           "/Resources << \n/XObject <<\n/Im1 7 0 R >>\n/ProcSet [ /ImageB ]\n"));
        QCOMPARE(f.objects[6].dict, QByteArray("/Length 8 0 R \n/Type /XObject \n/Subtype /Image \n/Name /Im1\n"
                                               "/Width 64\n/Height 48\n/BitsPerComponent 1\n/ColorSpace /DeviceGray \n"
                                               "/Filter /CCITTFaxDecode /DecodeParms << /K -1 /Columns 64 /Rows 48>>\n"));
        QVERIFY(f.objects[8].text.contains("/MediaBox [0.0000 0.0000 40.0000 30.0000] \n/Contents 10 0 R \n"
                                           "/Resources << \n/XObject <<\n/Im2 12 0 R >>\n"));
        QCOMPARE(f.objects[9].stream, QByteArray("q  40.0000 0.0000 0.0000 30.0000 0.0000 0.0000 cm /Im2 Do Q\n"));
        QVERIFY(f.objects[11].dict.startsWith("/Length 13 0 R \n/Type /XObject \n/Subtype /Image \n/Name /Im2\n"
                                              "/Width 40\n/Height 30\n/BitsPerComponent 8\n/ColorSpace /DeviceGray \n"));
    }

    // The kids of the pages tree, a line feed after every eighth.
    void pagesTreeBreaksAfterEveryEighthKid()
    {
        const PdfFile f = convert(QList<TiffPage>() << grayPage(8, 8) << grayPage(8, 8) << grayPage(8, 8) << grayPage(8, 8)
                                                    << grayPage(8, 8) << grayPage(8, 8) << grayPage(8, 8) << grayPage(8, 8)
                                                    << grayPage(8, 8));
        QVERIFY(wellFormed(f));
        QCOMPARE(f.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R 9 0 R 14 0 R 19 0 R 24 0 R "
                                               "29 0 R 34 0 R 39 0 R \n44 0 R ] \n/Count 9 \n>> \nendobj\n"));
    }

    // The image dictionary of one page, by kind of input.
    void imageDictionary_data()
    {
        QTest::addColumn<TiffPage>("page");
        QTest::addColumn<QByteArray>("tail");  // after "/BitsPerComponent "
        QTest::addColumn<QString>("warning");  // %1: the input

        // (the inverted decodes and the predictor parameters the renderings check)
        TiffPage p;
        p.rowsPerStrip = p.length;
        QTest::newRow("stored Deflate") << p << QByteArray("8\n/ColorSpace /DeviceRGB \n/Filter /FlateDecode ") << QString();
        p = TiffPage();
        p.compression = COMPRESSION_JPEG;
        p.rowsPerStrip = 16;
        QTest::newRow("stored RGB JPEG")
            << p << QByteArray("8\n/ColorSpace /DeviceRGB \n/Filter /DCTDecode /DecodeParms << /ColorTransform 0 >>\n") << QString();
        p = TiffPage();
        p.spp = 4;
        p.photometric = PHOTOMETRIC_SEPARATED;
        QTest::newRow("CMYK")
            << p << QByteArray("8\n/ColorSpace /DeviceCMYK \n/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n") << QString();
        p.photometric = PHOTOMETRIC_RGB;
        QTest::newRow("RGB with four samples: inverse CMYK")
            << p << QByteArray("8\n/ColorSpace /DeviceCMYK \n/Decode [ 1 0 1 0 1 0 1 0 ]\n/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n")
            << "RGB image %1 has 4 samples per pixel, assuming inverse CMYK";
        p.extraSample = EXTRASAMPLE_UNSPECIFIED;
        QTest::newRow("RGB with an unspecified fourth sample: RGBA")
            << p << QByteArray("8\n/ColorSpace /DeviceRGB \n/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n")
            << "RGB image %1 has 4 samples per pixel, assuming RGBA";
        p = TiffPage();
        p.photometric = PHOTOMETRIC_CIELAB;
        QTest::newRow("CIELab")
            << p << QByteArray("8\n/ColorSpace [/Lab << \n/WhitePoint [0.9643 1.0000 0.8251] \n/Range [-127 127 -127 127] \n>>] \n"
                               "/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n") << QString();
        p.photometric = PHOTOMETRIC_ICCLAB;
        QTest::newRow("ICCLab")
            << p << QByteArray("8\n/ColorSpace [/Lab << \n/WhitePoint [0.9643 1.0000 0.8251] \n/Range [0 255 0 255] \n>>] \n"
                               "/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n") << QString();
        p = grayPage(64, 48);
        p.extra = [](TIFF *t) {
            float white[2] = {0.3127F, 0.3290F};
            TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
        };
        QTest::newRow("calibrated gray")
            << p << QByteArray("8\n/ColorSpace [/CalGray << \n/WhitePoint [0.9505 1.0000 1.0891] \n/Gamma 2.2 \n>>] \n"
                               "/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n") << QString();
        p = TiffPage();
        p.extra = [](TIFF *t) {
            float white[2] = {0.3127F, 0.3290F};
            float primaries[6] = {0.64F, 0.33F, 0.30F, 0.60F, 0.15F, 0.06F};
            TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
            TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, primaries);
        };
        // sRGB: the matrix rows are the XYZ of its red, green and blue
        const QByteArray srgb = QByteArray("8\n/ColorSpace [/CalRGB << \n/WhitePoint [0.9505 1.0000 1.0891] \n"
                               "/Matrix [0.4124 0.2126 0.0193 0.3576 0.7152 0.1192 0.1805 0.0722 0.9505] \n"
                               "/Gamma [2.2 2.2 2.2] \n>>] \n/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n");
        QTest::newRow("calibrated RGB") << p << srgb << QString();
        // the primaries a white point alone stands for are sRGB's
        p.extra = [](TIFF *t) {
            float white[2] = {0.3127F, 0.3290F};
            TIFFSetField(t, TIFFTAG_WHITEPOINT, white);
        };
        QTest::newRow("white point alone") << p << srgb << QString();
        p = palettePage(4);
        QTest::newRow("4-bit palette widens to 8 bits")
            << p << QByteArray("8\n/ColorSpace /DeviceRGB \n/Filter /DCTDecode /DecodeParms << /ColorTransform 1 >>\n") << QString();
    }

    void imageDictionary()
    {
        QFETCH(TiffPage, page);
        QFETCH(QByteArray, tail);
        QFETCH(QString, warning);
        // an assumption about the input is reported, and the document made
        takeTiffMessages();
        const PdfFile f = convert({page});
        QCOMPARE(takeTiffMessages().filter(QRegularExpression(QStringLiteral("^tiff2pdf: "))),
                 warning.isEmpty() ? QStringList() : QStringList{QStringLiteral("tiff2pdf: Warning, ")
                                                                 + warning.arg(m_dir.filePath(QStringLiteral("in%1.tiff").arg(m_count - 1)))});
        QVERIFY(wellFormed(f));
        QCOMPARE(f.objects.size(), 8);
        const QByteArray head = "/Length 8 0 R \n/Type /XObject \n/Subtype /Image \n/Name /Im1\n/Width "
                                + QByteArray::number(page.width) + "\n/Height " + QByteArray::number(page.length)
                                + "\n/BitsPerComponent ";
        QCOMPARE(f.objects[6].dict, head + tail);
    }

    // A tiled page: one image object and one length object per tile, named
    // Im<page>_<tile>, four to a line in the resources; the next page's
    // number counts them.
    void tiledPageNumbering()
    {
        TiffPage tiled;
        tiled.width = 100;
        tiled.length = 70;
        tiled.tileWidth = tiled.tileLength = 32;  // 4 x 3 tiles, edges of 4 and 6
        const PdfFile f = convert({tiled, grayPage(20, 10)});
        QVERIFY(wellFormed(f));
        QCOMPARE(f.objects.size(), 3 + (3 + 24) + 5);
        QCOMPARE(f.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R 31 0 R ] \n/Count 2 \n>> \nendobj\n"));
        QByteArray resources = "/XObject <<\n";
        for (int k = 0; k < 12; k++) {
            resources += "/Im1_" + QByteArray::number(k + 1) + " " + QByteArray::number(7 + 2 * k) + " 0 R ";
            if (k % 4 == 3)
                resources += "\n";
        }
        resources += ">>\n";
        QVERIFY(f.objects[3].text.contains(resources));
        QCOMPARE(f.objects[4].stream.count("\n"), 12);
        QVERIFY(f.objects[4].stream.startsWith("q  32.0000 0.0000 0.0000 32.0000 0.0000 38.0000 cm /Im1_1 Do Q\n"));
        QVERIFY(f.objects[4].stream.endsWith("q  4.0000 0.0000 0.0000 6.0000 96.0000 0.0000 cm /Im1_12 Do Q\n"));
        for (int k = 0; k < 12; k++) {
            const PdfObject &image = f.objects[6 + 2 * k];
            const bool right = k % 4 == 3, bottom = k >= 8;
            QVERIFY(image.dict.startsWith("/Length " + QByteArray::number(image.number + 1) + " 0 R \n/Type /XObject \n"
                                          "/Subtype /Image \n/Name /Im1_" + QByteArray::number(k + 1) + "\n/Width "
                                          + (right ? "4" : "32") + "\n/Height " + (bottom ? "6" : "32") + "\n"));
        }
        QVERIFY(f.objects[30].text.contains("/Im2 34 0 R "));
    }

    // Extra objects: a transfer function (graphics state and its curve) and
    // an ICC profile sit between a page's content and its image, raise the
    // version and shift the next page's number.
    void transferFunctionAndIccProfile()
    {
        TiffPage curve = grayPage(16, 8);
        curve.extra = [](TIFF *t) {
            uint16_t table[256];
            for (int i = 0; i < 256; i++)
                table[i] = uint16_t(65535 - i * 257);
            TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, table);
        };
        const PdfFile f = convert({curve, curve});
        QVERIFY(wellFormed(f));
        QVERIFY(f.header.startsWith("%PDF-1.2 \n"));
        QCOMPARE(f.objects.size(), 3 + 7 + 7);
        QCOMPARE(f.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R 11 0 R ] \n/Count 2 \n>> \nendobj\n"));
        QVERIFY(f.objects[3].text.contains("/XObject <<\n/Im1 9 0 R >>\n/ExtGState <</GS1 7 0 R >> \n/ProcSet [ /ImageB ]\n"));
        QCOMPARE(f.objects[4].stream, QByteArray("q /GS1 gs  16.0000 0.0000 0.0000 8.0000 0.0000 0.0000 cm /Im1 Do Q\n"));
        QCOMPARE(f.objects[6].text, QByteArray("7 0 obj\n<< /Type /ExtGState \n/TR 8 0 R  >> \nendobj\n"));
        QCOMPARE(f.objects[7].dict, QByteArray("/FunctionType 0 \n/Domain [0.0 1.0] \n/Range [0.0 1.0] \n/Size [256] \n"
                                               "/BitsPerSample 16 \n/Length 512\n"));
        // samples high byte first
        QCOMPARE(f.objects[7].stream.left(4), QByteArray("\xFF\xFF\xFE\xFE", 4));
        QVERIFY(f.objects[8].dict.startsWith("/Length 10 0 R \n"));
        // the second page, same transfer function, has the same objects
        QVERIFY(f.objects[10].text.contains("/Im2 16 0 R >>\n/ExtGState <</GS1 14 0 R >> \n"));

        const QByteArray profile(300, 'p');
        TiffPage icc;
        icc.extra = [profile](TIFF *t) { TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(profile.size()), profile.constData()); };
        const PdfFile g = convert({icc, TiffPage()});
        QVERIFY(wellFormed(g));
        QVERIFY(g.header.startsWith("%PDF-1.3 \n"));
        QCOMPARE(g.objects[2].text, QByteArray("3 0 obj\n<< \n/Type /Pages \n/Kids [ 4 0 R 10 0 R ] \n/Count 2 \n>> \nendobj\n"));
        QVERIFY(g.objects[3].text.contains("/Im1 8 0 R >>"));
        QCOMPARE(g.objects[6].dict, QByteArray("/N 3 \n/Alternate /DeviceRGB \n/Length 300\n"));
        QCOMPARE(g.objects[6].stream, profile);
        QVERIFY(g.objects[7].dict.contains("/ColorSpace [/ICCBased 7 0 R] \n/Filter"));
    }

    void transferFunctionsMustAgree()
    {
        TiffPage a = grayPage(16, 8), b = grayPage(16, 8);
        auto curve = [](int step) {
            return [step](TIFF *t) {
                uint16_t table[256];
                for (int i = 0; i < 256; i++)
                    table[i] = uint16_t(i * step);
                TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, table);
            };
        };
        a.extra = curve(257);
        b.extra = curve(200);
        takeTiffMessages();
        QVERIFY(!convert({a, b}).ok);
        QVERIFY(takeTiffMessages().contains(QStringLiteral("tiff2pdf: Different transfer function on page 1")));
    }

    // Info entries taken from the tags of the last page's directory, as PDF
    // strings: parentheses and backslashes escaped, other bytes in octal.
    void infoDictionary_data()
    {
        QTest::addColumn<TiffPage>("page");
        QTest::addColumn<QByteArray>("entries");

        TiffPage p;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_DOCUMENTNAME, "Scan (1) \xE9"); };
        QTest::newRow("title escaped") << p << QByteArray("/Title (Scan \\(1\\) \\351)\n");
        p.extra = [](TIFF *t) {
            TIFFSetField(t, TIFFTAG_ARTIST, "A\\B");
            TIFFSetField(t, TIFFTAG_COPYRIGHT, "ignored");
            TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, "line1\nline2\x7f");
            TIFFSetField(t, TIFFTAG_SOFTWARE, "scanner");
        };
        QTest::newRow("all entries in order")
            << p << QByteArray("/Creator (scanner)\n/Author (A\\\\B)\n/Subject (line1\\012line2\\177)\n");
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_COPYRIGHT, "(c) maker"); };
        QTest::newRow("author from copyright") << p << QByteArray("/Author (\\(c\\) maker)\n");
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SOFTWARE, QByteArray(600, 'x').constData()); };
        QTest::newRow("long text cut at 511 bytes") << p << "/Creator (" + QByteArray(511, 'x') + ")\n";
    }

    void infoDictionary()
    {
        QFETCH(TiffPage, page);
        QFETCH(QByteArray, entries);
        const PdfFile f = convert({page});
        QVERIFY(wellFormed(f));
        QCOMPARE(f.objects[1].text, infoText("D:20240506070809", entries));
    }

    // Without a usable DateTime the date is the time of the conversion.
    void dateWithoutDateTimeIsNow_data()
    {
        QTest::addColumn<QByteArray>("dateTime");
        QTest::newRow("no tag") << QByteArray();
        QTest::newRow("too short") << QByteArray("2024:05:06");
    }

    void dateWithoutDateTimeIsNow()
    {
        QFETCH(QByteArray, dateTime);
        TiffPage p;
        p.dateTime = dateTime;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const PdfFile f = convert({p});
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);
        QVERIFY(wellFormed(f));
        const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("/CreationDate \\(D:(\\d{14})\\)\\n/ModDate \\(D:\\1\\)\\n"))
                                              .match(QString::fromLatin1(f.objects[1].text));
        QVERIFY(m.hasMatch());
        const QDateTime stamp = QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMddHHmmss"));
        QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);
    }
};

QTEST_GUILESS_MAIN(TestPdfWriter)
#include "tst_pdfwriter.moc"
