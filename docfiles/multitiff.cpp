#include "multitiff.h"

#include "pendingfile.h"
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
    bool failed = false;  // a write or seek failed: nothing of it is kept
    int error = 0;        // errno of that failure
};

OutputSink *sink(thandle_t h)
{
    return static_cast<OutputSink *>(h);
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

    PendingFile pending(outName);
    FileHandle file(pending.open());
    if (!file) {
        TIFFError(outName.constData(), "Cannot create output file: %s", std::strerror(errno));
        return 1;
    }
    OutputSink output{file.get()};
    TiffHandle out(TIFFClientOpen(outName.constData(), "wb", &output, sinkRead, sinkWrite, sinkSeek,
                                  sinkClose, sinkSize, sinkMap, sinkUnmap));
    if (!out)
        return 1;
    toff_t complete = sinkSize(&output);
    bool copied = false;

    auto writeFailed = [&]() {
        if (output.failed)
            TIFFError(outName.constData(), "Cannot write output file: %s", std::strerror(output.error));
        return 1;
    };
    // Closes the output and puts it in place: all of it, or after a failure
    // of an input the directories completed before it. Without one, or when
    // the output itself could not be written (a full disk), nothing is kept.
    auto finish = [&](bool failed) {
        if (failed) {
            output.discard = true;
            out.reset();
            if (!copied || output.failed)
                return writeFailed();
            if (std::fflush(file.get()) != 0)
                sinkFailed(&output);
            if (ftruncate(fileno(file.get()), static_cast<off_t>(complete)) != 0) {
                TIFFError(outName.constData(), "Cannot cut back output file: %s", std::strerror(errno));
                return 1;
            }
        }
        out.reset();
        if (output.failed || std::ferror(file.get()))
            return writeFailed();
        if (std::fclose(file.release()) != 0 || !pending.commit()) {
            TIFFError(outName.constData(), "Cannot write output file: %s", std::strerror(errno));
            return 1;
        }
        return failed ? 1 : 0;
    };

    for (const QString &path : files) {
        QByteArray name = QFile::encodeName(path);
        char *cursor = name.data();
        TiffHandle in(openSrcImage(&cursor));
        if (!in)
            return finish(true);
        const bool listed = cursor != nullptr;
        for (;;) {
            resetDirectoryValues();
            if (!tiffcp(in.get(), out.get()) || !TIFFWriteDirectory(out.get()))
                return finish(true);
            complete = sinkSize(&output);
            copied = true;
            if (listed ? !nextSrcImage(in.get(), &cursor) : !TIFFReadDirectory(in.get()))
                break;
        }
    }
    return finish(false);
}
