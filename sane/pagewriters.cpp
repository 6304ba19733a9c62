#include "pagewriters.h"

#include <csetjmp>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

namespace {

// PNM and PNG want 16-bit samples big-endian; SANE hands them over in the
// host's order.
void samplesToBigEndian(unsigned char *bytes, size_t count)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (size_t i = 0; i + 1 < count; i += 2)
        std::swap(bytes[i], bytes[i + 1]);
#else
    (void)bytes;
    (void)count;
#endif
}

bool isColour(SANE_Frame format)
{
    return format != SANE_FRAME_GRAY;
}

int fileStatus(std::FILE *file)
{
    return std::fflush(file) == 0 && !std::ferror(file) ? SANE_STATUS_GOOD : SANE_STATUS_ACCESS_DENIED;
}

class PnmWriter : public PageWriter
{
public:
    explicit PnmWriter(std::FILE *file) : m_file(file) {}

    bool accepts(const SANE_Parameters &first) const override { return streamableFrame(first); }

    int begin(const SANE_Parameters &page) override
    {
        m_lineBytes = packedLineBytes(page);
        m_wide = page.depth == 16;
        return write_pnm_header(page.format, page.pixels_per_line, page.lines, page.depth, m_file);
    }

    int writeLine(unsigned char *line) override
    {
        if (m_wide)
            samplesToBigEndian(line, m_lineBytes);
        return std::fwrite(line, 1, m_lineBytes, m_file) == m_lineBytes ? SANE_STATUS_GOOD
                                                                         : SANE_STATUS_ACCESS_DENIED;
    }

    int finish() override { return fileStatus(m_file); }

private:
    std::FILE *m_file;
    size_t m_lineBytes = 0;
    bool m_wide = false;
};

// libpng reports errors by calling back, and the callback must not return:
// it jumps back to the setjmp of the method that called into libpng. Those
// methods keep nothing on their stack that needs destroying.
class PngWriter : public PageWriter
{
public:
    PngWriter(std::FILE *file, int dpi) : m_file(file), m_dpi(dpi) {}
    ~PngWriter() override
    {
        if (m_png)
            png_destroy_write_struct(&m_png, m_info ? &m_info : nullptr);
    }

    bool accepts(const SANE_Parameters &first) const override { return streamableFrame(first); }

    int begin(const SANE_Parameters &page) override
    {
        m_lineBytes = packedLineBytes(page);
        m_depth = page.depth;
        return write_png_header(page.format, page.pixels_per_line, page.lines, page.depth, m_dpi);
    }

    int writeLine(unsigned char *line) override
    {
        if (m_depth == 1) {
            // SANE's 1 is black, PNG's gray 0 is.
            for (size_t i = 0; i < m_lineBytes; ++i)
                line[i] = static_cast<unsigned char>(~line[i]);
        } else if (m_depth == 16) {
            samplesToBigEndian(line, m_lineBytes);
        }
        if (setjmp(png_jmpbuf(m_png)))
            return failure();
        png_write_row(m_png, line);
        return SANE_STATUS_GOOD;
    }

    int finish() override
    {
        if (setjmp(png_jmpbuf(m_png)))
            return failure();
        png_write_end(m_png, m_info);
        return fileStatus(m_file);
    }

private:
    int write_png_header(SANE_Frame format, int width, int height, int depth, int dpi)
    {
        m_png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, this, onError, onWarning, this, onMalloc,
                                          onFree);
        if (!m_png) {
            std::fprintf(stderr, "png_create_write_struct failed\n");
            return SANE_STATUS_NO_MEM;
        }
        m_info = png_create_info_struct(m_png);
        if (!m_info) {
            std::fprintf(stderr, "png_create_info_struct failed\n");
            return SANE_STATUS_NO_MEM;
        }
        if (setjmp(png_jmpbuf(m_png)))
            return failure();
        png_set_write_fn(m_png, this, onWrite, onFlush);
        // Scanned pages may be wider than libpng's default guard allows.
        png_set_user_limits(m_png, 0x7fffffff, 0x7fffffff);
        png_set_IHDR(m_png, m_info, png_uint_32(width), png_uint_32(height), depth,
                     isColour(format) ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        if (dpi > 0) {
            const auto perMetre = png_uint_32(dpi * 39.3700787401575);
            png_set_pHYs(m_png, m_info, perMetre, perMetre, PNG_RESOLUTION_METER);
        }
        png_write_info(m_png, m_info);
        return SANE_STATUS_GOOD;
    }

    int failure() const { return m_allocFailed ? SANE_STATUS_NO_MEM : SANE_STATUS_ACCESS_DENIED; }

    static void onError(png_structp png, png_const_charp message)
    {
        std::fprintf(stderr, "velloscan: libpng: %s\n", message);
        png_longjmp(png, 1);
    }
    static void onWarning(png_structp, png_const_charp message)
    {
        std::fprintf(stderr, "velloscan: libpng warning: %s\n", message);
    }
    static png_voidp onMalloc(png_structp png, png_alloc_size_t size)
    {
        void *p = std::malloc(size);
        if (!p)
            static_cast<PngWriter *>(png_get_mem_ptr(png))->m_allocFailed = true;
        return p;
    }
    static void onFree(png_structp, png_voidp p) { std::free(p); }
    static void onWrite(png_structp png, png_bytep data, size_t length)
    {
        auto *self = static_cast<PngWriter *>(png_get_io_ptr(png));
        if (std::fwrite(data, 1, length, self->m_file) != length)
            png_error(png, "cannot write the page file");
    }
    static void onFlush(png_structp png)
    {
        auto *self = static_cast<PngWriter *>(png_get_io_ptr(png));
        if (std::fflush(self->m_file) != 0)
            png_error(png, "cannot write the page file");
    }

