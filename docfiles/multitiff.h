#ifndef VELLOSCAN_MULTITIFF_H
#define VELLOSCAN_MULTITIFF_H

#include <QList>
#include <QString>

// Copies every image directory of `files`, in list order, into one new
// multi-page TIFF at `outTiff` (big-endian), re-encoding the pixels with the
// compression spec `compression` ("lzw" for the service) in 16-row strips and
// carrying the descriptive tags over. An input path may name directories:
// "page.tiff,1" copies only directory 1, "page.tiff,2,0" directories 2 then 0.
//
// Returns 0 on success and 1 on failure. The output is written to `outTiff`
// plus ".part" and renamed into place at the end; a file already under
// either name is never replaced (the call fails before reading anything).
// After a failure of an input, the output keeps the directories that were
// completely copied before it; when the first one already failed, or when
// the output itself could not be written (a full disk), nothing is left
// under either name. An output that can't be created, or a spec that isn't
// known, fails before anything is read. An empty list gives a file with the
// TIFF header alone, and 0.
//
// The copy options behind this are process-wide and kept between calls on
// purpose; concurrent callers are serialised by a mutex inside, so calling it
// from several threads is safe but never parallel.
int combine2multiff(QList<QString> files, QString outTiff, QString compression);

#endif
