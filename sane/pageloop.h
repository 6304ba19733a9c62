#ifndef VELLOSCAN_PAGELOOP_H
#define VELLOSCAN_PAGELOOP_H

#include "pagenaming.h"
#include "sanedevice.h"
#include "signalguard.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

class PageEncoders;
class PageWriter;

// Sheet after sheet from an open device into numbered page files. A page is
// written under its name plus ".part" and gets its real name only when it is
// complete, so a final name always holds a whole page and only whole pages
// are announced. No file that exists is ever replaced: a running number
// whose page or ".part" is there already is skipped.
//
// The scanning thread only reads: each sheet is read into memory and written
// by one of a few encoder threads while the next sheet is read. Pages are
// renamed and announced on the scanning thread in page order, between sheets
// and at the end. At most one raw page per encoder plus the one being read
// are held; with every encoder busy the reader waits before the next sheet.
// After a page that failed (or was read while a failure was not yet known)
// nothing more is announced: those pages stay under ".part".
class PageLoop : public QObject
{
    Q_OBJECT
public:
    // Scans into naming.NextPath(), advancing naming.next for every number
    // taken or skipped; announces each whole page on the calling thread.
    // Returns one SANE status for the job: 0 when the feeder ran empty after
    // at least one page, 7 (NO_DOCS) when it was empty from the start, 11
    // when a page file could not be made (for the first page before any
    // sheet is drawn in) or a file appeared under the page's name meanwhile,
    // 12 when the library was shut down, else the backend's status of the
    // failing sheet. A failed page keeps its number and its ".part".
    int Scan(SaneDevice &device, PageNaming &naming, bool flatbed);
    // From any thread, for the process's end: no further sheet is started
    // and the page in progress is cancelled. There is no way back.
    void RequestStop();
    // Called on the scanning thread while a sheet is read: the page's bytes
    // so far and its announced size (-1 when the height is unknown); with 0
    // bytes once when the sheet starts.
    using Progress = std::function<void(qint64 bytes, qint64 total)>;
    void SetProgress(Progress progress) { m_progress = std::move(progress); }
    // Encoder threads for the next Scan; 0 (the default) gives one per core,
    // at least two.
    void SetEncoders(int encoders) { m_encoders = encoders; }
    // How long the last Scan held a sheet back because every encoder was
    // busy, in nanoseconds.
    qint64 ReaderWaitNs() const { return m_readerWaitNs; }

signals:
    void sglScanOneImageDone(QString imgPath);

private:
    int scanPages(SaneDevice &device, PageNaming &naming, bool flatbed, PageEncoders &encoders);
    void announceFinished(PageEncoders &encoders, bool wait);
    int startSheet(SaneDevice &device);
    int scanFrames(SaneDevice &device, PageWriter &writer);

    Progress m_progress;
    std::atomic<bool> m_stopRequested{false};
    // The device being scanned, for RequestStop; the lock keeps Scan from
    // returning (and the device from closing) while a cancel uses it.
    std::mutex m_activeLock;
    SaneDevice *m_active = nullptr;
    SignalGuard m_signalGuard;
    int m_format = 0;
    int m_resolution = 0;
    int m_encoders = 0;
    qint64 m_readerWaitNs = 0;
    // The status of the first page in page order that could not be written
    // or renamed; nothing is announced after it.
    int m_writeFailure = 0;
    std::unique_ptr<unsigned char[]> m_buffer;
    size_t m_bufferSize = 0;
};

#endif
