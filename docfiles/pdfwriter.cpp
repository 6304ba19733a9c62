// The PDF document writer: object order and numbering, the wording of every
// object, the cross-reference table and the trailer. Every writer returns the
// number of bytes it wrote; t2p_write_pdf() adds them up into the object
// offsets, so nothing may reach the output without being counted.

#include "pendingfile.h"
#include "tiff2pdf_p.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int kProducerDate = 20201219;
constexpr size_t kInfoTextMax = 511;

// Buffer sizes of the formatted pieces: plain numbers, the page's box
// numbers, and one line of a content stream.
constexpr size_t kNumberBuffer = 32;
constexpr size_t kPageBuffer = 256;
constexpr size_t kContentBuffer = 512;

tsize_t put(TIFF *output, const char *text)
{
    return t2pWriteFile(output, text, static_cast<tmsize_t>(std::strlen(text)));
}

// Formats into a buffer of `limit` bytes and writes the result. A text that
// does not fit is cut and fails the conversion, so that no document with a
// mangled number is ever kept.
__attribute__((format(printf, 4, 5)))
tsize_t putf(T2P *t2p, TIFF *output, size_t limit, const char *format, ...)
{
    char buffer[kContentBuffer];
    limit = std::min(limit, sizeof buffer);
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(buffer, limit, format, args);
    va_end(args);
    if (needed < 0)
        return 0;
    size_t length = static_cast<size_t>(needed);
    if (length >= limit) {
        length = limit - 1;
        t2p->t2p_error = T2P_ERR_ERROR;
    }
    return t2pWriteFile(output, buffer, static_cast<tmsize_t>(length));
}

tsize_t putn(TIFF *output, unsigned long value)
{
    char buffer[kNumberBuffer];
    const int length = std::snprintf(buffer, sizeof buffer, "%lu", value);
    return t2pWriteFile(output, buffer, length);
}

// Marks the start of the next object: its offset is the byte count so far.
void record(T2P *t2p, tsize_t written)
{
    t2p->pdf_xrefoffsets.push_back(static_cast<uint32_t>(written));
    t2p->pdf_xrefcount++;
}

void copyInfoText(std::string &target, const char *value)
{
    if (value)
        target.assign(value, strnlen(value, kInfoTextMax));
}

} // namespace

tsize_t t2p_write_pdf(T2P *t2p, TIFF *input, TIFF *output)
{
    tsize_t written = 0;

    t2p_read_tiff_init(t2p, input);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;
    t2p->pdf_xrefoffsets.clear();
    t2p->pdf_xrefoffsets.reserve(t2p->pdf_xrefcount);
    t2p->pdf_xrefcount = 0;
    t2p->pdf_catalog = 1;
    t2p->pdf_info = 2;
    t2p->pdf_pages = 3;

    written += t2p_write_pdf_header(t2p, output);

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_catalog(t2p, output);
    written += t2p_write_pdf_obj_end(output);

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_info(t2p, input, output);
    written += t2p_write_pdf_obj_end(output);

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_pages(t2p, output);
    written += t2p_write_pdf_obj_end(output);
    if (t2p->t2p_error != T2P_ERR_OK)
        return 0;

    for (t2p->pdf_page = 0; t2p->pdf_page < t2p->tiff_pagecount; t2p->pdf_page++) {
        if (!t2p_write_pdf_page_objects(t2p, input, output, written))
            return 0;
    }

    t2p->pdf_startxref = static_cast<uint32_t>(written);
    written += t2p_write_pdf_xreftable(t2p, output);
    written += t2p_write_pdf_trailer(t2p, output);
    return written;
}

