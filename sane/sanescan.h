#ifndef VELLOSCAN_SANESCAN_H
#define VELLOSCAN_SANESCAN_H

#include "optiontable.h"
#include "sanedevice.h"

#include <QByteArray>
#include <QLibrary>
#include <QString>
#include <QVector>

#include <memory>

struct SaneBinding;

// One entry of the last device list.
struct SaneDeviceRecord {
    QString name, vendor, model, type;
};

// The SANE library, loaded at run time: its entry points, sane_init and
// sane_exit, the device list and opening devices. One per process.
class SaneScan
{
public:
    SaneScan();
    ~SaneScan();
    SaneScan(const SaneScan &) = delete;
    SaneScan &operator=(const SaneScan &) = delete;

    void Init();
    // Devices still open are not closed by it, but call nothing afterwards.
    void Exit();
    bool IsLoaded() const;

    // Appends the names of the devices SANE lists; 12 when there is no list
    // or it is empty.
    int GetDeviceList(QVector<QString> &names);
    QVector<SaneDeviceRecord> DeviceRecords() const { return m_records; }
    // Only a name of the last list is opened; otherwise null with 12 in
    // *status, or null with SANE's status when the backend refuses.
    std::unique_ptr<SaneDevice> OpenDevice(const QString &name, int *status);

private:
    bool bind();

    std::shared_ptr<SaneBinding> m_binding;
    QLibrary m_library;
    bool m_exited = false;
    QVector<SaneDeviceRecord> m_records;
    QVector<QByteArray> m_rawNames; // as SANE spelled them, for sane_open
};

#endif
