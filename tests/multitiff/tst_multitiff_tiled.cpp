// Assembly in a process whose first copied directory is tiled: from then on
// every output of the process is tiled, whatever its inputs.

#include "multitiff.h"
#include "tiffsamples.h"

#include <QTemporaryDir>
#include <QtTest>

class TestMultiTiffTiled : public QObject
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

    // The rows run in order: the first input's tiles decide for the others.
    void inputsAreTiledAfterATiledFirst_data()
    {
        QTest::addColumn<TiffPage>("spec");
        QTest::addColumn<QString>("tileWidth");
        QTest::addColumn<QString>("tileLength");
        QTest::addColumn<QString>("planar");
        TiffPage p = scannedRgb();
        p.width = 150;
        p.length = 100;
        p.tileWidth = 64;
        p.tileLength = 32;
        QTest::newRow("first input keeps its tiles") << p << "64" << "32" << "1";
        p = scannedGray();
        QTest::newRow("scanned gray page") << p << "256" << "256" << "1";
        p = scannedBilevel();
        p.width = 301;
        QTest::newRow("scanned bilevel page") << p << "256" << "256" << "1";
        p = scannedRgb();
        p.width = 300;
        p.length = 270;
        p.planar = PLANARCONFIG_SEPARATE;
        QTest::newRow("separate-plane strips") << p << "256" << "256" << "2";
        p.tileWidth = 80;
        p.tileLength = 16;
        QTest::newRow("separate-plane tiles") << p << "80" << "16" << "2";
        p.planar = PLANARCONFIG_CONTIG;
        p.bps = 16;
        QTest::newRow("16-bit contiguous tiles") << p << "80" << "16" << "1";
    }

    void inputsAreTiledAfterATiledFirst()
    {
        QFETCH(TiffPage, spec);
        QFETCH(QString, tileWidth);
        QFETCH(QString, tileLength);
        QFETCH(QString, planar);
        const QString in = m_dir.filePath(QStringLiteral("in.tiff"));
        QVERIFY(writeTiff(in, {spec}));
        const QString out = m_dir.filePath(QStringLiteral("out.tiff"));
        QFile::remove(out);
        QCOMPARE(combine2multiff({in}, out, QStringLiteral("lzw")), 0);
        const QString bad = tagMismatches(tiffdump(out).directories.value(0),
                                          {{TIFFTAG_TILEWIDTH, tileWidth}, {TIFFTAG_TILELENGTH, tileLength}, {TIFFTAG_PLANARCONFIG, planar},
                                           {TIFFTAG_COMPRESSION, "5"}, {TIFFTAG_ROWSPERSTRIP, ""}});
        QVERIFY2(bad.isEmpty(), qPrintable(bad));
        QCOMPARE(readAllPixels(out), QList<QByteArray>{pagePixels(spec)});
    }
};

QTEST_GUILESS_MAIN(TestMultiTiffTiled)
#include "tst_multitiff_tiled.moc"
