// The page loop: sheet after sheet from the open device into numbered page
// files. A page is written under its name plus ".part" and gets its real
// name only when it is complete, so a final name always holds a whole page
// and only whole pages are announced.
#include "sanescan.h"

#include "pageassembly.h"
#include "pagewriters.h"

#include <QFile>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>

namespace {

// The longest path the file system accepts, without its terminating zero.
constexpr int MaxPathBytes = 4095;
// sane_read is asked for this much at a time: few enough reads, and small
// enough that what the backend copied in is still in the processor's cache
// when the writer takes it. A whole page at a time (tens of megabytes) made
// every byte cross main memory twice and a batch a tenth slower.
constexpr size_t ReadBufferBytes = 1024 * 1024;
constexpr size_t PageFileBufferBytes = 1024 * 1024;

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

} // namespace

int SaneScan::Scan(const QString &pathPrefix, const QString &format, int firstNumber, int minDigits, bool flatbed)
{
    if (!m_loaded || m_exited || !m_device)
        return SaneStatusNoDevice;
    m_imageFormat = format;
    m_isFlatbed = flatbed;
    m_pageNumber = firstNumber;
    m_pageDigits = minDigits;
    m_signalGuard.save();

    const int status = scanimage(pathPrefix);
    emit sglScanAllImageDone();
    if (firstNumber >= m_pageNumber)
        return status; // not one page: an empty feeder stays NO_DOCS
    // The feeder running empty is how a batch normally ends.
    return status == SANE_STATUS_NO_DOCS ? SANE_STATUS_GOOD : status;
}

void SaneScan::RequestStop()
{
    m_stopRequested = true;
    std::lock_guard<std::mutex> lock(m_handleLock);
    if (const SANE_Handle handle = m_device.load())
        m_api.cancel(handle); // SANE allows this while another thread is inside sane_read
}

int SaneScan::scanimage(const QString &prefix)
{
    const QByteArray prefixBytes = QFile::encodeName(prefix);
    const QByteArray extension = QFile::encodeName(m_imageFormat);
    m_outputFormat = guess_output_format(page_path(prefixBytes, extension));
    if (m_outputFormat != FormatPnm)
        m_resolution = get_resolution();

    int status = SANE_STATUS_GOOD;
    for (;;) {
        const QByteArray path = page_path(prefixBytes, extension);
        const QByteArray part = path + ".part";
        if (part.size() > MaxPathBytes) {
            status = SANE_STATUS_ACCESS_DENIED; // checked before a sheet is drawn in
            break;
        }
        status = start_sheet();
        if (status != SANE_STATUS_GOOD)
            break;
        if (!m_buffer) {
            m_bufferSize = ReadBufferBytes;
            m_buffer.reset(new (std::nothrow) unsigned char[m_bufferSize]);
            if (!m_buffer) {
                status = SANE_STATUS_NO_MEM;
                break;
            }
        }

        status = m_outputFormat == FormatTiff ? scan_tiff_page(part) : scan_stdio_page(part);
        if (status == SANE_STATUS_GOOD && std::rename(part.constData(), path.constData()) != 0)
            status = SANE_STATUS_ACCESS_DENIED;

        if (status == SANE_STATUS_INVAL) {
            // A frame this program cannot write: nothing to keep, and the
            // number stays free for the next page.
            std::remove(part.constData());
        } else {
            // A failed page keeps its number: its partial data stays under
            // the ".part" name for whoever wants to look at it.
            ++m_pageNumber;
            if (status == SANE_STATUS_GOOD)
                emit sglScanOneImageDone(QFile::decodeName(path));
        }
        if (m_isFlatbed || status != SANE_STATUS_GOOD)
            break;
    }
    m_buffer.reset();
    cancel_scan();
    return status;
}

// sane_start, unless a stop was requested before it returned: a request
// that came while it ran found nothing to cancel yet.
int SaneScan::start_sheet()
{
    if (m_stopRequested)
        return SANE_STATUS_CANCELLED;
    const int status = start_scan();
    m_signalGuard.restore();
    if (status == SANE_STATUS_GOOD && m_stopRequested)
        return SANE_STATUS_CANCELLED; // the loop's closing sane_cancel ends the sheet
    return status;
}

