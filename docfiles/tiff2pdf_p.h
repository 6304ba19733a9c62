#ifndef VELLOSCAN_TIFF2PDF_P_H
#define VELLOSCAN_TIFF2PDF_P_H

// Conversion context and stages of the TIFF-to-PDF conversion, shared by the
// page analysis (tiff2pdf.cpp) and the document writer (pdfwriter.cpp).
// Nothing here is meant for callers outside docfiles/; they use convert2pdf().

#include "tiffhandle.h"

#include <cstdint>
#include <string>
#include <vector>
#include <tiffio.h>

#define TIFF2PDF_MODULE "tiff2pdf"

enum t2p_err_t { T2P_ERR_OK = 0, T2P_ERR_ERROR = 1 };

// Colour space of the current page, a bit set.
enum t2p_cs_t : uint16_t {
    T2P_CS_BILEVEL = 0x01,
    T2P_CS_GRAY = 0x02,
    T2P_CS_RGB = 0x04,
    T2P_CS_CMYK = 0x08,
    T2P_CS_LAB = 0x10,
    T2P_CS_CALGRAY = 0x20,
    T2P_CS_CALRGB = 0x40,
    T2P_CS_ICCBASED = 0x80,
    T2P_CS_PALETTE = 0x1000
};

enum t2p_compress_t : uint16_t {
    T2P_COMPRESS_NONE = 0x00,
    T2P_COMPRESS_G4 = 0x01,
    T2P_COMPRESS_JPEG = 0x02,
    T2P_COMPRESS_ZIP = 0x04
};

enum t2p_transcode_t : uint16_t {
    T2P_TRANSCODE_RAW = 0x01,    // stored data copied into the stream
    T2P_TRANSCODE_ENCODE = 0x02  // decoded, converted and encoded again
};

// Conversions applied to decoded samples before encoding, a bit set.
enum t2p_sample_t : uint16_t {
    T2P_SAMPLE_NOTHING = 0x0000,
    T2P_SAMPLE_ABGR_TO_RGB = 0x0001,
    T2P_SAMPLE_RGBA_TO_RGB = 0x0002,
    T2P_SAMPLE_RGBAA_TO_RGB = 0x0004,
    T2P_SAMPLE_YCBCR_TO_RGB = 0x0008,
    T2P_SAMPLE_LAB_SIGNED_TO_UNSIGNED = 0x0010,
    T2P_SAMPLE_PLANAR_SEPARATE_TO_CONTIG = 0x0020,
    T2P_SAMPLE_REALIZE_PALETTE = 0x0040,
    // JPEG only takes 8-bit samples, so 1, 2 and 4-bit colour, gray and
    // palette pages are widened first.
    T2P_SAMPLE_EXPAND_TO_8BIT = 0x0080,
    // 16-bit gray, RGB and CMYK pages (scanners deliver them) keep the high
    // byte of every sample, as their JPEG pages do.
    T2P_SAMPLE_REDUCE_16_TO_8 = 0x0100
};

