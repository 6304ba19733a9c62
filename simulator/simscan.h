// Image data of a simulated scan. A page is planned as a list of frames when
// it starts; each frame is produced line by line from a formula, so a page of
// any size costs one line of memory and a test can recompute every byte.
#ifndef VELLOSCAN_SIM_SCAN_H
#define VELLOSCAN_SIM_SCAN_H

#include "simconfig.h"
#include "simoptions.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
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
    int cutBytes = 0;      // the frame's data stops this many bytes before its end
};

// How a page is delivered, beyond its frames.
struct Delivery {
    int maxRead = 0;        // at most this many bytes per sane_read; 0: no limit
    bool noise = false;     // sensor noise on every 8- and 16-bit sample
    long linePeriodNs = 0;  // rated speed: one line per period, counted from the frame's start
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

// Paper under a sensor: the formula's sample with its low three bits mixed
// with noise. An xorshift per sample is all it costs, so a benchmark of the
// writers is not measuring the simulator; its seed is the image and colour,
// so every run of a page gives the same bytes.
class Noise {
public:
    Noise(int image, int channel)
        : m_state(0x9E3779B9u ^ (static_cast<uint32_t>(image) * 0x85EBCA6Bu) ^ (static_cast<uint32_t>(channel) << 28))
    {
        if (m_state == 0)
            m_state = 1; // xorshift never leaves zero
    }
    unsigned next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    unsigned apply(unsigned s) { return s ^ (next() & 7u); }

private:
    uint32_t m_state;
};

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

inline std::vector<FramePlan> planFrames(OptionSet &set, const DeviceSpec &spec)
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

// The frames of a page as the device line shapes them: planFrames plus a
// last frame cut short by `cut_bytes`.
inline std::vector<FramePlan> planPage(OptionSet &set, const DeviceSpec &spec)
{
    std::vector<FramePlan> frames = planFrames(set, spec);
    FramePlan &last = frames.back();
    const long whole = static_cast<long>(last.bytesPerLine) * last.linesSent;
    last.cutBytes = static_cast<int>(std::clamp<long>(spec.intKey("cut_bytes", 0), 0, whole));
    return frames;
}

// Rated speed: `ppm` sheets a minute, each image's lines spread evenly over
// its share of a sheet (both sides of a duplex sheet share one).
inline long linePeriodNs(const std::vector<FramePlan> &frames, const DeviceSpec &spec, bool duplex)
{
    const int ppm = spec.intKey("ppm", 0);
    long lines = 0;
    for (const FramePlan &f : frames)
        lines += std::max(f.lines, f.linesSent);
    if (ppm <= 0 || lines <= 0)
        return 0;
    const double imageNs = 60e9 / ppm / (duplex ? 2 : 1);
    return static_cast<long>(imageNs / static_cast<double>(lines));
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
    using Clock = std::chrono::steady_clock;

    PageReader(std::vector<FramePlan> frames, int image, Fault fault, Delivery delivery)
        : m_frames(std::move(frames)), m_image(image), m_fault(fault), m_delivery(delivery)
    {
        startFrame();
    }

    const FramePlan &frame() const { return m_frames[m_frameIndex]; }
    long linesDelivered() const { return m_linesDelivered; }
    int image() const { return m_image; }
    bool frameDone() const { return position() >= frameEnd(); }
    bool hasNextFrame() const { return m_frameIndex + 1 < m_frames.size(); }
    void nextFrame()
    {
        ++m_frameIndex;
        startFrame();
    }
    // Rated speed: a line can be read once it has passed the sensor, one
    // line period after the one before, counted from the frame's start. A
    // reader that fell behind gets all the lines that are ready at once, as
    // from a scanner's buffer.
    bool paced() const { return m_delivery.linePeriodNs > 0; }
    Clock::time_point nextLineReady() const { return readyAt(m_line + 1); }

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
        long want = maxLen;
        if (m_delivery.maxRead > 0)
            want = std::min<long>(want, m_delivery.maxRead);
        const int bpl = frame().bytesPerLine;
        long end = frameEnd();
        if (paced())
            end = std::min(end, readyLines(Clock::now()) * bpl);
        while (want > 0 && position() < end) {
            if (m_fault.armed && m_line >= m_fault.afterLines)
                break; // the next read reports the fault
            const long chunk = std::min({want, static_cast<long>(bpl - m_offset), end - position()});
            std::memcpy(buf + *len, m_row.data() + m_offset, static_cast<size_t>(chunk));
            *len += static_cast<SANE_Int>(chunk);
            want -= chunk;
            m_offset += static_cast<int>(chunk);
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
    Clock::time_point readyAt(long lines) const
    {
        return m_frameStart + std::chrono::nanoseconds(m_delivery.linePeriodNs * lines);
    }
    long readyLines(Clock::time_point now) const
    {
        return (now - m_frameStart) / std::chrono::nanoseconds(m_delivery.linePeriodNs);
    }
    long position() const { return static_cast<long>(m_line) * frame().bytesPerLine + m_offset; }
    long frameEnd() const
    {
        return static_cast<long>(frame().linesSent) * frame().bytesPerLine - frame().cutBytes;
    }

    void startFrame()
    {
        m_line = 0;
        m_offset = 0;
        m_frameStart = Clock::now();
        m_noise = Noise(m_image, frame().channel);
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
                if (m_delivery.noise)
                    s = m_noise.apply(s);
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
    Delivery m_delivery;
    int m_line = 0;
    int m_offset = 0;
    Clock::time_point m_frameStart;
    Noise m_noise{1, 0};
    std::vector<unsigned char> m_row;
    SANE_Status m_failed = SANE_STATUS_GOOD;
    long m_linesDelivered = 0;
};

} // namespace sim

#endif
