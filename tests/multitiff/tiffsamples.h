#ifndef VELLOSCAN_TESTS_TIFFSAMPLES_H
#define VELLOSCAN_TESTS_TIFFSAMPLES_H

// Pages for the assembly tests, and the results read back: the pixels
// through libtiff, the directories through the tiffdump validator.

#include "tiffkit.h"

#include <QMap>

// Small pages as the scanner writes them: one row per strip, legacy Deflate
// at level 9 or Group 4, FillOrder, 300 pixels per inch, a DateTime, and the
// Threshholding the scanner gives a bilevel or a gray page.
TiffPage scannedBilevel();
TiffPage scannedGray();
TiffPage scannedRgb();

// The decoded pixels of every directory, in the layout of pagePixels.
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
// The tags of `dir` that differ from `expected` (tiffdump's text, "" for an
// absent tag, "#n" for one of n values), a line each; empty when all match.
QString tagMismatches(const DumpedDirectory &dir, const QMap<int, QString> &expected);

#endif