QByteArray SaneScan::page_path(const QByteArray &prefix, const QByteArray &extension) const
{
    // A width beyond any path length only makes the path too long, which
    // the loop refuses anyway.
    const int digits = std::clamp(m_pageDigits, 0, MaxPathBytes + 1);
    QByteArray number(digits + 16, '\0');
    const int length = std::snprintf(number.data(), size_t(number.size()), "%0*d", digits, m_pageNumber);
    number.truncate(std::max(length, 0));
    return prefix + number + '.' + extension;
}

int SaneScan::guess_output_format(const QByteArray &path)
{
    const int dot = path.lastIndexOf('.');
    if (dot < 0)
        return FormatPnm;
    const QByteArray suffix = path.mid(dot + 1);
    if (suffix == "png")
        return FormatPng;
    if (suffix == "jpg" || suffix == "jpeg")
        return FormatJpeg;
    if (suffix == "tiff" || suffix == "tif")
        return FormatTiff;
    return FormatPnm;
}

int SaneScan::scan_stdio_page(const QByteArray &part)
{
    // The writers hand over a line at a time; with stdio's own few kilobytes
    // a colour page would cost thousands of write calls. glibc ignores the
    // size unless it is given the buffer, which must outlive the file.
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[PageFileBufferBytes]);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(part.constData(), "wbe"));
    if (!file)
        return SANE_STATUS_ACCESS_DENIED;
    if (buffer)
        std::setvbuf(file.get(), buffer.get(), _IOFBF, PageFileBufferBytes);
    const int status = inner_scan(file.get());
    if (status != SANE_STATUS_EOF && status != SANE_STATUS_GOOD)
        return status;
    return std::fclose(file.release()) == 0 ? SANE_STATUS_GOOD : SANE_STATUS_ACCESS_DENIED;
}

int SaneScan::inner_scan(std::FILE *file)
{
    const std::unique_ptr<PageWriter> writer = makeStdioWriter(m_outputFormat, file, m_resolution);
    return scan_frames(*writer, 0);
}

// Reads one page, frame by frame, into the writer; 5 (EOF) when the page is
// complete. linesPerRead > 0 limits each read to that many lines.
int SaneScan::scan_frames(PageWriter &writer, int linesPerRead)
{
    const SANE_Handle device = m_device;
    if (!device)
        return SANE_STATUS_CANCELLED;
    PageAssembly page(writer);
    bool firstRead = true;
    for (bool firstFrame = true;; firstFrame = false) {
        if (!firstFrame) {
            // Each later colour of a separate-colour page is started on its
            // own; without it a backend answers EOF for ever.
            if (const int started = start_sheet())
                return started;
        }
        SANE_Parameters parameters = {};
        SANE_Status status = m_api.get_parameters(device, &parameters);
        if (status != SANE_STATUS_GOOD) {
            std::printf("sane_get_parameters: %s\n", m_api.strstatus(status));
            std::fflush(stdout);
            return status;
        }
        if (const int refused = page.beginFrame(parameters))
            return refused;

        std::uint64_t ask = m_bufferSize;
        if (linesPerRead > 0)
            ask = std::min<std::uint64_t>(ask, std::uint64_t(parameters.bytes_per_line) * std::uint64_t(linesPerRead));
        ask = std::min<std::uint64_t>(ask, INT_MAX);
        for (;;) {
            SANE_Int length = 0;
            status = m_api.read(device, m_buffer.get(), SANE_Int(ask), &length);
            if (firstRead) {
                m_signalGuard.restore(); // a backend's reader thread is running by now
                firstRead = false;
            }
            if (status != SANE_STATUS_GOOD)
                break;
            if (length < 0 || std::uint64_t(length) > ask)
                return SANE_STATUS_IO_ERROR;
            if (const int failed = page.feed(m_buffer.get(), size_t(length)))
                return failed;
        }
        if (status != SANE_STATUS_EOF)
            return status;
        if (const int failed = page.endFrame())
            return failed;
        if (parameters.last_frame)
            break;
    }
    const int finished = page.finish();
    return finished == SANE_STATUS_GOOD ? SANE_STATUS_EOF : finished;
}
