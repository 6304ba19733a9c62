#include "safefile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace safefile {

int createExclusive(const char *path, bool forReading)
{
    // O_EXCL together with O_CREAT also refuses a symbolic link, dangling or
    // not, so the file is always a new one of our own.
    const int access = forReading ? O_RDWR : O_WRONLY;
    int fd;
    do
        fd = ::open(path, access | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

std::FILE *createExclusiveFile(const char *path, bool forReading)
{
    const int fd = createExclusive(path, forReading);
    if (fd < 0)
        return nullptr;
    std::FILE *file = ::fdopen(fd, forReading ? "w+b" : "wb");
    if (!file) {
        const int saved = errno;
        ::close(fd);
        ::unlink(path);
        errno = saved;
    }
    return file;
}

bool renameNoReplace(const char *from, const char *to)
{
    // Called through syscall() so that a C library without the wrapper still
    // gets the atomic rename from the kernel.
    if (::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    struct stat st;
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return ::rename(from, to) == 0;
}

} // namespace safefile
