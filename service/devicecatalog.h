#ifndef VELLOSCAN_DEVICECATALOG_H
#define VELLOSCAN_DEVICECATALOG_H

#include "sanescan.h"
#include "scanneroption.h"

#include <QFuture>
#include <QHash>
#include <QString>
#include <QVector>

class DeviceCatalog;

// The engine and the option model, lent to a scan job for its whole run.
// Making one waits for a running preload, so whoever holds it is the only
// user of the engine; the service lends it to one job at a time and touches
// the catalogue itself only while no job runs.
class EngineLoan
{
public:
    SaneScan &Engine() const;
    ScannerOption &Options() const;

private:
    friend class DeviceCatalog;
    explicit EngineLoan(DeviceCatalog &catalog) : m_catalog(catalog) {}
    DeviceCatalog &m_catalog;
};

// The scanners the service offers: owns the SANE engine, the list of the
// maker's devices, the options of each (read by a preload on the global
// pool after every enumeration) and the option model.
//
// Who may use SANE when: the preload runs the engine on a pool thread; every
// other use first joins it. Only the owner's thread starts a preload, and it
// joins the previous one before it enumerates again, so two preloads never
// overlap and nothing runs beside one. There are no locks.
class DeviceCatalog
{
public:
    DeviceCatalog() = default;
    // Joins the preload and releases SANE.
    ~DeviceCatalog();
    DeviceCatalog(const DeviceCatalog &) = delete;
    DeviceCatalog &operator=(const DeviceCatalog &) = delete;

    void Init();
    // Lists SANE's devices anew, keeps the maker's and starts the preload;
    // the current device becomes the first of them.
    void Enumerate();
    const QVector<QString> &Devices() const { return m_deviceList; }
    QString CurrentDevice() const { return m_currentDevice; }
    void SetCurrentDevice(const QString &device) { m_currentDevice = device; }

    // The options document of an offered device, from the preload when it
    // read the device, else by opening it; `status` is 0 or what stopped it.
    QString OptionsDocument(const QString &device, int &status);
    // "Devs" with each offered device's name, vendor, model and type, in
    // the order of the devices document.
    QString DeviceInfoDocument() const;
    // The SANE type text of a listed device ("sheetfed scanner", ...).
    QString DeviceType(const QString &device) const;

    // Waits for the preload: call it on the thread that will use the engine.
    EngineLoan Lend();

private:
    friend class EngineLoan;
    void WaitForPreload();
    void Preload();

    SaneScan m_sane;
    ScannerOption m_scannerOption;
    QVector<QString> m_deviceList;
    QHash<QString, OptionTable> m_allScannerOptions;
    QString m_currentDevice;
    QFuture<void> m_preload;
};

#endif
