#ifndef VELLOSCAN_TIFFAPPENDER_H
#define VELLOSCAN_TIFFAPPENDER_H

// Appends image directories to a multi-page TIFF as it is being written:
// the assembly of a finished batch and the document that grows page by page
// share it. Nothing here is meant for callers outside docfiles/.

#include "tiffhandle.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <cstdio>

// The copy options behind tiffcp() are process-wide; whoever sets them and
// copies takes this first.
QMutex &assemblyMutex();

class TiffAppender {
public:
    // Writes through `file` (open for reading and writing, empty, owned by
    // the caller, which closes it after close()); `name` is for messages.
    TiffAppender(std::FILE *file, const QByteArray &name);
    // Closes the handle if close() was not called; a directory half copied
    // is dropped, never written.
    ~TiffAppender();
    TiffAppender(const TiffAppender &) = delete;
    TiffAppender &operator=(const TiffAppender &) = delete;

    bool isOpen() const { return m_tiff != nullptr; }

    enum Result { Appended, InputFailed, OutputFailed };
    // Copies every directory of `path` ("file[,dir[,dir...]]") with the copy
    // options as they are: the caller holds assemblyMutex() and has applied
    // the compression spec. Each complete directory is flushed to the file,
    // so that it can be read back at once.
    Result append(const QString &path);
    // Directories completely written so far.
    int directories() const { return m_directories; }

    // After a failed append: closes the handle and cuts the file back to the
    // directories completed before; false when that fails.
    bool dropIncomplete();
    // Closes the handle; false when any write failed (reported).
    bool close();
    // Gives the file up: closes the handle writing nothing more, and reports
    // a write that failed. The caller removes the file.
    void abandon();
    bool outputFailed() const { return m_sink.failed; }

    // libtiff's I/O procedures, reaching the file through this.
    struct Sink {
        std::FILE *file;
        bool discard = false;  // swallow writes: a failed directory is dropped
        bool failed = false;   // a write, seek or flush failed
        int error = 0;         // errno of the first such failure
    };

private:
    bool reportWriteFailure();

    QByteArray m_name;
    Sink m_sink;
    TIFF *m_tiff = nullptr;
    toff_t m_complete = 0;  // file size after the last complete directory
    int m_directories = 0;
};

#endif
