#ifndef VELLOSCAN_FILEREADS_H
#define VELLOSCAN_FILEREADS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class ServedFiles;

// "CREAD": one piece of a file the page may read back, sent as raw bytes
// after a short description. Files of any size come back this way without
// Base64 and without the service holding more than one piece of them.
// Used by the main thread only.
class FileReads
{
public:
    static constexpr qint64 MaxLength = qint64(4) * 1024 * 1024;

    // Sets how the process's allocator treats blocks of a piece's size.
    FileReads();

    struct Chunk {
        // "SREAD" with the description, or the reply "CBASE64" gives a missing file.
        QString reply;
        // The piece itself, valid until the next Read; it goes out only after "SREAD".
        QByteArray bytes;
        bool found = false;
    };

    // `args` as the command parser gives them: the path, the offset and the
    // length as sent. Bad numbers are answered as a missing file; a length
    // over MaxLength is cut to it, and an offset past the end reads nothing.
    Chunk Read(const ServedFiles &files, const QStringList &args);

private:
    // Kept from the first read on: a fresh 4 MiB block for every piece costs
    // the kernel a thousand page faults each time, a third of a piece's cost.
    std::unique_ptr<char[]> m_buffer;
};

#endif