    std::FILE *m_file;
    int m_dpi;
    png_structp m_png = nullptr;
    png_infop m_info = nullptr;
    size_t m_lineBytes = 0;
    int m_depth = 8;
    bool m_allocFailed = false;
};

// libjpeg's error_exit must not return either; it jumps back like libpng's.
struct JpegError {
    jpeg_error_mgr manager;  // first, so libjpeg's pointer is also ours
    std::jmp_buf jump;
};

class JpegWriter : public PageWriter
{
public:
    JpegWriter(std::FILE *file, int dpi) : m_file(file), m_dpi(dpi)
    {
        m_cinfo.err = jpeg_std_error(&m_error.manager);
        m_error.manager.error_exit = onError;
    }
    ~JpegWriter() override { jpeg_destroy_compress(&m_cinfo); }

    bool accepts(const SANE_Parameters &first) const override { return streamableFrame(first); }

    int begin(const SANE_Parameters &page) override
    {
        m_depth = page.depth;
        m_samplesPerLine = size_t(page.pixels_per_line) * (isColour(page.format) ? 3 : 1);
        if (m_depth != 8) {
            try {
                m_samples.resize(m_samplesPerLine);
            } catch (const std::bad_alloc &) {
                return SANE_STATUS_NO_MEM;
            }
        }
        return write_jpeg_header(page.format, page.pixels_per_line, page.lines, m_dpi);
    }

    int writeLine(unsigned char *line) override
    {
        if (m_depth == 1) {
            // One sample per bit: a set (black) bit gives 0, a clear one 255.
            for (size_t x = 0; x < m_samplesPerLine; ++x)
                m_samples[x] = (line[x / 8] & (0x80u >> (x % 8))) ? 0 : 255;
            return writeRow(m_samples.data());
        }
        if (m_depth == 16) {
            // JPEG holds 8 bits per sample: keep the most significant byte.
            for (size_t i = 0; i < m_samplesPerLine; ++i) {
                std::uint16_t v;
                std::memcpy(&v, line + 2 * i, 2);
                m_samples[i] = static_cast<unsigned char>(v >> 8);
            }
            return writeRow(m_samples.data());
        }
        return writeRow(line);
    }

    int finish() override
    {
        if (setjmp(m_error.jump))
            return failure();
        jpeg_finish_compress(&m_cinfo);
        return fileStatus(m_file);
    }

private:
    int write_jpeg_header(SANE_Frame format, int width, int height, int dpi)
    {
        if (setjmp(m_error.jump))
            return failure();
        jpeg_create_compress(&m_cinfo);
        jpeg_stdio_dest(&m_cinfo, m_file);
        m_cinfo.image_width = JDIMENSION(width);
        m_cinfo.image_height = JDIMENSION(height);
        m_cinfo.input_components = isColour(format) ? 3 : 1;
        m_cinfo.in_color_space = isColour(format) ? JCS_RGB : JCS_GRAYSCALE;
        jpeg_set_defaults(&m_cinfo);
        if (dpi > 0) {
            m_cinfo.write_JFIF_header = TRUE;
            m_cinfo.density_unit = 1; // dots per inch
            m_cinfo.X_density = UINT16(dpi > 65535 ? 65535 : dpi);
            m_cinfo.Y_density = m_cinfo.X_density;
        }
        jpeg_set_quality(&m_cinfo, 75, TRUE);
        jpeg_start_compress(&m_cinfo, TRUE);
        return SANE_STATUS_GOOD;
    }

    int writeRow(JSAMPROW row)
    {
        if (setjmp(m_error.jump))
            return failure();
        jpeg_write_scanlines(&m_cinfo, &row, 1);
        return SANE_STATUS_GOOD;
    }

    int failure() const
    {
        return m_error.manager.msg_code == JERR_OUT_OF_MEMORY ? SANE_STATUS_NO_MEM : SANE_STATUS_ACCESS_DENIED;
    }

    static void onError(j_common_ptr cinfo)
    {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        std::fprintf(stderr, "velloscan: libjpeg: %s\n", text);
        std::longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1);
    }

    std::FILE *m_file;
    int m_dpi;
    jpeg_compress_struct m_cinfo = {};
    JpegError m_error = {};
    int m_depth = 8;
    size_t m_samplesPerLine = 0;
    std::vector<unsigned char> m_samples;
};

} // namespace

bool streamableFrame(const SANE_Parameters &first)
{
    switch (first.format) {
    case SANE_FRAME_GRAY:
        return first.depth == 1 || first.depth == 8 || first.depth == 16;
    case SANE_FRAME_RGB:
        return first.depth == 8 || first.depth == 16;
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
        return first.depth == 8;
    default:
        return false;
    }
}

std::unique_ptr<PageWriter> makeStdioWriter(int outputFormat, std::FILE *file, int dpi)
{
    switch (outputFormat) {
    case FormatPng: return std::make_unique<PngWriter>(file, dpi);
    case FormatJpeg: return std::make_unique<JpegWriter>(file, dpi);
    default: return std::make_unique<PnmWriter>(file);
    }
}

int write_pnm_header(SANE_Frame format, int width, int height, int depth, std::FILE *file)
{
    const int maxValue = depth <= 8 ? 255 : 65535;
    int written;
    if (isColour(format))
        written = std::fprintf(file, "P6\n# SANE data follows\n%d %d\n%d\n", width, height, maxValue);
    else if (depth == 1)
        written = std::fprintf(file, "P4\n# SANE data follows\n%d %d\n", width, height);
    else
        written = std::fprintf(file, "P5\n# SANE data follows\n%d %d\n%d\n", width, height, maxValue);
    return written < 0 ? SANE_STATUS_ACCESS_DENIED : SANE_STATUS_GOOD;
}
