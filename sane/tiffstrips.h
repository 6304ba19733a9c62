#ifndef VELLOSCAN_TIFFSTRIPS_H
#define VELLOSCAN_TIFFSTRIPS_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Deflate (zlib stream, level 9) strips of one row each for a TIFF page,
// compressed on a few worker threads while the owner goes on reading, and
// handed back to the owner's thread in row order, so that libtiff itself is
// only ever called from there.
//
// Rows are gathered into batches of about a quarter of a mebibyte; a worker
// compresses a whole batch, and at most two batches per worker are in
// flight, so a page holds a few mebibytes at most however large it is. An
// owner that has to wait for a batch compresses a queued one meanwhile. The
// workers live as long as the object: one page.
class StripDeflater
{
public:
    // Takes one compressed strip; false when it could not be stored.
    using Sink = std::function<bool(uint32_t row, const unsigned char *data, size_t size)>;

    // `threads` workers; 0, or threads the system refuses, leave the
    // compression to the owner's thread. Throws std::bad_alloc.
    StripDeflater(size_t rowBytes, int threads, Sink sink);
    StripDeflater(const StripDeflater &) = delete;
    StripDeflater &operator=(const StripDeflater &) = delete;
    // Stops the workers; strips not yet handed out are dropped.
    ~StripDeflater();

    // Copies one row. False once compressing or the sink failed; nothing
    // more is handed out after that.
    bool add(const unsigned char *row);
    // Hands out every row added so far.
    bool finish();

    bool compressionFailed() const { return m_compressionFailed; }
    int workers() const { return int(m_workers.size()); }

    // Workers for a page when the caller does not say: one per core, at
    // least two so that reading and compressing overlap, at most four.
    static int defaultThreads();

private:
    struct Batch;
    class Stream;

    bool submit();
    bool handOutOldest();
    void work();

    const size_t m_rowBytes;
    const size_t m_bound;  // room for one compressed row
    const int m_rowsPerBatch;
    Sink m_sink;

    std::vector<std::unique_ptr<Batch>> m_batches;
    size_t m_filling = 0;  // the batch rows are added to
    size_t m_oldest = 0;   // the first batch in flight
    size_t m_inFlight = 0;
    uint32_t m_rows = 0;
    bool m_ok = true;
    bool m_compressionFailed = false;
    std::unique_ptr<Stream> m_ownStream; // alone, or while waiting for a worker

    std::mutex m_lock;
    std::condition_variable m_queued;
    std::condition_variable m_compressed;
    std::deque<Batch *> m_queue; // guarded by m_lock, as are the batches' done flags
    bool m_stopping = false;     // guarded by m_lock
    std::vector<std::thread> m_workers;
};

#endif
