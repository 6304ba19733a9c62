// A scanner plugged in or pulled out: the device list is made anew and the
// page told, unasked, with "SDEVPLUG".
#include "websocketoperation.h"

#include "devicecatalog.h"
#include "usbhotplugthread.h"

#include <cstdio>

void WebSocketOperation::StartUsbWatch()
{
    m_usbHotplugThread = new USBHotplugThread(nullptr);
    if (!m_usbHotplugThread->IsListening()) {
        std::fprintf(stderr, "velloscan: no USB event socket; scanners plugged in later are not reported\n");
        return;
    }
    connect(m_usbHotplugThread, &USBHotplugThread::sigUSBListChanged, this, [this] {
        if (m_usbDetecting)
            return;
        // Nothing is sent during a job, but the change is kept: the refresh
        // runs once the job has ended.
        if (m_job) {
            m_usbChangePending = true;
            return;
        }
        StartUsbDetect();
    });
    m_usbHotplugThread->ClearBuffer();
    m_usbHotplugThread->start(QThread::InheritPriority);
}

void WebSocketOperation::StopUsbWatch()
{
    if (!m_usbHotplugThread)
        return;
    QObject::disconnect(m_usbHotplugThread, nullptr, nullptr, nullptr);
    m_usbHotplugThread->Stop();
    m_usbHotplugThread->requestInterruption();
    m_usbHotplugThread->quit();
    m_usbHotplugThread->wait();
    delete m_usbHotplugThread;
    m_usbHotplugThread = nullptr;
}

void WebSocketOperation::StartUsbDetect()
{
    m_usbDetecting = true;
    m_catalog->Enumerate();
    SendMsg(Reply::Devices(QStringLiteral("SDEVPLUG"), m_catalog->Devices()));
    m_usbDetecting = false;
}
