// The option sets a simulated device can carry. README.md lists every option
// with its type, constraint and initial value; keep the two in step.
#ifndef VELLOSCAN_SIM_PROFILES_H
#define VELLOSCAN_SIM_PROFILES_H

#include "simconfig.h"
#include "simoptions.h"

#include <string>

namespace sim {

struct PaperSize {
    const char *name;
    double width;
    double height;
};

inline const std::vector<PaperSize> &paperSizes()
{
    static const std::vector<PaperSize> sizes = {
        {"A4", 210.0, 297.0}, {"A5", 148.0, 210.0}, {"B5", 182.0, 257.0},
        {"Letter", 215.9, 279.4}, {"Legal", 215.9, 355.6},
    };
    return sizes;
}

// Choosing a named paper size moves the page size and the scan area with it,
// as the maker's drivers do; "Custom" leaves them where they are.
inline void applyPaperSize(OptionSet &set)
{
    Option *paper = set.find("paper-size");
    if (!paper)
        return;
    for (const PaperSize &p : paperSizes()) {
        if (paper->text != p.name)
            continue;
        auto put = [&set](const char *name, double v) {
            if (Option *o = set.find(name))
                o->words[0] = toFixed(v);
        };
        put("page-width", p.width);
        put("page-height", p.height);
        put("tl-x", 0.0);
        put("tl-y", 0.0);
        put("br-x", p.width);
        put("br-y", p.height);
    }
}

inline void addStandard(OptionSet &set, bool withSource)
{
    set.group(SANE_NAME_STANDARD, SANE_TITLE_STANDARD);
    if (withSource)
        set.stringList("source", {"Flatbed", "ADF Front", "ADF Back", "ADF Duplex"}, "ADF Front").params();
    set.stringList("mode", {"Lineart", "Gray", "Color"}, "Color").params();
    set.intList("resolution", {75, 100, 150, 200, 300, 400, 600}, SANE_UNIT_DPI, 300).params();
}

inline void addPaper(OptionSet &set, bool withArea)
{
    set.group(SANE_NAME_GEOMETRY, SANE_TITLE_GEOMETRY);
    set.stringList("page-auto", {"yes", "no"}, "no").params();
    set.stringList("paper-size", {"A4", "A5", "B5", "Letter", "Legal", "Custom"}, "A4").params().afterSet = applyPaperSize;
    set.fixedRange("page-width", 50.8, 215.9, 0.0, SANE_UNIT_MM, 210.0).params();
    set.fixedRange("page-height", 50.8, 355.6, 0.0, SANE_UNIT_MM, 297.0).params();
    if (withArea) {
        set.fixedRange("tl-x", 0.0, 215.9, 0.0, SANE_UNIT_MM, 0.0).params();
        set.fixedRange("tl-y", 0.0, 355.6, 0.0, SANE_UNIT_MM, 0.0).params();
        set.fixedRange("br-x", 0.0, 215.9, 0.0, SANE_UNIT_MM, 210.0).params();
        set.fixedRange("br-y", 0.0, 355.6, 0.0, SANE_UNIT_MM, 297.0).params();
    }
}

inline void addBlackWhite(OptionSet &set)
{
    set.stringList("bw-mode", {"Threshold", "SDTC", "Dither"}, "Threshold").when("mode", {"Lineart"});
    set.intRange("bw-sdtc-variance", 0, 255, 1, SANE_UNIT_NONE, 128).when("mode", {"Lineart"}).when("bw-mode", {"SDTC"});
    set.intRange("threshold", 0, 255, 1, SANE_UNIT_NONE, 128).when("mode", {"Lineart"}).when("bw-mode", {"Threshold"}).automatic();
}

inline void addTone(OptionSet &set)
{
    set.intRange("brightness", -127, 127, 1, SANE_UNIT_NONE, 0);
    set.intRange("contrast", -127, 127, 1, SANE_UNIT_NONE, 0);
}

inline void addLevels(OptionSet &set)
{
    set.intRange("shadow", 0, 254, 1, SANE_UNIT_NONE, 0);
    set.intRange("highlight", 1, 255, 1, SANE_UNIT_NONE, 255);
    set.fixedRange("gamma", 0.3, 5.0, 0.0, SANE_UNIT_NONE, 2.2);
}

inline void addDropout(OptionSet &set)
{
    set.stringList("dropoutcolor", {"None", "Red", "Green", "Blue"}, "None").when("mode", {"Lineart", "Gray"});
}

inline void addBlankPage(OptionSet &set)
{
    set.stringList("blank-page-skip", {"yes", "no"}, "no");
    set.intRange("blank-page-skip-sensitivity", 0, 100, 1, SANE_UNIT_PERCENT, 50).when("blank-page-skip", {"yes"});
}

inline void buildCvnfa(OptionSet &set, bool withSource)
{
    addStandard(set, withSource);
    addPaper(set, true);
    set.boolean("cropping", false);
    set.stringList("bgcolor", {"White", "Black"}, "Black");
    set.stringList("page-auto-priority", {"Size", "Position"}, "Size").when("page-auto", {"yes"});

    set.group(SANE_NAME_ENHANCEMENT, SANE_TITLE_ENHANCEMENT);
    addBlackWhite(set);
    addTone(set);
    addLevels(set);
    addDropout(set);
    set.intRange("cleanup-sharpness", 0, 4, 1, SANE_UNIT_NONE, 0);

    set.group(SANE_NAME_ADVANCED, SANE_TITLE_ADVANCED);
    set.stringList("multifeed-detection", {"Off", "Stop", "Continue"}, "Off");
    set.boolean("mf-overlapping", true).when("multifeed-detection", {"Stop"});
    set.intRange("mf-length", 10, 300, 10, SANE_UNIT_MM, 50).when("multifeed-detection", {"Stop"});
    set.stringList("prepick", {"Default", "On", "Off"}, "Default");
    addBlankPage(set);
    set.stringList("jpeg", {"yes", "no"}, "no").when("mode", {"Gray", "Color"});
    set.stringList("jpeg-type", {"Baseline", "Progressive"}, "Baseline").when("mode", {"Gray", "Color"}).when("jpeg", {"yes"});
    set.intRange("jpeg-quality", 10, 100, 1, SANE_UNIT_NONE, 80).when("mode", {"Gray", "Color"}).when("jpeg", {"yes"});
    set.boolean("autofeed", true).advanced();
    set.stringList("imprinter", {"Off", "On"}, "Off");
    set.string("string", 64, "").when("imprinter", {"On"});
    set.intRange("offset", 0, 300, 1, SANE_UNIT_MM, 0).when("imprinter", {"On"});
    set.intRange("initial-counter-value", 0, 99999, 1, SANE_UNIT_NONE, 0).when("imprinter", {"On"});
    set.intRange("counter-step", 1, 9, 1, SANE_UNIT_NONE, 1).when("imprinter", {"On"});
    set.stringList("font-type", {"Normal", "Bold"}, "Normal").when("imprinter", {"On"});
    set.stringList("font-direction", {"Horizontal", "Vertical"}, "Horizontal").when("imprinter", {"On"});
}

inline void buildCvnfb(OptionSet &set, bool withSource)
{
    addStandard(set, withSource);
    addPaper(set, true);
    set.boolean("cropping", false);

    set.group(SANE_NAME_ENHANCEMENT, SANE_TITLE_ENHANCEMENT);
    addBlackWhite(set);
    addTone(set);
    addLevels(set);
    addDropout(set);
    set.intRange("cleanup-sharpness", 0, 4, 1, SANE_UNIT_NONE, 0);

    set.group(SANE_NAME_ADVANCED, SANE_TITLE_ADVANCED);
    set.stringList("multifeed-detection", {"Off", "Stop", "Continue"}, "Off");
    set.boolean("mf-overlapping", true).when("multifeed-detection", {"Stop"});
    addBlankPage(set);
    set.boolean("autofeed", true).advanced();
}

inline void buildCvnfc(OptionSet &set, bool withSource)
{
    addStandard(set, withSource);
    addPaper(set, false);

    set.group(SANE_NAME_ENHANCEMENT, SANE_TITLE_ENHANCEMENT);
    set.intRange("threshold", 0, 255, 1, SANE_UNIT_NONE, 128).when("mode", {"Lineart"}).automatic();
    addTone(set);
    addDropout(set);

    set.group(SANE_NAME_ADVANCED, SANE_TITLE_ADVANCED);
    set.stringList("time-scan", {"yes", "no"}, "no");
    set.intRange("interval-time", 1, 60, 1, SANE_UNIT_NONE, 5).when("time-scan", {"yes"});
}

inline void buildWebcam(OptionSet &set)
{
    set.group(SANE_NAME_STANDARD, SANE_TITLE_STANDARD);
    set.stringList("mode", {"Color", "Gray"}, "Color").params();
    set.intList("resolution", {75, 150, 300}, SANE_UNIT_DPI, 150).params();
    set.intRange("brightness", -100, 100, 1, SANE_UNIT_NONE, 0);
    set.intRange("contrast", -100, 100, 1, SANE_UNIT_NONE, 0);
}

// One option for every branch a frontend takes while reading options.
inline void buildAllPaths(OptionSet &set)
{
    set.group(SANE_NAME_STANDARD, SANE_TITLE_STANDARD);
    set.intRange("inactive-int", 0, 100, 5, SANE_UNIT_NONE, 50).inactive();
    set.intPlain("read-only", 42).withCaps(SANE_CAP_SOFT_DETECT);
    set.intPlain("ss-hs", 1).withCaps(SANE_CAP_SOFT_SELECT | SANE_CAP_HARD_SELECT | SANE_CAP_SOFT_DETECT);
    set.intPlain("ss-no-sd", 2).withCaps(SANE_CAP_SOFT_SELECT);
    set.intVector("int-vector", 0, 255, {0, 32, 64, 96, 128, 160, 192, 224});
    set.fixedRange("fixed-range", 0.0, 215.9, 0.0, SANE_UNIT_MM, 210.0);
    set.fixedList("fixed-list", {0.5, 1234.5678, 2.25}, SANE_UNIT_NONE, 1234.5678);
    set.intList("int-list", {75, 150, 300, 600}, SANE_UNIT_DPI, 300);
    set.stringList("string-list", {"Alpha", "Beta", "Gamma"}, "Beta");
    set.boolean("bool-on", true);
    set.boolean("bool-off", false);
    set.button("button");
    set.intRange("automatic", 0, 255, 1, SANE_UNIT_NONE, 128).automatic();
    set.intRange("refused-read", 0, 10, 1, SANE_UNIT_NONE, 7).refuseGet = true;
    set.intPlain("null-descriptor", 0).nullDescriptor = true;

    set.group("units", "Units");
    set.intRange("unit-none", 0, 1000, 0, SANE_UNIT_NONE, 1);
    set.intRange("unit-pel", 0, 1000, 0, SANE_UNIT_PIXEL, 1);
    set.intRange("unit-bit", 0, 1000, 0, SANE_UNIT_BIT, 1);
    set.intRange("unit-mm", 0, 1000, 0, SANE_UNIT_MM, 1);
    set.intRange("unit-dpi", 0, 1000, 0, SANE_UNIT_DPI, 1);
    set.intRange("unit-percent", 0, 1000, 0, SANE_UNIT_PERCENT, 1);
    set.intRange("unit-us", 0, 1000, 0, SANE_UNIT_MICROSECOND, 1);
    set.intRange("unit-other", 0, 1000, 0, static_cast<SANE_Unit>(7), 1);

    set.group(SANE_NAME_ADVANCED, SANE_TITLE_ADVANCED);
    set.fixedRange("resolution", 50.0, 1200.0, 0.0, SANE_UNIT_DPI, 299.6).params();
    set.intRange("duplicate", 0, 10, 1, SANE_UNIT_NONE, 1);
    set.fixedRange("fixed-quant", -1.5, 1.5, 0.25, SANE_UNIT_NONE, 0.75);
    set.intPlain("int-plain", -7).unit = SANE_UNIT_MM;
    set.string("string-plain", 32, "hello w\xc3\xb6rld");
    set.stringList("string-inactive", {"One", "Two"}, "One").inactive();
    set.stringList("duplicate", {"second", "other"}, "second");
}

inline void buildProfile(OptionSet &set, const std::string &backend, const DeviceSpec &spec)
{
    if (spec.profile == "allpaths") {
        buildAllPaths(set);
    } else if (spec.profile == "countonly") {
        return; // the count alone, without even the extra options
    } else if (backend == "cvnfa") {
        buildCvnfa(set, spec.profile != "nosource");
    } else if (backend == "cvnfb") {
        buildCvnfb(set, spec.profile != "nosource");
    } else if (backend == "cvnfc") {
        buildCvnfc(set, spec.profile != "nosource");
    } else {
        buildWebcam(set);
    }
    int extra = spec.intKey("extra_options", 0);
    for (int k = 1; k <= extra; ++k)
        set.intRange("extra-" + std::to_string(k), 0, 100, 1, SANE_UNIT_NONE, k % 101);

    // Initial values from the device line, so that a test can scan in any
    // mode or from any source without setting options first.
    for (const char *name : {"mode", "source"}) {
        const std::string value = spec.textKey(name, "");
        Option *o = set.find(name);
        if (!o || value.empty())
            continue;
        for (const std::string &entry : o->strings)
            if (entry == value)
                o->text = value;
    }
}

} // namespace sim

#endif
