#include "tiffappender.h"

#include "tiffcp.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

QMutex &assemblyMutex()
{
    static QMutex mutex;
    return mutex;
}

namespace {

// The output is written through our own procedures so that a directory whose
// copy failed can be dropped: from then on its bytes are swallowed, and the
// file is cut back to the end of the last complete directory. Without this,
// closing the handle would write the half-copied directory into the chain.
TiffAppender::Sink *sink(thandle_t h)
{
    return static_cast<TiffAppender::Sink *>(h);
}

void sinkFailed(thandle_t h)
{
    if (!sink(h)->failed)
        sink(h)->error = errno;
    sink(h)->failed = true;
}

tmsize_t sinkRead(thandle_t h, void *buf, tmsize_t size)
{
    return static_cast<tmsize_t>(std::fread(buf, 1, static_cast<size_t>(size), sink(h)->file));
}

tmsize_t sinkWrite(thandle_t h, void *buf, tmsize_t size)
{
    if (sink(h)->discard)
        return size;
    if (std::fwrite(buf, 1, static_cast<size_t>(size), sink(h)->file) == static_cast<size_t>(size))
        return size;
    sinkFailed(h);
    return -1;
}

toff_t sinkSeek(thandle_t h, toff_t offset, int whence)
{
    if (fseeko(sink(h)->file, static_cast<off_t>(offset), whence) != 0) {
        sinkFailed(h);
        return static_cast<toff_t>(-1);
    }
    return static_cast<toff_t>(ftello(sink(h)->file));
}

int sinkClose(thandle_t)
{
    return 0; // the FILE is closed by its owner
}

toff_t sinkSize(thandle_t h)
{
    struct stat st;
    if (std::fflush(sink(h)->file) != 0)
        sinkFailed(h);
    return fstat(fileno(sink(h)->file), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}

int sinkMap(thandle_t, void **, toff_t *)
{
    return 0;
}

void sinkUnmap(thandle_t, void *, toff_t) {}

} // namespace

TiffAppender::TiffAppender(std::FILE *file, const QByteArray &name) : m_name(name), m_sink{file}
{
    m_tiff = TIFFClientOpen(name.constData(), "wb", &m_sink, sinkRead, sinkWrite, sinkSeek, sinkClose, sinkSize,
                            sinkMap, sinkUnmap);
    if (m_tiff)
        m_complete = sinkSize(&m_sink);
}

TiffAppender::~TiffAppender()
{
    if (m_tiff) {
        m_sink.discard = true;
        TIFFClose(m_tiff);
    }
}

void TiffAppender::abandon()
{
    m_sink.discard = true;
    if (m_tiff) {
        TIFFClose(m_tiff);
        m_tiff = nullptr;
    }
    if (m_sink.failed)
        reportWriteFailure();
}

TiffAppender::Result TiffAppender::append(const QString &path)
{
    if (!m_tiff)
        return OutputFailed;
    QByteArray name = QFile::encodeName(path);
    char *cursor = name.data();
    TiffHandle in(openSrcImage(&cursor));
    if (!in)
        return InputFailed;
    const bool listed = cursor != nullptr;
    for (;;) {
        resetDirectoryValues();
        if (!tiffcp(in.get(), m_tiff) || !TIFFWriteDirectory(m_tiff))
            return m_sink.failed ? OutputFailed : InputFailed;
        m_complete = sinkSize(&m_sink);
        if (m_sink.failed)
            return OutputFailed;
        m_directories++;
        if (listed ? !nextSrcImage(in.get(), &cursor) : !TIFFReadDirectory(in.get()))
            return Appended;
    }
}

bool TiffAppender::dropIncomplete()
{
    m_sink.discard = true;
    if (m_tiff) {
        TIFFClose(m_tiff);
        m_tiff = nullptr;
    }
    if (std::fflush(m_sink.file) != 0)
        sinkFailed(&m_sink);
    if (m_sink.failed)
        return reportWriteFailure();
    if (ftruncate(fileno(m_sink.file), static_cast<off_t>(m_complete)) != 0) {
        TIFFError(m_name.constData(), "Cannot cut back output file: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool TiffAppender::close()
{
    if (m_tiff) {
        TIFFClose(m_tiff);
        m_tiff = nullptr;
    }
    if (std::fflush(m_sink.file) != 0)
        sinkFailed(&m_sink);
    return m_sink.failed ? reportWriteFailure() : true;
}

bool TiffAppender::reportWriteFailure()
{
    TIFFError(m_name.constData(), "Cannot write output file: %s", std::strerror(m_sink.error));
    return false;
}
