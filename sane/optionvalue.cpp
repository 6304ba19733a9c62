// The text forms of numeric option values: numbers with units, vectors
// with indices and ramps. Every problem is one diagnostic line for the
// caller; the parse goes on where it can, so one bad value never stops a scan.
#include "optionvalue.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const char *const prog = "velloscan";

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

} // namespace

// Fills `words` (n of them) from a comma-separated list of elements, each an
// optional "[index]" and a number with an optional unit; "-" instead of ","
// makes a linear ramp up to the next element. A malformed index ends the
// parse: the words parsed so far are still set, and nothing is read or
// written outside the text and the n words.
void OptionValue::parse_vector(const SANE_Option_Descriptor *d, const char *text, SANE_Word *words, SANE_Int n,
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
const char *OptionValue::parse_scalar(const SANE_Option_Descriptor *d, const char *text, SANE_Word *word,
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

void OptionValue::note(QStringList *notes, const char *format, ...)
{
    if (!notes)
        return;
    va_list args;
    va_start(args, format);
    notes->append(QString::vasprintf(format, args));
    va_end(args);
}
