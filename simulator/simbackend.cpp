// A simulated scanner, built as a real SANE backend library. The same source
// is compiled once per backend name (SIM_BACKEND); libsane's dll backend loads
// the result like any vendor driver, so the service under test goes through
// the genuine SANE library from its first call to its last.
#include "simconfig.h"
#include "simlog.h"
#include "simoptions.h"
#include "simprofiles.h"
#include "simscan.h"

#include <sane/sane.h>

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef SIM_BACKEND
#error "SIM_BACKEND must name the backend this library is built as"
#endif

#define SIM_STR2(x) #x
#define SIM_STR(x) SIM_STR2(x)
#define SIM_CAT4(a, b, c, d) a##b##c##d
#define SIM_XCAT4(a, b, c, d) SIM_CAT4(a, b, c, d)
#define SIM_ENTRY(fn) SIM_XCAT4(sane_, SIM_BACKEND, _, fn)
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const std::string kBackend = SIM_STR(SIM_BACKEND);

struct Listed {
    std::string name, vendor, model, type;
    SANE_Device device{};
};

struct Handle {
    sim::DeviceSpec spec;
    sim::OptionSet options;
    std::string label;  // backend:name, as the log shows it

    int sheetsLeft = 0;  // negative: the feeder never runs empty
    int pageStarts = 0;  // starts of a new image since open, the failed ones included
    bool backSidePending = false;
    bool cancelled = false;
    int images = 0;
    std::unique_ptr<sim::PageReader> page;
};

// One lock for everything: the calls are cheap, and the slow ones (a
// delayed open, start or read) sleep without it.
std::mutex g_mutex;
std::string g_logPath;
std::vector<std::unique_ptr<Listed>> g_listed;
std::vector<const SANE_Device *> g_list{nullptr};
std::vector<std::unique_ptr<Handle>> g_handles;

void logLine(const std::string &line) { sim::writeLogLine(g_logPath, line); }

sim::Config reload()
{
    sim::Config cfg = sim::readConfig();
    g_logPath = cfg.logPath;
    return cfg;
}

Handle *handleOf(SANE_Handle h)
{
    for (auto &p : g_handles)
        if (p.get() == h)
            return p.get();
    return nullptr;
}

const sim::DeviceSpec *findDevice(const sim::Config &cfg, const std::string &name)
{
    for (const auto &d : cfg.devices)
        if (d.backend == kBackend && (d.name == name || name.empty()))
            return &d;
    return nullptr;
}

// A device without a "source" option feeds sheets when its type says it is
// sheet-fed; any other such device is a flatbed and always has a page.
bool feedsWithoutSource(const sim::DeviceSpec &spec)
{
    return spec.profile == "nosource"
        && (strcasestr(spec.type.c_str(), "sheetfed") || strcasestr(spec.type.c_str(), "feeder"));
}

// A stuck driver: this thread never comes back, whatever else is called
// meanwhile. The library is pinned first, so that a sane_exit unloading the
// backend cannot pull the code out from under the blocked thread.
[[noreturn]] void blockForever()
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&blockForever), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    for (;;)
        ::pause();
}

std::string optionLabel(Handle &h, SANE_Int option)
{
    if (option == 0)
        return "#count";
    sim::Option *o = h.options.at(option);
    return o ? o->name : "#" + std::to_string(option);
}

} // namespace

SIM_EXPORT SANE_Status SIM_ENTRY(init)(SANE_Int *version_code, SANE_Auth_Callback)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    reload();
    if (version_code)
        *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, 0);
    return SANE_STATUS_GOOD;
}

SIM_EXPORT void SIM_ENTRY(exit)(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    logLine("exit " + kBackend);
    g_handles.clear();
    g_listed.clear();
    g_list.assign(1, nullptr);
}

SIM_EXPORT SANE_Status SIM_ENTRY(get_devices)(const SANE_Device ***device_list, SANE_Bool)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    sim::Config cfg = reload();
    logLine("devices " + kBackend);
    // The previous array stays valid until this call by SANE's rules; the
    // dll backend keeps pointers into it until then, so replace it only now.
    g_listed.clear();
    g_list.clear();
    for (const auto &d : cfg.devices) {
        if (d.backend != kBackend)
            continue;
        auto l = std::make_unique<Listed>();
        l->name = d.name;
        l->vendor = d.vendor;
        l->model = d.model;
        l->type = d.type;
        l->device = {l->name.c_str(), l->vendor.c_str(), l->model.c_str(), l->type.c_str()};
        g_list.push_back(&l->device);
        g_listed.push_back(std::move(l));
    }
    g_list.push_back(nullptr);
    if (device_list)
        *device_list = g_list.data();
    return SANE_STATUS_GOOD;
}

