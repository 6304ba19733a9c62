#ifndef UEVENTSENDER_H
#define UEVENTSENDER_H

// Fakes kernel USB uevents for tests. Header-only, plain C++ and Linux.
//
// Multicast() sends one raw datagram to the kernel's uevent group (netlink
// family NETLINK_KOBJECT_UEVENT, group 1): every listener of the network
// namespace receives it, queued by the time the call returns, so tests that
// use it must not run in parallel. Sending needs CAP_NET_ADMIN (else EPERM).
// The sending socket is bound by the kernel per call and may borrow port id
// getpid(): do not open a listener concurrently from another thread.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uevent {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The kernel's layout: "action@devpath", then ACTION, DEVPATH and the given
// pairs as "KEY=value", each string followed by a NUL.
inline std::string BuildEvent(const std::string &action, const std::string &devpath, const Pairs &pairs)
{
    std::string out = action + "@" + devpath;
    out.push_back('\0');
    Pairs all = {{"ACTION", action}, {"DEVPATH", devpath}};
    all.insert(all.end(), pairs.begin(), pairs.end());
    for (const auto &kv : all)
        out += kv.first + "=" + kv.second + std::string(1, '\0');
    return out;
}

constexpr const char *kDeviceDevpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";

namespace detail {

// "0b7e/1234/0100" as the kernel prints PRODUCT: each number in %x.
inline std::string Product(const std::string &vendor, const std::string &product, const std::string &bcd)
{
    std::string out;
    for (const std::string *hex : {&vendor, &product, &bcd}) {
        const std::size_t first = hex->find_first_not_of('0');
        out += (out.empty() ? "" : "/") + (first == std::string::npos ? std::string("0") : hex->substr(first));
    }
    return out;
}

inline std::string Upper(std::string s)
{
    for (char &c : s)
        c = char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return s;
}

inline std::string NextSeqnum()
{
    static unsigned long seq = 4711;
    return std::to_string(++seq);
}

} // namespace detail

// One interface of a USB device ("add", "remove", "bind", "unbind",
// "change"); vendor, product and bcdDevice are four hex digits each.
inline std::string UsbInterfaceEvent(const std::string &action, const std::string &vendor,
                                     const std::string &product, const std::string &bcdDevice, int interfaceNumber)
{
    char ifn[3];
    std::snprintf(ifn, sizeof(ifn), "%02X", unsigned(interfaceNumber) & 0xffu);
    Pairs pairs = {
        {"SUBSYSTEM", "usb"},
        {"DEVTYPE", "usb_interface"},
        {"PRODUCT", detail::Product(vendor, product, bcdDevice)},
        {"TYPE", "0/0/0"},
        {"INTERFACE", "255/255/255"},
        {"MODALIAS", "usb:v" + detail::Upper(vendor) + "p" + detail::Upper(product) + "d" + detail::Upper(bcdDevice)
                         + "dc00dsc00dp00icFFiscFFipFFin" + ifn},
    };
    if (action == "bind")
        pairs.push_back({"DRIVER", "usbfs"});
    pairs.push_back({"SEQNUM", detail::NextSeqnum()});
    return BuildEvent(action, std::string(kDeviceDevpath) + "/1-1:1." + std::to_string(interfaceNumber), pairs);
}

// The event of the whole USB device (device type usb_device).
inline std::string UsbDeviceEvent(const std::string &action, const std::string &vendor,
                                  const std::string &product, const std::string &bcdDevice)
{
    return BuildEvent(action, kDeviceDevpath,
                      {{"SUBSYSTEM", "usb"}, {"MAJOR", "189"}, {"MINOR", "4"}, {"DEVNAME", "bus/usb/001/005"},
                       {"DEVTYPE", "usb_device"}, {"PRODUCT", detail::Product(vendor, product, bcdDevice)},
                       {"TYPE", "0/0/0"}, {"BUSNUM", "001"}, {"DEVNUM", "005"}, {"SEQNUM", detail::NextSeqnum()}});
}

// True when the kernel took the whole datagram; otherwise false, with errno's
// value in *error when given.
inline bool Multicast(const std::string &datagram, int *error = nullptr)
{
    const int sock = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ssize_t sent = -1;
    if (sock >= 0) {
        sockaddr_nl dest;
        std::memset(&dest, 0, sizeof(dest));
        dest.nl_family = AF_NETLINK;
        dest.nl_groups = 1;
        do {
            sent = ::sendto(sock, datagram.data(), datagram.size(), 0,
                            reinterpret_cast<const sockaddr *>(&dest), sizeof(dest));
        } while (sent < 0 && errno == EINTR);
    }
    const int err = sent < 0 ? errno : 0;
    if (sock >= 0)
        ::close(sock);
    if (error)
        *error = err;
    return sent == static_cast<ssize_t>(datagram.size());
}

} // namespace uevent

#endif // UEVENTSENDER_H
