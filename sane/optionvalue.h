#ifndef VELLOSCAN_OPTIONVALUE_H
#define VELLOSCAN_OPTIONVALUE_H

#include <QStringList>

#include <sane/sane.h>

// The value syntax of numeric options, which needs nothing but the option's
// descriptor. Problems are appended to `notes` when given, one diagnostic
// line each ("velloscan: option --name: ...").
class OptionValue
{
public:
    // Fills all n words from `text`: a comma-separated list of elements, each
    // an optional "[index]" and a number with an optional unit; "-" instead
    // of "," makes a linear ramp up to the next element.
    static void parse_vector(const SANE_Option_Descriptor *d, const char *text, SANE_Word *words, SANE_Int n,
                             QStringList *notes = nullptr);
    // One number and its unit; returns where the text goes on, or null on a
    // unit the option does not allow.
    static const char *parse_scalar(const SANE_Option_Descriptor *d, const char *text, SANE_Word *word,
                                    QStringList *notes = nullptr);
    // Appends one printf-formatted line to `notes`, when given.
    static void note(QStringList *notes, const char *format, ...) __attribute__((format(printf, 2, 3)));
};

#endif
