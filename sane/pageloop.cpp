#include "pageloop.h"

#include "pageassembly.h"
#include "pagewriters.h"
#include "tiffpage.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The longest path the file system accepts, without its terminating zero.
constexpr int MaxPathBytes = 4095;
// sane_read is asked for this much at a time: few enough reads, and small
// enough that what the backend copied in is still in the processor's cache
// when the writer takes it. A whole page at a time (tens of megabytes) made
// every byte cross main memory twice and a batch a tenth slower.
constexpr size_t ReadBufferBytes = 1024 * 1024;
constexpr size_t PageFileBufferBytes = 1024 * 1024;
// libtiff is handed a TIFF page in reads of at most this many lines.
constexpr int TiffLinesPerRead = 200;

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

bool exists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0; // a dangling link counts too
}

// Renames without ever replacing what is under `to`. File systems that
// cannot do that atomically (FAT, some network shares) get a look just
// before a plain rename, which is as close as they allow.
bool renameNoReplace(const QByteArray &from, const QByteArray &to)
{
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (exists(to))
        return false;
    return std::rename(from.constData(), to.constData()) == 0;
}

int formatFor(const QString &extension)
{
    const QString suffix = extension.mid(extension.lastIndexOf(QLatin1Char('.')) + 1);
    if (suffix == QLatin1String("png"))
        return FormatPng;
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg"))
        return FormatJpeg;
    if (suffix == QLatin1String("tiff") || suffix == QLatin1String("tif"))
        return FormatTiff;
    return FormatPnm;
}

} // namespace

// One page's ".part" file, created only where nothing is: a file, a link or
// another run's ".part" under that name is never opened over.
class PageLoop::PageFile
{
public:
    PageFile(bool tiff, QByteArray path) : m_isTiff(tiff), m_path(std::move(path)) {}

    const QByteArray &path() const { return m_path; }
    bool isTiff() const { return m_isTiff; }
    TiffPageFile &tiff() { return *m_tiff; }
    std::FILE *stdio() const { return m_stdio.get(); }

    bool create()
    {
        if (m_isTiff) {
            m_tiff.emplace();
            return m_created = m_tiff->open(m_path.constData());
        }
        m_stdio.reset(std::fopen(m_path.constData(), "wbxe"));
        if (!m_stdio)
            return false;
        m_created = true;
        // The writers hand over a line at a time; with stdio's own few
        // kilobytes a colour page would cost thousands of write calls.
        // glibc ignores the size unless it is given the buffer.
        m_buffer.reset(new (std::nothrow) char[PageFileBufferBytes]);
        if (m_buffer)
            std::setvbuf(m_stdio.get(), m_buffer.get(), _IOFBF, PageFileBufferBytes);
        return true;
    }
    // Whether everything reached the file.
    bool close()
    {
        if (m_isTiff)
            return m_tiff->close();
        return std::fclose(m_stdio.release()) == 0;
    }
    // Nothing of this page is kept.
    void discard()
    {
        if (!m_created)
            return;
        m_stdio.reset();
        m_tiff.reset();
        ::unlink(m_path.constData());
        m_created = false;
    }

private:
    bool m_isTiff;
    QByteArray m_path;
    bool m_created = false;
    std::optional<TiffPageFile> m_tiff;
    // Declared after the buffer so that the file is closed first.
    std::unique_ptr<char[]> m_buffer;
    std::unique_ptr<std::FILE, FileCloser> m_stdio;
};

int PageLoop::Scan(SaneDevice &device, PageNaming &naming, bool flatbed)
{
    if (!device.IsLive())
        return SaneStatusNoDevice;
    m_format = formatFor(naming.extension);
    m_resolution = m_format == FormatPnm ? 0 : device.Resolution();
    m_bufferSize = ReadBufferBytes;
    m_buffer.reset(new (std::nothrow) unsigned char[m_bufferSize]);
    if (!m_buffer)
        return SANE_STATUS_NO_MEM;
    m_signalGuard.save();
    {
        std::lock_guard<std::mutex> lock(m_activeLock);
        m_active = &device;
    }
    const int status = scanPages(device, naming, flatbed);
    device.Cancel();
    {
        std::lock_guard<std::mutex> lock(m_activeLock);
        m_active = nullptr;
    }
    m_buffer.reset();
    return status;
}

void PageLoop::RequestStop()
{
    m_stopRequested = true;
    std::lock_guard<std::mutex> lock(m_activeLock);
    if (m_active)
        m_active->Cancel();
}

