#include "servedfiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes the descriptor on every way out.
struct Fd {
    int fd;
    ~Fd() { if (fd >= 0) ::close(fd); }
};

void refuse(const QString &path)
{
    std::fprintf(stderr, "velloscan: refused to read %s: not a file of this service\n", qUtf8Printable(path));
}

} // namespace

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

bool ServedFiles::Read(const QString &path, QByteArray &content) const
{
    content.clear();
    // Non-blocking, so that a FIFO planted under a served name cannot hang
    // the service in open().
    Fd file{::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) {
        if (errno == ELOOP)
            refuse(path);
        return false;
    }
    struct stat st;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        refuse(path);
        return false;
    }
    // The kernel's own name for what we opened, whatever the path went through.
    char real[4096];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(file.fd);
    const ssize_t n = ::readlink(link.constData(), real, sizeof real);
    if (n <= 0 || size_t(n) >= sizeof real || !Allowed(QFile::decodeName(QByteArray(real, int(n))))) {
        refuse(path);
        return false;
    }
    content.reserve(int(qMin<qint64>(st.st_size, 1 << 30)));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got > 0) {
            content.append(chunk, int(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR) {
            content.clear();
            return false;
        }
    }
}