bool t2p_write_pdf_page_objects(T2P *t2p, TIFF *input, TIFF *output, tsize_t &written)
{
    t2p_read_tiff_data(t2p, input);
    if (t2p->t2p_error != T2P_ERR_OK)
        return false;

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_page(t2p->pdf_xrefcount, t2p, output);
    written += t2p_write_pdf_obj_end(output);

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_stream_dict_start(output);
    written += t2p_write_pdf_stream_dict(0, t2p->pdf_xrefcount + 1, output);
    written += t2p_write_pdf_stream_dict_end(output);
    written += t2p_write_pdf_stream_start(output);
    tsize_t streamlen = written;
    written += t2p_write_pdf_page_content_stream(t2p, output);
    streamlen = written - streamlen;
    written += t2p_write_pdf_stream_end(output);
    written += t2p_write_pdf_obj_end(output);

    record(t2p, written);
    written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
    written += t2p_write_pdf_stream_length(streamlen, output);
    written += t2p_write_pdf_obj_end(output);

    if (t2p->tiff_transferfunctioncount != 0) {
        record(t2p, written);
        written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
        written += t2p_write_pdf_transfer(t2p, output);
        written += t2p_write_pdf_obj_end(output);
        for (uint16_t i = 0; i < t2p->tiff_transferfunctioncount; i++) {
            record(t2p, written);
            written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
            written += t2p_write_pdf_stream_dict_start(output);
            written += t2p_write_pdf_transfer_dict(t2p, output, i);
            written += t2p_write_pdf_stream_dict_end(output);
            written += t2p_write_pdf_stream_start(output);
            written += t2p_write_pdf_transfer_stream(t2p, output, i);
            written += t2p_write_pdf_stream_end(output);
            written += t2p_write_pdf_obj_end(output);
        }
    }
    if (t2p->pdf_colorspace & T2P_CS_PALETTE) {
        record(t2p, written);
        t2p->pdf_palettecs = t2p->pdf_xrefcount;
        written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
        written += t2p_write_pdf_stream_dict_start(output);
        written += t2p_write_pdf_stream_dict(t2p->pdf_palettesize, 0, output);
        written += t2p_write_pdf_stream_dict_end(output);
        written += t2p_write_pdf_stream_start(output);
        written += t2p_write_pdf_xobject_palettecs_stream(t2p, output);
        written += t2p_write_pdf_stream_end(output);
        written += t2p_write_pdf_obj_end(output);
    }
    if (t2p->pdf_colorspace & T2P_CS_ICCBASED) {
        record(t2p, written);
        t2p->pdf_icccs = t2p->pdf_xrefcount;
        written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
        written += t2p_write_pdf_stream_dict_start(output);
        written += t2p_write_pdf_xobject_icccs_dict(t2p, output);
        written += t2p_write_pdf_stream_dict_end(output);
        written += t2p_write_pdf_stream_start(output);
        written += t2p_write_pdf_xobject_icccs_stream(t2p, output);
        written += t2p_write_pdf_stream_end(output);
        written += t2p_write_pdf_obj_end(output);
    }

    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    const ttile_t imagecount = tiles.tiles_tilecount != 0 ? tiles.tiles_tilecount : 1;
    for (ttile_t i = 0; i < imagecount; i++) {
        const bool tiled = tiles.tiles_tilecount != 0;
        record(t2p, written);
        written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
        written += t2p_write_pdf_stream_dict_start(output);
        written += t2p_write_pdf_xobject_stream_dict(tiled ? i + 1 : 0, t2p, output);
        written += t2p_write_pdf_stream_dict_end(output);
        written += t2p_write_pdf_stream_start(output);
        streamlen = written;
        if (tiled)
            t2p_read_tiff_size_tile(t2p, input, i);
        else
            t2p_read_tiff_size(t2p, input);
        if (t2p->t2p_error != T2P_ERR_OK)
            return false;
        if (t2p->tiff_maxdatasize && t2p->tiff_datasize > t2p->tiff_maxdatasize) {
            TIFFError(TIFF2PDF_MODULE,
                      "Allocation of %lu bytes is forbidden. Limit is %lu. Use -m option to change limit",
                      static_cast<unsigned long>(t2p->tiff_datasize),
                      static_cast<unsigned long>(t2p->tiff_maxdatasize));
            t2p->t2p_error = T2P_ERR_ERROR;
            return false;
        }
        if (tiled)
            written += t2p_readwrite_pdf_image_tile(t2p, input, output, i);
        else
            written += t2p_readwrite_pdf_image(t2p, input, output);
        t2p_write_advance_directory(t2p, output);
        if (t2p->t2p_error != T2P_ERR_OK)
            return false;
        streamlen = written - streamlen;
        written += t2p_write_pdf_stream_end(output);
        written += t2p_write_pdf_obj_end(output);

        record(t2p, written);
        written += t2p_write_pdf_obj_start(t2p->pdf_xrefcount, output);
        written += t2p_write_pdf_stream_length(streamlen, output);
        written += t2p_write_pdf_obj_end(output);
    }
    return t2p->t2p_error == T2P_ERR_OK;
}

