#ifndef VELLOSCAN_TESTS_TIFFSAMPLES_H
#define VELLOSCAN_TESTS_TIFFSAMPLES_H

// Makes input TIFF files for the assembly tests and reads results back: the
// pixels through libtiff, the directories through the tiffdump validator.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <functional>
#include <tiffio.h>

// One image directory to write. The defaults are a page as the scanner
// writes it: one row per strip, Deflate, resolution in inches, a DateTime.
struct PageSpec {
    uint32_t width = 61;
    uint32_t length = 37;
    uint16_t spp = 1;
    uint16_t bps = 8;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t compression = COMPRESSION_DEFLATE;
    uint32_t rowsPerStrip = 1;
    uint32_t tileWidth = 0; // non-zero: tiled
    uint32_t tileLength = 0;
    uint16_t planar = PLANARCONFIG_CONTIG; // 0: no PlanarConfiguration tag
    uint16_t orientation = 0;              // 0: no Orientation tag
    uint16_t resUnit = RESUNIT_INCH;       // 0: no resolution tags
    float xres = 300, yres = 300;
    QByteArray dateTime = "2024:05:06 07:08:09";
    unsigned seed = 1;
    std::function<void(TIFF *)> extra; // more tags, set before the pixels

    static PageSpec scannerBilevel();
    static PageSpec scannerGray();
    static PageSpec scannerRgb();
};
Q_DECLARE_METATYPE(PageSpec)

// The pixels of a page as one contiguous raster, rows of
// ceil(width * bps * spp / 8) bytes, samples interleaved.
QByteArray samplePixels(const PageSpec &spec);
// Writes the pages as the directories of one file; false on any failure.
bool writeTiff(const QString &path, const QList<PageSpec> &pages);
// The decoded pixels of every directory, in the layout of samplePixels.
QList<QByteArray> readAllPixels(const QString &path);

// One directory as tiffdump shows it: tag number -> value text between <>.
struct DumpedDirectory {
    QMap<int, QString> values;
    QMap<int, int> counts;
};
struct Dump {
    bool ok = false;
    bool bigEndian = false;
    QList<DumpedDirectory> directories;
};
Dump tiffdump(const QString &path);
// The full tiffinfo text.
QString tiffinfo(const QString &path);

// Collects what libtiff reports through its handlers in this process.
void captureTiffMessages();
QStringList takeTiffMessages();

#endif
