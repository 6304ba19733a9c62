#ifndef VELLOSCAN_TIFFWORK_H
#define VELLOSCAN_TIFFWORK_H

#include <QList>
#include <QString>

// Whether TIFF files claim more work than a fuzz input is worth. A few
// hundred fuzzed bytes can claim gigabytes of pixels (which a codec then
// makes up from nothing) or a hundred thousand tiles, each encoded on its
// own: such an input takes seconds where others take a millisecond, yet the
// document code holds at most one image or one row at a time, so it tests
// nothing that a smaller one doesn't. The targets pass such inputs over.
bool ClaimsTooMuchWork(const QList<QString> &files);

#endif
