// The value syntax of numeric options (numbers, units, vectors, ranges,
// brackets) against a descriptor of either numeric type, any size and any
// unit (and one that is none). The first three bytes choose the descriptor; the rest is the text.
#include "fuzzcheck.h"
#include "optionvalue.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Gamma tables run to a few thousand words; a little beyond that is enough.
constexpr int MaxWords = 5000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    SANE_Option_Descriptor d{};
    d.name = "fuzzed";
    d.type = (data[0] & 1) ? SANE_TYPE_FIXED : SANE_TYPE_INT;
    // Every unit, and 7, which no unit has.
    d.unit = SANE_Unit(data[0] >> 1 & 7);
    // Any byte size, as a backend may declare it; words as SetOption counts them.
    d.size = SANE_Int((data[1] | data[2] << 8) % (MaxWords * 4 + 4));
    const SANE_Int n = SANE_Int(qMax<SANE_Int>(d.size, sizeof(SANE_Word)) / sizeof(SANE_Word));
    // The text as it reaches the parser: cut at the first NUL, like the
    // page's text in UTF-8.
    const std::string text(reinterpret_cast<const char *>(data) + 3, size - 3);

    // Exactly n words, so that a write past them is caught.
    std::unique_ptr<SANE_Word[]> words(new SANE_Word[size_t(n)]);
    OptionValue::parse_vector(&d, text.c_str(), words.get(), n);

    SANE_Word word = 0;
    const char *rest = OptionValue::parse_scalar(&d, text.c_str(), &word);
    FUZZ_CHECK(!rest || (rest >= text.c_str() && rest <= text.c_str() + std::strlen(text.c_str())));
    return 0;
}
