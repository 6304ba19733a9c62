// TIFF pages whose Deflate strips are compressed on worker threads and
// written raw: pages many batches long come back whole, in row order, with
// the page tags, whether the strips are compressed on workers or not.
#include "pagekit.h"
#include "tiffpage.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <vector>

using pagekit::ExpectedPage;
Q_DECLARE_METATYPE(ExpectedPage::Mode)

class TestTiffPage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void pagesOfManyBatches_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<ExpectedPage::Mode>("mode");
        QTest::addColumn<int>("depth");
        QTest::newRow("colour, on the calling thread") << 0 << ExpectedPage::Color << 8;
        QTest::newRow("colour, three workers") << 3 << ExpectedPage::Color << 8;
        QTest::newRow("gray 16, two workers") << 2 << ExpectedPage::Gray << 16;
    }
    void pagesOfManyBatches()
    {
        QFETCH(int, threads);
        QFETCH(ExpectedPage::Mode, mode);
        QFETCH(int, depth);
        ExpectedPage e;
        e.width = 3001; // rows of 6 to 9 kB: batches of a few dozen rows, many per page
        e.height = 400;
        e.mode = mode;
        e.depth = depth;
        e.dpi = 300;
        const int channels = mode == ExpectedPage::Color ? 3 : 1;
        SANE_Parameters p = {};
        p.format = channels == 3 ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
        p.last_frame = SANE_TRUE;
        p.pixels_per_line = e.width;
        p.bytes_per_line = e.width * channels * depth / 8;
        p.lines = -1;
        p.depth = depth;
        const QString path = m_dir.filePath(QString("%1.tif").arg(QTest::currentDataTag()));

        TiffPageFile file;
        QVERIFY(file.open(QFile::encodeName(path).constData()));
        TiffPageWriter writer(file.get(), 300, threads);
        QCOMPARE(writer.begin(p), 0);
        std::vector<unsigned char> line(size_t(p.bytes_per_line));
        for (int y = 0; y < e.height; ++y) {
            for (int x = 0; x < e.width; ++x) {
                for (int c = 0; c < channels; ++c) {
                    const size_t i = size_t(x * channels + c);
                    if (depth == 8) {
                        line[i] = static_cast<unsigned char>(pagekit::sample8(x, y, c, 1));
                    } else {
                        const quint16 v = static_cast<quint16>(pagekit::sample16(x, y, c, 1));
                        std::memcpy(&line[2 * i], &v, 2);
                    }
                }
            }
            QCOMPARE(writer.writeLine(line.data()), 0);
        }
        QCOMPARE(writer.finish(), 0);
        QVERIFY(file.close());
        QCOMPARE(pagekit::checkPage(path, e), QString());
    }
};

QTEST_GUILESS_MAIN(TestTiffPage)
#include "tst_tiffpage.moc"
