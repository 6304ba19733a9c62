#include "rawpage.h"

#include "tiffpage.h"

#include <cstring>
#include <new>

namespace {

constexpr size_t BlockBytes = 4 * 1024 * 1024;

} // namespace

bool RawPage::accepts(const SANE_Parameters &first) const
{
    return m_format == FormatTiff ? check_sane_format(first) : streamableFrame(first);
}

int RawPage::begin(const SANE_Parameters &page)
{
    m_begun = true;
    m_page = page;
    m_lineBytes = size_t(page.bytes_per_line);
    m_linesPerBlock = m_lineBytes >= BlockBytes ? 1 : BlockBytes / m_lineBytes;
    return SANE_STATUS_GOOD;
}

int RawPage::writeLine(unsigned char *line)
{
    const size_t inBlock = m_lines % m_linesPerBlock;
    if (inBlock == 0) {
        m_blocks.emplace_back(new (std::nothrow) unsigned char[m_linesPerBlock * m_lineBytes]);
        if (!m_blocks.back())
            return SANE_STATUS_NO_MEM;
    }
    std::memcpy(m_blocks.back().get() + inBlock * m_lineBytes, line, m_lineBytes);
    ++m_lines;
    return SANE_STATUS_GOOD;
}

int RawPage::finish()
{
    m_finished = true;
    return SANE_STATUS_GOOD;
}

int RawPage::replay(PageWriter &writer)
{
    if (!m_begun)
        return SANE_STATUS_GOOD;
    SANE_Parameters page = m_page;
    if (page.lines <= 0 && writer.needsHeight()) {
        if (!m_finished)
            return SANE_STATUS_GOOD;
        page.lines = int(m_lines);
        page.last_frame = SANE_TRUE;
    }
    if (const int status = writer.begin(page))
        return status;
    for (size_t y = 0; y < m_lines; ++y) {
        const size_t block = y / m_linesPerBlock;
        if (const int status = writer.writeLine(m_blocks[block].get() + (y % m_linesPerBlock) * m_lineBytes))
            return status;
        if ((y + 1) % m_linesPerBlock == 0)
            m_blocks[block].reset();
    }
    m_blocks.clear();
    return m_finished ? writer.finish() : SANE_STATUS_GOOD;
}