tsize_t t2p_write_pdf_header(T2P *t2p, TIFF *output)
{
    tsize_t written = putf(t2p, output, kNumberBuffer, "%%PDF-%u.%u ",
                           static_cast<unsigned>(t2p->pdf_majorversion),
                           static_cast<unsigned>(t2p->pdf_minorversion));
    // A comment of high bytes tells transfer programs the file is binary.
    static const unsigned char binary[7] = {'\n', '%', 0xE2, 0xE3, 0xCF, 0xD3, '\n'};
    written += t2pWriteFile(output, binary, sizeof binary);
    return written;
}

tsize_t t2p_write_pdf_obj_start(uint32_t number, TIFF *output)
{
    tsize_t written = putn(output, number);
    written += put(output, " 0 obj\n");
    return written;
}

tsize_t t2p_write_pdf_obj_end(TIFF *output)
{
    return put(output, "endobj\n");
}

tsize_t t2p_write_pdf_catalog(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "<< \n/Type /Catalog \n/Pages ");
    written += putn(output, t2p->pdf_pages);
    written += put(output, " 0 R \n");
    if (t2p->pdf_fitwindow)
        written += put(output, "/ViewerPreferences <</FitWindow true>>\n");
    written += put(output, ">>\n");
    return written;
}

tsize_t t2p_write_pdf_info(T2P *t2p, TIFF *input, TIFF *output)
{
    if (t2p->pdf_datetime[0] == '\0')
        t2p_pdf_tifftime(t2p, input);

    tsize_t written = put(output, "<< \n/CreationDate ");
    written += t2p_write_pdf_string(t2p->pdf_datetime, output);
    written += put(output, "\n/ModDate ");
    written += t2p_write_pdf_string(t2p->pdf_datetime, output);
    written += put(output, "\n/Producer ");
    char producer[kPageBuffer];
    std::snprintf(producer, sizeof producer, "libtiff / tiff2pdf - %d", kProducerDate);
    written += t2p_write_pdf_string(producer, output);
    written += put(output, "\n");

    char *value = nullptr;
    if (t2p->pdf_creator.empty() && TIFFGetField(input, TIFFTAG_SOFTWARE, &value) != 0)
        copyInfoText(t2p->pdf_creator, value);
    if (t2p->pdf_author.empty()) {
        if (TIFFGetField(input, TIFFTAG_ARTIST, &value) != 0)
            copyInfoText(t2p->pdf_author, value);
        else if (TIFFGetField(input, TIFFTAG_COPYRIGHT, &value) != 0)
            copyInfoText(t2p->pdf_author, value);
    }
    if (t2p->pdf_title.empty() && TIFFGetField(input, TIFFTAG_DOCUMENTNAME, &value) != 0)
        copyInfoText(t2p->pdf_title, value);
    if (t2p->pdf_subject.empty() && TIFFGetField(input, TIFFTAG_IMAGEDESCRIPTION, &value) != 0)
        copyInfoText(t2p->pdf_subject, value);

    const struct {
        const char *key;
        const std::string &text;
    } entries[] = {
        {"/Creator ", t2p->pdf_creator}, {"/Author ", t2p->pdf_author},
        {"/Title ", t2p->pdf_title},     {"/Subject ", t2p->pdf_subject},
        {"/Keywords ", t2p->pdf_keywords},
    };
    for (const auto &entry : entries) {
        if (entry.text.empty())
            continue;
        written += put(output, entry.key);
        written += t2p_write_pdf_string(entry.text.c_str(), output);
        written += put(output, "\n");
    }
    written += put(output, ">> \n");
    return written;
}

void t2p_pdf_tifftime(T2P *t2p, TIFF *input)
{
    char *datetime = nullptr;
    if (TIFFGetField(input, TIFFTAG_DATETIME, &datetime) != 0 && datetime && std::strlen(datetime) > 18) {
        // "YYYY:MM:DD HH:MM:SS" -> "D:YYYYMMDDHHMMSS"
        static const int from[14] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
        t2p->pdf_datetime[0] = 'D';
        t2p->pdf_datetime[1] = ':';
        for (int i = 0; i < 14; i++)
            t2p->pdf_datetime[2 + i] = datetime[from[i]];
        t2p->pdf_datetime[16] = '\0';
        return;
    }
    t2p_pdf_currenttime(t2p);
}

