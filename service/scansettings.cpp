#include "scansettings.h"


#include <cstdio>

QString ScanSettings::FormatOfFileType(int code)
{
    switch (code) {
    case 2: return QStringLiteral("pnm");
    case 3: return QStringLiteral("jpg");
    case 4: return QStringLiteral("png");
    case 5: return QStringLiteral("pdf");
    case 6: return QStringLiteral("mulpdf");
    case 7: return QStringLiteral("multiff");
    default: return QStringLiteral("tiff");
    }
}

int ScanSettings::ClampedNumber(const QString &text, const char *key, int max)
{
    bool ok = false;
    // Wider than int, so that a number past int's range is clamped rather
    // than read as no number at all.
    const qlonglong value = text.toLongLong(&ok, 10);
    if (!ok)
        return 0;
    const qlonglong clamped = qBound<qlonglong>(0, value, max);
    if (clamped != value)
        std::fprintf(stderr, "velloscan: %s %lld is out of range; using %lld\n", key, value, clamped);
    return int(clamped);
}

void ScanSettings::ApplyCustomJson(const QString &json, const QString &defaultImgPath, SysConfig &config,
                                   bool &deleteFilesBeforeScan, bool &showBase64)
{
    Apply(FileSettings::Read(json), defaultImgPath, config, deleteFilesBeforeScan, showBase64);
}

void ScanSettings::Apply(const FileSettings::PageSettings &settings, const QString &defaultImgPath,
                         SysConfig &config, bool &deleteFilesBeforeScan, bool &showBase64)
{
    using namespace FileSettings;
    const auto &files = settings.files;
    auto number = [](const QString &text) { return text.toInt(nullptr, 10); };
    if (const auto &path = files[FilePath])
        config.imgPath = path->isEmpty() ? defaultImgPath : *path;
    if (const auto &prefix = files[FilePrefix])
        config.prefix = *prefix;
    if (const auto &type = files[FileType])
        config.imageFormat = FormatOfFileType(number(*type));
    if (const auto &count = files[ScanCount])
        config.scanCount = ClampedNumber(*count, "ScanCount", MaxScanCount);
    if (const auto &digits = files[ScanMinCountSize])
        config.scanMinCountSize = ClampedNumber(*digits, "ScanMinCountSize", MaxMinCountSize);
    if (const auto &remove = files[DeleteFilesBeforeScan])
        deleteFilesBeforeScan = number(*remove) != 0;
    if (const auto &base64 = files[ShowBase64])
        showBase64 = number(*base64) != 0;
}
