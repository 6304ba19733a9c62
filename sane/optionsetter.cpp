// Setting one option of the open device from the page's text: numbers with
// units, vectors with indices and ramps, yes/no, and "auto". Every problem is
// one diagnostic line handed back to the caller, who logs it and goes on
// with the next option, so one refused value never stops a scan.
#include "sanedevice.h"

#include "sanebinding.h"

#include <QByteArray>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

const char *const prog = "velloscan";

void note(QStringList *notes, const char *format, ...) __attribute__((format(printf, 2, 3)));
void note(QStringList *notes, const char *format, ...)
{
    if (!notes)
        return;
    va_list args;
    va_start(args, format);
    notes->append(QString::vasprintf(format, args));
    va_end(args);
}

// A word from a double, rounded half away from zero. Out-of-range values are
// clipped: a cast of an unrepresentable double is undefined.
SANE_Word roundedWord(double v)
{
    v = v < 0 ? v - 0.5 : v + 0.5;
    if (!(v > double(INT_MIN)))
        return INT_MIN;
    if (!(v < double(INT_MAX)))
        return INT_MAX;
    return SANE_Word(v);
}

// The first n characters of `word`, compared without regard to case, equal
// the whole of `text`.
bool isPrefixOf(const char *text, const char *word)
{
    const size_t n = std::strlen(text);
    return n <= std::strlen(word) && ::strncasecmp(text, word, n) == 0;
}

} // namespace

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
        note(&notes, "%s: option --%s does not exist", prog, optionName.constData());
        return result();
    }
    const QByteArray text = value.toUtf8();
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    if (!d) {
        note(&notes, "%s: ignored request to set invalid option %d", prog, index);
        return result();
    }
    if (d->cap & SANE_CAP_INACTIVE) {
        note(&notes, "%s: attempted to set inactive option %s", prog, optionName.constData());
        return result();
    }
    if ((d->cap & SANE_CAP_AUTOMATIC) && ::strncasecmp(text.constData(), "auto", 4) == 0) {
        const SANE_Status status = m_binding->control_option(m_handle, index, SANE_ACTION_SET_AUTO, nullptr, nullptr);
        if (status != SANE_STATUS_GOOD)
            note(&notes, "%s: failed to set option --%s to automatic (%s)", prog,
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
            note(&notes, "%s: option --%s: bad option value `%s'", prog, optionName.constData(),
                 text.constData());
            return result();
        }
        break;
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED:
        parse_vector(d, text.constData(), words.data(), SANE_Int(size / sizeof(SANE_Word)), &notes);
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
        note(&notes, "%s: duh, got unknown option type %d", prog, int(d->type));
        return result();
    }
    setWords(index, words.data(), notes);
    return result();
}

void SaneDevice::setWords(int index, void *value, QStringList &notes)
{
    const SANE_Option_Descriptor *d = m_binding->get_option_descriptor(m_handle, index);
    if (!d) {
        note(&notes, "%s: ignored request to set invalid option %d", prog, index);
        return;
    }
    if (d->cap & SANE_CAP_INACTIVE) {
        note(&notes, "%s: ignored request to set inactive option %s", prog, d->name);
        return;
    }
    const bool singleWord = d->size == SANE_Int(sizeof(SANE_Word)) && d->type != SANE_TYPE_STRING;
    const SANE_Word requested = singleWord ? *static_cast<SANE_Word *>(value) : 0;
    SANE_Int info = 0;
    const SANE_Status status = m_binding->control_option(m_handle, index, SANE_ACTION_SET_VALUE, value, &info);
    if (status != SANE_STATUS_GOOD) {
        note(&notes, "%s: setting of option --%s failed (%s)", prog, d->name, m_binding->strstatus(status));
        return;
    }
    if ((info & SANE_INFO_INEXACT) && singleWord) {
        const SANE_Word set = *static_cast<SANE_Word *>(value);
        if (d->type == SANE_TYPE_INT)
            note(&notes, "%s: rounded value of %s from %d to %d", prog, d->name, requested, set);
        else if (d->type == SANE_TYPE_FIXED)
            note(&notes, "%s: rounded value of %s from %g to %g", prog, d->name, SANE_UNFIX(requested),
                 SANE_UNFIX(set));
    }
}

