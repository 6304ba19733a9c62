#include "sanescan.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

QString fixedText(SANE_Word w)
{
    return QString::asprintf("%g", SANE_UNFIX(w));
}

QString intText(SANE_Word w)
{
    return QString::asprintf("%d", w);
}

} // namespace

SaneScan::SaneScan(QObject *parent)
    : QObject(parent)
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
    if (!init_sane())
        std::fprintf(stderr, "velloscan: the SANE library lacks an entry point\n");
}

bool SaneScan::init_sane()
{
    auto bind = [this](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(m_library.resolve(name));
        return slot != nullptr;
    };
    // Every entry is looked up, whether or not an earlier one was missing.
    const bool bound[] = {
        bind(m_api.init, "sane_init"), bind(m_api.exit, "sane_exit"),
        bind(m_api.open, "sane_open"), bind(m_api.close, "sane_close"),
        bind(m_api.start, "sane_start"), bind(m_api.cancel, "sane_cancel"),
        bind(m_api.get_devices, "sane_get_devices"),
        bind(m_api.control_option, "sane_control_option"),
        bind(m_api.get_option_descriptor, "sane_get_option_descriptor"),
        bind(m_api.strstatus, "sane_strstatus"),
        bind(m_api.get_parameters, "sane_get_parameters"), bind(m_api.read, "sane_read"),
    };
    const bool all = std::all_of(std::begin(bound), std::end(bound), [](bool b) { return b; });
    if (!all)
        return false;
    SANE_Int versionCode = 0;
    const SANE_Status status = m_api.init(&versionCode, nullptr);
    std::printf("sane_init: %s\n", m_api.strstatus(status));
    std::fflush(stdout);
    m_loaded = true;
    return true;
}

void SaneScan::Exit()
{
    exit_sane();
}

void SaneScan::exit_sane()
{
    if (!m_loaded || m_exited)
        return;
    std::lock_guard<std::mutex> lock(m_handleLock);
    m_api.exit();
    m_exited = true;
    m_saneDevices = nullptr;
    m_device = nullptr;
}

SANE_Status SaneScan::get_devices()
{
    return m_api.get_devices(&m_saneDevices, SANE_TRUE);
}

int SaneScan::GetDeviceList(QVector<QString> &names)
{
    if (!m_loaded || m_exited)
        return SaneStatusNoDevice;
    if (get_devices() != SANE_STATUS_GOOD) {
        m_saneDevices = nullptr;
        return SaneStatusNoDevice;
    }
    if (!m_saneDevices || !m_saneDevices[0])
        return SaneStatusNoDevice;
    for (const SANE_Device **d = m_saneDevices; *d; ++d)
        names.append(QString::fromUtf8((*d)->name));
    return SANE_STATUS_GOOD;
}

int SaneScan::OpenDevice(const QString &device)
{
    if (!m_loaded || m_exited || !m_saneDevices || !m_saneDevices[0])
        return SaneStatusNoDevice;
    for (const SANE_Device **d = m_saneDevices; *d; ++d) {
        if (QString::fromUtf8((*d)->name) == device)
            return open_device(*d);
    }
    // A name that is not in the last list must not silently leave whatever
    // device was opened before in charge of the reply.
    return SaneStatusNoDevice;
}

SANE_Status SaneScan::open_device(const SANE_Device *device)
{
    close_device(); // never leak a handle by opening over it
    SANE_Handle handle = nullptr;
    const SANE_Status status = m_api.open(device->name, &handle);
    if (status != SANE_STATUS_GOOD)
        return status;
    m_device = handle;
    init_options();
    return SANE_STATUS_GOOD;
}

void SaneScan::CloseDevice()
{
    close_device();
}

void SaneScan::close_device()
{
    std::lock_guard<std::mutex> lock(m_handleLock);
    const SANE_Handle handle = m_device.exchange(nullptr);
    if (handle)
        m_api.close(handle);
}

void SaneScan::CancelScan()
{
    cancel_scan();
}

void SaneScan::cancel_scan()
{
    if (m_device)
        m_api.cancel(m_device);
}

int SaneScan::start_scan()
{
    if (!m_device)
        return SANE_STATUS_UNSUPPORTED;
    return m_api.start(m_device);
}

void SaneScan::init_options()
{
    m_optionNames.clear();
    m_options.clear();

    SANE_Int count = 0;
    if (m_api.control_option(m_device, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD
        || count < 2)
        return;

    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor *d = m_api.get_option_descriptor(m_device, i);
        if (!d || !(d->cap & SANE_CAP_SOFT_SELECT) || d->type == SANE_TYPE_GROUP)
            continue;
        if (d->cap & SANE_CAP_HARD_SELECT) {
            std::fprintf(stderr, "%s: invalid option caps, SS+HS\n", "prog_name");
            continue;
        }
        if (!(d->cap & SANE_CAP_SOFT_DETECT)) {
            std::fprintf(stderr, "%s: invalid option caps, SS!SD\n", "prog_name");
            continue;
        }
        m_optionNames.insert(i, QString::fromUtf8(d->name));
        format_option(i, d);
    }
}

