#ifndef VELLOSCAN_TIFF2PDF_H
#define VELLOSCAN_TIFF2PDF_H

#include <QString>

// Converts the multi-page TIFF at `tiff` into a PDF at `pdf`, one page per
// image directory, sized from the TIFF resolution: colour and gray pages as
// JPEG, black-and-white pages as CCITT Group 4, stored JPEG, Group 4 and
// Deflate data copied where PDF can read it as it is.
//
// Returns 0 on success and 1 on failure; a TIFF none of whose directories is
// a page (only masks or reduced-resolution images) fails too. The document
// is written to `pdf` plus ".part" and renamed into place once complete, so
// a failure (a full disk too) leaves nothing under either name; a file
// already under either name is never replaced: the call fails. Problems are
// reported through libtiff's error and warning handlers with the module name
// "tiff2pdf".
//
// Each call has its own context and files; calls from several threads do
// not interfere, though libtiff's message handlers are shared by all.
int convert2pdf(QString tiff, QString pdf);

#endif