int PageLoop::scanPages(SaneDevice &device, PageNaming &naming, bool flatbed)
{
    int status = SANE_STATUS_GOOD;
    int pages = 0; // numbers taken by a page, whole or failed
    for (bool first = true;; first = false) {
        if (!naming.SkipTaken()) {
            status = SANE_STATUS_ACCESS_DENIED;
            break;
        }
        const QString name = naming.NextPath();
        const QByteArray path = QFile::encodeName(name);
        PageFile file(m_format == FormatTiff, path + ".part");
        if (file.path().size() > MaxPathBytes) {
            status = SANE_STATUS_ACCESS_DENIED;
            break;
        }
        // Made before the first sheet moves: a folder or a name that cannot
        // be written must not cost the user a sheet.
        if (first && !file.create()) {
            status = SANE_STATUS_ACCESS_DENIED;
            break;
        }
        status = startSheet(device);
        if (status != SANE_STATUS_GOOD) {
            file.discard();
            break;
        }
        if (!first && !file.create()) {
            status = SANE_STATUS_ACCESS_DENIED;
            break;
        }
        status = scanPage(device, file);
        // A page that appeared under the name meanwhile is not ours to
        // replace: this one stays under ".part".
        if (status == SANE_STATUS_GOOD && !renameNoReplace(file.path(), path))
            status = SANE_STATUS_ACCESS_DENIED;

        if (status == SANE_STATUS_INVAL) {
            // A frame this program cannot write: nothing to keep, and the
            // number stays free for the next page.
            file.discard();
        } else {
            // A failed page keeps its number: its partial data stays under
            // the ".part" name for whoever wants to look at it.
            ++naming.next;
            ++pages;
            if (status == SANE_STATUS_GOOD)
                emit sglScanOneImageDone(name);
        }
        if (flatbed || status != SANE_STATUS_GOOD)
            break;
    }
    if (pages == 0)
        return status; // an empty feeder stays NO_DOCS
    // The feeder running empty is how a batch normally ends.
    return status == SANE_STATUS_NO_DOCS ? SANE_STATUS_GOOD : status;
}

// sane_start, unless a stop was requested before it returned: a request
// that came while it ran found nothing to cancel yet.
int PageLoop::startSheet(SaneDevice &device)
{
    if (m_stopRequested)
        return SANE_STATUS_CANCELLED;
    const int status = device.Start();
    m_signalGuard.restore();
    if (status == SANE_STATUS_GOOD && m_stopRequested)
        return SANE_STATUS_CANCELLED; // the loop's closing sane_cancel ends the sheet
    return status;
}

int PageLoop::scanPage(SaneDevice &device, PageFile &file)
{
    int status;
    if (file.isTiff()) {
        TiffPageWriter writer(file.tiff().get(), m_resolution);
        status = scanFrames(device, writer, TiffLinesPerRead);
    } else {
        const std::unique_ptr<PageWriter> writer = makeStdioWriter(m_format, file.stdio(), m_resolution);
        status = scanFrames(device, *writer, 0);
    }
    if (status != SANE_STATUS_EOF && status != SANE_STATUS_GOOD)
        return status;
    return file.close() ? SANE_STATUS_GOOD : SANE_STATUS_ACCESS_DENIED;
}

// Reads one page, frame by frame, into the writer; 5 (EOF) when the page is
// complete. linesPerRead > 0 limits each read to that many lines.
int PageLoop::scanFrames(SaneDevice &device, PageWriter &writer, int linesPerRead)
{
    PageAssembly page(writer);
    bool firstRead = true;
    qint64 received = 0;
    qint64 total = -1;
    for (bool firstFrame = true;; firstFrame = false) {
        if (!firstFrame) {
            // Each later colour of a separate-colour page is started on its
            // own; without it a backend answers EOF for ever.
            if (const int started = startSheet(device))
                return started;
        }
        SANE_Parameters parameters = {};
        int status = device.GetParameters(parameters);
        if (status != SANE_STATUS_GOOD) {
            std::printf("sane_get_parameters: %s\n", qUtf8Printable(device.StatusText(status)));
            std::fflush(stdout);
            return status;
        }
        if (const int refused = page.beginFrame(parameters))
            return refused;
        if (firstFrame) {
            const bool separate = parameters.format >= SANE_FRAME_RED && parameters.format <= SANE_FRAME_BLUE;
            if (parameters.lines > 0)
                total = qint64(parameters.bytes_per_line) * parameters.lines * (separate ? 3 : 1);
            if (m_progress)
                m_progress(0, total);
        }

        std::uint64_t ask = m_bufferSize;
        if (linesPerRead > 0)
            ask = std::min<std::uint64_t>(ask, std::uint64_t(parameters.bytes_per_line) * std::uint64_t(linesPerRead));
        ask = std::min<std::uint64_t>(ask, INT_MAX);
        for (;;) {
            int length = 0;
            status = device.Read(m_buffer.get(), int(ask), length);
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
            received += length;
            if (m_progress)
                m_progress(received, total);
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
