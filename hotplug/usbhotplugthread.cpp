#include "usbhotplugthread.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Kernel uevents are far shorter; anything beyond is cut by the read.
constexpr int kEventBufferSize = 4096;
// Bursts of uevents (a hub full of devices) must survive while the thread
// waits on lsusb; forcing the size needs CAP_NET_ADMIN and silently keeps the
// default otherwise.
constexpr int kReceiveBufferSize = 16 * 1024 * 1024;
constexpr int kLsusbLimitMs = 30000;
// How often a running lsusb is interrupted to look for a stop request; only
// matters while a child runs, the idle thread sleeps in poll().
constexpr int kStopCheckMs = 100;

const QByteArray kVendorProduct = QByteArrayLiteral("PRODUCT=b7e");
const QByteArray kInterfaceType = QByteArrayLiteral("DEVTYPE=usb_interface");
const QByteArray kVendorModalias = QByteArrayLiteral("usb:v0B7Ep");

} // namespace

USBHotplugThread::USBHotplugThread(QObject *parent)
    : QThread(parent)
{
    m_stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_hotplugSock = init_hotplug_sock();
    if (m_stopEvent < 0 && m_hotplugSock >= 0) {
        // Without the wake-up descriptor the thread could never be stopped.
        std::fprintf(stderr, "hotplug: eventfd failed: %s\n", std::strerror(errno));
        ::close(m_hotplugSock);
        m_hotplugSock = -1;
    }
}

USBHotplugThread::~USBHotplugThread()
{
    Stop();
    wait();
    if (m_hotplugSock >= 0)
        ::close(m_hotplugSock);
    if (m_stopEvent >= 0)
        ::close(m_stopEvent);
}

int USBHotplugThread::init_hotplug_sock()
{
    // Close-on-exec so that lsusb does not inherit the socket.
    const int sock = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock < 0) {
        std::printf("error getting socket: %s", std::strerror(errno));
        std::fflush(stdout);
        return -1;
    }

    const int size = kReceiveBufferSize;
    (void)::setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));

    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pad = 0;
    addr.nl_pid = static_cast<__u32>(::getpid());
    addr.nl_groups = 1;
    if (::bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0) {
        std::printf("bind failed: %s", std::strerror(errno));
        std::fflush(stdout);
        ::close(sock);
        return -1;
    }
    return sock;
}

void USBHotplugThread::ClearBuffer()
{
    if (m_hotplugSock < 0)
        return;
    // A one-byte receive consumes a whole datagram; the rest of it is dropped.
    char byte;
    for (;;) {
        const ssize_t n = ::recv(m_hotplugSock, &byte, 1, MSG_DONTWAIT);
        if (n >= 0)
            continue;
        // An overflow is reported once and clears itself; keep draining.
        if (errno == EINTR || errno == ENOBUFS)
            continue;
        return;
    }
}

bool USBHotplugThread::IsListening() const
{
    return m_hotplugSock >= 0;
}

void USBHotplugThread::Stop()
{
    m_stopping = true;
    if (m_stopEvent >= 0) {
        const std::uint64_t one = 1;
        // The counter only ever needs to be non-zero; a full counter is fine.
        (void)!::write(m_stopEvent, &one, sizeof(one));
    }
}

int USBHotplugThread::EventType(const QByteArray &event)
{
    if (event.startsWith("add"))
        return 1;
    if (event.startsWith("remove"))
        return 2;
    return 0;
}

bool USBHotplugThread::AcceptEvent(const QByteArray &event)
{
    return EventType(event) != 0
        && event.contains(kVendorProduct)
        && event.contains(kInterfaceType)
        && event.contains(kVendorModalias);
}

QStringList USBHotplugThread::ParseLsusb(const QByteArray &output)
{
    const int nul = output.indexOf('\0');
    const QString text = QString::fromLatin1(nul < 0 ? output : output.left(nul));

    QStringList ids;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.contains(QLatin1String("Corvane")) || !line.contains(QLatin1String("0b7e")))
            continue;
        const QStringList pieces = line.split(QLatin1String("0b7e:"));
        // "0b7e" without the colon is not an id field: nothing to report.
        if (pieces.size() < 2)
            continue;
        const QString id = pieces.at(1).split(QLatin1Char(' ')).first();
        if (!id.isEmpty())
            ids.append(id);
    }
    return ids;
}

QByteArray USBHotplugThread::RunLsusb()
{
    QProcess proc;
    proc.start(QStringLiteral("lsusb"), QStringList(), QIODevice::ReadWrite);
    proc.closeWriteChannel();

    // waitForFinished in slices so that a stop request does not have to wait
    // for a hung lsusb. A missing lsusb leaves the process NotRunning at once.
    const QDeadlineTimer deadline(kLsusbLimitMs);
    while (proc.state() != QProcess::NotRunning && !m_stopping && !deadline.hasExpired())
        proc.waitForFinished(int(qMin<qint64>(kStopCheckMs, deadline.remainingTime())));

    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(-1);
    }
    return proc.readAllStandardOutput();
}

void USBHotplugThread::run()
{
    if (m_hotplugSock < 0 || m_stopEvent < 0)
        return;

    char buffer[kEventBufferSize];
    for (;;) {
        pollfd fds[2] = {{m_hotplugSock, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "hotplug: poll failed: %s\n", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0 || m_stopping)
            return;
        if (fds[0].revents & POLLNVAL)
            return;

        // One receive returns one event; a longer one is cut to the buffer.
        const ssize_t n = ::recv(m_hotplugSock, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0) {
            // ENOBUFS: the receive buffer overflowed during a burst, the
            // events still queued are intact; read on.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK
                || errno == ENOBUFS || errno == ENOMEM)
                continue;
            std::fprintf(stderr, "hotplug: read failed: %s\n", std::strerror(errno));
            return;
        }

        const QByteArray event = QByteArray::fromRawData(buffer, int(n));
        if (!AcceptEvent(event))
            continue;

        const QStringList usbList = ParseLsusb(RunLsusb());
        if (m_stopping)
            return;
        emit sigUSBListChanged(EventType(event), usbList);
    }
}