SIM_EXPORT SANE_Status SIM_ENTRY(open)(SANE_String_Const devicename, SANE_Handle *handle)
{
    const std::string name = devicename ? devicename : "";
    const std::string label = kBackend + ":" + name;
    sim::DeviceSpec spec;
    bool found = false;
    int delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        logLine("open-start " + label);
        sim::Config cfg = reload();
        if (const sim::DeviceSpec *d = findDevice(cfg, name)) {
            spec = *d;
            found = true;
            delayMs = spec.intKey("open_delay_ms", 0);
        }
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));

    std::lock_guard<std::mutex> lock(g_mutex);
    SANE_Status status = SANE_STATUS_INVAL;
    if (found)
        status = static_cast<SANE_Status>(spec.intKey("open_status", SANE_STATUS_GOOD));
    if (status == SANE_STATUS_GOOD && handle) {
        auto h = std::make_unique<Handle>();
        h->spec = spec;
        h->label = kBackend + ":" + spec.name;
        sim::buildProfile(h->options, kBackend, spec);
        h->sheetsLeft = spec.intKey("pages", 1);
        *handle = h.get();
        g_handles.push_back(std::move(h));
    } else if (status == SANE_STATUS_GOOD) {
        status = SANE_STATUS_INVAL;
    }
    logLine("open " + label + " " + std::to_string(status));
    return status;
}

SIM_EXPORT void SIM_ENTRY(close)(SANE_Handle handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_handles.begin(); it != g_handles.end(); ++it) {
        if (it->get() == handle) {
            logLine("close " + (*it)->label);
            g_handles.erase(it);
            return;
        }
    }
}

SIM_EXPORT const SANE_Option_Descriptor *SIM_ENTRY(get_option_descriptor)(SANE_Handle handle, SANE_Int option)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    return h ? h->options.descriptor(option) : nullptr;
}

SIM_EXPORT SANE_Status SIM_ENTRY(control_option)(SANE_Handle handle, SANE_Int option, SANE_Action action,
                                                 void *value, SANE_Int *info)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    if (!h)
        return SANE_STATUS_INVAL;
    if (info)
        *info = 0;
    const std::string prefix = h->label + " " + optionLabel(*h, option);
    switch (action) {
    case SANE_ACTION_GET_VALUE:
        logLine("get " + prefix);
        return h->options.get(option, value);
    case SANE_ACTION_SET_VALUE:
    case SANE_ACTION_SET_AUTO: {
        SANE_Status status;
        sim::Option *o = h->options.at(option);
        if (action == SANE_ACTION_SET_AUTO) {
            logLine("set " + prefix + " auto");
            status = h->options.setAuto(option, info);
        } else {
            logLine("set " + prefix + " " + (o ? sim::OptionSet::requestText(*o, value) : std::string()));
            status = h->options.set(option, value, info);
        }
        if (status != SANE_STATUS_GOOD)
            logLine("set-failed " + prefix + " " + std::to_string(status));
        else if (info && (*info & SANE_INFO_INEXACT)) {
            logLine("set-inexact " + prefix + " " + h->options.valueText(*o));
            // As SANE asks of a backend that adjusts a number: the value it
            // kept goes back to the caller.
            if (value && (o->type == SANE_TYPE_INT || o->type == SANE_TYPE_FIXED))
                std::memcpy(value, o->words.data(), o->words.size() * sizeof(SANE_Word));
        }
        return status;
    }
    }
    return SANE_STATUS_INVAL;
}

SIM_EXPORT SANE_Status SIM_ENTRY(get_parameters)(SANE_Handle handle, SANE_Parameters *params)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    if (!h || !params)
        return SANE_STATUS_INVAL;
    if (h->page) {
        *params = sim::parametersOf(h->page->frame());
    } else {
        // Before a start SANE allows an estimate: the next page's first frame.
        *params = sim::parametersOf(sim::planPage(h->options, h->spec).front());
    }
    return SANE_STATUS_GOOD;
}

