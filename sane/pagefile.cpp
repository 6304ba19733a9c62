#include "pagefile.h"

#include <new>
#include <unistd.h>

namespace {

constexpr size_t PageFileBufferBytes = 1024 * 1024;

} // namespace

bool PageFile::create()
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

bool PageFile::close()
{
    if (m_isTiff)
        return m_tiff->close();
    return std::fclose(m_stdio.release()) == 0;
}

void PageFile::discard()
{
    if (!m_created)
        return;
    m_stdio.reset();
    m_tiff.reset();
    ::unlink(m_path.constData());
    m_created = false;
}
