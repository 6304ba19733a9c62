// The scan settings JSON of "CSCAN": the file settings it names, the option
// choices read out of it for a device, their order and selection for each
// backend, and a whole job with those settings against a simulated scanner
// without a "source" option, confined to a folder of its own.
#include "devicecatalog.h"
#include "fuzzcheck.h"
#include "outputpolicy.h"
#include "scanjob.h"
#include "scanneroption.h"
#include "scansettings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

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

// A private world: the simulated backends, one source-less flatbed with
// tiny pages, and the only folder a job may write in.
struct JobWorld {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/velloscan-fuzz-XXXXXX")};
    DeviceCatalog catalog;
    QString out;

    JobWorld()
    {
        out = dir.path() + QStringLiteral("/out");
        QDir().mkpath(out);
        QFile::copy(QStringLiteral(SIM_DLLCONF), dir.filePath(QStringLiteral("dll.conf")));
        QFile conf(dir.filePath(QStringLiteral("velloscan-sim.conf")));
        if (conf.open(QIODevice::WriteOnly))
            conf.write("device cvnfa Flat profile=nosource type=flatbed%20scanner width_px=8 height_px=8\n");
        conf.close();
        qputenv("SANE_CONFIG_DIR", QFile::encodeName(dir.path()));
        qputenv("LD_LIBRARY_PATH", SIM_LIBDIR);
        catalog.Init();
        catalog.Enumerate();
    }
};

void checkJob(const QString &json)
{
    static JobWorld jobWorld;
    JobWorld *world = &jobWorld;
    const FileSettings::PageSettings settings = FileSettings::Read(json);
    JobSetup setup;
    setup.device = QStringLiteral("cvnfa:Flat");
    setup.choices = settings.choices;
    setup.files.imgPath = world->out;
    setup.workFolder = world->dir.filePath(QStringLiteral("work"));
    setup.defaultFolder = world->out;
    ScanSettings::Apply(settings, world->out, setup.files, setup.deleteFilesBeforeScan, setup.progress);
    // A refused output is told 1007 and nothing runs; what is let through
    // holds no NUL, which would cut a name short in the C library.
    if (!OutputPolicy::Refusal(setup.files, {world->out}).isEmpty())
        return;
    FUZZ_CHECK(!setup.files.imgPath.contains(QChar(0)) && !setup.files.prefix.contains(QChar(0)));
    ScanJob job(setup, world->catalog);
    int pages = 0;
    QObject::connect(&job, &ScanJob::pageReady, [&](const QString &file, int) {
        FUZZ_CHECK(OutputPolicy::Resolved(file).startsWith(world->out + QLatin1Char('/')));
        ++pages;
        job.PageReported();
    });
    job.Run(); // a flatbed gives one page: the job must end
    FUZZ_CHECK(pages <= 1);
    // Nothing of the job outside its folders.
    QDirIterator it(world->dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        FUZZ_CHECK(path.startsWith(world->out + QLatin1Char('/')) || path.startsWith(setup.workFolder)
                   || !path.mid(world->dir.path().size() + 1).contains(QLatin1Char('/')));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString json = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    checkFileSettings(json);
    for (const char *device : Devices)
        checkOptions(json, QString::fromLatin1(device));
    checkJob(json);
    return 0;
}
