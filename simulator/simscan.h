// Image data of a simulated scan. A page is planned as a list of frames when
// it starts; each frame is produced line by line from a formula, so a page of
// any size costs one line of memory and a test can recompute every byte.
#ifndef VELLOSCAN_SIM_SCAN_H
#define VELLOSCAN_SIM_SCAN_H

#include "simconfig.h"
#include "simoptions.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace sim {

struct FramePlan {
    SANE_Frame format = SANE_FRAME_GRAY;
    int depth = 8;
    int pixels = 0;        // pixels per line
    int bytesPerLine = 0;
    int lines = 0;         // as announced; -1 when the height is not known in advance
    int linesSent = 0;     // as delivered, which may differ from the announcement
    int channel = 0;       // colour of a single-colour frame: red 0, green 1, blue 2
    bool last = true;
};

// What can go wrong with a page, decided when it starts.
struct Fault {
    bool armed = false;
    int afterLines = 0;
    SANE_Status status = SANE_STATUS_JAMMED;
};

// 8-bit sample of pixel x on line y for colour c of image number `image`
// (counted from 1 per open device).
inline unsigned sample8(int x, int y, int c, int image)
{
    return static_cast<unsigned>(x + 2 * y + 85 * c + 37 * (image - 1)) & 0xFFu;
}

// Lineart: 1 is black, as SANE has it.
inline bool blackPixel(int x, int y, int image)
{
    return (x + y + image - 1) % 4 == 0;
}

inline int currentResolution(OptionSet &set)
{
    Option *o = set.find("resolution");
    if (!o || o->words.empty())
        return 150;
    double dpi = o->type == SANE_TYPE_FIXED ? fromFixed(o->words[0]) : o->words[0];
    return std::max(1, static_cast<int>(std::lround(dpi)));
}

// Scan-area size in mm: the tl/br corners where the device has them,
// otherwise the page size; 0 when the device has neither.
inline double areaMm(OptionSet &set, const char *tl, const char *br, const char *page)
{
    Option *a = set.find(tl);
    Option *b = set.find(br);
    if (a && b)
        return std::max(0.0, fromFixed(b->words[0]) - fromFixed(a->words[0]));
    if (Option *p = set.find(page))
        return fromFixed(p->words[0]);
    return 0.0;
}

inline int pixelsFor(double mm, int dpi, int fallback)
{
    if (mm <= 0.0)
        return fallback;
    return std::max(1, static_cast<int>(std::lround(mm * dpi / 25.4)));
}

inline std::vector<FramePlan> planPage(OptionSet &set, const DeviceSpec &spec)
{
    const int dpi = currentResolution(set);
    int width = spec.intKey("width_px", 0);
    int height = spec.intKey("height_px", 0);
    if (width <= 0)
        width = pixelsFor(areaMm(set, "tl-x", "br-x", "page-width"), dpi, 640);
    if (height <= 0)
        height = pixelsFor(areaMm(set, "tl-y", "br-y", "page-height"), dpi, 480);

    Option *mode = set.find("mode");
    const std::string modeName = mode ? mode->text : "Color";
    const int depthKey = spec.intKey("depth", 8);
    const int wideDepth = depthKey == 16 ? 16 : 8;
    const int announced = spec.intKey("unknown_height", 0) ? -1 : height;
    const int sent = std::max(0, height + std::max(0, spec.intKey("extra_lines", 0))
                                     - std::max(0, spec.intKey("missing_lines", 0)));

    FramePlan f;
    f.pixels = width;
    f.lines = announced;
    f.linesSent = sent;
    if (modeName == "Lineart") {
        f.format = SANE_FRAME_GRAY;
        f.depth = 1;
        f.bytesPerLine = (width + 7) / 8;
        return {f};
    }
    if (modeName == "Gray") {
        f.format = SANE_FRAME_GRAY;
        f.depth = wideDepth;
        f.bytesPerLine = width * wideDepth / 8;
        return {f};
    }
    if (spec.intKey("three_pass", 0)) {
        std::vector<FramePlan> frames;
        const SANE_Frame colours[] = {SANE_FRAME_RED, SANE_FRAME_GREEN, SANE_FRAME_BLUE};
        for (int c = 0; c < 3; ++c) {
            FramePlan one = f;
            one.format = colours[c];
            one.depth = 8;
            one.bytesPerLine = width;
            one.channel = c;
            one.last = c == 2;
            frames.push_back(one);
        }
        return frames;
    }
    f.format = SANE_FRAME_RGB;
    if (depthKey == 1) {
        // A kind of frame that frontends cannot be expected to write.
        f.depth = 1;
        f.bytesPerLine = (width * 3 + 7) / 8;
        return {f};
    }
    f.depth = wideDepth;
    f.bytesPerLine = width * 3 * wideDepth / 8;
    return {f};
}

