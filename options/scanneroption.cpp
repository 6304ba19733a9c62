#include "scanneroption.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLatin1String>

namespace {

using Assignments = QVector<QPair<QString, QString>>;

// Keys of the page's scan settings that configure the output files; a device
// option of the same name must not be set from them.
const char *const settingsKeys[] = {
    "FilePath", "FilePrefix", "FileType", "ScanCount",
    "ScanMinCountSize", "DeleteFilesBeforeScan", "ShowBase64",
};

bool isSettingsKey(const QString &key)
{
    for (const char *s : settingsKeys) {
        if (key == QLatin1String(s))
            return true;
    }
    return false;
}

// Walks one backend's steps: each step consumes its key from the page's
// values, so whatever no step names is dropped with the map.
class Sequence
{
public:
    Sequence(QHash<QString, QString> &values, Assignments &out)
        : m_values(values), m_out(out) {}

    // Returns the page's value for the key even when the step may not append
    // it: later conditions compare against what was asked for. Their
    // conditions repeat the parent's, so this never lets a child through
    // whose parent was refused.
    QString step(const char *key, bool allowed = true)
    {
        const QString name = QString::fromLatin1(key);
        const QString value = m_values.take(name);
        if (allowed && !value.isEmpty())
            m_out.append(qMakePair(name, value));
        return value;
    }

private:
    QHash<QString, QString> &m_values;
    Assignments &m_out;
};

bool is(const QString &value, const char *word)
{
    return value == QLatin1String(word);
}

void paperGeometry(Sequence &s, bool custom)
{
    for (const char *key : {"page-width", "page-height", "tl-x", "tl-y", "br-x", "br-y"})
        s.step(key, custom);
}

void blackAndWhite(Sequence &s, const QString &mode)
{
    const bool lineart = is(mode, "Lineart");
    const QString bwMode = s.step("bw-mode", lineart);
    s.step("bw-sdtc-variance", lineart && is(bwMode, "SDTC"));
    s.step("threshold", lineart && is(bwMode, "Threshold"));
}

void tone(Sequence &s)
{
    for (const char *key : {"brightness", "contrast", "shadow", "highlight", "gamma"})
        s.step(key);
}

// Dropout colours exist only where the scanner reduces colour.
bool reducesColour(const QString &mode)
{
    return is(mode, "Lineart") || is(mode, "Gray");
}

bool organizeCvnfa(Sequence &s)
{
    const QString source = s.step("source");
    const bool flatbed = is(source, "Flatbed");
    const QString mode = s.step("mode");
    s.step("resolution");
    const bool pageAuto = is(s.step("page-auto"), "yes");
    const QString paperSize = s.step("paper-size", !pageAuto);
    paperGeometry(s, !pageAuto && is(paperSize, "Custom"));

    // The feeder-only features: the flatbed has no feeder to crop, pick or
    // watch for double feeds.
    s.step("cropping", !flatbed);
    const QString bgcolor = s.step("bgcolor", !flatbed);
    s.step("page-auto-priority", pageAuto && !flatbed && !is(bgcolor, "White"));

    blackAndWhite(s, mode);
    tone(s);

    const QString multifeed = s.step("multifeed-detection", !flatbed);
    s.step("mf-overlapping", !flatbed && is(multifeed, "Stop"));
    s.step("mf-length", !flatbed && is(multifeed, "Stop"));
    s.step("prepick", !flatbed);
    s.step("dropoutcolor", reducesColour(mode));
    s.step("cleanup-sharpness");
    const QString blankSkip = s.step("blank-page-skip", !flatbed);
    s.step("blank-page-skip-sensitivity", !flatbed && is(blankSkip, "yes"));

    // JPEG, feeding and imprinter settings do not depend on blank-page-skip:
    // they are applied whether or not the page asked for it.
    const bool jpegMode = is(mode, "Gray") || is(mode, "Color");
    const bool jpeg = is(s.step("jpeg", jpegMode), "yes");
    s.step("jpeg-type", jpegMode && jpeg);
    s.step("jpeg-quality", jpegMode && jpeg);
    s.step("autofeed");
    const QString imprinter = s.step("imprinter");
    const bool printing = !imprinter.isEmpty() && !is(imprinter, "Off");
    for (const char *key : {"string", "offset", "initial-counter-value", "counter-step",
                            "font-type", "font-direction"})
        s.step(key, printing);
    return flatbed;
}

bool organizeCvnfb(Sequence &s)
{
    const bool flatbed = is(s.step("source"), "Flatbed");
    const QString mode = s.step("mode");
    s.step("resolution");
    s.step("page-auto");
    paperGeometry(s, is(s.step("paper-size"), "Custom"));
    s.step("cropping");
    blackAndWhite(s, mode);
    tone(s);
    s.step("mf-overlapping", is(s.step("multifeed-detection"), "Stop"));
    s.step("dropoutcolor", reducesColour(mode));
    s.step("cleanup-sharpness");
    s.step("blank-page-skip-sensitivity", is(s.step("blank-page-skip"), "yes"));
    s.step("autofeed");
    return flatbed;
}

void organizeRx300(Sequence &s)
{
    s.step("source");
    const QString mode = s.step("mode");
    s.step("resolution");
    const bool pageAuto = is(s.step("page-auto"), "yes");
    const QString paperSize = s.step("paper-size", !pageAuto);
    const bool custom = !pageAuto && is(paperSize, "Custom");
    s.step("page-width", custom);
    s.step("page-height", custom);
    s.step("threshold", is(mode, "Lineart"));
    s.step("brightness");
    s.step("contrast");
    s.step("dropoutcolor", reducesColour(mode));
    s.step("interval-time", is(s.step("time-scan"), "yes"));
}

QJsonObject optionObject(const Opt_Result &o)
{
    QJsonObject obj;
    obj.insert(QStringLiteral("name"), o.name);
    obj.insert(QStringLiteral("type"), o.type);
    obj.insert(QStringLiteral("constType"), o.constType);
    obj.insert(QStringLiteral("isActive"), o.isActive);
    obj.insert(QStringLiteral("isSettable"), o.isSettable);
    obj.insert(QStringLiteral("unit"), o.unit);
    obj.insert(QStringLiteral("current"), o.current);
    switch (o.constType) {
    case SANE_CONSTRAINT_RANGE:
        obj.insert(QStringLiteral("range"),
                   QJsonObject{{QStringLiteral("min"), o.range.min},
                               {QStringLiteral("max"), o.range.max},
                               {QStringLiteral("quant"), o.range.quant}});
        break;
    case SANE_CONSTRAINT_WORD_LIST: {
        QJsonArray words;
        for (double w : o.wordlists)
            words.append(QString::number(w, 'g', 6));
        obj.insert(QStringLiteral("wordlists"), words);
        break;
    }
    case SANE_CONSTRAINT_STRING_LIST:
        obj.insert(QStringLiteral("list"), QJsonArray::fromStringList(o.list));
        break;
    default:
        break;
    }
    return obj;
}

QByteArray base64Json(const QJsonObject &obj)
{
    return QJsonDocument(obj).toJson(QJsonDocument::Compact).toBase64();
}

} // namespace

