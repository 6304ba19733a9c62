// The event log that tests read to see which SANE calls reached a device.
#ifndef VELLOSCAN_SIM_LOG_H
#define VELLOSCAN_SIM_LOG_H

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace sim {

// One write() per line on an O_APPEND descriptor: lines written by several
// threads, or by several backend libraries in one process, never interleave,
// and nothing sits in a buffer when the process dies.
inline void writeLogLine(const std::string &path, std::string line)
{
    if (path.empty())
        return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    line += '\n';
    ssize_t done = ::write(fd, line.data(), line.size());
    (void)done; // a log that cannot be written must not change the device's answers
    ::close(fd);
}

} // namespace sim

#endif