inline SANE_Parameters parametersOf(const FramePlan &f)
{
    SANE_Parameters p{};
    p.format = f.format;
    p.last_frame = f.last ? SANE_TRUE : SANE_FALSE;
    p.bytes_per_line = f.bytesPerLine;
    p.pixels_per_line = f.pixels;
    p.lines = f.lines;
    p.depth = f.depth;
    return p;
}

// Hands out the bytes of one page, frame by frame.
class PageReader {
public:
    PageReader(std::vector<FramePlan> frames, int image, Fault fault, int maxRead)
        : m_frames(std::move(frames)), m_image(image), m_fault(fault), m_maxRead(maxRead)
    {
        startFrame();
    }

    const FramePlan &frame() const { return m_frames[m_frameIndex]; }
    long linesDelivered() const { return m_linesDelivered; }
    int image() const { return m_image; }
    bool frameDone() const { return m_line >= frame().linesSent; }
    bool hasNextFrame() const { return m_frameIndex + 1 < m_frames.size(); }
    void nextFrame()
    {
        ++m_frameIndex;
        startFrame();
    }

    SANE_Status read(SANE_Byte *buf, SANE_Int maxLen, SANE_Int *len)
    {
        *len = 0;
        if (m_failed != SANE_STATUS_GOOD)
            return m_failed;
        if (frameDone())
            return SANE_STATUS_EOF;
        if (m_fault.armed && m_line >= m_fault.afterLines) {
            m_failed = m_fault.status;
            return m_failed;
        }
        int want = maxLen;
        if (m_maxRead > 0)
            want = std::min(want, m_maxRead);
        const int bpl = frame().bytesPerLine;
        while (want > 0 && !frameDone()) {
            if (m_fault.armed && m_line >= m_fault.afterLines)
                break; // the next read reports the fault
            int chunk = std::min(want, bpl - m_offset);
            std::memcpy(buf + *len, m_row.data() + m_offset, static_cast<size_t>(chunk));
            *len += chunk;
            want -= chunk;
            m_offset += chunk;
            if (m_offset == bpl) {
                ++m_line;
                ++m_linesDelivered;
                m_offset = 0;
                if (!frameDone())
                    fillRow();
            }
        }
        return SANE_STATUS_GOOD;
    }

private:
    void startFrame()
    {
        m_line = 0;
        m_offset = 0;
        m_row.assign(static_cast<size_t>(frame().bytesPerLine), 0);
        if (!frameDone())
            fillRow();
    }

    void fillRow()
    {
        const FramePlan &f = frame();
        const int y = m_line;
        unsigned char *row = m_row.data();
        const int channels = f.format == SANE_FRAME_RGB ? 3 : 1;
        if (f.depth == 1) {
            std::fill(m_row.begin(), m_row.end(), 0);
            for (int bit = 0; bit < f.pixels * channels; ++bit)
                if (blackPixel(bit / channels, y, m_image))
                    row[bit / 8] |= static_cast<unsigned char>(0x80u >> (bit % 8));
            return;
        }
        const int firstChannel = channels == 3 ? 0 : f.channel;
        size_t at = 0;
        for (int x = 0; x < f.pixels; ++x) {
            for (int c = 0; c < channels; ++c) {
                unsigned s = sample8(x, y, firstChannel + c, m_image);
                if (f.depth == 16) {
                    // Host byte order, as SANE delivers 16-bit samples; the
                    // low byte differs from the high one so swaps show.
                    uint16_t v = static_cast<uint16_t>(s << 8 | (255u - s));
                    std::memcpy(row + at, &v, 2);
                    at += 2;
                } else {
                    row[at++] = static_cast<unsigned char>(s);
                }
            }
        }
    }

    std::vector<FramePlan> m_frames;
    size_t m_frameIndex = 0;
    int m_image;
    Fault m_fault;
    int m_maxRead;
    int m_line = 0;
    int m_offset = 0;
    std::vector<unsigned char> m_row;
    SANE_Status m_failed = SANE_STATUS_GOOD;
    long m_linesDelivered = 0;
};

} // namespace sim

#endif