void ScannerOption::SetAllScannerOptions(const QHash<QString, OptionTable> &all)
{
    m_allScannerOptions = all;
}

QString ScannerOption::WriteJson(const OptionTable &options)
{
    QJsonObject values;
    QJsonArray list;
    for (const Opt_Result &o : options) {
        values.insert(o.name, o.current);
        list.append(optionObject(o));
    }
    const QJsonObject doc{{QStringLiteral("Options"), list}};
    return QString::fromLatin1(base64Json(values) + '|' + base64Json(doc));
}

void ScannerOption::SetCurrentOptionNames(const QString &deviceName)
{
    m_currentOptionNames.clear();
    const auto device = m_allScannerOptions.constFind(deviceName);
    if (device == m_allScannerOptions.constEnd())
        return;
    for (const Opt_Result &o : *device)
        m_currentOptionNames.append(o.name);
}

QHash<QString, QString> ScannerOption::GetOptionFromJson(const QString &json) const
{
    QHash<QString, QString> result;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return result;
    const QJsonObject obj = doc.object(); // empty for an array document
    for (auto it = obj.constBegin(); it != obj.constEnd(); ++it) {
        if (isSettingsKey(it.key()) || !m_currentOptionNames.contains(it.key()))
            continue;
        // Only strings carry a value; anything else reads as "not given".
        result.insert(it.key(), it.value().isString() ? it.value().toString() : QString());
    }
    return result;
}

QVector<QPair<QString, QString>> ScannerOption::OrganizeOptions(const QString &deviceName,
                                                                QHash<QString, QString> values)
{
    m_isFlatbed = false;
    Assignments result;
    Sequence s(values, result);
    if (deviceName.startsWith(QLatin1String("cvnfa"))) {
        m_isFlatbed = organizeCvnfa(s);
    } else if (deviceName.startsWith(QLatin1String("cvnfb"))) {
        m_isFlatbed = organizeCvnfb(s);
    } else if (deviceName.startsWith(QLatin1String("cvnfc:RX300"))) {
        // An overhead scanner: it has no feeder, whatever its source says.
        m_isFlatbed = true;
        organizeRx300(s);
    }
    return result;
}
