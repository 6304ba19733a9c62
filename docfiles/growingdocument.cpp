#include "growingdocument.h"

#include "pendingfile.h"
#include "safefile.h"
#include "tiff2pdf_p.h"
#include "tiffappender.h"
#include "tiffcp.h"

#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>

namespace {

struct T2PFree {
    void operator()(T2P *t2p) const { t2p_free(t2p); }
};

// Objects 1 to 3 (catalog, info, pages tree) keep their numbers, but are
// written last: the pages tree needs every page.
constexpr uint32_t kReservedObjects = 3;

} // namespace

struct GrowingDocument::Private {
    Kind kind;
    QByteArray destination;
    QByteArray tiffName;  // the multi-page TIFF being appended to
    bool dead = false;
    bool finished = false;

    // Members are destroyed bottom up: handles before their files, files
    // before the ".part" names are removed.
    PendingFile tiffPending;  // MultiTiff only
    FileHandle tiffFile;
    std::unique_ptr<TiffAppender> appender;

    PendingFile pdfPending;  // Pdf only
    std::unique_ptr<T2P, T2PFree> t2p;
    TiffHandle pdfOutput;
    tsize_t written = 0;  // bytes of the PDF so far

    Private(Kind k, const QByteArray &dest) : kind(k), destination(dest), tiffPending(dest), pdfPending(dest) {}

    ~Private()
    {
        // Whatever libtiff flushes on closing is not part of the document.
        if (t2p)
            t2p->outputdisable = 1;
        pdfOutput.reset();
    }

    int failed()
    {
        dead = true;
        return 1;
    }

    bool openTiff(const QByteArray &workTiff);
    bool openPdf();
    bool addPdfPages(int from, int to);
    bool finishPdf();
};

bool GrowingDocument::Private::openTiff(const QByteArray &workTiff)
{
    tiffName = kind == Pdf ? workTiff : destination;
    tiffFile.reset(kind == Pdf ? safefile::createExclusiveFile(workTiff.constData(), true) : tiffPending.open());
    if (!tiffFile) {
        TIFFError(tiffName.constData(), "Cannot create output file: %s", std::strerror(errno));
        return false;
    }
    appender = std::make_unique<TiffAppender>(tiffFile.get(), tiffName);
    return appender->isOpen();
}

bool GrowingDocument::Private::openPdf()
{
    t2p.reset(t2p_init());
    if (!t2p) {
        TIFFError(TIFF2PDF_MODULE, "Can't initialize context");
        return false;
    }
    t2p->outputdisable = 1;
    t2p->outputfile.reset(pdfPending.open());
    if (!t2p->outputfile) {
        TIFFError(TIFF2PDF_MODULE, "Can't open output file %s for writing: %s", destination.constData(),
                  std::strerror(errno));
        return false;
    }
    t2p->pdf_defaultcompression = T2P_COMPRESS_JPEG;
    pdfOutput.reset(t2p_open_output(t2p.get(), destination.constData()));
    if (!pdfOutput) {
        TIFFError(TIFF2PDF_MODULE, "Can't initialize output descriptor");
        return false;
    }
    t2p->outputdisable = 0;
    t2p_validate(t2p.get());
    t2pSeekFile(pdfOutput.get(), 0, SEEK_SET);

    t2p->tiff_filename = tiffName.constData();
    t2p->pdf_catalog = 1;
    t2p->pdf_info = 2;
    t2p->pdf_pages = 3;
    t2p->pdf_xrefcount = kReservedObjects;
    t2p->pdf_xrefoffsets.assign(kReservedObjects, 0);
    // The version may still rise with a later page; finish() then writes
    // the header again, which keeps its length.
    written = t2p_write_pdf_header(t2p.get(), pdfOutput.get());
    return t2p->t2p_error == T2P_ERR_OK;
}

