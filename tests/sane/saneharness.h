// What the SANE engine suites share: one simulator configuration directory
// for the whole process (libsane reads SANE_CONFIG_DIR only once), the
// simulator's event log and a SANE session per case.
#ifndef VELLOSCAN_TEST_SANEHARNESS_H
#define VELLOSCAN_TEST_SANEHARNESS_H

#include "outputcapture.h"
#include "sanescan.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The simulator's world for this process: call setUp() before the first
// SANE session, then setDevices() per case.
class SimWorld
{
public:
    bool setUp()
    {
        if (!m_dir.isValid() || !QFile::copy(SIM_DLLCONF, m_dir.filePath("dll.conf")))
            return false;
        // No trailing colon: libsane looks in this directory only, never in
        // the machine's own configuration.
        qputenv("SANE_CONFIG_DIR", QFile::encodeName(m_dir.path()));
        QByteArray libPath = SIM_LIBDIR;
        const QByteArray old = qgetenv("LD_LIBRARY_PATH");
        if (!old.isEmpty())
            libPath += ":" + old;
        qputenv("LD_LIBRARY_PATH", libPath);
        return true;
    }
    QString logPath() const { return m_dir.filePath("velloscan-sim.log"); }
    // Also starts a fresh log.
    void setDevices(const QString &lines)
    {
        QFile::remove(logPath());
        QFile f(m_dir.filePath("velloscan-sim.conf"));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("log " + logPath().toUtf8() + "\n" + lines.toUtf8());
    }
    QStringList logLines(const QString &prefix = QString()) const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList out;
        for (const QString &l : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts))
            if (l.startsWith(prefix))
                out << l;
        return out;
    }

private:
    QTemporaryDir m_dir;
};

// One SANE session: Init on construction; the device closes and the library
// exits at the end.
struct Engine {
    Engine() { scan.Init(); }
    ~Engine()
    {
        device.reset();
        scan.Exit();
    }
    // Lists the devices, then opens one of them; the status of the open.
    int open(const QString &name)
    {
        QVector<QString> names;
        scan.GetDeviceList(names);
        int status = -1;
        device = scan.OpenDevice(name, &status);
        return status;
    }
    SaneScan scan;
    std::unique_ptr<SaneDevice> device;
};

#endif