void t2p_pdf_currenttime(T2P *t2p)
{
    time_t now = std::time(nullptr);
    if (now == static_cast<time_t>(-1)) {
        TIFFError(TIFF2PDF_MODULE, "Can't get the current time: %s", std::strerror(errno));
        now = 0;
    }
    struct tm local;
    std::memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    std::snprintf(t2p->pdf_datetime, sizeof t2p->pdf_datetime, "D:%.4u%.2u%.2u%.2u%.2u%.2u",
                  std::min(static_cast<unsigned>(local.tm_year + 1900), 9999u),
                  std::min(static_cast<unsigned>(local.tm_mon + 1), 12u),
                  std::min(static_cast<unsigned>(local.tm_mday), 31u),
                  std::min(static_cast<unsigned>(local.tm_hour), 23u),
                  std::min(static_cast<unsigned>(local.tm_min), 59u),
                  std::min(static_cast<unsigned>(local.tm_sec), 60u));
}

tsize_t t2p_write_pdf_pages(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "<< \n/Type /Pages \n/Kids [ ");
    uint32_t page = t2p->pdf_pages + 1;
    for (uint32_t i = 0; i < t2p->tiff_pagecount; i++) {
        written += putn(output, page);
        written += put(output, " 0 R ");
        if ((i + 1) % 8 == 0)
            written += put(output, "\n");
        page += 5 + t2p->tiff_pages[i].page_extra;
        const ttile_t tiles = t2p->tiff_tiles[i].tiles_tilecount;
        if (tiles > 1)
            page += 2 * (tiles - 1);
    }
    written += put(output, "] \n/Count ");
    written += putn(output, t2p->tiff_pagecount);
    written += put(output, " \n>> \n");
    return written;
}

tsize_t t2p_write_pdf_page(uint32_t object, T2P *t2p, TIFF *output)
{
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    const uint32_t extra = t2p->tiff_pages[t2p->pdf_page].page_extra;

    tsize_t written = put(output, "<<\n/Type /Page \n/Parent ");
    written += putn(output, t2p->pdf_pages);
    written += put(output, " 0 R \n/MediaBox [");
    written += putf(t2p, output, kPageBuffer, "%.4f %.4f %.4f %.4f", t2p->pdf_mediabox.x1,
                    t2p->pdf_mediabox.y1, t2p->pdf_mediabox.x2, t2p->pdf_mediabox.y2);
    written += put(output, "] \n/Contents ");
    written += putn(output, object + 1);
    written += put(output, " 0 R \n/Resources << \n/XObject <<\n");
    if (tiles.tiles_tilecount != 0) {
        for (ttile_t i = 0; i < tiles.tiles_tilecount; i++) {
            written += put(output, "/Im");
            written += putn(output, t2p->pdf_page + 1);
            written += put(output, "_");
            written += putn(output, i + 1);
            written += put(output, " ");
            written += putn(output, object + 3 + 2 * i + extra);
            written += put(output, " 0 R ");
            if (i % 4 == 3)
                written += put(output, "\n");
        }
        written += put(output, ">>\n");
    } else {
        written += put(output, "/Im");
        written += putn(output, t2p->pdf_page + 1);
        written += put(output, " ");
        written += putn(output, object + 3 + extra);
        written += put(output, " 0 R >>\n");
    }
    if (t2p->tiff_transferfunctioncount != 0) {
        written += put(output, "/ExtGState <</GS1 ");
        written += putn(output, object + 3);
        written += put(output, " 0 R >> \n");
    }
    written += put(output, "/ProcSet [ ");
    if (t2p->pdf_colorspace & (T2P_CS_BILEVEL | T2P_CS_GRAY)) {
        written += put(output, "/ImageB ");
    } else {
        written += put(output, "/ImageC ");
        if (t2p->pdf_colorspace & T2P_CS_PALETTE)
            written += put(output, "/ImageI ");
    }
    written += put(output, "]\n>>\n>>\n");
    return written;
}

