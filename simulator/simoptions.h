// Option model of a simulated device: descriptors, values, and the checks a
// real backend applies when a frontend reads or sets them.
#ifndef VELLOSCAN_SIM_OPTIONS_H
#define VELLOSCAN_SIM_OPTIONS_H

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

namespace sim {

class OptionSet;

// An option is active only while every condition holds: the named option's
// value (as text) is one of the listed values.
struct Condition {
    std::string option;
    std::vector<std::string> values;
};

struct Option {
    std::string name;
    std::string title;
    std::string description;
    SANE_Value_Type type = SANE_TYPE_INT;
    SANE_Unit unit = SANE_UNIT_NONE;
    SANE_Int size = sizeof(SANE_Word);
    SANE_Int caps = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    SANE_Constraint_Type constraint = SANE_CONSTRAINT_NONE;
    SANE_Range range{0, 0, 0};
    std::vector<SANE_Word> wordList;             // count first, as SANE lays it out
    std::vector<std::string> strings;
    std::vector<SANE_String_Const> stringPtrs;   // null-terminated view of strings

    std::vector<SANE_Word> words;  // value of BOOL, INT and FIXED options
    std::string text;              // value of STRING options
    std::vector<SANE_Word> autoWords;  // what SANE_ACTION_SET_AUTO restores
    std::string autoText;

    std::vector<Condition> activeWhen;
    bool refuseGet = false;     // GET_VALUE fails with INVAL (after scribbling on the buffer)
    bool nullDescriptor = false;
    bool affectsParams = false; // a change alters the scan parameters
    std::function<void(OptionSet &)> afterSet;

    SANE_Option_Descriptor descriptor{};

    // Chainable adjustments used while building a profile.
    Option &withCaps(SANE_Int c) { caps = c; return *this; }
    Option &automatic() { caps |= SANE_CAP_AUTOMATIC; autoWords = words; autoText = text; return *this; }
    Option &inactive() { caps |= SANE_CAP_INACTIVE; return *this; }
    Option &advanced() { caps |= SANE_CAP_ADVANCED; return *this; }
    Option &when(const std::string &option, std::vector<std::string> values)
    {
        activeWhen.push_back({option, std::move(values)});
        return *this;
    }
    Option &params() { affectsParams = true; return *this; }
};

inline SANE_Word toFixed(double v) { return static_cast<SANE_Word>(std::lround(v * 65536.0)); }
inline double fromFixed(SANE_Word w) { return w / 65536.0; }

inline std::string wordText(SANE_Value_Type type, SANE_Word w)
{
    char buf[64];
    if (type == SANE_TYPE_FIXED)
        std::snprintf(buf, sizeof buf, "%g", fromFixed(w));
    else
        std::snprintf(buf, sizeof buf, "%d", w);
    return buf;
}

class OptionSet {
public:
    OptionSet()
    {
        // Option 0 is the count every SANE device starts with.
        Option &count = add(SANE_NAME_NUM_OPTIONS, SANE_TYPE_INT);
        count.title = SANE_TITLE_NUM_OPTIONS;
        count.caps = SANE_CAP_SOFT_DETECT;
        count.words = {0};
    }

