#ifndef VELLOSCAN_SCANSETTINGS_H
#define VELLOSCAN_SCANSETTINGS_H

#include "filesettings.h"

#include <QString>

// The settings that live in the "Scanner" group of SysConfig.ini.
struct SysConfig {
    QString imgPath;
    QString prefix;
    QString imageFormat = QStringLiteral("pnm");
    int scanCount = 1;
    int scanMinCountSize = 4;
};

// The page's file settings, read without sockets or files so they can be
// checked on their own.
namespace ScanSettings {

// Bounds of the running file number and of its digits. A page or a settings
// file can hold any number; without them a huge digit count would make every
// later job fail and a count near the top of int would overflow.
constexpr int MaxScanCount = 999999999;
constexpr int MaxMinCountSize = 32;

// The format word of a FileType code; "tiff" for every unknown code.
QString FormatOfFileType(int code);

// A decimal integer setting (0 when the text is none), clamped to 0..max;
// a clamped value is said on standard error with the key's name.
int ClampedNumber(const QString &text, const char *key, int max);

// The file settings the page's scan settings JSON names, applied to `config`
// and the two flags; everything else (option values, unknown keys) is left
// for the option model. JSON that does not parse changes nothing.
void Apply(const FileSettings::PageSettings &settings, const QString &defaultImgPath, SysConfig &config,
           bool &deleteFilesBeforeScan, bool &showBase64);
void ApplyCustomJson(const QString &json, const QString &defaultImgPath, SysConfig &config,
                     bool &deleteFilesBeforeScan, bool &showBase64);

} // namespace ScanSettings

#endif
