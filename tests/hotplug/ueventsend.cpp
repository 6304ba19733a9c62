// Multicasts one fake USB interface uevent, for tests in other languages:
//   ueventsend ACTION VENDOR PRODUCT [BCDDEVICE [INTERFACE]]
// Needs CAP_NET_ADMIN; every listener on the machine receives the event.
#include "ueventsender.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: %s ACTION VENDOR PRODUCT [BCDDEVICE [INTERFACE]]\n", argv[0]);
        return 2;
    }
    int error = 0;
    if (!uevent::Multicast(uevent::UsbInterfaceEvent(argv[1], argv[2], argv[3], argc > 4 ? argv[4] : "0100",
                                                     argc > 5 ? std::atoi(argv[5]) : 0), &error)) {
        std::fprintf(stderr, "ueventsend: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}
