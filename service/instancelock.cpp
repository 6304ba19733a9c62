#include "instancelock.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstanceLock::InstanceLock(const QString &dataDir)
    : m_path(dataDir + QStringLiteral("/velloscan.lock"))
{
}

InstanceLock::~InstanceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstanceLock::TryLock()
{
    // Close-on-exec: a child that outlives us (lsusb, base64) must not keep
    // the next start from taking the lock.
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        std::fprintf(stderr, "velloscan: cannot open %s (%s); not checking for a second copy\n",
                     qUtf8Printable(m_path), std::strerror(errno));
        return true;
    }
    int result;
    do
        result = ::flock(m_fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return true;
    const int error = errno;
    ::close(m_fd);
    m_fd = -1;
    if (error == EWOULDBLOCK) {
        std::fprintf(stderr, "velloscan: another copy already runs for this user (it holds %s); exiting\n",
                     qUtf8Printable(m_path));
        return false;
    }
    std::fprintf(stderr, "velloscan: cannot lock %s (%s); not checking for a second copy\n",
                 qUtf8Printable(m_path), std::strerror(error));
    return true;
}
