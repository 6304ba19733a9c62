#ifndef VELLOSCAN_RAWPAGE_H
#define VELLOSCAN_RAWPAGE_H

#include "pagewriters.h"

#include <sane/sane.h>

#include <cstddef>
#include <memory>
#include <vector>

// One page as the reader receives it: the calls PageAssembly makes on a
// writer, with the lines held in memory, so that an encoder thread can make
// the same calls on the real writer later and write the very file it would
// have written while the sheet was read.
class RawPage : public PageWriter
{
public:
    // Takes the frames the writer for `outputFormat` takes.
    explicit RawPage(int outputFormat) : m_format(outputFormat) {}

    bool accepts(const SANE_Parameters &first) const override;
    // A page of unknown height is held here anyway; replay() states the
    // height to a writer that needs it.
    bool needsHeight() const override { return false; }
    int begin(const SANE_Parameters &page) override;
    int writeLine(unsigned char *line) override;
    int finish() override;

    // Hands the page to `writer`, freeing the lines as they go out. A page
    // that was not finished (its sheet failed) gets no finish(): its file is
    // a failed page's partial file, and a writer that needs the height gets
    // nothing, as it never got a held page that failed. The writer's status.
    int replay(PageWriter &writer);

private:
    int m_format;
    bool m_begun = false;
    bool m_finished = false;
    SANE_Parameters m_page = {};
    size_t m_lineBytes = 0;
    size_t m_linesPerBlock = 0;
    size_t m_lines = 0;
    // Blocks of a few mebibytes: a page of unknown height grows without
    // copying what it holds, and replay() can give memory back as it goes.
    std::vector<std::unique_ptr<unsigned char[]>> m_blocks;
};

#endif