// A rectangle in points and the image matrix (a b 0 / c d 0 / e f 1) that
// draws the unit square of an image into it.
struct T2P_BOX {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    double mat[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

struct T2P_PAGE {
    tdir_t page_directory = 0;
    uint32_t page_number = 0;
    ttile_t page_tilecount = 0;
    uint32_t page_extra = 0;  // objects beyond the five every page has
};

struct T2P_TILE {
    T2P_BOX tile_box;
};

struct T2P_TILES {
    ttile_t tiles_tilecount = 0;  // per sample plane
    uint32_t tiles_tilewidth = 0;
    uint32_t tiles_tilelength = 0;
    uint32_t tiles_tilecountx = 0;
    uint32_t tiles_tilecounty = 0;
    uint32_t tiles_edgetilewidth = 0;   // width of the last column
    uint32_t tiles_edgetilelength = 0;  // height of the last row
    std::vector<T2P_TILE> tiles_tiles;
};

struct T2P {
    t2p_err_t t2p_error = T2P_ERR_OK;

    std::string tiff_filename;  // for messages

    // Page list.
    std::vector<T2P_PAGE> tiff_pages;
    std::vector<T2P_TILES> tiff_tiles;
    uint32_t tiff_pagecount = 0;

    // Current page as read from its directory.
    uint16_t tiff_compression = 0;
    uint16_t tiff_photometric = 0;
    uint16_t tiff_fillorder = 0;
    uint16_t tiff_bitspersample = 0;
    uint16_t tiff_samplesperpixel = 0;
    uint16_t tiff_planar = 0;
    uint32_t tiff_width = 0;
    uint32_t tiff_length = 0;
    float tiff_xres = 0;
    float tiff_yres = 0;
    uint16_t tiff_resunit = 0;
    uint16_t tiff_orientation = 0;
    uint64_t tiff_datasize = 0;
    uint64_t tiff_maxdatasize = 0;
    uint16_t tiff_inkset = 0;
    uint16_t tiff_predictor = 1;
    uint16_t tiff_transferfunctioncount = 0;
    std::vector<uint16_t> tiff_transferfunction[3];
    uint32_t tiff_iccprofilelength = 0;
    const void *tiff_iccprofile = nullptr;  // owned by the input's current directory
    bool tiff_havetransfer = false;  // every page must have the first one's
    std::vector<uint16_t> tiff_firsttransfer[3];
    float tiff_whitechromaticities[2] = {0, 0};
    float tiff_primarychromaticities[6] = {0, 0, 0, 0, 0, 0};
    bool tiff_hasprimaries = false;

    // What goes into the PDF for the current page.
    uint16_t pdf_photometric = 0;
    uint16_t pdf_bitspersample = 0;
    uint16_t pdf_samplesperpixel = 0;

    // Document settings.
    uint16_t pdf_majorversion = 1;
    uint16_t pdf_minorversion = 1;
    float pdf_defaultxres = 300;
    float pdf_defaultyres = 300;
    float pdf_defaultpagewidth = 612;
    float pdf_defaultpagelength = 792;
    t2p_compress_t pdf_defaultcompression = T2P_COMPRESS_NONE;
    uint16_t pdf_defaultcompressionquality = 0;
    bool pdf_overridepagesize = false;
    bool pdf_overrideres = false;
    bool pdf_image_fillpage = false;
    bool pdf_image_interpolate = false;
    bool pdf_centimeters = false;
    bool pdf_fitwindow = false;
    bool pdf_nopassthrough = false;
    uint16_t pdf_colorspace_invert = 0;

    // Per-page PDF state.
    uint32_t pdf_page = 0;
    double pdf_xres = 0;
    double pdf_yres = 0;
    double pdf_pagewidth = 0;
    double pdf_pagelength = 0;
    double pdf_imagewidth = 0;
    double pdf_imagelength = 0;
    T2P_BOX pdf_mediabox;
    T2P_BOX pdf_imagebox;
    uint16_t pdf_colorspace = 0;
    uint16_t pdf_sample = T2P_SAMPLE_NOTHING;
    t2p_compress_t pdf_compression = T2P_COMPRESS_NONE;
    uint16_t pdf_compressionquality = 0;
    t2p_transcode_t pdf_transcode = T2P_TRANSCODE_ENCODE;
    uint16_t pdf_switchdecode = 0;
    int pdf_labrange[4] = {0, 0, 0, 0};
    std::vector<unsigned char> pdf_palette;
    uint32_t pdf_palettesize = 0;  // bytes
    bool pdf_tilefull = false;     // pass-through tiles keep their stored size

    // Old-style JPEG pass-through: the stored interchange stream when it
    // holds the whole image, else the stream header rebuilt from the tables.
    std::vector<unsigned char> pdf_ojpegdata;
    bool pdf_ojpegcomplete = false;

    // Output bookkeeping.
    uint32_t pdf_xrefcount = 0;
    std::vector<uint32_t> pdf_xrefoffsets;
    uint32_t pdf_catalog = 0;
    uint32_t pdf_info = 0;
    uint32_t pdf_pages = 0;
    uint32_t pdf_palettecs = 0;
    uint32_t pdf_icccs = 0;
    uint32_t pdf_startxref = 0;
    char pdf_fileid[33] = {0};
    char pdf_datetime[17] = {0};
    std::string pdf_creator;
    std::string pdf_author;
    std::string pdf_title;
    std::string pdf_subject;
    std::string pdf_keywords;

    // Output switch.
    FileHandle outputfile;
    int outputdisable = 0;
    uint64_t outputwritten = 0;
    bool outputfailed = false;  // a write, seek or the final close failed
};

// Context.
T2P *t2p_init();
void t2p_validate(T2P *t2p);
void t2p_free(T2P *t2p);

// Page list, analysis and geometry.
void t2p_read_tiff_init(T2P *t2p, TIFF *input);
// Whether the input's current directory is a page; `number` orders it
// (`position` in the page list unless it has a PageNumber tag).
bool t2p_directory_is_page(TIFF *input, uint32_t position, uint32_t *number);
// Fills in what page `i` of the list needs besides its analysis: its extra
// objects and tiles, and the PDF version it asks for. False on failure.
bool t2p_read_tiff_page_init(T2P *t2p, TIFF *input, uint32_t i);
void t2p_read_tiff_data(T2P *t2p, TIFF *input);
void t2p_read_tiff_size(T2P *t2p, TIFF *input);
void t2p_read_tiff_size_tile(T2P *t2p, TIFF *input, ttile_t tile);
void t2p_compose_pdf_page(T2P *t2p);
void t2p_compose_pdf_page_orient(T2P_BOX *boxp, uint16_t orientation);
void t2p_compose_pdf_page_orient_flip(T2P_BOX *boxp, const T2P_BOX *imagebox);
int t2p_tile_is_right_edge(const T2P_TILES &tiles, ttile_t tile);
int t2p_tile_is_bottom_edge(const T2P_TILES &tiles, ttile_t tile);
uint32_t t2p_tile_width(const T2P *t2p, ttile_t tile);
uint32_t t2p_tile_length(const T2P *t2p, ttile_t tile);

// Image data.
tsize_t t2p_readwrite_pdf_image(T2P *t2p, TIFF *input, TIFF *output);
tsize_t t2p_readwrite_pdf_image_tile(T2P *t2p, TIFF *input, TIFF *output, ttile_t tile);
void t2p_write_advance_directory(T2P *t2p, TIFF *output);
int t2p_process_ojpeg_tables(T2P *t2p, TIFF *input);

// Output handle: a TIFF handle whose encoders write into the PDF file of
// `t2p` (its outputfile), while TIFF structures written with output
// disabled are swallowed.
TIFF *t2p_open_output(T2P *t2p, const char *name);
tsize_t t2pWriteFile(TIFF *tif, const void *data, tmsize_t size);
toff_t t2pSeekFile(TIFF *tif, toff_t offset, int whence);

// Document writer.
tsize_t t2p_write_pdf(T2P *t2p, TIFF *input, TIFF *output);
// Analyses page t2p->pdf_page of the page list and writes its objects (page,
// content, extra objects, images), recording their offsets from `written`,
// which it advances. False when the conversion failed.
bool t2p_write_pdf_page_objects(T2P *t2p, TIFF *input, TIFF *output, tsize_t &written);
tsize_t t2p_write_pdf_header(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_obj_start(uint32_t number, TIFF *output);
tsize_t t2p_write_pdf_obj_end(TIFF *output);
tsize_t t2p_write_pdf_catalog(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_info(T2P *t2p, TIFF *input, TIFF *output);
void t2p_pdf_tifftime(T2P *t2p, TIFF *input);
void t2p_pdf_currenttime(T2P *t2p);
tsize_t t2p_write_pdf_pages(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_page(uint32_t object, T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_page_content_stream(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_stream_dict_start(TIFF *output);
tsize_t t2p_write_pdf_stream_dict(tsize_t len, uint32_t number, TIFF *output);
tsize_t t2p_write_pdf_stream_dict_end(TIFF *output);
tsize_t t2p_write_pdf_stream_start(TIFF *output);
tsize_t t2p_write_pdf_stream(const void *buffer, tsize_t len, TIFF *output);
tsize_t t2p_write_pdf_stream_end(TIFF *output);
tsize_t t2p_write_pdf_stream_length(tsize_t len, TIFF *output);
tsize_t t2p_write_pdf_xobject_stream_dict(ttile_t tile, T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_cs(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_calcs(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_icccs(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_icccs_dict(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_icccs_stream(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_palettecs_stream(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_decode(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_xobject_stream_filter(ttile_t tile, T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_transfer(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_transfer_dict(T2P *t2p, TIFF *output, uint16_t i);
tsize_t t2p_write_pdf_transfer_stream(T2P *t2p, TIFF *output, uint16_t i);
tsize_t t2p_write_pdf_string(const char *pdfstr, TIFF *output);
tsize_t t2p_write_pdf_xreftable(T2P *t2p, TIFF *output);
tsize_t t2p_write_pdf_trailer(T2P *t2p, TIFF *output);

#endif
