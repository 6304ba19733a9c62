// Inputs the conversion refuses, and what a failure leaves behind: the
// message through libtiff's handlers, result 1, and nothing at the
// destination (not even a temporary file beside it).

#include "pdftestkit.h"
#include "safefile.h"
#include "tiff2pdf.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <cerrno>
#include <unistd.h>

namespace {

// A one-strip 10 x 10 directory of junk samples, written byte by byte.
RawTiff rawPage(uint16_t compression, uint16_t photometric, uint16_t spp, uint32_t rowsPerStrip = 10)
{
    RawTiff r;
    QVector<int> strips;
    for (uint32_t row = 0; row < 10; row += rowsPerStrip)
        strips << r.addBlob(QByteArray(int(10 * rowsPerStrip * spp), '\x5a'));
    r.longTag(TIFFTAG_IMAGEWIDTH, {10});
    r.longTag(TIFFTAG_IMAGELENGTH, {10});
    r.shortTag(TIFFTAG_BITSPERSAMPLE, QVector<uint16_t>(spp, 8));
    r.shortTag(TIFFTAG_COMPRESSION, {compression});
    r.shortTag(TIFFTAG_PHOTOMETRIC, {photometric});
    r.offsetTag(TIFFTAG_STRIPOFFSETS, strips);
    r.shortTag(TIFFTAG_SAMPLESPERPIXEL, {spp});
    r.longTag(TIFFTAG_ROWSPERSTRIP, {rowsPerStrip});
    r.sizeTag(TIFFTAG_STRIPBYTECOUNTS, strips);
    return r;
}

QByteArray tiffBytes(const QList<TiffPage> &pages)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.tiff"));
    return writeTiff(path, pages) ? readFile(path) : QByteArray();
}

} // namespace

