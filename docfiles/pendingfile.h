#ifndef VELLOSCAN_PENDINGFILE_H
#define VELLOSCAN_PENDINGFILE_H

#include <QByteArray>

#include <cstddef>
#include <cstdio>

// A document is written under a name of its own beside its destination and
// only renamed into place once it is worth keeping, so that a failure never
// leaves an unreadable file under the name asked for, nor replaces a good
// one there.
class PendingFile {
public:
    explicit PendingFile(const QByteArray &destination) : m_destination(destination) {}
    // Removes the file unless it was committed.
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    // Creates the file for reading and writing; null when it can't be
    // (errno says why). The caller closes it before commit().
    std::FILE *open();
    // Renames the file to the destination; false when that fails.
    bool commit();

private:
    QByteArray m_destination;
    QByteArray m_path;
    bool m_committed = false;
};

// Fills `buffer` from the system's random source; false when there is none.
bool randomBytes(void *buffer, std::size_t size);

#endif
