#include "sanescan.h"

#include "sanebinding.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

SaneScan::SaneScan()
    : m_binding(std::make_shared<SaneBinding>())
{
}

SaneScan::~SaneScan()
{
    // The library stays loaded on purpose: backends may have registered
    // handlers (atexit, threads) that must not outlive their code.
}

void SaneScan::Init()
{
    m_library.setFileNameAndVersion(QStringLiteral("sane"), 1);
    if (!m_library.load()) {
        std::fprintf(stderr, "velloscan: cannot load the SANE library: %s\n",
                     qUtf8Printable(m_library.errorString()));
        return;
    }
    if (!bind()) {
        std::fprintf(stderr, "velloscan: the SANE library lacks an entry point\n");
        return;
    }
    SANE_Int versionCode = 0;
    const SANE_Status status = m_binding->init(&versionCode, nullptr);
    std::printf("sane_init: %s\n", m_binding->strstatus(status));
    std::fflush(stdout);
    m_binding->live = true;
}

bool SaneScan::bind()
{
    SaneBinding &b = *m_binding;
    auto resolve = [this](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(m_library.resolve(name));
        return slot != nullptr;
    };
    // Every entry is looked up, whether or not an earlier one was missing.
    const bool bound[] = {
        resolve(b.init, "sane_init"), resolve(b.exit, "sane_exit"),
        resolve(b.open, "sane_open"), resolve(b.close, "sane_close"),
        resolve(b.start, "sane_start"), resolve(b.cancel, "sane_cancel"),
        resolve(b.get_devices, "sane_get_devices"),
        resolve(b.control_option, "sane_control_option"),
        resolve(b.get_option_descriptor, "sane_get_option_descriptor"),
        resolve(b.strstatus, "sane_strstatus"),
        resolve(b.get_parameters, "sane_get_parameters"), resolve(b.read, "sane_read"),
    };
    return std::all_of(std::begin(bound), std::end(bound), [](bool ok) { return ok; });
}

bool SaneScan::IsLoaded() const
{
    return m_binding->live || m_exited;
}

void SaneScan::Exit()
{
    std::lock_guard<std::mutex> lock(m_binding->lock);
    if (!m_binding->live)
        return;
    m_binding->exit();
    m_binding->live = false;
    m_exited = true;
    m_records.clear();
    m_rawNames.clear();
}

int SaneScan::GetDeviceList(QVector<QString> &names)
{
    m_records.clear();
    m_rawNames.clear();
    if (!m_binding->live)
        return SaneStatusNoDevice;
    // The list stays SANE's until the next call; the records are our copy.
    const SANE_Device **devices = nullptr;
    if (m_binding->get_devices(&devices, SANE_TRUE) != SANE_STATUS_GOOD || !devices || !devices[0])
        return SaneStatusNoDevice;
    const auto text = [](const char *s) { return s ? QString::fromUtf8(s) : QString(); };
    for (const SANE_Device **d = devices; *d; ++d) {
        m_records.append({text((*d)->name), text((*d)->vendor), text((*d)->model), text((*d)->type)});
        m_rawNames.append(QByteArray((*d)->name));
        names.append(m_records.last().name);
    }
    return SANE_STATUS_GOOD;
}

std::unique_ptr<SaneDevice> SaneScan::OpenDevice(const QString &name, int *status)
{
    int ignored = 0;
    int &result = status ? *status : ignored;
    const auto listed = std::find_if(m_records.cbegin(), m_records.cend(),
                                     [&](const SaneDeviceRecord &r) { return r.name == name; });
    // A name that is not in the last list is not handed to the backends:
    // they would open whatever it means to them.
    if (!m_binding->live || listed == m_records.cend()) {
        result = SaneStatusNoDevice;
        return nullptr;
    }
    SANE_Handle handle = nullptr;
    result = m_binding->open(m_rawNames.at(int(listed - m_records.cbegin())).constData(), &handle);
    if (result != SANE_STATUS_GOOD)
        return nullptr;
    return std::unique_ptr<SaneDevice>(new SaneDevice(m_binding, handle));
}
