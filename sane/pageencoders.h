#ifndef VELLOSCAN_PAGEENCODERS_H
#define VELLOSCAN_PAGEENCODERS_H

#include "pagefile.h"
#include "rawpage.h"

#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The encoder threads of one scan: pages read into memory go in, page files
// written under their ".part" names come out, handed back in the order they
// went in, whatever order they were finished in. Everything but the encoding
// happens on the thread that owns the object.
class PageEncoders
{
public:
    struct Page {
        QString name;        // as it is announced
        QByteArray path;     // the final name, encoded
        std::unique_ptr<PageFile> file;
        std::unique_ptr<RawPage> raw;
        int readStatus = 0;  // a page whose sheet failed is written as far as it came
        int status = -1;     // set by the encoder: 0 when the ".part" file is whole
        bool done = false;   // guarded by the pool's lock
    };

    // `threads` encoder threads; where the system gives none, pages are
    // encoded on the owner's thread as they are handed in.
    PageEncoders(int threads, int format, int resolution);
    PageEncoders(const PageEncoders &) = delete;
    PageEncoders &operator=(const PageEncoders &) = delete;
    // Waits for the pages handed in to be written; what is not taken stays
    // under its ".part" name.
    ~PageEncoders();

    void submit(std::unique_ptr<Page> page);
    // Waits until at most one raw page per encoder is held, so that the
    // next sheet read brings it to encoders + 1. Time spent waiting is
    // added to waitedNs().
    void waitForRoom();
    // Waits until the oldest page not taken is finished, or returns
    // nullptr when there is none.
    std::unique_ptr<Page> takeNext();
    // The oldest page if it is finished, else nullptr; never waits.
    std::unique_ptr<Page> takeFinished();

    int threads() const { return int(m_workers.size()); }
    std::int64_t waitedNs() const { return m_waitedNs; }

    // One per core, at least two so that reading and encoding overlap, and
    // at most eight: every thread may hold a raw page of tens of mebibytes.
    static int defaultThreads();

private:
    void work();
    void encode(Page &page) const;

    const int m_format;
    const int m_resolution;
    std::int64_t m_waitedNs = 0;

    std::mutex m_lock;
    std::condition_variable m_queued;
    std::condition_variable m_finished;
    // Guarded by m_lock: the pages in the order they came, the ones no
    // encoder has taken yet, how many still hold their raw data.
    std::deque<std::unique_ptr<Page>> m_pages;
    std::deque<Page *> m_waiting;
    int m_held = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

#endif
