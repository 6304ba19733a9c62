#include "scansettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

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
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return;
    const QJsonObject settings = doc.object(); // empty for an array document
    // Every value is read as a string: a page that sends a number, a boolean
    // or null gets the empty text for it.
    auto text = [&settings](const char *key) { return settings.value(QLatin1String(key)).toString(); };
    auto has = [&settings](const char *key) { return settings.contains(QLatin1String(key)); };
    auto number = [&text](const char *key) { return text(key).toInt(nullptr, 10); };

    if (has("FilePath")) {
        const QString path = text("FilePath");
        config.imgPath = path.isEmpty() ? defaultImgPath : path;
    }
    if (has("FilePrefix"))
        config.prefix = text("FilePrefix");
    if (has("FileType"))
        config.imageFormat = FormatOfFileType(number("FileType"));
    if (has("ScanCount"))
        config.scanCount = ClampedNumber(text("ScanCount"), "ScanCount", MaxScanCount);
    if (has("ScanMinCountSize"))
        config.scanMinCountSize = ClampedNumber(text("ScanMinCountSize"), "ScanMinCountSize", MaxMinCountSize);
    if (has("DeleteFilesBeforeScan"))
        deleteFilesBeforeScan = number("DeleteFilesBeforeScan") != 0;
    if (has("ShowBase64"))
        showBase64 = number("ShowBase64") != 0;
}
