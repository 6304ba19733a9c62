// The scan settings JSON of "CSCAN": the file settings it names, the option
// choices read out of it for a device, and their order and selection for
// each backend.
#include "fuzzcheck.h"
#include "scanneroption.h"
#include "scansettings.h"

#include <QSet>

#include <cstddef>
#include <cstdint>

namespace {

const char *const DefaultImgPath = "/tmp/tempvelloscanimg";

const char *const Formats[] = {"tiff", "pnm", "jpg", "png", "pdf", "mulpdf", "multiff"};

// Devices of each backend and one of none.
const char *const Devices[] = {"cvnfa:x", "cvnfb:x", "cvnfc:RX300", "cvnfc:RX500"};

// Every option any backend orders, a few it does not, and options named like
// the file settings, which must never be set from the page's settings.
const char *const OptionNames[] = {
    "source", "mode", "resolution", "page-auto", "paper-size", "page-width", "page-height",
    "tl-x", "tl-y", "br-x", "br-y", "cropping", "bgcolor", "page-auto-priority", "bw-mode",
    "bw-sdtc-variance", "threshold", "brightness", "contrast", "shadow", "highlight", "gamma",
    "multifeed-detection", "mf-overlapping", "mf-length", "prepick", "dropoutcolor",
    "cleanup-sharpness", "blank-page-skip", "blank-page-skip-sensitivity", "jpeg", "jpeg-type",
    "jpeg-quality", "autofeed", "imprinter", "string", "offset", "initial-counter-value",
    "counter-step", "font-type", "font-direction", "time-scan", "interval-time",
    "preview", "", "FilePath", "FileType", "ScanCount", "ShowBase64",
};

bool isSettingsKey(const QString &key)
{
    static const QSet<QString> keys{"FilePath", "FilePrefix", "FileType", "ScanCount",
                                    "ScanMinCountSize", "DeleteFilesBeforeScan", "ShowBase64"};
    return keys.contains(key);
}

ScannerOption &model()
{
    static ScannerOption *options = [] {
        OptionTable table;
        for (const char *name : OptionNames) {
            Opt_Result o;
            o.name = QString::fromLatin1(name);
            table.insert(o.name, o);
        }
        QHash<QString, OptionTable> all;
        for (const char *device : Devices)
            all.insert(QString::fromLatin1(device), table);
        auto *model = new ScannerOption;
        model->SetAllScannerOptions(all);
        return model;
    }();
    return *options;
}

void checkFileSettings(const QString &json)
{
    SysConfig config;
    config.imgPath = QStringLiteral("/before");
    bool deleteFiles = false;
    bool base64 = false;
    ScanSettings::ApplyCustomJson(json, QString::fromLatin1(DefaultImgPath), config, deleteFiles, base64);
    FUZZ_CHECK(!config.imgPath.isEmpty());
    bool known = config.imageFormat == QLatin1String("pnm"); // untouched
    for (const char *format : Formats)
        known = known || config.imageFormat == QLatin1String(format);
    FUZZ_CHECK(known);
    FUZZ_CHECK(config.scanCount >= 0 && config.scanCount <= ScanSettings::MaxScanCount);
    FUZZ_CHECK(config.scanMinCountSize >= 0 && config.scanMinCountSize <= ScanSettings::MaxMinCountSize);
}

void checkOptions(const QString &json, const QString &device)
{
    ScannerOption &options = model();
    options.SetCurrentOptionNames(device);
    const QHash<QString, QString> values = options.GetOptionFromJson(json);
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        FUZZ_CHECK(!isSettingsKey(it.key()));

    const QVector<QPair<QString, QString>> ordered = options.OrganizeOptions(device, values);
    QSet<QString> seen;
    for (const auto &pair : ordered) {
        FUZZ_CHECK(!seen.contains(pair.first));
        seen.insert(pair.first);
        FUZZ_CHECK(!pair.second.isEmpty());
        FUZZ_CHECK(values.value(pair.first) == pair.second);
    }
    if (device == QLatin1String("cvnfc:RX500"))
        FUZZ_CHECK(ordered.isEmpty() && !options.IsFlatbed());
    if (device == QLatin1String("cvnfc:RX300"))
        FUZZ_CHECK(options.IsFlatbed());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString json = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    checkFileSettings(json);
    for (const char *device : Devices)
        checkOptions(json, QString::fromLatin1(device));
    return 0;
}