    Option &group(const std::string &name, const std::string &title)
    {
        Option &o = add(name, SANE_TYPE_GROUP);
        o.title = title;
        o.caps = 0;
        o.size = 0;
        return o;
    }
    Option &boolean(const std::string &name, bool value)
    {
        Option &o = add(name, SANE_TYPE_BOOL);
        o.words = {value ? SANE_TRUE : SANE_FALSE};
        return o;
    }
    Option &intRange(const std::string &name, int min, int max, int quant, SANE_Unit unit, int value)
    {
        Option &o = add(name, SANE_TYPE_INT);
        o.unit = unit;
        o.constraint = SANE_CONSTRAINT_RANGE;
        o.range = {min, max, quant};
        o.words = {value};
        return o;
    }
    Option &intVector(const std::string &name, int min, int max, std::vector<SANE_Word> values)
    {
        Option &o = intRange(name, min, max, 0, SANE_UNIT_NONE, 0);
        o.size = static_cast<SANE_Int>(values.size() * sizeof(SANE_Word));
        o.words = std::move(values);
        return o;
    }
    Option &intPlain(const std::string &name, int value)
    {
        Option &o = add(name, SANE_TYPE_INT);
        o.words = {value};
        return o;
    }
    Option &intList(const std::string &name, const std::vector<int> &list, SANE_Unit unit, int value)
    {
        Option &o = add(name, SANE_TYPE_INT);
        o.unit = unit;
        o.constraint = SANE_CONSTRAINT_WORD_LIST;
        o.wordList.push_back(static_cast<SANE_Word>(list.size()));
        for (int w : list)
            o.wordList.push_back(w);
        o.words = {value};
        return o;
    }
    Option &fixedRange(const std::string &name, double min, double max, double quant, SANE_Unit unit, double value)
    {
        Option &o = add(name, SANE_TYPE_FIXED);
        o.unit = unit;
        o.constraint = SANE_CONSTRAINT_RANGE;
        o.range = {toFixed(min), toFixed(max), toFixed(quant)};
        o.words = {toFixed(value)};
        return o;
    }
    Option &fixedList(const std::string &name, const std::vector<double> &list, SANE_Unit unit, double value)
    {
        Option &o = add(name, SANE_TYPE_FIXED);
        o.unit = unit;
        o.constraint = SANE_CONSTRAINT_WORD_LIST;
        o.wordList.push_back(static_cast<SANE_Word>(list.size()));
        for (double w : list)
            o.wordList.push_back(toFixed(w));
        o.words = {toFixed(value)};
        return o;
    }
    Option &stringList(const std::string &name, std::vector<std::string> list, const std::string &value)
    {
        Option &o = add(name, SANE_TYPE_STRING);
        o.constraint = SANE_CONSTRAINT_STRING_LIST;
        size_t longest = 0;
        for (const auto &s : list)
            longest = std::max(longest, s.size());
        o.size = static_cast<SANE_Int>(longest + 1);
        o.strings = std::move(list);
        for (const auto &s : o.strings)
            o.stringPtrs.push_back(s.c_str());
        o.stringPtrs.push_back(nullptr);
        o.text = value;
        return o;
    }
    Option &string(const std::string &name, int size, const std::string &value)
    {
        Option &o = add(name, SANE_TYPE_STRING);
        o.size = size;
        o.text = value.substr(0, static_cast<size_t>(size - 1));
        return o;
    }
    Option &button(const std::string &name)
    {
        Option &o = add(name, SANE_TYPE_BUTTON);
        o.size = 0;
        return o;
    }

    int count() const { return static_cast<int>(m_options.size()); }

    Option *at(int i)
    {
        return (i >= 0 && i < count()) ? m_options[static_cast<size_t>(i)].get() : nullptr;
    }

    // The last option of that name, as a frontend that keys by name sees it.
    Option *find(const std::string &name)
    {
        for (auto it = m_options.rbegin(); it != m_options.rend(); ++it)
            if ((*it)->name == name && (*it)->type != SANE_TYPE_GROUP)
                return it->get();
        return nullptr;
    }

    std::string valueText(const Option &o) const
    {
        if (o.type == SANE_TYPE_STRING)
            return o.text;
        return wordsText(o.type, o.words.data(), o.words.size());
    }

    // The value a frontend handed to SET_VALUE, as text for the log.
    static std::string requestText(const Option &o, const void *value)
    {
        if (!value)
            return "(null)";
        switch (o.type) {
        case SANE_TYPE_STRING:
            return std::string(static_cast<const char *>(value),
                               strnlen(static_cast<const char *>(value), static_cast<size_t>(o.size)));
        case SANE_TYPE_BUTTON:
            return "press";
        default:
            return wordsText(o.type, static_cast<const SANE_Word *>(value),
                             static_cast<size_t>(o.size) / sizeof(SANE_Word));
        }
    }

