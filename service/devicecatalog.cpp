#include "devicecatalog.h"

#include "protocol.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

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

void DeviceCatalog::Enumerate(Known known)
{
    WaitForPreload();
    QVector<QString> found;
    const bool listed = m_sane.GetDeviceList(found) == SANE_STATUS_GOOD && !found.isEmpty();
    m_deviceList = listed ? Protocol::OfferedDevices(found) : QVector<QString>();
    if (known == Known::Reread) {
        m_allScannerOptions.clear();
        m_documents.clear();
    } else {
        // A device that went away is read afresh should it come back.
        for (auto it = m_documents.begin(); it != m_documents.end();)
            it = m_deviceList.contains(it.key()) ? std::next(it) : m_documents.erase(it);
        for (auto it = m_allScannerOptions.begin(); it != m_allScannerOptions.end();)
            it = m_deviceList.contains(it.key()) ? std::next(it) : m_allScannerOptions.erase(it);
        m_scannerOption.SetAllScannerOptions(m_allScannerOptions);
    }
    if (!listed)
        return;
    const bool unread = std::any_of(m_deviceList.cbegin(), m_deviceList.cend(),
                                    [this](const QString &device) { return !m_documents.contains(device); });
    if (unread || known == Known::Reread)
        m_preload = QtConcurrent::run([this] { Preload(); });
    if (!m_deviceList.isEmpty())
        m_currentDevice = m_deviceList.first();
}

void DeviceCatalog::Forget(const QString &device)
{
    WaitForPreload();
    m_documents.remove(device);
}

void DeviceCatalog::Preload()
{
    // A device that cannot be opened ends the preload; it and the devices
    // after it are opened when a page asks for them.
    for (const QString &device : qAsConst(m_deviceList)) {
        if (m_documents.contains(device))
            continue;
        int status = 0;
        const std::unique_ptr<SaneDevice> open = m_sane.OpenDevice(device, &status);
        if (!open)
            break;
        Keep(device, open->GetAllOptions());
    }
    m_scannerOption.SetAllScannerOptions(m_allScannerOptions);
}

void DeviceCatalog::Keep(const QString &device, const OptionTable &options)
{
    m_allScannerOptions.insert(device, options);
    m_documents.insert(device, ScannerOption::WriteJson(options));
}

QString DeviceCatalog::OptionsDocument(const QString &device, int &status)
{
    WaitForPreload();
    status = SANE_STATUS_GOOD;
    const auto known = m_documents.constFind(device);
    if (known != m_documents.constEnd())
        return *known;
    // Devices the service does not offer are not there for the page.
    status = SaneStatusNoDevice;
    const std::unique_ptr<SaneDevice> open = ScannerOption::IsOfferedDevice(device) ? m_sane.OpenDevice(device, &status)
                                                                                   : nullptr;
    if (!open)
        return QString();
    Keep(device, open->GetAllOptions());
    m_scannerOption.SetAllScannerOptions(m_allScannerOptions);
    return m_documents.value(device);
}

QString DeviceCatalog::DeviceInfoDocument() const
{
    QJsonArray devs;
    const QVector<SaneDeviceRecord> records = m_sane.DeviceRecords();
    for (const QString &name : m_deviceList) {
        const auto record = std::find_if(records.begin(), records.end(),
                                         [&name](const SaneDeviceRecord &r) { return r.name == name; });
        QJsonObject dev{{QStringLiteral("Index"), int(devs.size())}, {QStringLiteral("Name"), name}};
        if (record != records.end()) {
            dev.insert(QStringLiteral("Vendor"), record->vendor);
            dev.insert(QStringLiteral("Model"), record->model);
            dev.insert(QStringLiteral("Type"), record->type);
        }
        devs.append(dev);
    }
    return Reply::JsonData({{QStringLiteral("Devs"), devs}});
}

QString DeviceCatalog::DeviceType(const QString &device) const
{
    for (const SaneDeviceRecord &record : m_sane.DeviceRecords()) {
        if (record.name == device)
            return record.type;
    }
    return QString();
}
