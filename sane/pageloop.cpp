#include "pageloop.h"

#include "pageassembly.h"
#include "pageencoders.h"
#include "pagefile.h"
#include "rawpage.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The longest path the file system accepts, without its terminating zero.
constexpr int MaxPathBytes = 4095;
// sane_read is asked for this much at a time: few enough reads, and small
// enough that what the backend copied in is still in the processor's cache
// when it is copied into the raw page.
constexpr size_t ReadBufferBytes = 1024 * 1024;

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

int PageLoop::Scan(SaneDevice &device, PageNaming &naming, bool flatbed)
{
    if (!device.IsLive())
        return SaneStatusNoDevice;
    m_format = formatFor(naming.extension);
    m_resolution = m_format == FormatPnm ? 0 : device.Resolution();
    m_readerWaitNs = 0;
    m_writeFailure = SANE_STATUS_GOOD;
    m_bufferSize = ReadBufferBytes;
    m_buffer.reset(new (std::nothrow) unsigned char[m_bufferSize]);
    if (!m_buffer)
        return SANE_STATUS_NO_MEM;
    m_signalGuard.save();
    {
        std::lock_guard<std::mutex> lock(m_activeLock);
        m_active = &device;
    }
    int status;
    {
        // The encoder threads end with this scope, before Scan returns.
        PageEncoders encoders(m_encoders > 0 ? m_encoders : PageEncoders::defaultThreads(), m_format,
                              m_resolution);
        const int readStatus = scanPages(device, naming, flatbed, encoders);
        // The scanner is free before the last pages are written.
        device.Cancel();
        announceFinished(encoders, true);
        m_readerWaitNs = encoders.waitedNs();
        // A page that could not be written comes before any sheet the
        // reader failed on later.
        if (m_writeFailure != SANE_STATUS_GOOD)
            status = m_writeFailure;
        else
            status = readStatus;
    }
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

int PageLoop::scanPages(SaneDevice &device, PageNaming &naming, bool flatbed, PageEncoders &encoders)
{
    int status = SANE_STATUS_GOOD;
    int pages = 0; // numbers taken by a page, whole or failed
    for (bool first = true;; first = false) {
        if (!first) {
            encoders.waitForRoom();
            announceFinished(encoders, false);
            // No sheet after a page that could not be written: the next
            // one would most likely fail the same way.
            if (m_writeFailure != SANE_STATUS_GOOD)
                break;
        }
        if (!naming.SkipTaken()) {
            status = SANE_STATUS_ACCESS_DENIED;
            break;
        }
        auto page = std::make_unique<PageEncoders::Page>();
        page->name = naming.NextPath();
        page->path = QFile::encodeName(page->name);
        page->file = std::make_unique<PageFile>(m_format == FormatTiff, page->path + ".part");
        PageFile &file = *page->file;
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
        page->raw = std::make_unique<RawPage>(m_format);
        status = scanFrames(device, *page->raw);
        if (status == SANE_STATUS_EOF)
            status = SANE_STATUS_GOOD;
        if (status == SANE_STATUS_INVAL) {
            // A frame this program cannot write: nothing to keep, and the
            // number stays free for the next page.
            file.discard();
            break;
        }
        // A failed page keeps its number: what it got is written under the
        // ".part" name for whoever wants to look at it.
        ++naming.next;
        ++pages;
        page->readStatus = status;
        encoders.submit(std::move(page));
        if (flatbed || status != SANE_STATUS_GOOD)
            break;
    }
    if (pages == 0)
        return status; // an empty feeder stays NO_DOCS
    // The feeder running empty is how a batch normally ends.
    return status == SANE_STATUS_NO_DOCS ? SANE_STATUS_GOOD : status;
}

// Renames and announces the finished pages in page order, up to the first
// one not finished yet (or, with `wait`, all of them). A page that failed,
// or that appeared under its name meanwhile, ends the announcements: it and
// every later page stay under ".part".
void PageLoop::announceFinished(PageEncoders &encoders, bool wait)
{
    while (const std::unique_ptr<PageEncoders::Page> page = wait ? encoders.takeNext() : encoders.takeFinished()) {
        if (m_writeFailure != SANE_STATUS_GOOD)
            continue;
        int status = page->status;
        // A page that appeared under the name meanwhile is not ours to
        // replace: this one stays under ".part".
        if (status == SANE_STATUS_GOOD && !renameNoReplace(page->path + ".part", page->path))
            status = SANE_STATUS_ACCESS_DENIED;
        if (status != SANE_STATUS_GOOD)
            m_writeFailure = status;
        else
            emit sglScanOneImageDone(page->name);
    }
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

// Reads one page, frame by frame, into the writer; 5 (EOF) when the page is
// complete.
int PageLoop::scanFrames(SaneDevice &device, PageWriter &writer)
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

        const std::uint64_t ask = std::min<std::uint64_t>(m_bufferSize, INT_MAX);
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
