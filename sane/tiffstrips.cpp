#include "tiffstrips.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr size_t BatchBytes = 256 * 1024;
constexpr int MaxThreads = 4;

} // namespace

struct StripDeflater::Batch {
    std::vector<unsigned char> raw;    // rows one after the other
    std::vector<unsigned char> packed; // each row's stream at row * m_bound
    std::vector<size_t> sizes;         // 0: that row could not be compressed
    uint32_t firstRow = 0;
    int rows = 0;
    bool done = false; // guarded by m_lock while the batch is in flight
};

// One zlib compressor, reset for every strip: setting one up clears and
// allocates a few hundred kilobytes, which per row cost more than the rows.
// Level 9 with zlib's default window and memory, as libtiff's own zlib path
// uses, so the strips are the bytes it would write.
class StripDeflater::Stream
{
public:
    Stream() { m_ready = deflateInit(&m_z, 9) == Z_OK; }
    ~Stream()
    {
        if (m_ready)
            deflateEnd(&m_z);
    }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    void compress(Batch &b, size_t rowBytes, size_t bound)
    {
        for (int r = 0; r < b.rows; ++r) {
            b.sizes[size_t(r)] = 0;
            if (!m_ready || deflateReset(&m_z) != Z_OK)
                continue;
            m_z.next_in = b.raw.data() + size_t(r) * rowBytes;
            m_z.avail_in = uInt(rowBytes);
            m_z.next_out = b.packed.data() + size_t(r) * bound;
            m_z.avail_out = uInt(bound);
            if (deflate(&m_z, Z_FINISH) == Z_STREAM_END)
                b.sizes[size_t(r)] = bound - m_z.avail_out;
        }
    }

private:
    z_stream m_z = {};
    bool m_ready = false;
};

int StripDeflater::defaultThreads()
{
    const int cores = int(std::thread::hardware_concurrency());
    return std::clamp(cores, 2, MaxThreads);
}

StripDeflater::StripDeflater(size_t rowBytes, int threads, Sink sink)
    : m_rowBytes(rowBytes),
      m_bound(compressBound(uLong(rowBytes))),
      m_rowsPerBatch(int(std::clamp<size_t>(BatchBytes / std::max<size_t>(rowBytes, 1), 1, 4096))),
      m_sink(std::move(sink))
{
    threads = std::clamp(threads, 0, MaxThreads);
    const size_t batches = threads > 0 ? size_t(2 * threads) : 1;
    for (size_t i = 0; i < batches; ++i) {
        auto b = std::make_unique<Batch>();
        b->raw.resize(size_t(m_rowsPerBatch) * m_rowBytes);
        b->packed.resize(size_t(m_rowsPerBatch) * m_bound);
        b->sizes.resize(size_t(m_rowsPerBatch));
        m_batches.push_back(std::move(b));
    }
    m_workers.reserve(size_t(threads)); // so that only starting a thread can fail below
    for (int i = 0; i < threads; ++i) {
        try {
            m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            break; // fewer workers, or the owner compresses alone
        }
    }
    if (m_workers.empty())
        m_batches.resize(1);
    m_ownStream = std::make_unique<Stream>();
}

StripDeflater::~StripDeflater()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        m_queue.clear();
    }
    m_queued.notify_all();
    for (std::thread &t : m_workers)
        t.join();
}

bool StripDeflater::add(const unsigned char *row)
{
    if (!m_ok)
        return false;
    Batch &b = *m_batches[m_filling];
    if (b.rows == 0)
        b.firstRow = m_rows;
    std::memcpy(b.raw.data() + size_t(b.rows) * m_rowBytes, row, m_rowBytes);
    ++b.rows;
    ++m_rows;
    return b.rows < m_rowsPerBatch || submit();
}

bool StripDeflater::finish()
{
    if (m_ok && m_batches[m_filling]->rows > 0)
        submit();
    while (m_ok && m_inFlight > 0)
        handOutOldest();
    return m_ok;
}

// Sends the filling batch off, and hands out what is ready: everything
// finished in order, and the oldest batch in any case when no batch is free.
bool StripDeflater::submit()
{
    Batch &b = *m_batches[m_filling];
    if (m_workers.empty()) {
        m_ownStream->compress(b, m_rowBytes, m_bound);
        b.done = true;
    } else {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            b.done = false;
            m_queue.push_back(&b);
        }
        m_queued.notify_one();
    }
    m_filling = (m_filling + 1) % m_batches.size();
    ++m_inFlight;
    if (m_inFlight == m_batches.size() && !handOutOldest())
        return false;
    for (;;) {
        bool ready;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ready = m_inFlight > 0 && m_batches[m_oldest]->done;
        }
        if (!ready)
            return m_ok;
        if (!handOutOldest())
            return false;
    }
}

bool StripDeflater::handOutOldest()
{
    Batch &b = *m_batches[m_oldest];
    {
        std::unique_lock<std::mutex> lock(m_lock);
        while (!b.done) {
            if (m_queue.empty()) {
                m_compressed.wait(lock);
                continue;
            }
            // Rather than wait idle, compress a batch no worker has taken
            // yet; only this thread waits for batches, so nobody to wake.
            Batch *waiting = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            m_ownStream->compress(*waiting, m_rowBytes, m_bound);
            lock.lock();
            waiting->done = true;
        }
    }
    for (int r = 0; r < b.rows && m_ok; ++r) {
        const size_t size = b.sizes[size_t(r)];
        if (size == 0) {
            m_compressionFailed = true;
            m_ok = false;
        } else if (!m_sink(b.firstRow + uint32_t(r), b.packed.data() + size_t(r) * m_bound, size)) {
            m_ok = false;
        }
    }
    b.rows = 0;
    m_oldest = (m_oldest + 1) % m_batches.size();
    --m_inFlight;
    return m_ok;
}

void StripDeflater::work()
{
    Stream stream;
    for (;;) {
        Batch *b;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                return;
            b = m_queue.front();
            m_queue.pop_front();
        }
        stream.compress(*b, m_rowBytes, m_bound);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            b->done = true;
        }
        m_compressed.notify_all();
    }
}
