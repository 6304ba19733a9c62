#include "devicecatalog.h"

#include "protocol.h"

#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

SaneScan &EngineLoan::Engine() const
{
    return m_catalog.m_sane;
}

ScannerOption &EngineLoan::Options() const
{
    return m_catalog.m_scannerOption;
}

DeviceCatalog::~DeviceCatalog()
{
    // sane_exit under a running preload would pull the backends from under it.
    WaitForPreload();
    m_sane.Exit();
}

void DeviceCatalog::Init()
{
    m_sane.Init();
}

void DeviceCatalog::WaitForPreload()
{
    m_preload.waitForFinished();
}

EngineLoan DeviceCatalog::Lend()
{
    WaitForPreload();
    return EngineLoan(*this);
}

void DeviceCatalog::Enumerate()
{
    WaitForPreload();
    m_deviceList.clear();
    m_allScannerOptions.clear();
    QVector<QString> found;
    if (m_sane.GetDeviceList(found) != SANE_STATUS_GOOD || found.isEmpty())
        return;
    m_deviceList = Protocol::OfferedDevices(found);
    m_preload = QtConcurrent::run([this] { Preload(); });
    if (!m_deviceList.isEmpty())
        m_currentDevice = m_deviceList.first();
}

void DeviceCatalog::Preload()
{
    // A device that cannot be opened ends the preload; it and the devices
    // after it are opened when a page asks for them.
    for (const QString &device : qAsConst(m_deviceList)) {
        if (m_sane.OpenDevice(device) != SANE_STATUS_GOOD)
            break;
        const OptionTable options = m_sane.GetAllOptions();
        m_sane.CloseDevice();
        m_allScannerOptions.insert(device, options);
    }
    m_scannerOption.SetAllScannerOptions(m_allScannerOptions);
}

QString DeviceCatalog::OptionsDocument(const QString &device, int &status)
{
    WaitForPreload();
    status = SANE_STATUS_GOOD;
    const auto preloaded = m_allScannerOptions.constFind(device);
    if (preloaded != m_allScannerOptions.constEnd())
        return ScannerOption::WriteJson(*preloaded);
    // Devices the service does not offer are not there for the page.
    status = ScannerOption::IsOfferedDevice(device) ? m_sane.OpenDevice(device) : SaneStatusNoDevice;
    if (status != SANE_STATUS_GOOD)
        return QString();
    const OptionTable options = m_sane.GetAllOptions();
    m_sane.CloseDevice();
    return ScannerOption::WriteJson(options);
}
