#ifndef VELLOSCAN_TIFFPAGE_H
#define VELLOSCAN_TIFFPAGE_H

#include "pagewriters.h"
#include "tiffstrips.h"

#include <sane/sane.h>
#include <tiffio.h>

#include <memory>

// Frames a TIFF page can hold: GRAY and infrared of depth 1, 8 or 16; RGB
// and RGB with infrared of depth 8 or 16; RED, GREEN and BLUE of depth 8.
bool check_sane_format(const SANE_Parameters &parameters);

// The tags of one page, in the order the page files have always carried them.
void tiff_set_fields(TIFF *tiff, const SANE_Parameters &parameters, int resolution);

// Writes a page's lines as rows of the open TIFF's current directory. 1-bit
// pages go through libtiff's Group 4 codec; the Deflate strips of the others
// are compressed on `stripThreads` workers (0: on the calling thread) and
// written raw, in row order, from the calling thread.
class TiffPageWriter : public PageWriter
{
public:
    TiffPageWriter(TIFF *tiff, int resolution, int stripThreads = StripDeflater::defaultThreads())
        : m_tiff(tiff), m_resolution(resolution), m_stripThreads(stripThreads)
    {
    }
    // A page that ends without finish() still gets the rows it was given,
    // as a failed page's partial file always has.
    ~TiffPageWriter() override;

    bool accepts(const SANE_Parameters &first) const override { return check_sane_format(first); }
    // The rows are counted as they come.
    bool needsHeight() const override { return false; }
    int begin(const SANE_Parameters &page) override;
    int writeLine(unsigned char *line) override;
    int finish() override;

private:
    bool writeStrip(uint32_t row, const unsigned char *data, size_t size);
    int failure() const;

    TIFF *m_tiff;
    int m_resolution;
    int m_stripThreads;
    uint32_t m_row = 0;
    std::unique_ptr<StripDeflater> m_strips;
};

// A TIFF page file and the descriptor under it. close() reports whether
// everything reached the file; dropping the object without it still writes
// what the page has so far, so a failed page's partial file can be read.
class TiffPageFile
{
public:
    TiffPageFile() = default;
    TiffPageFile(const TiffPageFile &) = delete;
    TiffPageFile &operator=(const TiffPageFile &) = delete;
    ~TiffPageFile();

    bool open(const char *path);
    bool close();
    TIFF *get() const { return m_tiff; }

private:
    int m_fd = -1;
    TIFF *m_tiff = nullptr;
};

#endif
