// Compression specs other than the service's "lzw". The options a spec sets
// stay for the process, so the rows run in order and build on each other.

#include "multitiff.h"
#include "tiffsamples.h"

#include <QTemporaryDir>
#include <QtTest>

class TestMultiTiffSpecs : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages(true);
    }

    void specsChooseTheOutputCoding_data()
    {
        QTest::addColumn<QString>("spec");
        QTest::addColumn<TiffPage>("input");
        QTest::addColumn<QString>("compression");
        QTest::addColumn<int>("tag"); // a tag the spec decides, 0: none
        QTest::addColumn<QString>("value"); // its value, "" for absent
        QTest::addColumn<bool>("lossless");
        const TiffPage gray = scannedGray();
        const TiffPage rgb = scannedRgb();
        const TiffPage bilevel = scannedBilevel();
        QTest::newRow("none") << "none" << gray << "1" << 0 << "" << true;
        QTest::newRow("g4") << "g4" << bilevel << "4" << TIFFTAG_PHOTOMETRIC << "0" << true;
        QTest::newRow("g3 2d") << "g3:2d" << bilevel << "3" << TIFFTAG_GROUP3OPTIONS << "1" << true;
        QTest::newRow("g3 fill adds") << "g3:fill" << bilevel << "3" << TIFFTAG_GROUP3OPTIONS << "5" << true;
        QTest::newRow("g3 1d clears") << "g3:1d" << bilevel << "3" << TIFFTAG_GROUP3OPTIONS << "4" << true;
        QTest::newRow("jpeg rgb is YCbCr") << "jpeg" << rgb << "7" << TIFFTAG_PHOTOMETRIC << "6" << false;
        QTest::newRow("jpeg quality") << "jpeg:90" << gray << "7" << TIFFTAG_PHOTOMETRIC << "1" << false;
        QTest::newRow("jpeg raw") << "jpeg:r" << rgb << "7" << TIFFTAG_PHOTOMETRIC << "2" << false;
        QTest::newRow("zip preset") << "zip:p9" << gray << "8" << TIFFTAG_PREDICTOR << "" << true;
        QTest::newRow("lzw predictor") << "lzw:2" << rgb << "5" << TIFFTAG_PREDICTOR << "2" << true;
        QTest::newRow("predictor stays") << "lzw" << rgb << "5" << TIFFTAG_PREDICTOR << "2" << true;
        QTest::newRow("zip takes it too") << "zip" << gray << "8" << TIFFTAG_PREDICTOR << "2" << true;
        QTest::newRow("zip predictor reset") << "zip:1" << gray << "8" << TIFFTAG_PREDICTOR << "1" << true;
    }

    void specsChooseTheOutputCoding()
    {
        QFETCH(QString, spec);
        QFETCH(TiffPage, input);
        QFETCH(QString, compression);
        QFETCH(int, tag);
        QFETCH(QString, value);
        QFETCH(bool, lossless);
        if (!TIFFIsCODECConfigured(uint16_t(compression.toUInt())))
            QSKIP("codec not built into this libtiff");
        const QString in = m_dir.filePath(QStringLiteral("in.tiff"));
        const QString out = m_dir.filePath(QStringLiteral("out.tiff"));
        QFile::remove(out);
        QVERIFY(writeTiff(in, {input}));
        QCOMPARE(combine2multiff({in}, out, spec), 0);
        const DumpedDirectory dir = tiffdump(out).directories.value(0);
        QCOMPARE(dir.values.value(TIFFTAG_COMPRESSION), compression);
        QCOMPARE(dir.values.value(TIFFTAG_ROWSPERSTRIP), QStringLiteral("16"));
        if (tag)
            QCOMPARE(dir.values.value(tag), value);
        const QList<QByteArray> pixels = readAllPixels(out);
        QCOMPARE(pixels.size(), 1);
        if (lossless)
            QCOMPARE(pixels[0], pagePixels(input));
        else
            QCOMPARE(pixels[0].size(), pagePixels(input).size());
    }
};

QTEST_GUILESS_MAIN(TestMultiTiffSpecs)
#include "tst_multitiff_specs.moc"
