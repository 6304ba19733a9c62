#ifndef VELLOSCAN_GROWINGDOCUMENT_H
#define VELLOSCAN_GROWINGDOCUMENT_H

#include <QString>

#include <memory>

// A multi-page document built while the batch is scanned: each page enters
// it as soon as it is finished, so that after the last sheet only the
// closing structures remain to be written.
//
// - MultiTiff: the pages are appended (LZW, 16 rows per strip, as
//   combine2multiff does) to `destination` + ".part", renamed to
//   `destination` by finish().
// - Pdf: the pages are appended the same way to `workTiff` (the scratch
//   multi-page TIFF, which stays where it is), and each page's PDF objects
//   are written at once to `destination` + ".part"; finish() adds the pages
//   tree, catalog, info, cross-reference table and trailer and renames it.
//
// The result holds the same pages with the same image streams as the
// end-of-batch build (combine2multiff, then convert2pdf); the PDF's objects
// keep their numbers but catalog, info and pages tree come last in the file.
// Pages appear in the order they were added.
//
// Nothing ever appears under `destination` before finish() succeeds, and no
// existing file is replaced: a taken `destination`, ".part" or `workTiff`
// makes the document fail at once. After any failure the document is dead:
// every later call returns 1, and the destructor removes the ".part".
// Problems are reported through libtiff's error handler.
//
// One thread at a time per document (the scan job's); assemblies elsewhere
// in the process take turns with its pages.
class GrowingDocument {
public:
    enum Kind { MultiTiff, Pdf };

    // `workTiff` is needed for Pdf only. Creates the files; a failure shows
    // in the first addPage() or finish().
    GrowingDocument(Kind kind, const QString &destination, const QString &workTiff = QString());
    // When not finished: removes the ".part"; nothing is left under the
    // final name.
    ~GrowingDocument();
    GrowingDocument(const GrowingDocument &) = delete;
    GrowingDocument &operator=(const GrowingDocument &) = delete;

    // Adds every image directory of the page file; 0, or 1 on failure.
    int addPage(const QString &pageTiff);
    // Writes the closing structures and puts the document under its name;
    // 0, or 1 on failure (also for a document without a page).
    int finish();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
