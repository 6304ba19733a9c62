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
// pool after an enumeration, for the devices not read yet) and the option
// model. Each device's options document is kept as the page receives it:
// opening a real scanner takes seconds, so a device is read again only when
// it may have changed (after a job on it, or a USB change).
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
    // What an enumeration does with the options already read.
    enum class Known {
        Reread, // a USB change: a device under a known name may be another one
        Keep,   // "CDEV": devices still listed keep theirs
    };
    // Lists SANE's devices anew, keeps the maker's and starts the preload
    // for those whose options are not known; the current device becomes
    // the first of them.
    void Enumerate(Known known = Known::Reread);
    // The device's options are read again when next asked for: a job on it
    // has changed its values. Call on the owner's thread once the job ended.
    void Forget(const QString &device);
    const QVector<QString> &Devices() const { return m_deviceList; }
    QString CurrentDevice() const { return m_currentDevice; }
    void SetCurrentDevice(const QString &device) { m_currentDevice = device; }

    // The options document of an offered device, as last read, else read
    // by opening it; `status` is 0 or what stopped it.
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
    void Keep(const QString &device, const OptionTable &options);

    SaneScan m_sane;
    ScannerOption m_scannerOption;
    QVector<QString> m_deviceList;
    // Both written by the preload, else by the owner's thread.
    QHash<QString, OptionTable> m_allScannerOptions;
    QHash<QString, QString> m_documents;
    QString m_currentDevice;
    QFuture<void> m_preload;
};

#endif
