#ifndef UEVENTSENDER_H
#define UEVENTSENDER_H

// Fakes kernel USB uevents for tests. Header-only, plain C++ and Linux.
//
//   std::string d = uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 0);
//   int err = 0;
//   if (!uevent::Multicast(d, &err)) ... strerror(err) ...
//
// Multicast() sends one raw datagram to netlink family 15
// (NETLINK_KOBJECT_UEVENT), multicast group 1, which is where the kernel
// publishes its uevents; every listener of the network namespace receives it,
// so tests that use it must not run in parallel with each other. Sending to
// that group needs CAP_NET_ADMIN (root); without it the send fails with EPERM.
// The datagram is queued on every listener by the time Multicast() returns.
//
// The sending socket is opened per call and bound by the kernel: while a
// listener of the same process holds port id getpid(), the kernel picks
// another one; otherwise it borrows getpid() for the duration of the call, so
// do not open a listener concurrently from another thread of the process.

#include <cstddef>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uevent {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The kernel's layout: "action@devpath", NUL, then "KEY=value" strings, each
// followed by a NUL. ACTION and DEVPATH come first, as the kernel writes them;
// the remaining pairs follow in the given order.
inline std::string BuildEvent(const std::string &action, const std::string &devpath,
                              const Pairs &pairs)
{
    std::string out = action + "@" + devpath;
    out.push_back('\0');
    auto add = [&out](const std::string &key, const std::string &value) {
        out += key;
        out.push_back('=');
        out += value;
        out.push_back('\0');
    };
    add("ACTION", action);
    add("DEVPATH", devpath);
    for (const auto &kv : pairs)
        add(kv.first, kv.second);
    return out;
}

namespace detail {

// "0b7e" -> "b7e": the kernel prints PRODUCT numbers in %x.
inline std::string StripZeros(const std::string &hex)
{
    const std::size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : hex.substr(first);
}

inline std::string Upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

inline std::string NextSeqnum()
{
    static unsigned long seq = 4711;
    return std::to_string(++seq);
}

} // namespace detail

constexpr const char *kDeviceDevpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";

// One interface of a USB device as the kernel reports it ("add", "remove",
// "bind", "unbind", "change"). vendor, product and bcdDevice are four hex
// digits each, e.g. "0b7e", "1234", "0100".
inline std::string UsbInterfaceEvent(const std::string &action, const std::string &vendor,
                                     const std::string &product, const std::string &bcdDevice,
                                     int interfaceNumber)
{
    char ifn[3];
    std::snprintf(ifn, sizeof(ifn), "%02X", unsigned(interfaceNumber) & 0xffu);
    const std::string devpath = std::string(kDeviceDevpath) + "/1-1:1." + std::to_string(interfaceNumber);
    Pairs pairs = {
        {"SUBSYSTEM", "usb"},
        {"DEVTYPE", "usb_interface"},
        {"PRODUCT", detail::StripZeros(vendor) + "/" + detail::StripZeros(product) + "/"
                        + detail::StripZeros(bcdDevice)},
        {"TYPE", "0/0/0"},
        {"INTERFACE", "255/255/255"},
        {"MODALIAS", "usb:v" + detail::Upper(vendor) + "p" + detail::Upper(product) + "d"
                         + detail::Upper(bcdDevice) + "dc00dsc00dp00icFFiscFFipFFin" + ifn},
    };
    if (action == "bind")
        pairs.push_back({"DRIVER", "usbfs"});
    pairs.push_back({"SEQNUM", detail::NextSeqnum()});
    return BuildEvent(action, devpath, pairs);
}

// The event of the whole USB device (device type usb_device).
inline std::string UsbDeviceEvent(const std::string &action, const std::string &vendor,
                                  const std::string &product, const std::string &bcdDevice)
{
    return BuildEvent(action, kDeviceDevpath,
                      {{"SUBSYSTEM", "usb"},
                       {"MAJOR", "189"},
                       {"MINOR", "4"},
                       {"DEVNAME", "bus/usb/001/005"},
                       {"DEVTYPE", "usb_device"},
                       {"PRODUCT", detail::StripZeros(vendor) + "/" + detail::StripZeros(product)
                                       + "/" + detail::StripZeros(bcdDevice)},
                       {"TYPE", "0/0/0"},
                       {"BUSNUM", "001"},
                       {"DEVNUM", "005"},
                       {"SEQNUM", detail::NextSeqnum()}});
}

// Multicasts one datagram on the uevent group. True when the kernel took all
// of it; otherwise false with errno's value in *error when given.
inline bool Multicast(const std::string &datagram, int *error = nullptr)
{
    const int sock = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock < 0) {
        if (error)
            *error = errno;
        return false;
    }
    sockaddr_nl dest;
    std::memset(&dest, 0, sizeof(dest));
    dest.nl_family = AF_NETLINK;
    dest.nl_pid = 0;
    dest.nl_groups = 1;
    ssize_t sent;
    do {
        sent = ::sendto(sock, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr *>(&dest), sizeof(dest));
    } while (sent < 0 && errno == EINTR);
    const int err = sent < 0 ? errno : 0;
    ::close(sock);
    if (error)
        *error = err;
    return sent == static_cast<ssize_t>(datagram.size());
}

} // namespace uevent

#endif // UEVENTSENDER_H