class TestPdfRefusals : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_count = 0;

    // A fresh directory per case, so that leftovers can be seen.
    QString freshDir()
    {
        const QString dir = m_dir.filePath(QString::number(m_count++));
        QDir().mkpath(dir);
        return dir;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages();
    }

    void init() { takeTiffMessages(); }

    void refusedInput_data()
    {
        QTest::addColumn<QByteArray>("tiff");
        QTest::addColumn<QString>("message");  // %1: the input path

        // a default page (8-bit RGB) as `change` leaves it
        auto page = [](const std::function<void(TiffPage &)> &change) {
            TiffPage p;
            change(p);
            return tiffBytes({p});
        };
        QTest::newRow("32 bits per sample") << page([](TiffPage &p) { p.bps = 32; }) << "No support for %1 with 32 bits per sample";
        QTest::newRow("5 samples per pixel") << page([](TiffPage &p) {
            p.spp = 5;
            p.photometric = PHOTOMETRIC_MINISBLACK;
            p.extra = [](TIFF *t) {
                uint16_t extras[4] = {0, 0, 0, 0};
                TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 4, extras);
            };
        }) << "No support for %1 with 5 samples per pixel";
        QTest::newRow("signed samples") << page([](TiffPage &p) { p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT); }; })
                                        << "No support for %1 with sample format 2";
        QTest::newRow("RGB with 2 samples") << page([](TiffPage &p) { p.spp = 2; })
                                            << "No support for RGB image %1 with 2 samples per pixel";
        QTest::newRow("4-bit RGBA") << page([](TiffPage &p) { p.spp = 4, p.bps = 4, p.extraSample = EXTRASAMPLE_ASSOCALPHA; })
                                    << "No support for BitsPerSample=4 for RGBA";
        TiffPage p = palettePage(8);
        p.spp = 3;
        QTest::newRow("palette with 3 samples")
            << tiffBytes({p}) << "No support for palettized image %1 with not one sample per pixel";
        QTest::newRow("ink set not CMYK") << page([](TiffPage &p) {
            p.spp = 4, p.photometric = PHOTOMETRIC_SEPARATED;
            p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_INKSET, INKSET_MULTIINK); };
        }) << "No support for %1 because its inkset is not CMYK";
        QTest::newRow("separated with 3 samples") << page([](TiffPage &p) { p.photometric = PHOTOMETRIC_SEPARATED; })
                                                  << "No support for %1 because it has 3 samples per pixel";
        for (const uint16_t lab : {PHOTOMETRIC_CIELAB, PHOTOMETRIC_ITULAB}) {
            const char *name = lab == PHOTOMETRIC_CIELAB ? "CIELAB" : "ITULAB";
            p = TiffPage();
            p.photometric = lab;
            p.spp = 1;
            QTest::addRow("%s with 1 sample", name) << tiffBytes({p}) << QStringLiteral("Unsupported samplesperpixel = 1 for %1").arg(name);
            p.spp = 3;
            p.bps = 4;
            QTest::addRow("%s with 4 bits", name) << tiffBytes({p}) << QStringLiteral("Invalid bitspersample = 4 for %1").arg(name);
        }
        QTest::newRow("LogL") << page([](TiffPage &p) { p.photometric = PHOTOMETRIC_LOGL, p.spp = 1; })
                              << "No support for %1 with photometric interpretation LogL/LogLuv";
        p = TiffPage();
        p.photometric = PHOTOMETRIC_MASK;
        p.spp = p.bps = 1;
        QTest::newRow("transparency mask") << tiffBytes({p}) << "No support for %1 with photometric interpretation 4";
        // directories that are not pages: a document without a page
        p.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_MASK); };
        QTest::newRow("only a transparency mask") << tiffBytes({p}) << "Input file %1 has no pages";
        TiffPage thumbnail;
        thumbnail.extra = [](TIFF *t) { TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE); };
        QTest::newRow("only reduced-resolution images") << tiffBytes({thumbnail, thumbnail}) << "Input file %1 has no pages";
        QTest::newRow("separate planes of 4 bits") << page([](TiffPage &p) { p.planar = PLANARCONFIG_SEPARATE, p.bps = 4; })
                                                   << "No support for %1 with separated planar configuration and 4 bits per sample";
        p = TiffPage();
        p.planar = PLANARCONFIG_SEPARATE;
        p.compression = COMPRESSION_JPEG;
        p.rowsPerStrip = 16;
        QTest::newRow("JPEG with separate planes")
            << tiffBytes({p}) << "No support for %1 with JPEG compression and separated planar configuration";
        // a good first page does not save the document
        QTest::newRow("second page refused")
            << tiffBytes({TiffPage(), p}) << "No support for %1 with JPEG compression and separated planar configuration";

        QByteArray raw;
        {
            RawTiff r = rawPage(COMPRESSION_NONE, PHOTOMETRIC_MINISBLACK, 1);
            r.shortTag(TIFFTAG_COMPRESSION, {65000});
            raw = r.build();
        }
        QTest::newRow("codec not configured") << raw << "No support for %1 with compression type 65000:  not configured";
        {
            RawTiff r;
            const int strip = r.addBlob(QByteArray(100, 'x'));
            r.longTag(TIFFTAG_IMAGEWIDTH, {10});
            r.longTag(TIFFTAG_IMAGELENGTH, {10});
            r.shortTag(TIFFTAG_BITSPERSAMPLE, {8});
            r.offsetTag(TIFFTAG_STRIPOFFSETS, {strip});
            r.longTag(TIFFTAG_ROWSPERSTRIP, {10});
            r.sizeTag(TIFFTAG_STRIPBYTECOUNTS, {strip});
            raw = r.build();
        }
        QTest::newRow("no photometric tag") << raw << "No support for %1 with no photometric interpretation tag";
        {
            RawTiff r = rawPage(COMPRESSION_NONE, PHOTOMETRIC_RGB, 3);
            r.longTag(TIFFTAG_IMAGEWIDTH, {20000});
            r.longTag(TIFFTAG_IMAGELENGTH, {5000});
            raw = r.build();
        }
        // a page whose decoded samples would take more than 256 MiB
        QTest::newRow("page too large")
            << raw << "Allocation of 300000000 bytes is forbidden. Limit is 268435456. Use -m option to change limit";
        QTest::newRow("broken Deflate data")
            << rawPage(COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_MINISBLACK, 1, 5).build()
            << "Error on decoding strip 0 of %1";
        QTest::newRow("broken JPEG data")
            << rawPage(COMPRESSION_JPEG, PHOTOMETRIC_RGB, 3).build() << "Can't process JPEG data in input file %1";
        {
            RawTiff r = rawPage(COMPRESSION_OJPEG, PHOTOMETRIC_YCBCR, 3);
            r.shortTag(TIFFTAG_JPEGPROC, {JPEGPROC_BASELINE});
            raw = r.build();
        }
        QTest::newRow("old-style JPEG without tables") << raw << "No support for OJPEG image %1 with bad tables";
    }

    void refusedInput()
    {
        QFETCH(QByteArray, tiff);
        QFETCH(QString, message);
        QVERIFY(!tiff.isEmpty());
        const QString dir = freshDir();
        const QString input = dir + QStringLiteral("/in.tiff");
        const QString output = dir + QStringLiteral("/out.pdf");
        QVERIFY(writeFile(input, tiff));

        QCOMPARE(convert2pdf(input, output), 1);
        const QStringList messages = takeTiffMessages();
        QVERIFY2(messages.contains(QStringLiteral("tiff2pdf: ") + QString(message).replace(QLatin1String("%1"), input)), qPrintable(messages.join('\n')));
        QCOMPARE(messages.last(), QStringLiteral("tiff2pdf: An error occurred creating output PDF file"));
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList({"in.tiff"}));
    }

    // Neither document command ever replaces a file: a taken name, or its
    // ".part", fails before any work and stays as it was.
    void takenNamesAreNeverReplaced_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("taken");
        for (const char *command : {"pdf", "multitiff"}) {
            QTest::addRow("%s, destination", command) << command << "out";
            QTest::addRow("%s, .part", command) << command << "out.part";
        }
    }

    void takenNamesAreNeverReplaced()
    {
        QFETCH(QString, command);
        QFETCH(QString, taken);
        const QString dir = freshDir();
        const QString input = dir + QStringLiteral("/in.tiff");
        QVERIFY(writeTiff(input, {TiffPage()}));
        const QString out = dir + QStringLiteral("/out");
        QVERIFY(writeFile(dir + QLatin1Char('/') + taken, "earlier document"));
        const QStringList args = command == QLatin1String("pdf") ? QStringList{command, input, out}
                                                                 : QStringList{command, out, input};
        const ToolResult r = runTool(QStringLiteral(VELLOSCAN_DOC_TOOL), args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("exists"), r.err.constData());
        QCOMPARE(readFile(dir + QLatin1Char('/') + taken), QByteArray("earlier document"));
        QCOMPARE(QDir(dir).entryList(QDir::Files).size(), 2);

        // With the name free again, the same command succeeds.
        QVERIFY(QFile::remove(dir + QLatin1Char('/') + taken));
        QCOMPARE(runTool(QStringLiteral(VELLOSCAN_DOC_TOOL), args).exitCode, 0);
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList({"in.tiff", "out"}));
    }

    // The helpers the scan loop writes its pages with.
    void safeFileNeverReplaces()
    {
        const QByteArray dir = QFile::encodeName(freshDir());
        const QByteArray taken = dir + "/taken", free = dir + "/free", link = dir + "/link";
        QVERIFY(writeFile(QFile::decodeName(taken), "mine"));
        QVERIFY(::symlink((dir + "/target").constData(), link.constData()) == 0);
        for (const QByteArray &name : {taken, link}) {
            errno = 0;
            QCOMPARE(safefile::createExclusive(name.constData()), -1);
            QCOMPARE(errno, EEXIST);
        }
        QVERIFY(!QFile::exists(QFile::decodeName(dir + "/target")));

        std::FILE *f = safefile::createExclusiveFile(free.constData());
        QVERIFY(f && std::fputs("new", f) >= 0 && std::fclose(f) == 0);
        errno = 0;
        QVERIFY(!safefile::renameNoReplace(free.constData(), taken.constData()));
        QCOMPARE(errno, EEXIST);
        QCOMPARE(readFile(QFile::decodeName(taken)), QByteArray("mine"));
        QVERIFY(safefile::renameNoReplace(free.constData(), (dir + "/moved").constData()));
        QCOMPARE(readFile(QFile::decodeName(dir + "/moved")), QByteArray("new"));
        QVERIFY(!QFile::exists(QFile::decodeName(free)));
    }

    // A disk that fills up half-way fails either command and leaves nothing:
    // no document, no ".part". On a small tmpfs when run as root, else under
    // a file size limit, which fails the writes the same way.
    void fullDiskLeavesNothing_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("pdf") << "pdf" << QByteArray("tiff2pdf: An error occurred creating output PDF file");
        QTest::newRow("multitiff") << "multitiff" << QByteArray("Cannot write output file");
    }

    void fullDiskLeavesNothing()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, message);
        const QString dir = freshDir();
        const QString input = dir + QStringLiteral("/in.tiff");
        TiffPage page = scannerRgb(600, 800);
        page.pattern = noisyPixels;  // neither JPEG nor LZW makes it small
        // The first page fits: a multi-page TIFF must not keep it either.
        QVERIFY(writeTiff(input, {TiffPage(), page}));
        const QString disk = dir + QStringLiteral("/disk");
        QVERIFY(QDir().mkpath(disk));
        const QString out = disk + QStringLiteral("/out");
        const QStringList args = command == QLatin1String("pdf") ? QStringList{command, input, out}
                                                                 : QStringList{command, out, input};
        QString limit = QStringLiteral("ulimit -f 100; trap '' XFSZ; ");
        struct Unmount {
            QString at;
            ~Unmount() { if (!at.isEmpty()) runTool(QStringLiteral("umount"), {at}); }
        } unmount;
        if (::geteuid() == 0 && runTool(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=200k", "tmpfs", disk}).exitCode == 0) {
            unmount.at = disk;
            limit.clear();
        } else {
            qInfo("not root: a file size limit stands in for the full disk");
        }
        const ToolResult r = runTool(QStringLiteral("sh"), QStringList{QStringLiteral("-c"), limit + QStringLiteral("exec \"$0\" \"$@\""),
                                                                       QStringLiteral(VELLOSCAN_DOC_TOOL)} + args);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // Nothing to read, or nowhere to write: one message, and nothing written.
    void openFailuresWriteNothing_data()
    {
        QTest::addColumn<QString>("input");  // "in.tiff" is a page, "text.tiff" is not
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");  // %1: the input, %2: the output
        QTest::newRow("missing input") << "missing.tiff" << "out.pdf" << "Can't open input file %1 for reading";
        QTest::newRow("not a TIFF") << "text.tiff" << "out.pdf" << "Can't open input file %1 for reading";
        QTest::newRow("no folder for the output") << "in.tiff" << "no/dir/out.pdf" << "Can't open output file %2 for writing";
    }

    void openFailuresWriteNothing()
    {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, message);
        const QString dir = freshDir() + QLatin1Char('/');
        QVERIFY(writeTiff(dir + QStringLiteral("in.tiff"), {TiffPage()}) && writeFile(dir + QStringLiteral("text.tiff"), "not a picture"));
        QCOMPARE(convert2pdf(dir + input, dir + output), 1);
        QCOMPARE(takeTiffMessages().filter(QRegularExpression(QStringLiteral("^tiff2pdf: "))),
                 QStringList({QStringLiteral("tiff2pdf: ") + message.replace("%1", dir + input).replace("%2", dir + output)}));
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList({"in.tiff", "text.tiff"}));
    }
};

QTEST_GUILESS_MAIN(TestPdfRefusals)
#include "tst_pdfrefusals.moc"
