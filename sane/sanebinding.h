#ifndef VELLOSCAN_SANEBINDING_H
#define VELLOSCAN_SANEBINDING_H

#include <sane/sane.h>

#include <atomic>
#include <mutex>

// The library's entry points, shared by the binding and every device it
// opened: a device may outlive a sane_exit, and must then call nothing.
struct SaneBinding {
    decltype(&::sane_init) init = nullptr;
    decltype(&::sane_exit) exit = nullptr;
    decltype(&::sane_open) open = nullptr;
    decltype(&::sane_close) close = nullptr;
    decltype(&::sane_start) start = nullptr;
    decltype(&::sane_cancel) cancel = nullptr;
    decltype(&::sane_get_devices) get_devices = nullptr;
    decltype(&::sane_control_option) control_option = nullptr;
    decltype(&::sane_get_option_descriptor) get_option_descriptor = nullptr;
    decltype(&::sane_strstatus) strstatus = nullptr;
    decltype(&::sane_get_parameters) get_parameters = nullptr;
    decltype(&::sane_read) read = nullptr;

    // Between sane_init and sane_exit.
    std::atomic<bool> live{false};
    // Held by sane_exit, sane_close and a cancel from another thread, so that
    // a cancel never uses a handle that is being closed.
    std::mutex lock;
};

#endif