    bool isActive(const Option &o) const
    {
        if (o.caps & SANE_CAP_INACTIVE)
            return false;
        for (const Condition &c : o.activeWhen) {
            const Option *parent = const_cast<OptionSet *>(this)->find(c.option);
            if (!parent || !isActive(*parent))
                return false;
            std::string v = valueText(*parent);
            bool found = false;
            for (const auto &allowed : c.values)
                found = found || v == allowed;
            if (!found)
                return false;
        }
        return true;
    }

    const SANE_Option_Descriptor *descriptor(int i)
    {
        Option *o = at(i);
        if (!o || o->nullDescriptor)
            return nullptr;
        if (i == 0)
            o->words[0] = count();
        SANE_Option_Descriptor &d = o->descriptor;
        d.name = o->name.c_str();
        d.title = o->title.c_str();
        d.desc = o->description.c_str();
        d.type = o->type;
        d.unit = o->unit;
        d.size = o->size;
        d.cap = o->caps | (isActive(*o) ? 0 : SANE_CAP_INACTIVE);
        d.constraint_type = o->constraint;
        switch (o->constraint) {
        case SANE_CONSTRAINT_RANGE: d.constraint.range = &o->range; break;
        case SANE_CONSTRAINT_WORD_LIST: d.constraint.word_list = o->wordList.data(); break;
        case SANE_CONSTRAINT_STRING_LIST: d.constraint.string_list = o->stringPtrs.data(); break;
        default: d.constraint.range = nullptr; break;
        }
        return &d;
    }

    SANE_Status get(int i, void *value)
    {
        Option *o = at(i);
        if (!o || o->nullDescriptor || !value)
            return SANE_STATUS_INVAL;
        if (i == 0)
            o->words[0] = count();
        if (o->type == SANE_TYPE_GROUP || o->type == SANE_TYPE_BUTTON)
            return SANE_STATUS_INVAL;
        if (o->refuseGet) {
            // A backend that fails a read may still have touched the buffer;
            // a frontend must look at the status, not at what it finds there.
            std::memset(value, 0x11, static_cast<size_t>(o->size));
            return SANE_STATUS_INVAL;
        }
        if (o->type == SANE_TYPE_STRING) {
            std::memset(value, 0, static_cast<size_t>(o->size));
            std::memcpy(value, o->text.data(), std::min(o->text.size(), static_cast<size_t>(o->size - 1)));
        } else {
            std::memcpy(value, o->words.data(), o->words.size() * sizeof(SANE_Word));
        }
        return SANE_STATUS_GOOD;
    }

    SANE_Status set(int i, const void *value, SANE_Int *info)
    {
        Option *o = at(i);
        if (!o || o->nullDescriptor || !value)
            return SANE_STATUS_INVAL;
        if (!(o->caps & SANE_CAP_SOFT_SELECT) || !isActive(*o))
            return SANE_STATUS_INVAL;
        SANE_Int flags = 0;
        switch (o->type) {
        case SANE_TYPE_BOOL: {
            SANE_Word w = *static_cast<const SANE_Word *>(value);
            if (w != SANE_TRUE && w != SANE_FALSE)
                return SANE_STATUS_INVAL;
            o->words[0] = w;
            break;
        }
        case SANE_TYPE_INT:
        case SANE_TYPE_FIXED: {
            const SANE_Word *in = static_cast<const SANE_Word *>(value);
            for (size_t k = 0; k < o->words.size(); ++k) {
                SANE_Word w = constrainWord(*o, in[k]);
                if (w != in[k])
                    flags |= SANE_INFO_INEXACT;
                o->words[k] = w;
            }
            break;
        }
        case SANE_TYPE_STRING: {
            std::string s = requestText(*o, value);
            if (o->constraint == SANE_CONSTRAINT_STRING_LIST) {
                const std::string *match = matchString(*o, s);
                if (!match)
                    return SANE_STATUS_INVAL;
                if (*match != s)
                    flags |= SANE_INFO_INEXACT;
                s = *match;
            }
            o->text = s;
            break;
        }
        case SANE_TYPE_BUTTON:
            break;
        default:
            return SANE_STATUS_INVAL;
        }
        flags |= consequences(*o);
        if (info)
            *info = flags;
        return SANE_STATUS_GOOD;
    }

