#ifndef VELLOSCAN_TIFF2PDF_H
#define VELLOSCAN_TIFF2PDF_H

#include <QString>

// Converts the multi-page TIFF at `tiff` into a PDF at `pdf`, one page per
// image. Returns 0 on success and 1 on failure; on failure nothing is left at
// the destination.
int convert2pdf(QString tiff, QString pdf);

#endif
