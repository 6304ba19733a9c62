#ifndef VELLOSCAN_TESTS_TIFFKIT_H
#define VELLOSCAN_TESTS_TIFFKIT_H

// Input TIFF files for the document-file tests and benchmark: a page is
// described field by field, its pixels come from a pattern, and libtiff
// writes it. Also what the suites share around it: libtiff's messages
// collected in the process, and helper programs run to completion.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <tiffio.h>

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

struct TiffPage;

// Smooth gradients (JPEG keeps them close), blocks for 1-bit pages, a spread
// of indices for palette pages; `seed` shifts them. The default pattern.
QByteArray smoothPixels(const TiffPage &page);
// Noise with runs of equal bytes, so that the coders meet both; `seed`
// changes it. The pattern of the pages below.
QByteArray noisyPixels(const TiffPage &page);

// One image directory to write. The defaults are a small RGB page at 72
// pixels per inch, so that a rendering at 72 dpi has one pixel per pixel;
// each suite names its own variations.
struct TiffPage {
    uint32_t width = 64;
    uint32_t length = 48;
    uint16_t spp = 3;
    uint16_t bps = 8;
    uint16_t photometric = PHOTOMETRIC_RGB;
    uint16_t compression = COMPRESSION_ADOBE_DEFLATE;
    int zipQuality = 0;  // Deflate level 1..9 (either Deflate code); 0: libtiff's
    uint32_t rowsPerStrip = 1;
    uint32_t tileWidth = 0;  // non-zero: tiled
    uint32_t tileLength = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;  // 0: no PlanarConfiguration tag
    uint16_t fillOrder = 0;  // 0: no FillOrder tag
    uint16_t orientation = 0;  // 0: no Orientation tag
    uint16_t resUnit = RESUNIT_INCH;  // 0: no resolution tags
    float xres = 72, yres = 72;
    QByteArray dateTime = "2024:05:06 07:08:09";  // empty: no tag
    int pageNumber = -1;  // >= 0: PageNumber tag (pageNumber, pageTotal)
    int pageTotal = 0;
    int extraSample = -1;  // >= 0: one ExtraSamples value (EXTRASAMPLE_*)
    unsigned seed = 1;
    QByteArray pixels;  // empty: pattern(*this)
    QByteArray (*pattern)(const TiffPage &) = smoothPixels;
    std::function<void(TIFF *)> extra;  // more tags, set after these, before the pixels
};
Q_DECLARE_METATYPE(TiffPage)

// Pages as the scanner writes them: one row per strip, 300 dpi, 1-bit
// min-is-white Group 4 or 8-bit Deflate.
TiffPage scannerRgb(uint32_t width, uint32_t length);
TiffPage scannerGray(uint32_t width, uint32_t length);
TiffPage scannerBilevel(uint32_t width, uint32_t length);
// Bytes in one row of `width` pixels of `spp` samples of `bps` bits.
qsizetype rowBytes(uint32_t width, uint16_t spp, uint16_t bps);
// Sample `s` of pixel (x, y) in a raster laid out as the page's pixels, for
// 1, 2, 4, 8, 16 and 32 bits per sample: below 8 bits packed from the high
// bit, 16 and 32 bits in the machine's byte order (as libtiff takes them).
uint32_t sampleAt(const QByteArray &raster, const TiffPage &page, uint32_t x, uint32_t y, int s);
void setSample(QByteArray &raster, const TiffPage &page, uint32_t x, uint32_t y, int s, uint32_t value);
// The largest sample value of `bps` bits.
uint32_t maxSample(uint16_t bps);
// The page's pixels as one raster of packed rows, samples interleaved: what
// writeTiff stores for it.
QByteArray pagePixels(const TiffPage &page);
// Writes the pages as the directories of one file; on any failure false,
// and no file is left behind.
bool writeTiff(const QString &path, const QList<TiffPage> &pages);

// A TIFF file written byte by byte (little-endian), for directories libtiff
// would refuse to write. Blobs are placed first; offset tags point at them.
class RawTiff {
public:
    int addBlob(const QByteArray &data);
    void shortTag(uint16_t tag, const QVector<uint16_t> &values);
    void longTag(uint16_t tag, const QVector<uint32_t> &values);
    void offsetTag(uint16_t tag, const QVector<int> &blobs);
    void sizeTag(uint16_t tag, const QVector<int> &blobs);
    void rationalTag(uint16_t tag, uint32_t num, uint32_t den);
    QByteArray build() const;

private:
    struct Entry {
        uint16_t tag;
        uint16_t type;
        uint32_t count;
        QByteArray value;
        QVector<int> blobs;  // offset (or size) entries, resolved in build()
        bool sizes = false;
    };
    void add(const Entry &entry);  // replaces an entry of the same tag

    QList<QByteArray> m_blobs;
    QList<Entry> m_entries;
};

bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);

// Collects what libtiff reports through its handlers in this process, as
// "module: text" (warnings as "module: Warning, text"), and with `echo` also
// prints each line on standard error.
void captureTiffMessages(bool echo = false);
QStringList takeTiffMessages();

struct ToolResult {
    int exitCode = -1;  // -1: did not start, crashed or hung
    QByteArray out;
    QByteArray err;
};
ToolResult runTool(const QString &program, const QStringList &args);

#endif
