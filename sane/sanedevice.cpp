// An open device: the option records read at open, values read again on
// demand, and the calls the page loop makes.
#include "sanedevice.h"

#include "optionvalue.h"
#include "sanebinding.h"

#include <QByteArray>

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

const char *const prog = "velloscan";

QString fixedText(SANE_Word w)
{
    return QString::asprintf("%g", SANE_UNFIX(w));
}

QString intText(SANE_Word w)
{
    return QString::asprintf("%d", w);
}

QString unitText(SANE_Unit unit)
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

// The first n characters of `word`, compared without regard to case, equal
// the whole of `text`.
bool isPrefixOf(const char *text, const char *word)
{
    const size_t n = std::strlen(text);
    return n <= std::strlen(word) && ::strncasecmp(text, word, n) == 0;
}

} // namespace

SaneDevice::SaneDevice(std::shared_ptr<SaneBinding> binding, SANE_Handle handle)
    : m_binding(std::move(binding)), m_handle(handle)
{
    readOptions();
}

SaneDevice::~SaneDevice()
{
    std::lock_guard<std::mutex> lock(m_binding->lock);
    if (m_binding->live)
        m_binding->close(m_handle);
}

bool SaneDevice::IsLive() const
{
    return m_binding->live;
}

int SaneDevice::Start()
{
    return IsLive() ? m_binding->start(m_handle) : SaneStatusNoDevice;
}

int SaneDevice::GetParameters(SANE_Parameters &parameters)
{
    return IsLive() ? m_binding->get_parameters(m_handle, &parameters) : SaneStatusNoDevice;
}

int SaneDevice::Read(unsigned char *buffer, int maxLength, int &length)
{
    SANE_Int got = 0;
    const int status = IsLive() ? m_binding->read(m_handle, buffer, maxLength, &got) : SaneStatusNoDevice;
    length = got;
    return status;
}

void SaneDevice::Cancel()
{
    std::lock_guard<std::mutex> lock(m_binding->lock);
    if (m_binding->live)
        m_binding->cancel(m_handle); // SANE allows this while another thread is inside sane_read
}

QString SaneDevice::StatusText(int status) const
{
    return IsLive() ? QString::fromUtf8(m_binding->strstatus(SANE_Status(status))) : QString();
}

void SaneDevice::readOptions()
{
    SANE_Int count = 0;
    if (m_binding->control_option(m_handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD
        || count < 2)
        return;

    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, i);
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
        recordOption(i, d);
    }
}

void SaneDevice::recordOption(int index, const SANE_Option_Descriptor *d)
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
            r.unit = unitText(d->unit);
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
            r.unit = unitText(d->unit);
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
    r.current = readValue(index, d);
    m_options.insert(r.name, r);
}

// Vectors are not read: the page is shown single values only.
QString SaneDevice::readValue(int index, const SANE_Option_Descriptor *d)
{
    if ((d->cap & SANE_CAP_INACTIVE) || (d->type != SANE_TYPE_STRING && d->size != int(sizeof(SANE_Word))))
        return QString();
    // One spare zero byte so that a string the backend fills to the brim is
    // still terminated.
    QByteArray value(qMax<int>(d->size, int(sizeof(SANE_Word))) + 1, '\0');
    if (m_binding->control_option(m_handle, index, SANE_ACTION_GET_VALUE, value.data(), nullptr) != SANE_STATUS_GOOD)
        return QString();
    SANE_Word word;
    std::memcpy(&word, value.constData(), sizeof word);
    switch (d->type) {
    case SANE_TYPE_BOOL: return QString::number(word);
    case SANE_TYPE_INT: return intText(word);
    case SANE_TYPE_FIXED: return fixedText(word);
    case SANE_TYPE_STRING: return QString::fromUtf8(value.constData());
    default: return QString();
    }
}

QString SaneDevice::CurrentValue(const QString &name)
{
    const int index = m_optionNames.key(name, 0);
    if (index == 0 || !IsLive())
        return QString();
    // The descriptor again: setting other options may have changed it.
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    return d ? readValue(index, d) : QString();
}

int SaneDevice::Resolution()
{
    const int index = m_optionNames.key(QStringLiteral("resolution"), 0);
    if (index == 0 || !IsLive())
        return 0;
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    if (!d)
        return 0;
    QByteArray value(qMax<int>(d->size, int(sizeof(SANE_Word))), '\0');
    m_binding->control_option(m_handle, index, SANE_ACTION_GET_VALUE, value.data(), nullptr);
    SANE_Word word;
    std::memcpy(&word, value.constData(), sizeof word);
    if (d->type == SANE_TYPE_INT)
        return word;
    return int(SANE_UNFIX(word) + 0.5);
}

