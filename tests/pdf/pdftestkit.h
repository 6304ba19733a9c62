#ifndef VELLOSCAN_TESTS_PDFTESTKIT_H
#define VELLOSCAN_TESTS_PDFTESTKIT_H

// Inputs and checks for the PDF conversion tests: TIFF pages made with
// libtiff (or byte by byte where libtiff won't write them), the poppler and
// qpdf validators run as processes, rendered pages compared with the pixels
// that went in, and a walk over the objects of a written document.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <tiffio.h>

// One image directory to write. The defaults are a small RGB page at 72
// pixels per inch, so that a rendering at 72 dpi has one pixel per pixel.
struct TiffPage {
    uint32_t width = 64;
    uint32_t length = 48;
    uint16_t spp = 3;
    uint16_t bps = 8;
    uint16_t photometric = PHOTOMETRIC_RGB;
    uint16_t compression = COMPRESSION_ADOBE_DEFLATE;
    uint32_t rowsPerStrip = 1;
    uint32_t tileWidth = 0;  // non-zero: tiled
    uint32_t tileLength = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t orientation = 0;  // 0: no tag
    uint16_t resUnit = RESUNIT_INCH;  // 0: no resolution tags
    float xres = 72, yres = 72;
    QByteArray dateTime = "2024:05:06 07:08:09";  // empty: no tag
    int pageNumber = -1;  // >= 0: PageNumber tag (pageNumber, pageTotal)
    int pageTotal = 0;
    int extraSample = -1;  // >= 0: one ExtraSamples value (EXTRASAMPLE_*)
    unsigned seed = 1;
    QByteArray pixels;  // empty: samplePixels()
    std::function<void(TIFF *)> extra;  // more tags, set after the basic ones

    // Pages as the scanner writes them: one row per strip, 300 dpi, 1-bit
    // min-is-white Group 4 or 8-bit Deflate.
    static TiffPage scannerRgb(uint32_t width, uint32_t length);
    static TiffPage scannerGray(uint32_t width, uint32_t length);
    static TiffPage scannerBilevel(uint32_t width, uint32_t length);
    static TiffPage palette(uint16_t bps);
};
Q_DECLARE_METATYPE(TiffPage)

// Smooth pixels (JPEG keeps them close) as one raster of packed rows.
QByteArray samplePixels(const TiffPage &page);
bool writeTiff(const QString &path, const QList<TiffPage> &pages);

// A TIFF file written byte by byte (little-endian), for directories libtiff
// would refuse to write. Blobs are placed first; offset tags point at them.
class RawTiff {
public:
    int addBlob(const QByteArray &data);
    void shortTag(uint16_t tag, const QVector<uint16_t> &values);
    void longTag(uint16_t tag, const QVector<uint32_t> &values);
    void offsetTag(uint16_t tag, const QVector<int> &blobs, int delta = 0);
    void sizeTag(uint16_t tag, const QVector<int> &blobs);
    void asciiTag(uint16_t tag, const QByteArray &text);
    void rationalTag(uint16_t tag, uint32_t num, uint32_t den);
    QByteArray build() const;

private:
    struct Entry {
        uint16_t tag;
        uint16_t type;
        uint32_t count;
        QByteArray value;
        QVector<int> blobs;  // offset (or size) entries, resolved in build()
        int delta = 0;
        bool sizes = false;
    };
    void add(const Entry &entry);  // replaces an entry of the same tag

    QList<QByteArray> m_blobs;
    QList<Entry> m_entries;
};

bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);

// A small baseline JPEG of the RGB pixels (YCbCr, 2x2 chroma subsampling),
// with a restart marker every `restartRows` rows of blocks when non-zero.
QByteArray encodeJpeg(const QByteArray &rgb, int width, int height, int restartRows = 0);

// The pieces of such a JPEG as an old-style JPEG TIFF keeps them apart: the
// quantisation tables (64 bytes each), the Huffman tables (16 counts and the
// symbols) and the entropy-coded data between restart markers.
struct JpegParts {
    QList<QByteArray> qtables, dctables, actables, segments;
};
JpegParts splitJpeg(const QByteArray &jpeg);

// What libtiff reports through its handlers in this process, as
// "module: text" (warnings as "module: Warning, text").
void captureTiffMessages();
QStringList takeTiffMessages();

struct ToolResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
ToolResult runTool(const QString &program, const QStringList &args);

bool qpdfCheckClean(const QString &pdf, QString *report);
// Page sizes in points as pdfinfo prints them ("595.2 x 841.92").
QStringList pdfinfoPageSizes(const QString &pdf);
int pdfinfoPageCount(const QString &pdf);

struct ImageListEntry {
    int page = 0;
    int width = 0;
    int height = 0;
    QString color;
    int comp = 0;
    int bpc = 0;
    QString enc;
};
QList<ImageListEntry> pdfimagesList(const QString &pdf);

// A rendered page or an expected picture: 8-bit RGB rows.
struct Picture {
    int width = 0;
    int height = 0;
    QByteArray rgb;
    bool isNull() const { return width == 0; }
};
// Rendered at `oversample` times the resolution and averaged down, since
// poppler does not place 1-bit images pixel-exactly at one pixel per pixel.
Picture renderPage(const QString &pdf, int page, int dpi, int oversample = 4);
// The page's pixels as they should appear: colour or gray as RGB, alpha over
// white, turned and mirrored by its orientation.
Picture expectedPicture(const TiffPage &page);
// Mean absolute difference per sample; negative when the sizes differ.
double meanDifference(const Picture &a, const Picture &b);

// The objects of a document as this writer lays them out.
struct PdfObject {
    int number = 0;
    qint64 offset = 0;
    QByteArray text;    // from "N 0 obj\n" to "endobj\n" inclusive
    QByteArray dict;    // a stream's dictionary text between "<< \n" and " >>\n"
    QByteArray stream;  // a stream's bytes
    bool isStream = false;
};
struct PdfFile {
    bool ok = false;
    QString error;
    QByteArray header;
    QList<PdfObject> objects;
    qint64 xrefOffset = 0;
    QByteArray xref;     // "xref\n" up to "trailer\n"
    QByteArray trailer;  // "trailer\n" to the end
};
PdfFile parsePdf(const QByteArray &data);

#endif
