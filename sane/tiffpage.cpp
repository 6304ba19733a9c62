#include "tiffpage.h"

#include "sanescan.h"

#include <ctime>
#include <new>
#include <fcntl.h>
#include <unistd.h>

bool check_sane_format(const SANE_Parameters &parameters)
{
    const int depth = parameters.depth;
    switch (int(parameters.format)) {
    case SANE_FRAME_GRAY:
    case FrameInfrared:
        return depth == 1 || depth == 8 || depth == 16;
    case SANE_FRAME_RGB:
    case FrameRgbInfrared:
        // Not depth 1: the 1-bit page layout has a single sample per pixel.
        return depth == 8 || depth == 16;
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
        return depth == 8;
    default:
        return false;
    }
}

void tiff_set_fields(TIFF *tiff, const SANE_Parameters &parameters, int resolution)
{
    const int depth = parameters.depth;
    const bool singleBand = parameters.format == SANE_FRAME_GRAY || int(parameters.format) == FrameInfrared;

    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    struct tm local = {};
    if (localtime_r(&now, &local))
        std::strftime(stamp, sizeof stamp, "%Y:%m:%d %H:%M:%S", &local);
    stamp[19] = '\0';
    TIFFSetField(tiff, TIFFTAG_DATETIME, stamp);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(parameters.pixels_per_line));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, depth);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(1));

    int samples = 1;
    if (depth != 1) {
        const int bitsPerPixel =
            parameters.pixels_per_line > 0 ? parameters.bytes_per_line * 8 / parameters.pixels_per_line : 0;
        samples = depth > 0 ? bitsPerPixel / depth : 0;
    }
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);

    if (depth == 1)
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE); // SANE's 1 is black
    else
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, singleBand ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    if (int(parameters.format) == FrameRgbInfrared) {
        const uint16_t infrared = EXTRASAMPLE_UNSPECIFIED;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &infrared);
    }

    if (depth == 1)
        TIFFSetField(tiff, TIFFTAG_THRESHHOLDING, THRESHHOLD_BILEVEL);
    else if (singleBand)
        TIFFSetField(tiff, TIFFTAG_THRESHHOLDING, THRESHHOLD_HALFTONE);

    if (depth == 1) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    } else {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 9);
    }
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, double(float(resolution)));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, double(float(resolution)));
}

TiffPageWriter::~TiffPageWriter()
{
    if (m_strips)
        m_strips->finish();
}

int TiffPageWriter::begin(const SANE_Parameters &page)
{
    tiff_set_fields(m_tiff, page, m_resolution);
    m_row = 0;
    m_strips.reset();
    if (page.depth == 1)
        return SANE_STATUS_GOOD;
    const tmsize_t rowBytes = TIFFScanlineSize(m_tiff);
    if (rowBytes <= 0)
        return SANE_STATUS_ACCESS_DENIED;
    try {
        m_strips = std::make_unique<StripDeflater>(
            size_t(rowBytes), m_stripThreads,
            [this](uint32_t row, const unsigned char *data, size_t size) { return writeStrip(row, data, size); });
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    }
    return SANE_STATUS_GOOD;
}

int TiffPageWriter::writeLine(unsigned char *line)
{
    if (m_strips)
        return m_strips->add(line) ? SANE_STATUS_GOOD : failure();
    // -1 for a refused call, 0 when the encoder or the file failed.
    return TIFFWriteScanline(m_tiff, line, m_row++, 0) == 1 ? SANE_STATUS_GOOD : SANE_STATUS_ACCESS_DENIED;
}

int TiffPageWriter::finish()
{
    // The directory is written when the file closes.
    if (!m_strips)
        return SANE_STATUS_GOOD;
    const int status = m_strips->finish() ? SANE_STATUS_GOOD : failure();
    m_strips.reset(); // the workers go with the page
    return status;
}

// libtiff learns the height as the rows come, as it does for scanlines; a
// page of unknown height needs nothing else.
bool TiffPageWriter::writeStrip(uint32_t row, const unsigned char *data, size_t size)
{
    return TIFFSetField(m_tiff, TIFFTAG_IMAGELENGTH, row + 1) == 1
        && TIFFWriteRawStrip(m_tiff, row, const_cast<unsigned char *>(data), tmsize_t(size)) == tmsize_t(size);
}

int TiffPageWriter::failure() const
{
    return m_strips && m_strips->compressionFailed() ? SANE_STATUS_NO_MEM : SANE_STATUS_ACCESS_DENIED;
}

TiffPageFile::~TiffPageFile()
{
    if (m_tiff)
        TIFFCleanup(m_tiff);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TiffPageFile::open(const char *path)
{
    m_fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_fd < 0)
        return false;
    m_tiff = TIFFFdOpen(m_fd, path, "w");
    return m_tiff != nullptr;
}

bool TiffPageFile::close()
{
    bool ok = TIFFFlush(m_tiff) == 1;
    TIFFCleanup(m_tiff);
    m_tiff = nullptr;
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
    return ok;
}
