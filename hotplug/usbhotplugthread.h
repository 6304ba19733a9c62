#ifndef USBHOTPLUGTHREAD_H
#define USBHOTPLUGTHREAD_H

#include <QByteArray>
#include <QStringList>
#include <QThread>

#include <atomic>

// Listens to the kernel's USB uevent broadcast and reports, for every plug or
// unplug of one of the maker's USB interfaces, which of the maker's devices
// lsusb lists at that moment.
//
// Life cycle: construct (opens the socket), ClearBuffer(), start(). If
// IsListening() is false the socket could not be opened; starting the thread
// is harmless then (run() returns at once), but pointless. Destroying the
// object stops the thread and waits for it; Stop() may be called earlier from
// any thread. A stopped object cannot be started again.
class USBHotplugThread : public QThread
{
    Q_OBJECT
public:
    explicit USBHotplugThread(QObject *parent = nullptr);
    ~USBHotplugThread() override;

    // Opens and binds the uevent socket; the descriptor, or -1.
    int init_hotplug_sock();
    // Throws away every event already queued on the socket, without blocking.
    void ClearBuffer();
    bool IsListening() const;
    // Wakes the thread out of its wait and makes it return; thread-safe,
    // idempotent.
    void Stop();

    // 1 for an "add" event, 2 for a "remove" event, 0 for anything else.
    static int EventType(const QByteArray &event);
    // Whether a raw uevent datagram (NUL bytes included) is the plug or unplug
    // of a USB interface of the maker's vendor id.
    static bool AcceptEvent(const QByteArray &event);
    // The maker's product ids in lsusb's output, in line order.
    static QStringList ParseLsusb(const QByteArray &output);

signals:
    void sigUSBListChanged(int type, QStringList usbList);

protected:
    void run() override;

private:
    QByteArray RunLsusb();

    int m_hotplugSock = -1;
    int m_stopEvent = -1;
    std::atomic<bool> m_stopping{false};
};

#endif // USBHOTPLUGTHREAD_H
