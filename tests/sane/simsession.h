#ifndef VELLOSCAN_TESTS_SIMSESSION_H
#define VELLOSCAN_TESTS_SIMSESSION_H

// What the SANE engine suites share: one simulator configuration directory
// per test process (libsane reads SANE_CONFIG_DIR once per process), the
// device file that each case rewrites, the simulator's event log, an engine
// session, and a capture of the process's standard output or error.

#include "sanescan.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

class SimWorld
{
public:
    // Call once, before the first SANE call of the process.
    bool setUp()
    {
        if (!m_dir.isValid() || !QFile::copy(SIM_DLLCONF, m_dir.filePath("dll.conf")))
            return false;
        // No trailing colon: libsane looks in this directory only, never in
        // the machine's own configuration.
        qputenv("SANE_CONFIG_DIR", QFile::encodeName(m_dir.path()));
        // The dll backend searches LD_LIBRARY_PATH for backends when it loads them.
        QByteArray libPath = SIM_LIBDIR;
        const QByteArray old = qgetenv("LD_LIBRARY_PATH");
        if (!old.isEmpty())
            libPath += ":" + old;
        qputenv("LD_LIBRARY_PATH", libPath);
        return true;
    }

    QString logPath() const { return m_dir.filePath("velloscan-sim.log"); }
    void clearLog() const { QFile::remove(logPath()); }

    bool setDevices(const QString &lines) const
    {
        QFile f(m_dir.filePath("velloscan-sim.conf"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write("log " + logPath().toUtf8() + "\n" + lines.toUtf8());
        return true;
    }

    QStringList logLines() const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QStringList logLinesStartingWith(const QString &prefix) const
    {
        QStringList out;
        for (const QString &l : logLines())
            if (l.startsWith(prefix))
                out << l;
        return out;
    }

private:
    QTemporaryDir m_dir;
};

// One SANE session: Init on construction, close and Exit at the end.
struct Engine {
    Engine() { scan.Init(); }
    // Lists the devices, then opens one of them.
    bool open(const QString &device)
    {
        QVector<QString> names;
        return scan.GetDeviceList(names) == 0 && scan.OpenDevice(device) == 0;
    }
    ~Engine()
    {
        scan.CloseDevice();
        scan.Exit();
    }
    SaneScan scan;
};

// Redirects standard output or error (by file descriptor) into a file for
// its lifetime.
class OutputCapture
{
public:
    explicit OutputCapture(std::FILE *stream) : m_stream(stream), m_fd(::fileno(stream))
    {
        m_file.open();
        std::fflush(m_stream);
        m_saved = ::dup(m_fd);
        ::dup2(m_file.handle(), m_fd);
    }
    ~OutputCapture() { restore(); }
    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(m_stream);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
    }
    std::FILE *m_stream;
    int m_fd;
    QTemporaryFile m_file;
    int m_saved = -1;
};

#endif