tsize_t t2p_write_pdf_page_content_stream(T2P *t2p, TIFF *output)
{
    const char *gs = t2p->tiff_transferfunctioncount != 0 ? "/GS1 gs " : "";
    const T2P_TILES &tiles = t2p->tiff_tiles[t2p->pdf_page];
    tsize_t written = 0;
    if (tiles.tiles_tilecount != 0) {
        for (ttile_t i = 0; i < tiles.tiles_tilecount; i++) {
            const T2P_BOX &box = tiles.tiles_tiles[i].tile_box;
            written += putf(t2p, output, kContentBuffer,
                            "q %s %.4f %.4f %.4f %.4f %.4f %.4f cm /Im%u_%u Do Q\n", gs, box.mat[0],
                            box.mat[1], box.mat[3], box.mat[4], box.mat[6], box.mat[7],
                            t2p->pdf_page + 1, static_cast<unsigned>(i + 1));
        }
    } else {
        const T2P_BOX &box = t2p->pdf_imagebox;
        written += putf(t2p, output, kContentBuffer, "q %s %.4f %.4f %.4f %.4f %.4f %.4f cm /Im%u Do Q\n",
                        gs, box.mat[0], box.mat[1], box.mat[3], box.mat[4], box.mat[6], box.mat[7],
                        t2p->pdf_page + 1);
    }
    return written;
}

tsize_t t2p_write_pdf_stream_dict_start(TIFF *output)
{
    return put(output, "<< \n");
}

tsize_t t2p_write_pdf_stream_dict(tsize_t len, uint32_t number, TIFF *output)
{
    tsize_t written = put(output, "/Length ");
    if (len != 0) {
        written += putn(output, static_cast<unsigned long>(len));
        written += put(output, "\n");
    } else {
        written += putn(output, number);
        written += put(output, " 0 R \n");
    }
    return written;
}

tsize_t t2p_write_pdf_stream_dict_end(TIFF *output)
{
    return put(output, " >>\n");
}

tsize_t t2p_write_pdf_stream_start(TIFF *output)
{
    return put(output, "stream\n");
}

tsize_t t2p_write_pdf_stream(const void *buffer, tsize_t len, TIFF *output)
{
    return t2pWriteFile(output, buffer, len);
}

tsize_t t2p_write_pdf_stream_end(TIFF *output)
{
    return put(output, "\nendstream\n");
}

tsize_t t2p_write_pdf_stream_length(tsize_t len, TIFF *output)
{
    tsize_t written = putn(output, static_cast<unsigned long>(len));
    written += put(output, "\n");
    return written;
}

tsize_t t2p_write_pdf_xobject_stream_dict(ttile_t tile, T2P *t2p, TIFF *output)
{
    tsize_t written = t2p_write_pdf_stream_dict(0, t2p->pdf_xrefcount + 1, output);
    written += put(output, "/Type /XObject \n/Subtype /Image \n/Name /Im");
    written += putn(output, t2p->pdf_page + 1);
    if (tile != 0) {
        written += put(output, "_");
        written += putn(output, tile);
    }
    const uint32_t width = tile != 0 ? t2p_tile_width(t2p, tile - 1) : t2p->tiff_width;
    const uint32_t length = tile != 0 ? t2p_tile_length(t2p, tile - 1) : t2p->tiff_length;
    written += put(output, "\n/Width ");
    written += putn(output, width);
    written += put(output, "\n/Height ");
    written += putn(output, length);
    written += put(output, "\n/BitsPerComponent ");
    written += putn(output, t2p->pdf_bitspersample);
    written += put(output, "\n/ColorSpace ");
    written += t2p_write_pdf_xobject_cs(t2p, output);
    if (t2p->pdf_image_interpolate)
        written += put(output, "\n/Interpolate true");
    // Group 4 data says which colour is black in its own parameters.
    if (t2p->pdf_switchdecode != 0
        && !(t2p->pdf_colorspace == T2P_CS_BILEVEL && t2p->pdf_compression == T2P_COMPRESS_G4))
        written += t2p_write_pdf_xobject_decode(t2p, output);
    written += t2p_write_pdf_xobject_stream_filter(tile, t2p, output);
    return written;
}