// Fills `words` (n of them) from a comma-separated list of elements, each an
// optional "[index]" and a number with an optional unit; "-" instead of ","
// makes a linear ramp up to the next element. A malformed index ends the
// parse: the words parsed so far are still set, and nothing is read or
// written outside the text and the n words.
void SaneDevice::parse_vector(const SANE_Option_Descriptor *d, const char *text, SANE_Word *words, SANE_Int n,
                              QStringList *notes)
{
    for (SANE_Int i = 0; i < n; ++i)
        words[i] = 0;
    long index = 0;
    long prevIndex = 0;
    SANE_Word prevValue = 0;
    char separator = 0;
    const char *at = text;
    for (;;) {
        if (*at == '[') {
            char *end = nullptr;
            errno = 0;
            const long given = std::strtol(at + 1, &end, 10);
            if (end == at + 1 || *end != ']' || errno == ERANGE) {
                note(notes, "%s: option --%s: closing bracket missing (rest of option: %s)", prog,
                     d->name, at + 1);
                return;
            }
            index = given;
            at = end + 1;
        }
        if (index < 0 || index >= n) {
            note(notes, "%s: option --%s: index %ld out of range [0..%ld]", prog, d->name, index,
                 long(n) - 1);
            return;
        }
        SANE_Word value = 0;
        const char *next = parse_scalar(d, at, &value, notes);
        if (!next)
            return;
        at = next;
        if (*at != '\0' && *at != ',' && *at != '-') {
            note(notes, "%s: option --%s: illegal separator (rest of option: %s)", prog, d->name, at);
            words[index] = value;
            return;
        }
        words[index] = value;
        if (separator == '-' && index > prevIndex + 1) {
            double v = prevValue;
            const double step = (double(value) - double(prevValue)) / double(index - prevIndex);
            for (long i = prevIndex + 1; i < index; ++i) {
                v += step;
                words[i] = SANE_Word(v);
            }
        }
        if (*at == '\0')
            return;
        separator = *at++;
        prevIndex = index;
        prevValue = value;
        ++index;
    }
}

// One number and its unit. Returns where the parse goes on, or null when the
// unit is not one the option's unit allows.
const char *SaneDevice::parse_scalar(const SANE_Option_Descriptor *d, const char *text, SANE_Word *word,
                                     QStringList *notes)
{
    char *end = nullptr;
    double v;
    if (d->type == SANE_TYPE_FIXED)
        v = std::strtod(text, &end) * 65536.0;
    else
        v = double(std::strtol(text, &end, 10));
    if (end == text) {
        note(notes, "%s: option --%s: bad option value (rest of option: %s)", prog, d->name, text);
        v = 0;
    }
    const char *at = end;
    // A unit counts only when it is the whole rest of the text, so it works on
    // a single value or the last element of a list.
    switch (d->unit) {
    case SANE_UNIT_BIT:
        if (*at == 'b') {
            ++at;
        } else if (*at == 'B') {
            ++at;
            v *= 8;
        }
        break;
    case SANE_UNIT_MM:
        if (*at == '\0' || *at == ',' || *at == '-') {
            // millimetres already; a separator starts the next element
        } else if (std::strcmp(at, "mm") == 0) {
            at += 2;
        } else if (std::strcmp(at, "cm") == 0) {
            at += 2;
            v *= 10;
        } else if (std::strcmp(at, "in") == 0) {
            at += 2;
            v *= 25.4;
        } else if (*at == '"') {
            ++at;
            v *= 25.4;
        } else {
            note(notes, "%s: option --%s: illegal unit (rest of option: %s)", prog, d->name, at);
            return nullptr;
        }
        break;
    case SANE_UNIT_DPI:
        if (std::strcmp(at, "dpi") == 0)
            at += 3;
        break;
    case SANE_UNIT_PERCENT:
        if (*at == '%')
            ++at;
        break;
    case SANE_UNIT_MICROSECOND:
        if (std::strcmp(at, "us") == 0)
            at += 2;
        break;
    default:
        break;
    }
    *word = roundedWord(v);
    return at;
}
