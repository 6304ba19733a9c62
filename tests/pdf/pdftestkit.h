#ifndef VELLOSCAN_TESTS_PDFTESTKIT_H
#define VELLOSCAN_TESTS_PDFTESTKIT_H

// Inputs and checks for the PDF conversion tests: pages for the shared
// writer (or TIFF files made byte by byte where libtiff won't write them),
// the poppler and qpdf validators run as processes, rendered pages compared
// with the pixels that went in, and a walk over the objects of a document.

#include "tiffkit.h"

#include <QVector>

// A palette page with a colour map that expectedPicture knows.
TiffPage palettePage(uint16_t bps);

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

bool qpdfCheckClean(const QString &pdf, QString *report);
// Page sizes in points as pdfinfo prints them ("595.2 x 841.92"), one per page.
QStringList pdfinfoPageSizes(const QString &pdf);

struct ImageListEntry {
    int width = 0;
    int height = 0;
    QString color;
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
