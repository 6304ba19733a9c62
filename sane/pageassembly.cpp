#include "pageassembly.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

bool isSeparateColour(SANE_Frame format)
{
    return format == SANE_FRAME_RED || format == SANE_FRAME_GREEN || format == SANE_FRAME_BLUE;
}

// Images grow by strips of this many lines when their height is not known.
constexpr size_t StripLines = 256;

} // namespace

int PageAssembly::beginFrame(const SANE_Parameters &frame)
{
    if (m_frames == 0) {
        if (frame.pixels_per_line <= 0 || frame.bytes_per_line <= 0 || !m_writer.accepts(frame)
            || size_t(frame.bytes_per_line) < packedLineBytes(frame))
            return SANE_STATUS_INVAL;
        m_first = frame;
        m_heightKnown = frame.lines > 0;
        m_white = frame.depth == 1 ? 0x00 : 0xFF;
        if (isSeparateColour(frame.format)) {
            m_mode = Mode::HeldColours;
            m_heldLineBytes = 3 * size_t(frame.pixels_per_line);
        } else if (!m_heightKnown && m_writer.needsHeight()) {
            m_mode = Mode::HeldLines;
            m_heldLineBytes = size_t(frame.bytes_per_line);
        } else {
            m_mode = Mode::Streamed;
        }
        if (m_mode != Mode::Streamed && m_heightKnown && !holdLines(size_t(frame.lines)))
            return SANE_STATUS_NO_MEM;
        if (m_mode == Mode::Streamed) {
            if (const int status = m_writer.begin(frame))
                return status;
        }
    } else if (m_mode != Mode::HeldColours || m_frames >= 3 || !isSeparateColour(frame.format)
               || frame.depth != 8 || frame.pixels_per_line != m_first.pixels_per_line
               || frame.bytes_per_line != m_first.bytes_per_line || frame.lines != m_first.lines) {
        // Only the later colours of a separate-colour page may follow a
        // frame, and there are two of them, however often a backend fails
        // to mark the last one.
        return SANE_STATUS_INVAL;
    }

    m_frame = frame;
    m_channel = frame.format == SANE_FRAME_GREEN ? 1 : frame.format == SANE_FRAME_BLUE ? 2 : 0;
    m_frameLines = 0;
    m_carried = 0;
    try {
        m_carry.resize(size_t(frame.bytes_per_line));
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    }
    if (m_heightKnown)
        m_announced += std::uint64_t(frame.bytes_per_line) * std::uint64_t(frame.lines);
    ++m_frames;
    return SANE_STATUS_GOOD;
}

int PageAssembly::feed(unsigned char *data, size_t length)
{
    m_received += length;
    const size_t lineBytes = m_carry.size();
    while (length > 0) {
        if (m_heightKnown && m_frameLines >= size_t(m_frame.lines)) {
            // More than announced: read on to the end of the sheet, keep none of it.
            m_overlong = true;
            return SANE_STATUS_GOOD;
        }
        int status;
        if (m_carried == 0 && length >= lineBytes) {
            status = takeLine(data);
            data += lineBytes;
            length -= lineBytes;
        } else {
            const size_t part = std::min(lineBytes - m_carried, length);
            std::memcpy(m_carry.data() + m_carried, data, part);
            m_carried += part;
            data += part;
            length -= part;
            if (m_carried < lineBytes)
                continue;
            m_carried = 0;
            status = takeLine(m_carry.data());
        }
        if (status != SANE_STATUS_GOOD)
            return status;
    }
    return SANE_STATUS_GOOD;
}

int PageAssembly::endFrame()
{
    const size_t lineBytes = m_carry.size();
    if (m_carried > 0) {
        // The data stopped inside a line: keep what came, white for the rest.
        std::memset(m_carry.data() + m_carried, m_white, lineBytes - m_carried);
        m_carried = 0;
        if (const int status = takeLine(m_carry.data()))
            return status;
    }
    if (m_heightKnown && m_frameLines < size_t(m_frame.lines)) {
        m_short = true;
        // A held page was made white at its full height already.
        while (m_mode == Mode::Streamed && m_frameLines < size_t(m_frame.lines)) {
            std::memset(m_carry.data(), m_white, lineBytes); // the writer may have changed it
            if (const int status = takeLine(m_carry.data()))
                return status;
        }
    }
    return SANE_STATUS_GOOD;
}

int PageAssembly::finish()
{
    if (m_mode == Mode::Streamed ? m_frameLines == 0 : (m_heightKnown ? m_heldLines : m_filledLines) == 0)
        return SANE_STATUS_IO_ERROR; // the backend ended the page without a single line

    if (m_mode != Mode::Streamed) {
        SANE_Parameters page = m_first;
        page.lines = int(m_heightKnown ? m_heldLines : m_filledLines);
        page.last_frame = SANE_TRUE;
        if (m_mode == Mode::HeldColours) {
            page.format = SANE_FRAME_RGB;
            page.bytes_per_line = int(m_heldLineBytes);
        }
        if (const int status = m_writer.begin(page))
            return status;
        for (size_t y = 0; y < size_t(page.lines); ++y) {
            if (const int status = m_writer.writeLine(heldLine(y)))
                return status;
        }
        std::vector<unsigned char>().swap(m_image);
    }

    if (m_overlong)
        std::printf("WARNING: read more data than announced by backend (%llu/%llu)\n",
                    static_cast<unsigned long long>(m_received), static_cast<unsigned long long>(m_announced));
    if (m_short)
        std::printf("WARNING: read less data than announced by backend (%llu/%llu)\n",
                    static_cast<unsigned long long>(m_received), static_cast<unsigned long long>(m_announced));
    std::fflush(stdout);
    return m_writer.finish();
}

int PageAssembly::takeLine(unsigned char *line)
{
    const size_t y = m_frameLines++;
    if (m_mode == Mode::Streamed)
        return m_writer.writeLine(line);
    if (y >= m_heldLines && !holdLines(m_heldLines + StripLines))
        return SANE_STATUS_NO_MEM;
    if (m_mode == Mode::HeldLines) {
        std::memcpy(heldLine(y), line, m_heldLineBytes);
    } else {
        unsigned char *out = heldLine(y) + m_channel;
        for (size_t x = 0; x < size_t(m_first.pixels_per_line); ++x)
            out[3 * x] = line[x];
    }
    m_filledLines = std::max(m_filledLines, y + 1);
    return SANE_STATUS_GOOD;
}

bool PageAssembly::holdLines(size_t lines)
{
    try {
        m_image.resize(lines * m_heldLineBytes, m_white);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: can't allocate image buffer (%zux%zu)\n", "velloscan", m_heldLineBytes, lines);
        return false;
    }
    m_heldLines = lines;
    return true;
}