    SANE_Status setAuto(int i, SANE_Int *info)
    {
        Option *o = at(i);
        if (!o || o->nullDescriptor || !(o->caps & SANE_CAP_AUTOMATIC) || !isActive(*o))
            return SANE_STATUS_INVAL;
        if (o->type == SANE_TYPE_STRING)
            o->text = o->autoText;
        else
            o->words = o->autoWords;
        SANE_Int flags = consequences(*o);
        if (info)
            *info = flags;
        return SANE_STATUS_GOOD;
    }

private:
    Option &add(const std::string &name, SANE_Value_Type type)
    {
        m_options.push_back(std::make_unique<Option>());
        Option &o = *m_options.back();
        o.name = name;
        o.title = name;
        o.type = type;
        return o;
    }

    static std::string wordsText(SANE_Value_Type type, const SANE_Word *w, size_t n)
    {
        std::string out;
        for (size_t k = 0; k < n; ++k) {
            if (k)
                out += ',';
            out += wordText(type, w[k]);
        }
        return out;
    }

    // Clip to the range and snap to its step, or pick the nearest listed word,
    // as SANE backends conventionally do.
    static SANE_Word constrainWord(const Option &o, SANE_Word w)
    {
        if (o.constraint == SANE_CONSTRAINT_RANGE) {
            long long v = w;
            const SANE_Range &r = o.range;
            if (v < r.min)
                v = r.min;
            if (v > r.max)
                v = r.max;
            if (r.quant > 0) {
                v = r.min + ((v - r.min + r.quant / 2) / r.quant) * r.quant;
                if (v > r.max)
                    v -= r.quant;
            }
            return static_cast<SANE_Word>(v);
        }
        if (o.constraint == SANE_CONSTRAINT_WORD_LIST && o.wordList.size() > 1) {
            SANE_Word best = o.wordList[1];
            for (size_t k = 1; k < o.wordList.size(); ++k)
                if (std::llabs(static_cast<long long>(o.wordList[k]) - w) < std::llabs(static_cast<long long>(best) - w))
                    best = o.wordList[k];
            return best;
        }
        return w;
    }

    // Exact match first; otherwise a unique case-insensitive prefix names the entry.
    static const std::string *matchString(const Option &o, const std::string &s)
    {
        const std::string *prefixMatch = nullptr;
        int prefixMatches = 0;
        for (const auto &entry : o.strings) {
            if (entry == s)
                return &entry;
            if (!s.empty() && entry.size() >= s.size() && strncasecmp(entry.c_str(), s.c_str(), s.size()) == 0) {
                prefixMatch = &entry;
                ++prefixMatches;
            }
        }
        return prefixMatches == 1 ? prefixMatch : nullptr;
    }

    SANE_Int consequences(Option &o)
    {
        SANE_Int flags = 0;
        if (o.afterSet) {
            o.afterSet(*this);
            flags |= SANE_INFO_RELOAD_OPTIONS;
        }
        for (const auto &other : m_options)
            for (const Condition &c : other->activeWhen)
                if (c.option == o.name)
                    flags |= SANE_INFO_RELOAD_OPTIONS;
        if (o.affectsParams)
            flags |= SANE_INFO_RELOAD_PARAMS;
        return flags;
    }

    std::vector<std::unique_ptr<Option>> m_options;
};

} // namespace sim

#endif