SIM_EXPORT SANE_Status SIM_ENTRY(start)(SANE_Handle handle)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    if (!h)
        return SANE_STATUS_INVAL;
    SANE_Status status = SANE_STATUS_GOOD;
    if (h->page && h->page->frameDone() && h->page->hasNextFrame()) {
        // Separate colour frames: each one is started on its own.
        h->page->nextFrame();
    } else {
        h->page.reset();
        h->cancelled = false;
        sim::Option *source = h->options.find("source");
        const bool feeder = source ? source->text != "Flatbed" : feedsWithoutSource(h->spec);
        const bool duplex = source && source->text == "ADF Duplex";
        if (++h->pageStarts == h->spec.intKey("start_fail_sheet", 0)) {
            // The sheet stays where it is (cover open, paper jam at pick-up ...).
            status = static_cast<SANE_Status>(h->spec.intKey("start_fail_status", SANE_STATUS_COVER_OPEN));
        } else if (feeder) {
            if (h->backSidePending) {
                h->backSidePending = false;
            } else if (h->sheetsLeft == 0) {
                status = SANE_STATUS_NO_DOCS;
            } else {
                if (h->sheetsLeft > 0)
                    --h->sheetsLeft;
                h->backSidePending = duplex;
            }
        }
        if (status == SANE_STATUS_GOOD) {
            ++h->images;
            sim::Fault fault;
            if (h->spec.intKey("jam_page", 0) == h->images) {
                fault.armed = true;
                fault.afterLines = h->spec.intKey("jam_after_lines", 0);
                fault.status = static_cast<SANE_Status>(h->spec.intKey("jam_status", SANE_STATUS_JAMMED));
            }
            std::vector<sim::FramePlan> frames = sim::planPage(h->options, h->spec);
            sim::Delivery delivery;
            delivery.maxRead = h->spec.intKey("max_read", 0);
            delivery.noise = h->spec.intKey("noise", 0) != 0;
            delivery.linePeriodNs = sim::linePeriodNs(frames, h->spec, duplex);
            h->page = std::make_unique<sim::PageReader>(std::move(frames), h->images, fault, delivery);
        }
    }
    logLine("start " + h->label + " " + std::to_string(status));
    const int delayMs = status == SANE_STATUS_GOOD ? h->spec.intKey("page_delay_ms", 0) : 0;
    if (h->spec.intKey("reset_sigterm", 0)) {
        // What the reader threads of some real backends do to the frontend.
        std::signal(SIGTERM, SIG_DFL);
    }
    lock.unlock();
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return status;
}

SIM_EXPORT SANE_Status SIM_ENTRY(read)(SANE_Handle handle, SANE_Byte *data, SANE_Int max_length, SANE_Int *length)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    if (length)
        *length = 0;
    if (!h || !data || !length || max_length < 0)
        return SANE_STATUS_INVAL;
    if (h->cancelled)
        return SANE_STATUS_CANCELLED;
    if (!h->page)
        return SANE_STATUS_INVAL;
    if (h->page->image() == h->spec.intKey("hang_page", 0)) {
        logLine("hang " + h->label);
        lock.unlock();
        blockForever();
    }
    if (h->page->paced() && !h->page->frameDone()) {
        // Wait for the next line without the lock, so that a cancel from
        // another thread gets through meanwhile.
        const sim::PageReader::Clock::time_point ready = h->page->nextLineReady();
        lock.unlock();
        std::this_thread::sleep_until(ready);
        lock.lock();
        h = handleOf(handle);
        if (!h)
            return SANE_STATUS_INVAL;
        if (h->cancelled)
            return SANE_STATUS_CANCELLED;
        if (!h->page)
            return SANE_STATUS_INVAL;
    }
    const long before = h->page->linesDelivered();
    SANE_Status status = h->page->read(data, max_length, length);
    if (status != SANE_STATUS_GOOD)
        logLine("read " + h->label + " " + std::to_string(status));
    const long delayUs = h->spec.intKey("line_delay_us", 0) * (h->page->linesDelivered() - before);
    // Slow like a real scanner, without blocking a cancel from another thread.
    lock.unlock();
    if (delayUs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    return status;
}

SIM_EXPORT void SIM_ENTRY(cancel)(SANE_Handle handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    Handle *h = handleOf(handle);
    if (!h)
        return;
    logLine("cancel " + h->label);
    h->page.reset();
    h->backSidePending = false;
    h->cancelled = true;
}

SIM_EXPORT SANE_Status SIM_ENTRY(set_io_mode)(SANE_Handle handle, SANE_Bool non_blocking)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!handleOf(handle))
        return SANE_STATUS_INVAL;
    return non_blocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD;
}

SIM_EXPORT SANE_Status SIM_ENTRY(get_select_fd)(SANE_Handle, SANE_Int *)
{
    return SANE_STATUS_UNSUPPORTED;
}