QString SaneScan::format_unit(SANE_Unit unit)
{
    switch (unit) {
    case SANE_UNIT_PIXEL: return QStringLiteral("pel");
    case SANE_UNIT_BIT: return QStringLiteral("bit");
    case SANE_UNIT_MM: return QStringLiteral("mm");
    case SANE_UNIT_DPI: return QStringLiteral("dpi");
    case SANE_UNIT_PERCENT: return QStringLiteral("%");
    case SANE_UNIT_MICROSECOND: return QStringLiteral("us");
    default: return QString();
    }
}

void SaneScan::format_option(int index, const SANE_Option_Descriptor *d)
{
    Opt_Result r;
    r.name = QString::fromUtf8(d->name);
    r.type = d->type;
    r.constType = d->constraint_type;
    r.isActive = !(d->cap & SANE_CAP_INACTIVE);
    r.isSettable = d->cap & SANE_CAP_SOFT_SELECT;

    if (d->type != SANE_TYPE_BOOL && d->type != SANE_TYPE_BUTTON) {
        switch (d->constraint_type) {
        case SANE_CONSTRAINT_RANGE: {
            const SANE_Range *range = d->constraint.range;
            const auto text = d->type == SANE_TYPE_INT ? intText : fixedText;
            r.range.min = text(range->min);
            r.range.max = text(range->max);
            if (range->quant != 0)
                r.range.quant = text(range->quant);
            r.unit = format_unit(d->unit);
            break;
        }
        case SANE_CONSTRAINT_WORD_LIST: {
            const SANE_Word *words = d->constraint.word_list;
            const int n = words[0];
            r.wordlists.reserve(n);
            for (int k = 1; k <= n; ++k) {
                // The round trip through text is deliberate: the page sees at
                // most six significant digits, and so does every later compare.
                if (d->type == SANE_TYPE_INT)
                    r.wordlists.append(intText(words[k]).toDouble());
                else if (d->type == SANE_TYPE_FIXED)
                    r.wordlists.append(fixedText(words[k]).toDouble());
                else
                    r.wordlists.append(0.0);
            }
            r.unit = format_unit(d->unit);
            break;
        }
        case SANE_CONSTRAINT_STRING_LIST:
            for (const SANE_String_Const *s = d->constraint.string_list; *s; ++s)
                r.list.append(QString::fromUtf8(*s));
            break;
        default:
            break;
        }
    }

    if (r.isActive && (d->type == SANE_TYPE_STRING || d->size == int(sizeof(SANE_Word)))) {
        // One spare zero byte so that a string the backend fills to the brim
        // is still terminated.
        QByteArray value(qMax<int>(d->size, int(sizeof(SANE_Word))) + 1, '\0');
        const SANE_Status status =
            m_api.control_option(m_device, index, SANE_ACTION_GET_VALUE, value.data(), nullptr);
        if (status == SANE_STATUS_GOOD) {
            SANE_Word word;
            std::memcpy(&word, value.constData(), sizeof word);
            switch (d->type) {
            case SANE_TYPE_BOOL: r.current = QString::number(word); break;
            case SANE_TYPE_INT: r.current = intText(word); break;
            case SANE_TYPE_FIXED: r.current = fixedText(word); break;
            case SANE_TYPE_STRING: r.current = QString::fromUtf8(value.constData()); break;
            default: break;
            }
        }
    }

    m_options.insert(r.name, r);
}

int SaneScan::get_resolution()
{
    int index = -1;
    for (auto it = m_optionNames.cbegin(); it != m_optionNames.cend(); ++it) {
        if (it.value() == QLatin1String("resolution")) {
            index = it.key();
            break;
        }
    }
    if (index < 0 || !m_device)
        return 0;
    const SANE_Option_Descriptor *d = m_api.get_option_descriptor(m_device, index);
    if (!d)
        return 0;
    QByteArray value(qMax<int>(d->size, int(sizeof(SANE_Word))), '\0');
    m_api.control_option(m_device, index, SANE_ACTION_GET_VALUE, value.data(), nullptr);
    SANE_Word word;
    std::memcpy(&word, value.constData(), sizeof word);
    if (d->type == SANE_TYPE_INT)
        return word;
    return int(SANE_UNFIX(word) + 0.5);
}
