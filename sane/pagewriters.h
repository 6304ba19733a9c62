#ifndef VELLOSCAN_PAGEWRITERS_H
#define VELLOSCAN_PAGEWRITERS_H

#include <sane/sane.h>

#include <cstddef>
#include <cstdio>
#include <memory>

// Output format codes of the page loop.
enum OutputFormat { FormatPnm = 1, FormatTiff = 2, FormatPng = 3, FormatJpeg = 4 };

// One page file in the making. The scan loop hands it whole lines in SANE's
// own layout (a set bit is black, 16-bit samples in host byte order) and the
// writer turns them into its format. Every call answers with a SANE status:
// 0, or the status that ends the page (4 refused, 10 no memory, 11 the file
// could not be written).
class PageWriter
{
public:
    virtual ~PageWriter() = default;
    // Whether a page starting with this frame can be written at all.
    virtual bool accepts(const SANE_Parameters &first) const = 0;
    // Whether the file states the height before the pixels; a page of
    // unknown height is then held in memory until its last line.
    virtual bool needsHeight() const { return true; }
    // The page as it will be written: separate colour frames arrive as one
    // interleaved RGB frame, and `lines` is known unless needsHeight is false.
    virtual int begin(const SANE_Parameters &page) = 0;
    // One line of bytes_per_line bytes; the writer may change them in place.
    virtual int writeLine(unsigned char *line) = 0;
    // Everything is written; the caller still closes the file.
    virtual int finish() = 0;
};

// Frame types beyond SANE 1's five that backends may send: an infrared
// band alone, and RGB with an infrared band.
constexpr int FrameInfrared = 15;
constexpr int FrameRgbInfrared = 16;

// Samples per pixel of a frame as SANE lays it out.
inline int frameChannels(SANE_Frame format)
{
    switch (int(format)) {
    case SANE_FRAME_RGB: return 3;
    case FrameRgbInfrared: return 4;
    default: return 1;
    }
}

// Bytes that carry pixels in one line; bytes_per_line may add padding.
inline size_t packedLineBytes(const SANE_Parameters &p)
{
    return (size_t(p.pixels_per_line) * frameChannels(p.format) * size_t(p.depth) + 7) / 8;
}

// Frames the PNM, PNG and JPEG writers take: GRAY of depth 1, 8 or 16, RGB of
// depth 8 or 16, and RED, GREEN or BLUE frames of depth 8.
bool streamableFrame(const SANE_Parameters &first);

// The writer for PNM, PNG or JPEG pages (any other code gives PNM) into an
// open file; `dpi` goes into PNG and JPEG files.
std::unique_ptr<PageWriter> makeStdioWriter(int outputFormat, std::FILE *file, int dpi);

int write_pnm_header(SANE_Frame format, int width, int height, int depth, std::FILE *file);

#endif
