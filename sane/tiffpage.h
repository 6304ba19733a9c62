#ifndef VELLOSCAN_TIFFPAGE_H
#define VELLOSCAN_TIFFPAGE_H

#include "pagewriters.h"

#include <sane/sane.h>
#include <tiffio.h>

// Frames a TIFF page can hold: GRAY and infrared of depth 1, 8 or 16; RGB
// and RGB with infrared of depth 8 or 16; RED, GREEN and BLUE of depth 8.
bool check_sane_format(const SANE_Parameters &parameters);

// The tags of one page, in the order the page files have always carried them.
void tiff_set_fields(TIFF *tiff, const SANE_Parameters &parameters, int resolution);

// Writes a page's lines as rows of the open TIFF's current directory.
class TiffPageWriter : public PageWriter
{
public:
    TiffPageWriter(TIFF *tiff, int resolution) : m_tiff(tiff), m_resolution(resolution) {}

    bool accepts(const SANE_Parameters &first) const override { return check_sane_format(first); }
    // libtiff counts the rows itself.
    bool needsHeight() const override { return false; }
    int begin(const SANE_Parameters &page) override;
    int writeLine(unsigned char *line) override;
    int finish() override;

private:
    TIFF *m_tiff;
    int m_resolution;
    uint32_t m_row = 0;
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
