#include "pendingfile.h"

#include "safefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

PendingFile::~PendingFile()
{
    if (!m_path.isEmpty() && !m_committed)
        ::unlink(m_path.constData());
}

std::FILE *PendingFile::open()
{
    // A taken destination fails before anything is written, not only at the
    // rename after all the work.
    struct stat st;
    if (::lstat(m_destination.constData(), &st) == 0) {
        errno = EEXIST;
        return nullptr;
    }
    const QByteArray part = m_destination + ".part";
    std::FILE *file = safefile::createExclusiveFile(part.constData(), true);
    if (file)
        m_path = part;
    return file;
}

bool PendingFile::commit()
{
    if (m_path.isEmpty() || !safefile::renameNoReplace(m_path.constData(), m_destination.constData()))
        return false;
    m_committed = true;
    return true;
}

bool randomBytes(void *buffer, std::size_t size)
{
    auto *bytes = static_cast<unsigned char *>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(bytes + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (done == size)
        return true;
    // Kernels without getrandom(2) still have the device.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes + done, size - done);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done == size;
}
