#ifndef VELLOSCAN_PAGENAMING_H
#define VELLOSCAN_PAGENAMING_H

#include <QString>

// Where pages go and which running number the next one gets. The page loop
// advances `next` as it takes numbers, and whoever keeps the number reads it
// back from here afterwards.
struct PageNaming {
    QString folder;    // no trailing "/"
    QString prefix;    // may be empty
    int digits = 4;    // minimum digits, zero-padded; a longer number is written whole
    int next = 1;
    QString extension; // also chooses the page format: "png", "jpg"/"jpeg", "tiff"/"tif", anything else PNM

    QString Path(int number) const;
    QString NextPath() const { return Path(next); }
    // Moves `next` past numbers whose file or ".part" exists already, with a
    // line on standard error for each: nothing of ours ever replaces a file.
    // False when the numbers ran out.
    bool SkipTaken();
};

#endif
