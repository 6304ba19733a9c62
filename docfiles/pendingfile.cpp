#include "pendingfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

PendingFile::~PendingFile()
{
    if (!m_path.isEmpty() && !m_committed)
        ::unlink(m_path.constData());
}

std::FILE *PendingFile::open()
{
    for (int attempt = 0; attempt < 16; attempt++) {
        unsigned char random[4];
        if (!randomBytes(random, sizeof random))
            return nullptr;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%02x%02x%02x%02x", random[0], random[1], random[2], random[3]);
        const QByteArray path = m_destination + QByteArray(suffix);
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        m_path = path;
        std::FILE *file = ::fdopen(fd, "w+b");
        if (!file)
            ::close(fd);
        return file;
    }
    return nullptr;
}

bool PendingFile::commit()
{
    if (m_path.isEmpty() || ::rename(m_path.constData(), m_destination.constData()) != 0)
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
