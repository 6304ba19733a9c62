#ifndef VELLOSCAN_PAGEASSEMBLY_H
#define VELLOSCAN_PAGEASSEMBLY_H

#include "pagewriters.h"

#include <sane/sane.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Turns the bytes of one page, as sane_read hands them out frame by frame in
// pieces of any size, into whole lines for a PageWriter.
//
// A page goes straight through to the writer when it can; it is held in
// memory when its height is unknown and the writer must state it first, and
// when it comes in separate red, green and blue frames, which are interleaved
// into one RGB image. A frame never yields more lines than it announced (the
// excess is read and dropped), and a frame with an announced height that ends
// early is completed with white lines, so the file matches its header.
//
// Every method answers with a SANE status; anything but 0 ends the page.
class PageAssembly
{
public:
    explicit PageAssembly(PageWriter &writer) : m_writer(writer) {}

    int beginFrame(const SANE_Parameters &frame);
    // The bytes may be changed in place.
    int feed(unsigned char *data, size_t length);
    // The frame's data ended (EOF).
    int endFrame();
    // After the last frame: writes a held page, reports excess or missing
    // data on standard output, and finishes the writer.
    int finish();

private:
    enum class Mode { Streamed, HeldLines, HeldColours };

    int takeLine(unsigned char *line);
    bool holdLines(size_t lines);
    unsigned char *heldLine(size_t y) { return m_image.data() + y * m_heldLineBytes; }

    PageWriter &m_writer;
    Mode m_mode = Mode::Streamed;
    SANE_Parameters m_first = {};
    SANE_Parameters m_frame = {};
    int m_frames = 0;
    bool m_heightKnown = false;
    unsigned char m_white = 0xFF;  // in SANE's layout: 0 for 1-bit, where a set bit is black

    std::vector<unsigned char> m_carry;  // a line split across reads
    size_t m_carried = 0;
    size_t m_frameLines = 0;
    int m_channel = 0;  // position of a separate colour in the interleaved pixel

    std::vector<unsigned char> m_image;
    size_t m_heldLineBytes = 0;
    size_t m_heldLines = 0;   // allocated
    size_t m_filledLines = 0; // highest line reached by any frame

    std::uint64_t m_received = 0;
    std::uint64_t m_announced = 0;
    bool m_overlong = false;
    bool m_short = false;
};

#endif
