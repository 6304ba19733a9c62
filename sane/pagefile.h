#ifndef VELLOSCAN_PAGEFILE_H
#define VELLOSCAN_PAGEFILE_H

#include "tiffpage.h"

#include <QByteArray>

#include <cstdio>
#include <memory>
#include <optional>

// One page's ".part" file, created only where nothing is: a file, a link or
// another run's ".part" under that name is never opened over. It is made on
// the reading thread and written on an encoder thread, one at a time.
class PageFile
{
public:
    PageFile(bool tiff, QByteArray path) : m_isTiff(tiff), m_path(std::move(path)) {}

    const QByteArray &path() const { return m_path; }
    bool isTiff() const { return m_isTiff; }
    TiffPageFile &tiff() { return *m_tiff; }
    std::FILE *stdio() const { return m_stdio.get(); }

    bool create();
    // Whether everything reached the file.
    bool close();
    // Nothing of this page is kept.
    void discard();

private:
    struct FileCloser {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };

    bool m_isTiff;
    QByteArray m_path;
    bool m_created = false;
    std::optional<TiffPageFile> m_tiff;
    std::unique_ptr<char[]> m_buffer;
    // Declared after the buffer so that the file is closed first.
    std::unique_ptr<std::FILE, FileCloser> m_stdio;
};

#endif
