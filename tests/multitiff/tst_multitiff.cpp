// Assembly of page files into one multi-page TIFF, in a process whose first
// assembly is of strip pages (as in the service), so the output is in strips.

#include "multitiff.h"
#include "tiff2pdf.h"
#include "tiffsamples.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using TagValues = QMap<int, QString>;
Q_DECLARE_METATYPE(TagValues)

class TestMultiTiff : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString page(const QString &name, const QList<TiffPage> &pages)
    {
        const QString p = path(name);
        if (!writeTiff(p, pages))
            qFatal("cannot write %s", qPrintable(p));
        return p;
    }
    // A page the copy refuses: YCbCr with its chroma subsampled.
    static TiffPage subsampledYCbCr()
    {
        TiffPage p = scannedRgb();
        p.photometric = PHOTOMETRIC_YCBCR;
        p.compression = COMPRESSION_LZW;
        p.width = 64;
        p.length = p.rowsPerStrip = 2;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 2); };
        return p;
    }
    // Assembles the inputs into a fresh "out.tiff"; its path, or empty on failure.
    QString assembled(const QList<QString> &inputs)
    {
        const QString out = path(QStringLiteral("out.tiff"));
        QFile::remove(out);
        return combine2multiff(inputs, out, QStringLiteral("lzw")) == 0 ? out : QString();
    }
    static int runDocTool(const QStringList &args, QString *err)
    {
        const ToolResult r = runTool(QStringLiteral(VELLOSCAN_DOC_TOOL), args);
        *err = QString::fromLocal8Bit(r.err);
        return r.exitCode;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages(true);
        // The strip/tile choice is made by the first directory this process
        // copies, as in the service, where that is always a scanned page.
        const QString first = page(QStringLiteral("first.tiff"), {scannedGray()});
        QCOMPARE(combine2multiff({first}, path(QStringLiteral("first-out.tiff")), QStringLiteral("lzw")), 0);
        const Dump d = tiffdump(path(QStringLiteral("first-out.tiff")));
        QVERIFY(d.directories.value(0).values.contains(TIFFTAG_ROWSPERSTRIP));
    }

    void scannerPagesBecomeLzwStripsOfSixteenRows()
    {
        const QList<TiffPage> specs = {scannedBilevel(), scannedGray(), scannedRgb()};
        QList<QString> inputs;
        for (int i = 0; i < specs.size(); ++i)
            inputs << page(QStringLiteral("scan%1.tiff").arg(i), {specs[i]});
        const QString out = assembled(inputs);
        const Dump d = tiffdump(out);
        QVERIFY(d.bigEndian);
        QCOMPARE(d.directories.size(), 3);
        const QList<QByteArray> pixels = readAllPixels(out);
        QCOMPARE(pixels.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QString bad = tagMismatches(d.directories[i], {
                {TIFFTAG_COMPRESSION, "5"}, {TIFFTAG_ROWSPERSTRIP, "16"}, {TIFFTAG_PREDICTOR, ""},
                {TIFFTAG_STRIPOFFSETS, QStringLiteral("#%1").arg((specs[i].length + 15) / 16)},
                {TIFFTAG_PHOTOMETRIC, QString::number(specs[i].photometric)}, {TIFFTAG_ORIENTATION, "1"},
                {TIFFTAG_PLANARCONFIG, "1"}, {TIFFTAG_FILLORDER, "1"}, {TIFFTAG_RESOLUTIONUNIT, "2"},
                {TIFFTAG_XRESOLUTION, "300"}, {TIFFTAG_YRESOLUTION, "300"},
                {TIFFTAG_DATETIME, "2024:05:06 07:08:09\\0"}, {TIFFTAG_THRESHHOLDING, QStringList{"1", "2", ""}[i]}});
            QVERIFY2(bad.isEmpty(), qPrintable(bad));
            QCOMPARE(pixels[i], pagePixels(specs[i]));
        }
    }

    void inputKinds_data()
    {
        QTest::addColumn<TiffPage>("spec");
        // Tag values as tiffdump shows them; "" means the tag is absent,
        // "#n" that it holds n values.
        QTest::addColumn<TagValues>("expected");

        TiffPage p = scannedGray();
        p.bps = 16;
        QTest::newRow("16-bit gray") << p << TagValues{{TIFFTAG_BITSPERSAMPLE, "16"}};
        p = scannedRgb();
        p.bps = 16;
        p.planar = PLANARCONFIG_SEPARATE;
        QTest::newRow("16-bit rgb, separate planes") << p << TagValues{{TIFFTAG_BITSPERSAMPLE, "16 16 16"}};

        p = scannedGray();
        p.resUnit = 0;
        p.dateTime.clear();
        QTest::newRow("no resolution, no date")
            << p << TagValues{{TIFFTAG_XRESOLUTION, ""}, {TIFFTAG_RESOLUTIONUNIT, ""}, {TIFFTAG_DATETIME, ""}};

        p = scannedRgb();
        p.planar = 0;
        QTest::newRow("no planar configuration tag") << p << TagValues{{TIFFTAG_PLANARCONFIG, "1"}};
        p.planar = PLANARCONFIG_SEPARATE;
        QTest::newRow("separate planes") << p << TagValues{{TIFFTAG_PLANARCONFIG, "2"}, {TIFFTAG_ROWSPERSTRIP, "16"}};

        p = scannedRgb();
        p.width = 150;
        p.length = 100;
        p.tileWidth = 64;
        p.tileLength = 32;
        QTest::newRow("tiled") << p << TagValues{{TIFFTAG_ROWSPERSTRIP, "16"}, {TIFFTAG_TILEWIDTH, ""}};
        p.planar = PLANARCONFIG_SEPARATE;
        QTest::newRow("tiled, separate planes") << p << TagValues{{TIFFTAG_PLANARCONFIG, "2"}, {TIFFTAG_TILEWIDTH, ""}};
        p = scannedBilevel();
        p.tileWidth = 48;
        p.tileLength = 16;
        p.compression = COMPRESSION_PACKBITS;
        QTest::newRow("tiled bilevel") << p << TagValues{{TIFFTAG_ROWSPERSTRIP, "16"}};

        p = scannedGray();
        p.rowsPerStrip = 16;
        QTest::newRow("already 16 rows per strip") << p << TagValues{{TIFFTAG_ROWSPERSTRIP, "16"}};

        p = scannedRgb();
        p.compression = COMPRESSION_LZW;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL); };
        QTest::newRow("predictor") << p << TagValues{{TIFFTAG_PREDICTOR, "2"}};

        p = scannedGray();
        p.extra = [](TIFF *t) {
            static uint16_t curve[256];
            for (int i = 0; i < 256; ++i)
                curve[i] = uint16_t(65535 - i * 257);
            TIFFSetField(t, TIFFTAG_TRANSFERFUNCTION, curve);
        };
        QTest::newRow("transfer function") << p << TagValues{{TIFFTAG_TRANSFERFUNCTION, "#256"}};

        p = scannedGray();
        p.photometric = PHOTOMETRIC_PALETTE;
        p.extra = [](TIFF *t) {
            static uint16_t map[3][256];
            for (int i = 0; i < 256; ++i) {
                map[0][i] = uint16_t(i * 257);
                map[1][i] = uint16_t((255 - i) * 257);
                map[2][i] = uint16_t((i * 7 % 256) * 257);
            }
            TIFFSetField(t, TIFFTAG_COLORMAP, map[0], map[1], map[2]);
        };
        QTest::newRow("palette") << p << TagValues{{TIFFTAG_PHOTOMETRIC, "3"}, {TIFFTAG_COLORMAP, "#768"}};

        p = scannedRgb();
        p.extra = [](TIFF *t) {
            TIFFSetField(t, TIFFTAG_SOFTWARE, "scan tool 2.1");
            TIFFSetField(t, TIFFTAG_ARTIST, "A. Scanner");
            TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            const float wp[] = {0.3127f, 0.329f};
            TIFFSetField(t, TIFFTAG_WHITEPOINT, wp);
            const float pc[] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f};
            TIFFSetField(t, TIFFTAG_PRIMARYCHROMATICITIES, pc);
            TIFFSetField(t, TIFFTAG_XPOSITION, 1.5);
            static const char icc[] = "not really a profile, but bytes all the same";
            TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(sizeof icc), icc);
        };
        QTest::newRow("descriptive tags") << p
                                          << TagValues{{TIFFTAG_SOFTWARE, "scan tool 2.1\\0"},
                                                       {TIFFTAG_ARTIST, "A. Scanner\\0"},
                                                       {TIFFTAG_SUBFILETYPE, "2"},
                                                       {TIFFTAG_WHITEPOINT, "0.3127 0.329"},
                                                       {TIFFTAG_PRIMARYCHROMATICITIES, "0.64 0.33 0.3 0.6 0.15 0.06"},
                                                       {TIFFTAG_XPOSITION, "1.5"},
                                                       {TIFFTAG_ICCPROFILE, "#45"}};

        p = scannedGray();
        p.spp = 4;
        p.photometric = PHOTOMETRIC_SEPARATED;
        p.extra = [](TIFF *t) {
            TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK);
            static const char names[] = "Cyan\0Magenta\0Yellow\0Black";
            TIFFSetField(t, TIFFTAG_INKNAMES, int(sizeof names), names);
        };
        QTest::newRow("inks") << p
                              << TagValues{{TIFFTAG_INKSET, "2"},
                                           {TIFFTAG_NUMBEROFINKS, "4"},
                                           {TIFFTAG_INKNAMES, "#26"}};

        // lossless from the decoded JPEG on
        p = scannedRgb();
        p.compression = COMPRESSION_JPEG;
        p.photometric = PHOTOMETRIC_YCBCR;
        p.rowsPerStrip = 16;
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); };
        QTest::newRow("JPEG YCbCr becomes RGB") << p << TagValues{{TIFFTAG_PHOTOMETRIC, "2"}};
    }

    void inputKinds()
    {
        QFETCH(TiffPage, spec);
        QFETCH(TagValues, expected);
        const QString in = page(QStringLiteral("kind.tiff"), {spec});
        if (spec.planar == 0)
            QVERIFY(!tiffdump(in).directories.value(0).values.contains(TIFFTAG_PLANARCONFIG));
        const QString out = assembled({in});
        const Dump d = tiffdump(out);
        QCOMPARE(d.directories.size(), 1);
        TagValues tags = expected;
        tags.insert(TIFFTAG_COMPRESSION, QStringLiteral("5"));
        const QString bad = tagMismatches(d.directories[0], tags);
        QVERIFY2(bad.isEmpty(), qPrintable(bad));
        const QList<QByteArray> decoded = readAllPixels(in);
        QCOMPARE(decoded.value(0).size(), rowBytes(spec.width, spec.spp, spec.bps) * spec.length);
        QCOMPARE(readAllPixels(out), decoded);
    }

    void directoriesFollowListAndFileOrder_data()
    {
        QTest::addColumn<QStringList>("suffixes"); // one input per suffix
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("copied"); // source directories, in output order

        QTest::newRow("whole file") << QStringList{""} << 0 << "012";
        QTest::newRow("lone trailing comma") << QStringList{","} << 0 << "012";
        QTest::newRow("one directory") << QStringList{",1"} << 0 << "1";
        QTest::newRow("list order") << QStringList{",2,0"} << 0 << "20";
        QTest::newRow("hexadecimal") << QStringList{",0x2"} << 0 << "2";
        QTest::newRow("octal") << QStringList{",01"} << 0 << "1";
        QTest::newRow("comma closing the list") << QStringList{",1,"} << 0 << "1";
        QTest::newRow("empty item is the current directory") << QStringList{",,2"} << 0 << "02";
        QTest::newRow("two inputs") << QStringList{",2", ""} << 0 << "2012";
        QTest::newRow("later directory missing") << QStringList{",1,9", ",0"} << 0 << "10";
        QTest::newRow("first directory missing") << QStringList{",0", ",9", ",1"} << 1 << "0";
        QTest::newRow("malformed list") << QStringList{",0", ",1x"} << 1 << "0";
        QTest::newRow("missing file") << QStringList{",0", "-missing"} << 1 << "0";
    }

    void directoriesFollowListAndFileOrder()
    {
        QFETCH(QStringList, suffixes);
        QFETCH(int, result);
        QFETCH(QString, copied);
        QList<TiffPage> dirs;
        for (unsigned i = 0; i < 3; ++i) {
            TiffPage p = scannedGray();
            p.seed = 10 + i;
            p.length = 20 + i;
            dirs << p;
        }
        const QString in = page(QStringLiteral("three.tiff"), dirs);
        QList<QString> inputs;
        for (const QString &s : suffixes)
            inputs << in + s;
        const QString out = path(QStringLiteral("out.tiff"));
        QFile::remove(out);
        QCOMPARE(combine2multiff(inputs, out, QStringLiteral("lzw")), result);
        QList<QByteArray> expected;
        for (QChar c : copied)
            expected << pagePixels(dirs[c.digitValue()]);
        QCOMPARE(readAllPixels(out), expected);
    }

    void commaInDirectoryNameIsPartOfThePath()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("scans,2024")));
        const QString in = page(QStringLiteral("scans,2024/page,1.tiff"), {scannedRgb()});
        QCOMPARE(readAllPixels(assembled({in})), QList<QByteArray>{pagePixels(scannedRgb())});
    }

    void emptyListGivesHeaderOnly()
    {
        const QString out = path(QStringLiteral("empty.tiff"));
        QFile::remove(out);
        QCOMPARE(combine2multiff({}, out, QStringLiteral("lzw")), 0);
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("MM\0*\0\0\0\0", 8));
    }

    // A page that fails ends the assembly with 1. When it is the first there
    // is nothing worth keeping: no file under the name asked for, none beside
    // it, and so no document made from it either. Later, the file holds
    // exactly the complete pages before it, readable without complaint.
    void failedPage_data()
    {
        QTest::addColumn<QString>("input");  // in the folder failedPage fills
        QTest::addColumn<bool>("first");
        QTest::addColumn<QString>("message");
        QTest::newRow("first: missing file") << "missing.tiff" << true << "";
        QTest::newRow("first: listed directory missing") << "page.tiff,3" << true << "";
        QTest::newRow("first: not a TIFF") << "text.tiff" << true << "";
        QTest::newRow("first: subsampled YCbCr") << "ycbcr.tiff" << true << "";
        QTest::newRow("later: corrupt pixel data") << "corrupt.tiff" << false << "Error, can't read scanline 12";
        QTest::newRow("later: truncated file") << "truncated.tiff" << false << "";
        QTest::newRow("later: not a TIFF") << "text.tiff" << false << "";
    }

    void failedPage()
    {
        QFETCH(QString, input);
        QFETCH(bool, first);
        QFETCH(QString, message);
        const QString sub = QStringLiteral("failed/") + QLatin1String(QTest::currentDataTag());
        const QString dir = path(sub) + QLatin1Char('/');
        QVERIFY(QDir().mkpath(dir));
        const TiffPage good = scannedRgb();
        for (const char *name : {"good.tiff", "page.tiff", "corrupt.tiff", "truncated.tiff"})
            page(sub + QLatin1Char('/') + QLatin1String(name), {QByteArray(name) == "good.tiff" ? good : scannedGray()});
        page(sub + QStringLiteral("/ycbcr.tiff"), {subsampledYCbCr()});
        QVERIFY(writeFile(dir + QStringLiteral("text.tiff"), "hello, not an image\n"));
        QByteArray corrupt = readFile(dir + QStringLiteral("corrupt.tiff"));
        {
            // Deflate data of row 12 that zlib rejects
            const TiffFile t(TIFFOpen(QFile::encodeName(dir + QStringLiteral("corrupt.tiff")).constData(), "r"));
            uint64_t *offsets = nullptr;
            QVERIFY(t && TIFFGetField(t.get(), TIFFTAG_STRIPOFFSETS, &offsets));
            corrupt.replace(int(offsets[12]), 4, QByteArray(4, '\xff'));
        }
        QVERIFY(writeFile(dir + QStringLiteral("corrupt.tiff"), corrupt));
        QVERIFY(QFile::resize(dir + QStringLiteral("truncated.tiff"), QFileInfo(dir + QStringLiteral("truncated.tiff")).size() - 40));
        const QStringList before = QDir(dir).entryList(QDir::Files);
        takeTiffMessages();

        const QString out = dir + QStringLiteral("out.tiff");
        QStringList inputs{dir + input, dir + QStringLiteral("page.tiff")};
        if (!first)
            inputs.prepend(dir + QStringLiteral("good.tiff"));
        QCOMPARE(combine2multiff(inputs, out, QStringLiteral("lzw")), 1);
        if (!message.isEmpty())
            QVERIFY(takeTiffMessages().contains(dir + input + QStringLiteral(": ") + message));
        if (first) {
            QCOMPARE(QDir(dir).entryList(QDir::Files), before);
            QCOMPARE(convert2pdf(out, dir + QStringLiteral("out.pdf")), 1);
            QCOMPARE(QDir(dir).entryList(QDir::Files), before);
            return;
        }
        takeTiffMessages();
        QCOMPARE(readAllPixels(out), QList<QByteArray>{pagePixels(good)});
        QCOMPARE(tiffdump(out).directories.size(), 1);
        QCOMPARE(takeTiffMessages(), QStringList());
    }

    void outputThatCannotBeCreatedFailsAtOnce()
    {
        takeTiffMessages();
        const QString missing = path(QStringLiteral("never-there.tiff"));
        QCOMPARE(combine2multiff({missing}, path(QStringLiteral("no/such/dir/out.tiff")), QStringLiteral("lzw")), 1);
        const QStringList msgs = takeTiffMessages();
        QCOMPARE(msgs.size(), 1);
        QVERIFY(msgs[0].contains(QLatin1String("no/such/dir/out.tiff")));
    }

    void unknownSpecIsRefusedBeforeAnythingIsWritten_data()
    {
        QTest::addColumn<QString>("spec");
        QTest::newRow("unknown name") << "lzx";
        QTest::newRow("names are case-sensitive") << "LZW";
        QTest::newRow("empty") << "";
        QTest::newRow("bad jpeg suffix") << "jpeg:x";
        QTest::newRow("bad g3 suffix") << "g3:3d";
        QTest::newRow("bad zip suffix") << "zip:q9";
        QTest::newRow("bad lzw suffix") << "lzw:two";
    }

    void unknownSpecIsRefusedBeforeAnythingIsWritten()
    {
        QFETCH(QString, spec);
        const QString in = page(QStringLiteral("spec.tiff"), {scannedGray()});
        const QString out = path(QStringLiteral("refused.tiff"));
        QCOMPARE(combine2multiff({in}, out, spec), 1);
        QVERIFY(!QFile::exists(out));
        // The options are untouched: the next service call is plain LZW.
        const QString bad = tagMismatches(tiffdump(assembled({in})).directories.value(0),
                                          {{TIFFTAG_COMPRESSION, "5"}, {TIFFTAG_PREDICTOR, ""}});
        QVERIFY2(bad.isEmpty(), qPrintable(bad));
    }

    void pageNumbersFollowCopyOrder()
    {
        TiffPage numbered = scannedGray();
        numbered.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_PAGENUMBER, 7, 9); };
        TiffPage first = numbered;
        first.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_PAGENUMBER, 2, 9); };
        const QString a = page(QStringLiteral("pg-a.tiff"), {numbered});
        const QString b = page(QStringLiteral("pg-b.tiff"), {scannedGray()});
        const QString c = page(QStringLiteral("pg-c.tiff"), {first});
        Dump d = tiffdump(assembled({a, b, c}));
        QCOMPARE(d.directories.size(), 3);
        const int n = d.directories[0].values.value(TIFFTAG_PAGENUMBER).section(QLatin1Char(' '), 0, 0).toInt();
        QCOMPARE(d.directories[0].values.value(TIFFTAG_PAGENUMBER), QStringLiteral("%1 0").arg(n));
        QVERIFY(!d.directories[1].values.contains(TIFFTAG_PAGENUMBER));
        QCOMPARE(d.directories[2].values.value(TIFFTAG_PAGENUMBER), QStringLiteral("%1 0").arg(n + 1));
        // The counter runs on across assemblies of one process.
        d = tiffdump(assembled({c}));
        QCOMPARE(d.directories.value(0).values.value(TIFFTAG_PAGENUMBER), QStringLiteral("%1 0").arg(n + 2));
    }

    void orientationIsRewritten_data()
    {
        QTest::addColumn<int>("orientation"); // 0: no tag
        QTest::addColumn<int>("written");
        QTest::addColumn<QString>("warning");
        QTest::newRow("none") << 0 << 1 << "";
        QTest::newRow("1") << 1 << 1 << "";
        QTest::newRow("2") << 2 << 1 << "using top-left orientation";
        QTest::newRow("3") << 3 << 4 << "using bottom-left orientation";
        QTest::newRow("4") << 4 << 4 << "";
        QTest::newRow("5") << 5 << 5 << "";
        QTest::newRow("6") << 6 << 1 << "using top-left orientation";
        QTest::newRow("7") << 7 << 4 << "using bottom-left orientation";
        QTest::newRow("8") << 8 << 8 << "";
    }

    void orientationIsRewritten()
    {
        QFETCH(int, orientation);
        QFETCH(int, written);
        QFETCH(QString, warning);
        TiffPage p = scannedRgb();
        p.orientation = uint16_t(orientation);
        const QString in = page(QStringLiteral("orient.tiff"), {p});
        const QString out = path(QStringLiteral("orient-out.tiff"));
        QFile::remove(out);
        QString err;
        QCOMPARE(runDocTool({QStringLiteral("multitiff"), out, in}, &err), 0);
        if (warning.isEmpty())
            QCOMPARE(err, QString());
        else
            QCOMPARE(err, in + QStringLiteral(": Warning, ") + warning + QStringLiteral(".\n"));
        QCOMPARE(tiffdump(out).directories.value(0).values.value(TIFFTAG_ORIENTATION), QString::number(written));
        QCOMPARE(readAllPixels(out), QList<QByteArray>{pagePixels(p)});
    }

    void toolReportsOutcome_data()
    {
        QTest::addColumn<QStringList>("args"); // %d: the temporary directory
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("stderrText");
        QTest::newRow("no command") << QStringList{} << 2 << "usage: velloscan-doc";
        QTest::newRow("multitiff without input") << QStringList{"multitiff", "%d/t.tiff"} << 2 << "usage: velloscan-doc";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "";
        QTest::newRow("missing input") << QStringList{"multitiff", "%d/t.tiff", "%d/in.tiff", "%d/nope.tiff"} << 1
                                       << "nope.tiff";
        QTest::newRow("directory not found") << QStringList{"multitiff", "%d/t.tiff", "%d/in.tiff,5"} << 1
                                             << "/in.tiff,5 not found!\n";
        QTest::newRow("malformed list") << QStringList{"multitiff", "%d/t.tiff", "%d/in.tiff,1;2"} << 1
                                        << "Expected a , separated image # list after ";
        QTest::newRow("subsampled YCbCr") << QStringList{"multitiff", "%d/t.tiff", "%d/ycbcr.tiff"} << 1
                                          << "/ycbcr.tiff: Can't copy/convert subsampled image.\n";
        QTest::newRow("pdf") << QStringList{"pdf", "%d/in.tiff", "%d/in.pdf"} << 0 << "";
        QTest::newRow("memory limit") << QStringList{"multitiff", "%d/t.tiff", "%d/huge.tiff"} << 1
                                      << "MemoryLimitError: allocation of 268960000 bytes is forbidden. "
                                         "Limit is 268435456.\n                  use -m option to change limit.\n";
    }

    void toolReportsOutcome()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, stderrText);
        page(QStringLiteral("in.tiff"), {scannedGray()});
        page(QStringLiteral("ycbcr.tiff"), {subsampledYCbCr()});
        if (!QFile::exists(path(QStringLiteral("huge.tiff"))))
            makeHugeTiledTiff(path(QStringLiteral("huge.tiff")));
        for (QString &a : args)
            a.replace(QLatin1String("%d"), m_dir.path());
        QFile::remove(path(QStringLiteral("t.tiff")));
        QFile::remove(path(QStringLiteral("in.pdf")));
        QString err;
        QCOMPARE(runDocTool(args, &err), status);
        if (stderrText.isEmpty())
            QCOMPARE(err, QString());
        else
            QVERIFY2(err.contains(stderrText), qPrintable(err));
    }

private:
    // A tiled 16400 x 16400 gray image with one byte stored: tiny on disk,
    // too large for the whole-image buffer of the tile routines.
    static void makeHugeTiledTiff(const QString &file)
    {
        RawTiff r;
        const int stub = r.addBlob(QByteArray(1, '\0'));
        r.longTag(TIFFTAG_IMAGEWIDTH, {16400});
        r.longTag(TIFFTAG_IMAGELENGTH, {16400});
        r.shortTag(TIFFTAG_BITSPERSAMPLE, {8});
        r.shortTag(TIFFTAG_COMPRESSION, {COMPRESSION_LZW});
        r.shortTag(TIFFTAG_PHOTOMETRIC, {PHOTOMETRIC_MINISBLACK});
        r.longTag(TIFFTAG_TILEWIDTH, {16384});
        r.longTag(TIFFTAG_TILELENGTH, {16384});
        r.offsetTag(TIFFTAG_TILEOFFSETS, {stub, stub, stub, stub});
        r.sizeTag(TIFFTAG_TILEBYTECOUNTS, {stub, stub, stub, stub});
        writeFile(file, r.build());
    }
};

QTEST_GUILESS_MAIN(TestMultiTiff)
#include "tst_multitiff.moc"