tsize_t t2p_write_pdf_xobject_cs(T2P *t2p, TIFF *output)
{
    tsize_t written = 0;
    if (t2p->pdf_colorspace & T2P_CS_ICCBASED)
        return t2p_write_pdf_xobject_icccs(t2p, output);
    if (t2p->pdf_colorspace & T2P_CS_PALETTE) {
        written += put(output, "[ /Indexed ");
        t2p->pdf_colorspace ^= T2P_CS_PALETTE;
        written += t2p_write_pdf_xobject_cs(t2p, output);
        t2p->pdf_colorspace |= T2P_CS_PALETTE;
        written += putn(output, (1ul << t2p->pdf_bitspersample) - 1);
        written += put(output, " ");
        written += putn(output, t2p->pdf_palettecs);
        written += put(output, " 0 R ]\n");
        return written;
    }
    if (t2p->pdf_colorspace & T2P_CS_BILEVEL)
        written += put(output, "/DeviceGray \n");
    if (t2p->pdf_colorspace & T2P_CS_GRAY) {
        if (t2p->pdf_colorspace & T2P_CS_CALGRAY)
            written += t2p_write_pdf_xobject_calcs(t2p, output);
        else
            written += put(output, "/DeviceGray \n");
    }
    if (t2p->pdf_colorspace & T2P_CS_RGB) {
        if (t2p->pdf_colorspace & T2P_CS_CALRGB)
            written += t2p_write_pdf_xobject_calcs(t2p, output);
        else
            written += put(output, "/DeviceRGB \n");
    }
    if (t2p->pdf_colorspace & T2P_CS_CMYK)
        written += put(output, "/DeviceCMYK \n");
    if (t2p->pdf_colorspace & T2P_CS_LAB) {
        const double x = t2p->tiff_whitechromaticities[0];
        const double y = t2p->tiff_whitechromaticities[1];
        written += put(output, "[/Lab << \n/WhitePoint ");
        written += putf(t2p, output, kPageBuffer, "[%.4f %.4f %.4f] \n", x / y, 1.0, (1.0 - x - y) / y);
        written += put(output, "/Range ");
        written += putf(t2p, output, kPageBuffer, "[%d %d %d %d] \n", t2p->pdf_labrange[0],
                        t2p->pdf_labrange[1], t2p->pdf_labrange[2], t2p->pdf_labrange[3]);
        written += put(output, ">>] \n");
    }
    return written;
}

tsize_t t2p_write_pdf_xobject_calcs(T2P *t2p, TIFF *output)
{
    // White point normalised to Y = 1.
    const double xw = t2p->tiff_whitechromaticities[0];
    const double yw = t2p->tiff_whitechromaticities[1];
    const double white[3] = {xw / yw, 1.0, (1.0 - xw - yw) / yw};

    tsize_t written = put(output, "[");
    if (t2p->pdf_colorspace & T2P_CS_CALGRAY) {
        written += put(output, "/CalGray << \n/WhitePoint ");
        written += putf(t2p, output, kPageBuffer, "[%.4f %.4f %.4f] \n", white[0], white[1], white[2]);
        written += put(output, "/Gamma 2.2 \n");
    }
    if (t2p->pdf_colorspace & T2P_CS_CALRGB) {
        // Scale the three primaries (as XYZ with Y = 1) so that full red,
        // green and blue add up to the white point; the scaled primaries are
        // the rows of the matrix.
        double p[3][3];
        for (int i = 0; i < 3; i++) {
            const double x = t2p->tiff_primarychromaticities[2 * i];
            const double y = t2p->tiff_primarychromaticities[2 * i + 1];
            p[i][0] = x / y;
            p[i][1] = 1.0;
            p[i][2] = (1.0 - x - y) / y;
        }
        // Solve s[0]*p[0] + s[1]*p[1] + s[2]*p[2] = white by Cramer's rule.
        auto det = [](const double a[3], const double b[3], const double c[3]) {
            return a[0] * (b[1] * c[2] - b[2] * c[1]) - b[0] * (a[1] * c[2] - a[2] * c[1])
                   + c[0] * (a[1] * b[2] - a[2] * b[1]);
        };
        const double d = det(p[0], p[1], p[2]);
        const double s[3] = {det(white, p[1], p[2]) / d, det(p[0], white, p[2]) / d,
                             det(p[0], p[1], white) / d};
        written += put(output, "/CalRGB << \n/WhitePoint ");
        written += putf(t2p, output, kPageBuffer, "[%.4f %.4f %.4f] \n", white[0], white[1], white[2]);
        written += put(output, "/Matrix ");
        written += putf(t2p, output, kPageBuffer, "[%.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f] \n",
                        s[0] * p[0][0], s[0] * p[0][1], s[0] * p[0][2], s[1] * p[1][0], s[1] * p[1][1],
                        s[1] * p[1][2], s[2] * p[2][0], s[2] * p[2][1], s[2] * p[2][2]);
        written += put(output, "/Gamma [2.2 2.2 2.2] \n");
    }
    written += put(output, ">>] \n");
    return written;
}

