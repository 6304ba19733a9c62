#ifndef VELLOSCAN_SERVEDFILES_H
#define VELLOSCAN_SERVEDFILES_H

#include <QSet>
#include <QString>
#include <QStringList>

// An open file descriptor that closes itself; moves, never copies.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(other.release()) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();

    int fd() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }
    int release();

private:
    int m_fd = -1;
};

// The files a page may read back: anything in the scratch folders, and the
// page files and documents this service wrote since it started. The page
// chooses the output folder, so "inside the output folder" would let it read
// every file of the user; a record of what we wrote cannot be talked into
// that. Used by the main thread only.
class ServedFiles
{
public:
    void AddRoot(const QString &dir);
    void AddFile(const QString &path);

    // `path` opened for reading when it may be served; closed otherwise.
    // Missing files fail quietly, refused ones with a line on standard
    // error. The file is opened once, without following a link in its last
    // component, and the opened file itself is checked, so swapping the
    // entry between check and read gains nothing: read from the descriptor.
    FileDescriptor Open(const QString &path) const;

private:
    bool Allowed(const QString &realPath) const;

    QStringList m_roots; // canonical, each ending in "/"
    QSet<QString> m_files; // canonical
};

#endif
