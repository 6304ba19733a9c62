#include "pageencoders.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace {

constexpr int MaxThreads = 8;

} // namespace

int PageEncoders::defaultThreads()
{
    return std::clamp(int(std::thread::hardware_concurrency()), 2, MaxThreads);
}

PageEncoders::PageEncoders(int threads, int format, int resolution) : m_format(format), m_resolution(resolution)
{
    try {
        for (int i = 0; i < threads; ++i)
            m_workers.emplace_back([this] { work(); });
    } catch (const std::system_error &) {
        // Fewer encoders, or none: the pages are still written.
        std::fprintf(stderr, "velloscan: only %zu of %d page encoder threads could be started\n",
                     m_workers.size(), threads);
    }
}

PageEncoders::~PageEncoders()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_queued.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
}

void PageEncoders::submit(std::unique_ptr<Page> page)
{
    Page *p = page.get();
    if (m_workers.empty()) {
        encode(*p);
        std::lock_guard<std::mutex> lock(m_lock);
        p->done = true;
        m_pages.push_back(std::move(page));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_pages.push_back(std::move(page));
        m_waiting.push_back(p);
        ++m_held;
    }
    m_queued.notify_one();
}

void PageEncoders::waitForRoom()
{
    std::unique_lock<std::mutex> lock(m_lock);
    const int room = threads();
    if (m_held > room) {
        const auto start = std::chrono::steady_clock::now();
        m_finished.wait(lock, [&] { return m_held <= room; });
        m_waitedNs += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
                          .count();
    }
}

std::unique_ptr<PageEncoders::Page> PageEncoders::takeNext()
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_pages.empty())
        return nullptr;
    m_finished.wait(lock, [&] { return m_pages.front()->done; });
    std::unique_ptr<Page> page = std::move(m_pages.front());
    m_pages.pop_front();
    return page;
}

std::unique_ptr<PageEncoders::Page> PageEncoders::takeFinished()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pages.empty() || !m_pages.front()->done)
        return nullptr;
    std::unique_ptr<Page> page = std::move(m_pages.front());
    m_pages.pop_front();
    return page;
}

void PageEncoders::work()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_queued.wait(lock, [&] { return m_stopping || !m_waiting.empty(); });
        // Pages handed in are written even when the owner is leaving: their
        // sheets have gone through the scanner.
        if (m_waiting.empty())
            return;
        Page *page = m_waiting.front();
        m_waiting.pop_front();
        lock.unlock();
        encode(*page);
        lock.lock();
        page->done = true;
        --m_held;
        m_finished.notify_all();
    }
}

// The writer runs exactly as it would have on the reading thread. TIFF
// strips are compressed on this thread alone: the other encoders keep the
// other cores busy.
void PageEncoders::encode(Page &page) const
{
    PageFile &file = *page.file;
    int status;
    if (file.isTiff()) {
        TiffPageWriter writer(file.tiff().get(), m_resolution, 0);
        status = page.raw->replay(writer);
    } else {
        const std::unique_ptr<PageWriter> writer = makeStdioWriter(m_format, file.stdio(), m_resolution);
        status = page.raw->replay(*writer);
    }
    page.raw.reset();
    if (page.readStatus != SANE_STATUS_GOOD)
        status = page.readStatus;
    else if (status == SANE_STATUS_GOOD && !file.close())
        status = SANE_STATUS_ACCESS_DENIED;
    // A failed page's file is closed here too, keeping what it got.
    page.file.reset();
    page.status = status;
}