tsize_t t2p_write_pdf_xobject_icccs(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "[/ICCBased ");
    written += putn(output, t2p->pdf_icccs);
    written += put(output, " 0 R] \n");
    return written;
}

tsize_t t2p_write_pdf_xobject_icccs_dict(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "/N ");
    written += putf(t2p, output, kNumberBuffer, "%u \n", static_cast<unsigned>(t2p->pdf_samplesperpixel));
    written += put(output, "/Alternate ");
    t2p->pdf_colorspace ^= T2P_CS_ICCBASED;
    written += t2p_write_pdf_xobject_cs(t2p, output);
    t2p->pdf_colorspace |= T2P_CS_ICCBASED;
    written += t2p_write_pdf_stream_dict(t2p->tiff_iccprofilelength, 0, output);
    return written;
}

tsize_t t2p_write_pdf_xobject_icccs_stream(T2P *t2p, TIFF *output)
{
    return t2p_write_pdf_stream(t2p->tiff_iccprofile, t2p->tiff_iccprofilelength, output);
}

tsize_t t2p_write_pdf_xobject_palettecs_stream(T2P *t2p, TIFF *output)
{
    return t2p_write_pdf_stream(t2p->pdf_palette.data(), t2p->pdf_palettesize, output);
}

tsize_t t2p_write_pdf_xobject_decode(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "/Decode [ ");
    for (uint16_t i = 0; i < t2p->pdf_samplesperpixel; i++)
        written += put(output, "1 0 ");
    written += put(output, "]\n");
    return written;
}

tsize_t t2p_write_pdf_xobject_stream_filter(ttile_t tile, T2P *t2p, TIFF *output)
{
    if (t2p->pdf_compression == T2P_COMPRESS_NONE)
        return 0;
    const uint32_t width = tile != 0 ? t2p_tile_width(t2p, tile - 1) : t2p->tiff_width;
    const uint32_t length = tile != 0 ? t2p_tile_length(t2p, tile - 1) : t2p->tiff_length;

    tsize_t written = put(output, "/Filter ");
    switch (t2p->pdf_compression) {
    case T2P_COMPRESS_G4:
        written += put(output, "/CCITTFaxDecode /DecodeParms << /K -1 /Columns ");
        written += putn(output, width);
        written += put(output, " /Rows ");
        written += putn(output, length);
        if (t2p->pdf_switchdecode == 0)
            written += put(output, " /BlackIs1 true ");
        written += put(output, ">>\n");
        break;
    case T2P_COMPRESS_JPEG:
        written += put(output, "/DCTDecode ");
        if (t2p->tiff_photometric != PHOTOMETRIC_YCBCR) {
            // Stored colour JPEG data that is not YCbCr holds its components
            // as they are; telling the reader to convert them from YCbCr
            // would change every colour.
            if (t2p->pdf_transcode == T2P_TRANSCODE_RAW && t2p->pdf_samplesperpixel >= 3)
                written += put(output, "/DecodeParms << /ColorTransform 0 >>\n");
            else
                written += put(output, "/DecodeParms << /ColorTransform 1 >>\n");
        }
        break;
    case T2P_COMPRESS_ZIP:
        written += put(output, "/FlateDecode ");
        if (t2p->pdf_compressionquality % 100 != 0) {
            written += put(output, "/DecodeParms << /Predictor ");
            written += putn(output, t2p->pdf_compressionquality % 100);
            written += put(output, " /Columns ");
            written += putn(output, width);
            written += put(output, " /Colors ");
            written += putn(output, t2p->pdf_samplesperpixel);
            written += put(output, " /BitsPerComponent ");
            written += putn(output, t2p->pdf_bitspersample);
            written += put(output, ">>\n");
        }
        break;
    default:
        break;
    }
    return written;
}

