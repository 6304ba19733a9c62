// Multicasts one fake USB interface uevent, for tests written in other
// languages than C++:
//   ueventsend ACTION VENDOR PRODUCT [BCDDEVICE [INTERFACE]]
//   ueventsend add 0b7e 1234
// Needs CAP_NET_ADMIN; every listener on the machine receives the event.
#include "ueventsender.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: %s ACTION VENDOR PRODUCT [BCDDEVICE [INTERFACE]]\n", argv[0]);
        return 2;
    }
    const std::string event = uevent::UsbInterfaceEvent(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : "0100",
                                                        argc > 5 ? std::atoi(argv[5]) : 0);
    int error = 0;
    if (!uevent::Multicast(event, &error)) {
        std::fprintf(stderr, "ueventsend: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}
