#include "multitiff.h"

#include "tiffcp.h"
#include "tiffhandle.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The copy options in tiffcp.cpp are process-wide; assemblies take turns.
QMutex assemblyMutex;

// The output is written through our own procedures so that a directory whose
// copy failed can be dropped: from then on its bytes are swallowed, and the
// file is cut back to the end of the last complete directory. Without this,
// closing the handle would write the half-copied directory into the chain.
struct OutputSink {
    std::FILE *file;
    bool discard = false;
};

OutputSink *sink(thandle_t h)
{
    return static_cast<OutputSink *>(h);
}

tmsize_t sinkRead(thandle_t h, void *buf, tmsize_t size)
{
    return static_cast<tmsize_t>(std::fread(buf, 1, static_cast<size_t>(size), sink(h)->file));
}

tmsize_t sinkWrite(thandle_t h, void *buf, tmsize_t size)
{
    if (sink(h)->discard)
        return size;
    return std::fwrite(buf, 1, static_cast<size_t>(size), sink(h)->file) == static_cast<size_t>(size) ? size : -1;
}

toff_t sinkSeek(thandle_t h, toff_t offset, int whence)
{
    if (fseeko(sink(h)->file, static_cast<off_t>(offset), whence) != 0)
        return static_cast<toff_t>(-1);
    return static_cast<toff_t>(ftello(sink(h)->file));
}

int sinkClose(thandle_t)
{
    return 0; // the FILE is closed by its owner
}

toff_t sinkSize(thandle_t h)
{
    struct stat st;
    std::fflush(sink(h)->file);
    return fstat(fileno(sink(h)->file), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}

int sinkMap(thandle_t, void **, toff_t *)
{
    return 0;
}

void sinkUnmap(thandle_t, void *, toff_t) {}

} // namespace

int combine2multiff(QList<QString> files, QString outTiff, QString compression)
{
    QMutexLocker lock(&assemblyMutex);

    const QByteArray outName = QFile::encodeName(outTiff);
    // An unknown spec is refused before anything is created or read.
    const QByteArray spec = compression.toLocal8Bit();
    if (!processCompressOptions(spec.constData())) {
        TIFFError(outName.constData(), "Unknown compression spec \"%s\"", spec.constData());
        return 1;
    }

    FileHandle file(std::fopen(outName.constData(), "w+b"));
    if (!file) {
        TIFFError(outName.constData(), "Cannot create output file: %s", std::strerror(errno));
        return 1;
    }
    OutputSink output{file.get()};
    TiffHandle out(TIFFClientOpen(outName.constData(), "wb", &output, sinkRead, sinkWrite, sinkSeek,
                                  sinkClose, sinkSize, sinkMap, sinkUnmap));
    if (!out) {
        file.reset();
        QFile::remove(outTiff);
        return 1;
    }
    toff_t complete = sinkSize(&output);

    auto fail = [&]() {
        output.discard = true;
        out.reset();
        std::fflush(file.get());
        if (ftruncate(fileno(file.get()), static_cast<off_t>(complete)) != 0)
            TIFFError(outName.constData(), "Cannot cut back output file: %s", std::strerror(errno));
        return 1;
    };

    for (const QString &path : files) {
        QByteArray name = QFile::encodeName(path);
        char *cursor = name.data();
        TiffHandle in(openSrcImage(&cursor));
        if (!in)
            return fail();
        const bool listed = cursor != nullptr;
        for (;;) {
            resetDirectoryValues();
            if (!tiffcp(in.get(), out.get()) || !TIFFWriteDirectory(out.get()))
                return fail();
            complete = sinkSize(&output);
            if (listed ? !nextSrcImage(in.get(), &cursor) : !TIFFReadDirectory(in.get()))
                break;
        }
    }

    out.reset();
    if (std::fclose(file.release()) != 0) {
        TIFFError(outName.constData(), "Cannot write output file: %s", std::strerror(errno));
        return 1;
    }
    return 0;
}