// Setting one option from the page's text: yes/no, "auto", strings and
// numbers as OptionValue reads them.
std::optional<OptionRefusal> SaneDevice::SetOption(const QString &name, const QString &value)
{
    if (!IsLive())
        return std::nullopt;
    QStringList notes;
    const auto result = [&]() -> std::optional<OptionRefusal> {
        if (notes.isEmpty())
            return std::nullopt;
        return OptionRefusal{name, notes.join(QLatin1Char('\n'))};
    };
    const int index = m_optionNames.key(name, 0);
    const QByteArray optionName = name.toUtf8();
    if (index == 0) {
        // Option 0 is the count; sending a stray value there would ask the
        // backend to change how many options it has.
        OptionValue::note(&notes, "%s: option --%s does not exist", prog, optionName.constData());
        return result();
    }
    const QByteArray text = value.toUtf8();
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    if (!d) {
        OptionValue::note(&notes, "%s: ignored request to set invalid option %d", prog, index);
        return result();
    }
    if (d->cap & SANE_CAP_INACTIVE) {
        OptionValue::note(&notes, "%s: attempted to set inactive option %s", prog, optionName.constData());
        return result();
    }
    if ((d->cap & SANE_CAP_AUTOMATIC) && ::strncasecmp(text.constData(), "auto", 4) == 0) {
        const SANE_Status status = m_binding->control_option(m_handle, index, SANE_ACTION_SET_AUTO, nullptr, nullptr);
        if (status != SANE_STATUS_GOOD)
            OptionValue::note(&notes, "%s: failed to set option --%s to automatic (%s)", prog,
                              optionName.constData(), m_binding->strstatus(status));
        return result();
    }

    // At least one word, so that a descriptor with a short size never makes
    // the backend read past what we hand it.
    const size_t size = size_t(qMax<SANE_Int>(d->size, SANE_Int(sizeof(SANE_Word))));
    std::vector<SANE_Word> words((size + sizeof(SANE_Word) - 1) / sizeof(SANE_Word), 0);
    switch (d->type) {
    case SANE_TYPE_BOOL:
        if (isPrefixOf(text.constData(), "yes")) {
            words[0] = SANE_TRUE;
        } else if (isPrefixOf(text.constData(), "no")) {
            words[0] = SANE_FALSE;
        } else {
            OptionValue::note(&notes, "%s: option --%s: bad option value `%s'", prog, optionName.constData(),
                              text.constData());
            return result();
        }
        break;
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED:
        OptionValue::parse_vector(d, text.constData(), words.data(), SANE_Int(size / sizeof(SANE_Word)), &notes);
        break;
    case SANE_TYPE_STRING: {
        // Cut so that the terminating zero always stays inside the option's size.
        char *buffer = reinterpret_cast<char *>(words.data());
        std::strncpy(buffer, text.constData(), size - 1);
        buffer[size - 1] = '\0';
        break;
    }
    case SANE_TYPE_BUTTON:
        break;
    default:
        OptionValue::note(&notes, "%s: duh, got unknown option type %d", prog, int(d->type));
        return result();
    }
    setWords(index, words.data(), notes);
    return result();
}

void SaneDevice::setWords(int index, void *value, QStringList &notes)
{
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    if (!d) {
        OptionValue::note(&notes, "%s: ignored request to set invalid option %d", prog, index);
        return;
    }
    if (d->cap & SANE_CAP_INACTIVE) {
        OptionValue::note(&notes, "%s: ignored request to set inactive option %s", prog, d->name);
        return;
    }
    const bool singleWord = d->size == SANE_Int(sizeof(SANE_Word)) && d->type != SANE_TYPE_STRING;
    const SANE_Word requested = singleWord ? *static_cast<SANE_Word *>(value) : 0;
    SANE_Int info = 0;
    const SANE_Status status = m_binding->control_option(m_handle, index, SANE_ACTION_SET_VALUE, value, &info);
    if (status != SANE_STATUS_GOOD) {
        OptionValue::note(&notes, "%s: setting of option --%s failed (%s)", prog, d->name, m_binding->strstatus(status));
        return;
    }
    if ((info & SANE_INFO_INEXACT) && singleWord) {
        const SANE_Word set = *static_cast<SANE_Word *>(value);
        if (d->type == SANE_TYPE_INT)
            OptionValue::note(&notes, "%s: rounded value of %s from %d to %d", prog, d->name, requested, set);
        else if (d->type == SANE_TYPE_FIXED)
            OptionValue::note(&notes, "%s: rounded value of %s from %g to %g", prog, d->name, SANE_UNFIX(requested),
                              SANE_UNFIX(set));
    }
}