// Writes the PDF objects of directories [from, to) of the multi-page TIFF,
// read back from the file as the end-of-batch conversion reads them.
bool GrowingDocument::Private::addPdfPages(int from, int to)
{
    TiffHandle input(TIFFOpen(tiffName.constData(), "rm"));
    if (!input) {
        TIFFError(TIFF2PDF_MODULE, "Can't open input file %s for reading", tiffName.constData());
        return false;
    }
    for (int dir = from; dir < to; dir++) {
        if (!TIFFSetDirectory(input.get(), tdir_t(dir))) {
            TIFFError(TIFF2PDF_MODULE, "Can't set directory %u of input file %s", unsigned(dir), tiffName.constData());
            return false;
        }
        const uint32_t index = t2p->tiff_pagecount;
        T2P_PAGE page;
        if (!t2p_directory_is_page(input.get(), index, &page.page_number))
            continue;
        page.page_directory = tdir_t(dir);
        if (TIFFIsTiled(input.get()))
            page.page_tilecount = TIFFNumberOfTiles(input.get());
        t2p->tiff_pages.push_back(page);
        t2p->tiff_tiles.emplace_back();
        if (!t2p_read_tiff_page_init(t2p.get(), input.get(), index))
            return false;
        t2p->pdf_page = index;
        t2p->tiff_pagecount = index + 1;
        if (!t2p_write_pdf_page_objects(t2p.get(), input.get(), pdfOutput.get(), written))
            return false;
        // The page's tile boxes are done with; the pages tree needs only
        // their count.
        std::vector<T2P_TILE>().swap(t2p->tiff_tiles[index].tiles_tiles);
    }
    return true;
}

bool GrowingDocument::Private::finishPdf()
{
    // The info dictionary takes its date and texts from the last page, as
    // the end-of-batch conversion does.
    TiffHandle input(TIFFOpen(tiffName.constData(), "rm"));
    if (!input || !TIFFSetDirectory(input.get(), t2p->tiff_pages.back().page_directory)) {
        TIFFError(TIFF2PDF_MODULE, "Can't open input file %s for reading", tiffName.constData());
        return false;
    }
    T2P *c = t2p.get();
    TIFF *out = pdfOutput.get();
    c->pdf_xrefoffsets[0] = uint32_t(written);
    written += t2p_write_pdf_obj_start(1, out);
    written += t2p_write_pdf_catalog(c, out);
    written += t2p_write_pdf_obj_end(out);
    c->pdf_xrefoffsets[1] = uint32_t(written);
    written += t2p_write_pdf_obj_start(2, out);
    written += t2p_write_pdf_info(c, input.get(), out);
    written += t2p_write_pdf_obj_end(out);
    c->pdf_xrefoffsets[2] = uint32_t(written);
    written += t2p_write_pdf_obj_start(3, out);
    written += t2p_write_pdf_pages(c, out);
    written += t2p_write_pdf_obj_end(out);
    c->pdf_startxref = uint32_t(written);
    written += t2p_write_pdf_xreftable(c, out);
    written += t2p_write_pdf_trailer(c, out);
    if (c->pdf_minorversion != 1) {
        t2pSeekFile(out, 0, SEEK_SET);
        t2p_write_pdf_header(c, out);
    }
    c->outputdisable = 1;
    pdfOutput.reset();  // closes the PDF file through the handle
    if (c->t2p_error != T2P_ERR_OK) {
        TIFFError(TIFF2PDF_MODULE, "An error occurred creating output PDF file");
        return false;
    }
    return true;
}

GrowingDocument::GrowingDocument(Kind kind, const QString &destination, const QString &workTiff)
    : d(std::make_unique<Private>(kind, QFile::encodeName(destination)))
{
    if (!d->openTiff(QFile::encodeName(workTiff)) || (kind == Pdf && !d->openPdf()))
        d->dead = true;
}

GrowingDocument::~GrowingDocument() = default;

int GrowingDocument::addPage(const QString &pageTiff)
{
    if (d->dead || d->finished)
        return 1;
    const int before = d->appender->directories();
    {
        QMutexLocker lock(&assemblyMutex());
        if (!processCompressOptions("lzw") || d->appender->append(pageTiff) != TiffAppender::Appended) {
            d->appender->abandon();
            return d->failed();
        }
    }
    if (d->kind == Pdf && !d->addPdfPages(before, d->appender->directories()))
        return d->failed();
    return 0;
}

int GrowingDocument::finish()
{
    if (d->dead || d->finished)
        return 1;
    if (d->appender->directories() == 0 || (d->kind == Pdf && d->t2p->tiff_pagecount == 0)) {
        TIFFError(d->destination.constData(), "A document without a page is not written");
        return d->failed();
    }
    if (!d->appender->close())
        return d->failed();
    const bool closed = std::fclose(d->tiffFile.release()) == 0;
    if (!closed) {
        TIFFError(d->tiffName.constData(), "Cannot write output file: %s", std::strerror(errno));
        return d->failed();
    }
    if (d->kind == Pdf && !d->finishPdf())
        return d->failed();
    PendingFile &pending = d->kind == Pdf ? d->pdfPending : d->tiffPending;
    if (!pending.commit()) {
        TIFFError(d->destination.constData(), "Cannot put the document in place: %s", std::strerror(errno));
        return d->failed();
    }
    d->finished = true;
    return 0;
}
