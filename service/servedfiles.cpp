#include "servedfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void refuse(const QString &path)
{
    std::fprintf(stderr, "velloscan: refused to read %s: not a file of this service\n", qUtf8Printable(path));
}

} // namespace

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FileDescriptor::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void ServedFiles::AddRoot(const QString &dir)
{
    const QString real = QFileInfo(dir).canonicalFilePath();
    if (!real.isEmpty())
        m_roots << (real.endsWith(QLatin1Char('/')) ? real : real + QLatin1Char('/'));
}

void ServedFiles::AddFile(const QString &path)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    if (!real.isEmpty())
        m_files.insert(real);
}

bool ServedFiles::Allowed(const QString &realPath) const
{
    if (m_files.contains(realPath))
        return true;
    for (const QString &root : m_roots) {
        if (realPath.startsWith(root))
            return true;
    }
    return false;
}

FileDescriptor ServedFiles::Open(const QString &path) const
{
    // The C library would read the name only up to the NUL: another file.
    if (path.contains(QChar(0)))
        return FileDescriptor();
    // Non-blocking, so that a FIFO planted under a served name cannot hang
    // the service in open().
    FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.isOpen()) {
        if (errno == ELOOP)
            refuse(path);
        return file;
    }
    struct stat st;
    if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
        refuse(path);
        return FileDescriptor();
    }
    // The kernel's own name for what we opened, whatever the path went through.
    char real[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(file.fd());
    const ssize_t n = ::readlink(link.constData(), real, sizeof real);
    if (n <= 0 || size_t(n) >= sizeof real || !Allowed(QFile::decodeName(QByteArray(real, int(n))))) {
        refuse(path);
        return FileDescriptor();
    }
    return file;
}
