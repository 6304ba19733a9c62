#ifndef VELLOSCAN_TESTS_PAGEKIT_H
#define VELLOSCAN_TESTS_PAGEKIT_H

// What a scanned page file must hold when it comes from the simulated
// scanners (their pixel formula, simulator/simscan.h): a check of PNM, PNG,
// TIFF and JPEG page files, read back with the real libraries.

#include <QByteArray>
#include <QString>

namespace pagekit {

// The formula's samples of image n: x the pixel, y the line, c the colour
// (red 0, green 1, blue 2, gray 0).
unsigned sample8(int x, int y, int c, int n);
unsigned sample16(int x, int y, int c, int n); // s*256 + (255 - s)

struct ExpectedPage {
    enum Mode { Lineart, Gray, Color };
    int width = 0;
    int height = 0;
    Mode mode = Gray;
    int depth = 8;      // 1 for Lineart; 8 or 16 for Gray and Color
    int image = 1;      // counted from 1 per open device
    int dpi = 0;        // PNG pHYs, JPEG density, TIFF resolution; 0: not stated
    int whiteFrom = -1; // lines from here on are white (a page completed after
                        // its data ended early); -1: none
    int whiteFromSample = 0; // where line whiteFrom turns white, in samples along
                             // the line (colours interleaved): data that ended mid-line
};

// "" when the file (PNM, PNG, TIFF or JPEG, told by its first bytes) holds
// exactly the expected page, else what differs first. TIFF pages must also
// carry the page tags: Group 4 for 1-bit, Deflate otherwise, the photometric
// interpretation, one row per strip and the resolution in inches. A JPEG
// page is compared byte for byte with expectedJpeg.
QString checkPage(const QString &path, const ExpectedPage &e);

// The expected page encoded as the page writer does it: libjpeg at quality
// 75, baseline, JFIF density in dots per inch; 1-bit pixels as 0 (black) and
// 255, 16-bit samples by their high byte.
QByteArray expectedJpeg(const ExpectedPage &e);

} // namespace pagekit

#endif
