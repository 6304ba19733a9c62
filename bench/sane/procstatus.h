#ifndef VELLOSCAN_BENCH_PROCSTATUS_H
#define VELLOSCAN_BENCH_PROCSTATUS_H

#include <QByteArray>
#include <QFile>

#include <cstring>

// A field of this process's /proc status in KiB ("VmRSS:", "VmHWM:"); -1
// when it cannot be read.
inline long statusKiB(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').first().toLong();
    return -1;
}

#endif
