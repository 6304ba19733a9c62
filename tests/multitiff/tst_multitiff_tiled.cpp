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
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        captureTiffMessages(true);
    }

    void firstTiledInputKeepsItsTiles()
    {
        TiffPage p = scannedRgb();
        p.width = 150;
        p.length = 100;
        p.tileWidth = 64;
        p.tileLength = 32;
        const QString in = path(QStringLiteral("tiled.tiff"));
        QVERIFY(writeTiff(in, {p}));
        const QString out = path(QStringLiteral("tiled-out.tiff"));
        QFile::remove(out);
        QCOMPARE(combine2multiff({in}, out, QStringLiteral("lzw")), 0);
        const DumpedDirectory dir = tiffdump(out).directories.value(0);
        QCOMPARE(dir.values.value(TIFFTAG_TILEWIDTH), QStringLiteral("64"));
        QCOMPARE(dir.values.value(TIFFTAG_TILELENGTH), QStringLiteral("32"));
        QCOMPARE(dir.values.value(TIFFTAG_COMPRESSION), QStringLiteral("5"));
        QVERIFY(!dir.values.contains(TIFFTAG_ROWSPERSTRIP));
        QCOMPARE(readAllPixels(out), QList<QByteArray>{pagePixels(p)});
    }

    void laterInputsAreTiledToo_data()
    {
        QTest::addColumn<TiffPage>("spec");
        QTest::addColumn<QString>("tileWidth");
        QTest::addColumn<QString>("planar");
        TiffPage p = scannedGray();
        QTest::newRow("scanned gray page") << p << "256" << "1";
        p = scannedBilevel();
        p.width = 301;
        QTest::newRow("scanned bilevel page") << p << "256" << "1";
        p = scannedRgb();
        p.width = 300;
        p.length = 270;
        p.planar = PLANARCONFIG_SEPARATE;
        QTest::newRow("separate-plane strips") << p << "256" << "2";
        p.tileWidth = 80;
        p.tileLength = 16;
        QTest::newRow("separate-plane tiles") << p << "80" << "2";
        p.planar = PLANARCONFIG_CONTIG;
        p.bps = 16;
        QTest::newRow("16-bit contiguous tiles") << p << "80" << "1";
    }

    void laterInputsAreTiledToo()
    {
        QFETCH(TiffPage, spec);
        QFETCH(QString, tileWidth);
        QFETCH(QString, planar);
        const QString in = path(QStringLiteral("later.tiff"));
        QVERIFY(writeTiff(in, {spec}));
        const QString out = path(QStringLiteral("later-out.tiff"));
        QFile::remove(out);
        QCOMPARE(combine2multiff({in}, out, QStringLiteral("lzw")), 0);
        const DumpedDirectory dir = tiffdump(out).directories.value(0);
        QCOMPARE(dir.values.value(TIFFTAG_TILEWIDTH), tileWidth);
        QCOMPARE(dir.values.value(TIFFTAG_PLANARCONFIG), planar);
        QVERIFY(!dir.values.contains(TIFFTAG_ROWSPERSTRIP));
        QCOMPARE(readAllPixels(out), QList<QByteArray>{pagePixels(spec)});
    }
};

QTEST_GUILESS_MAIN(TestMultiTiffTiled)
#include "tst_multitiff_tiled.moc"