tsize_t t2p_write_pdf_transfer(T2P *t2p, TIFF *output)
{
    const uint32_t first = t2p->pdf_xrefcount + 1;
    tsize_t written = put(output, "<< /Type /ExtGState \n/TR ");
    if (t2p->tiff_transferfunctioncount == 1) {
        written += putn(output, first);
        written += put(output, " 0 R ");
    } else {
        written += put(output, "[ ");
        for (uint32_t i = 0; i < 3; i++) {
            written += putn(output, first + i);
            written += put(output, " 0 R ");
        }
        written += put(output, "/Identity ] ");
    }
    written += put(output, " >> \n");
    return written;
}

tsize_t t2p_write_pdf_transfer_dict(T2P *t2p, TIFF *output, uint16_t i)
{
    const size_t entries = t2p->tiff_transferfunction[i].size();
    tsize_t written = put(output, "/FunctionType 0 \n/Domain [0.0 1.0] \n/Range [0.0 1.0] \n");
    written += putf(t2p, output, kNumberBuffer, "/Size [%u] \n", static_cast<unsigned>(entries));
    written += put(output, "/BitsPerSample 16 \n");
    written += t2p_write_pdf_stream_dict(static_cast<tsize_t>(entries * 2), 0, output);
    return written;
}

tsize_t t2p_write_pdf_transfer_stream(T2P *t2p, TIFF *output, uint16_t i)
{
    // Sampled functions hold their 16-bit samples high byte first.
    const std::vector<uint16_t> &curve = t2p->tiff_transferfunction[i];
    std::vector<unsigned char> bytes(curve.size() * 2);
    for (size_t k = 0; k < curve.size(); k++) {
        bytes[2 * k] = static_cast<unsigned char>(curve[k] >> 8);
        bytes[2 * k + 1] = static_cast<unsigned char>(curve[k] & 0xff);
    }
    return t2p_write_pdf_stream(bytes.data(), static_cast<tsize_t>(bytes.size()), output);
}

tsize_t t2p_write_pdf_string(const char *pdfstr, TIFF *output)
{
    tsize_t written = put(output, "(");
    const size_t len = std::strlen(pdfstr);
    for (size_t i = 0; i < len; i++) {
        const unsigned char c = static_cast<unsigned char>(pdfstr[i]);
        if (c < 32 || c > 126) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%.3o", static_cast<unsigned>(c));
            written += t2pWriteFile(output, escaped, 4);
        } else if (c == '(' || c == ')' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            written += t2pWriteFile(output, escaped, 2);
        } else {
            written += t2pWriteFile(output, &pdfstr[i], 1);
        }
    }
    written += put(output, ")");
    return written;
}

tsize_t t2p_write_pdf_xreftable(T2P *t2p, TIFF *output)
{
    tsize_t written = put(output, "xref\n0 ");
    written += putn(output, t2p->pdf_xrefcount + 1ul);
    written += put(output, " \n0000000000 65535 f \n");
    for (uint32_t offset : t2p->pdf_xrefoffsets)
        written += putf(t2p, output, kNumberBuffer, "%.10lu 00000 n \n", static_cast<unsigned long>(offset));
    return written;
}

tsize_t t2p_write_pdf_trailer(T2P *t2p, TIFF *output)
{
    uint32_t random[4];
    if (!randomBytes(random, sizeof random)) {
        TIFFError(TIFF2PDF_MODULE, "Can't get random bytes for the file identifier");
        t2p->t2p_error = T2P_ERR_ERROR;
        return 0;
    }
    std::snprintf(t2p->pdf_fileid, sizeof t2p->pdf_fileid, "%.8X%.8X%.8X%.8X", random[0], random[1],
                  random[2], random[3]);

    tsize_t written = put(output, "trailer\n<<\n/Size ");
    written += putn(output, t2p->pdf_xrefcount + 1ul);
    written += put(output, "\n/Root ");
    written += putn(output, t2p->pdf_catalog);
    written += put(output, " 0 R \n/Info ");
    written += putn(output, t2p->pdf_info);
    written += put(output, " 0 R \n/ID[<");
    written += put(output, t2p->pdf_fileid);
    written += put(output, "><");
    written += put(output, t2p->pdf_fileid);
    written += put(output, ">]\n>>\nstartxref\n");
    written += putn(output, t2p->pdf_startxref);
    written += put(output, "\n%%EOF\n");
    return written;
}
