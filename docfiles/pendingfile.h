#ifndef VELLOSCAN_PENDINGFILE_H
#define VELLOSCAN_PENDINGFILE_H

#include <QByteArray>

#include <cstddef>
#include <cstdio>

// A document is written under its destination's name plus ".part", in the
// same folder, and only renamed into place once it is worth keeping: a
// failure never leaves an unreadable file under the name asked for, and a
// file already under that name, or under the ".part" name, is never
// replaced (the caller picks free names; taking one that is in use fails).
class PendingFile {
public:
    explicit PendingFile(const QByteArray &destination) : m_destination(destination) {}
    // Removes the file unless it was committed.
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    // Creates the ".part" file for reading and writing; null when it can't
    // be (errno says why: EEXIST when the destination or the ".part" name is
    // taken). The caller closes it before commit().
    std::FILE *open();
    // Renames the ".part" file to the destination unless something appeared
    // there meanwhile; false when that fails (errno says why).
    bool commit();

private:
    QByteArray m_destination;
    QByteArray m_path;
    bool m_committed = false;
};

// Fills `buffer` from the system's random source; false when there is none.
bool randomBytes(void *buffer, std::size_t size);

#endif
