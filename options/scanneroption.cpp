#include "scanneroption.h"

#include "filesettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLatin1String>

#include <vector>

namespace {

using Assignments = QVector<QPair<QString, QString>>;

// One backend's steps, in the order they are applied. A step takes its key
// out of the page's values and appends it when the value is given and its
// condition holds. Conditions compare the values earlier steps took, whether
// or not those steps appended them; each condition already repeats its
// parent's, so a child never follows a refused parent.
struct Clause {
    enum Kind { Is, IsNot, GivenAndNot } kind;
    const char *key;
    std::vector<const char *> words;

    bool holds(const QHash<QString, QString> &taken) const
    {
        const QString value = taken.value(QLatin1String(key));
        bool listed = false;
        for (const char *w : words)
            listed = listed || value == QLatin1String(w);
        switch (kind) {
        case Is: return listed;
        case IsNot: return !listed;
        case GivenAndNot: return !value.isEmpty() && !listed;
        }
        return false;
    }
};

Clause is(const char *key, std::vector<const char *> words) { return {Clause::Is, key, std::move(words)}; }
Clause isNot(const char *key, const char *word) { return {Clause::IsNot, key, {word}}; }

struct Step {
    const char *key;
    std::vector<Clause> when; // all must hold; none: always
};

const Clause feeder = isNot("source", "Flatbed");
const Clause noPageAuto = isNot("page-auto", "yes");

const std::vector<Step> &cvnfaSteps()
{
    static const Clause custom = is("paper-size", {"Custom"});
    static const Clause lineart = is("mode", {"Lineart"});
    static const Clause stop = is("multifeed-detection", {"Stop"});
    static const Clause jpegMode = is("mode", {"Gray", "Color"});
    static const Clause jpeg = is("jpeg", {"yes"});
    static const Clause printing = {Clause::GivenAndNot, "imprinter", {"Off"}};
    static const std::vector<Step> steps = {
        {"source", {}},
        {"mode", {}},
        {"resolution", {}},
        {"page-auto", {}},
        {"paper-size", {noPageAuto}},
        {"page-width", {noPageAuto, custom}},
        {"page-height", {noPageAuto, custom}},
        {"tl-x", {noPageAuto, custom}},
        {"tl-y", {noPageAuto, custom}},
        {"br-x", {noPageAuto, custom}},
        {"br-y", {noPageAuto, custom}},
        {"cropping", {feeder}},
        {"bgcolor", {feeder}},
        {"page-auto-priority", {is("page-auto", {"yes"}), feeder, isNot("bgcolor", "White")}},
        {"bw-mode", {lineart}},
        {"bw-sdtc-variance", {lineart, is("bw-mode", {"SDTC"})}},
        {"threshold", {lineart, is("bw-mode", {"Threshold"})}},
        {"brightness", {}},
        {"contrast", {}},
        {"shadow", {}},
        {"highlight", {}},
        {"gamma", {}},
        {"multifeed-detection", {feeder}},
        {"mf-overlapping", {feeder, stop}},
        {"mf-length", {feeder, stop}},
        {"prepick", {feeder}},
        {"dropoutcolor", {is("mode", {"Lineart", "Gray"})}},
        {"cleanup-sharpness", {}},
        {"blank-page-skip", {feeder}},
        {"blank-page-skip-sensitivity", {feeder, is("blank-page-skip", {"yes"})}},
        // JPEG, feeding and imprinter settings do not depend on
        // blank-page-skip: they apply whether or not the page asked for it.
        {"jpeg", {jpegMode}},
        {"jpeg-type", {jpegMode, jpeg}},
        {"jpeg-quality", {jpegMode, jpeg}},
        {"autofeed", {}},
        {"imprinter", {}},
        {"string", {printing}},
        {"offset", {printing}},
        {"initial-counter-value", {printing}},
        {"counter-step", {printing}},
        {"font-type", {printing}},
        {"font-direction", {printing}},
    };
    return steps;
}

const std::vector<Step> &cvnfbSteps()
{
    static const Clause custom = is("paper-size", {"Custom"});
    static const Clause lineart = is("mode", {"Lineart"});
    static const std::vector<Step> steps = {
        {"source", {}},
        {"mode", {}},
        {"resolution", {}},
        {"page-auto", {}},
        {"paper-size", {}},
        {"page-width", {custom}},
        {"page-height", {custom}},
        {"tl-x", {custom}},
        {"tl-y", {custom}},
        {"br-x", {custom}},
        {"br-y", {custom}},
        {"cropping", {}},
        {"bw-mode", {lineart}},
        {"bw-sdtc-variance", {lineart, is("bw-mode", {"SDTC"})}},
        {"threshold", {lineart, is("bw-mode", {"Threshold"})}},
        {"brightness", {}},
        {"contrast", {}},
        {"shadow", {}},
        {"highlight", {}},
        {"gamma", {}},
        {"multifeed-detection", {}},
        {"mf-overlapping", {is("multifeed-detection", {"Stop"})}},
        {"dropoutcolor", {is("mode", {"Lineart", "Gray"})}},
        {"cleanup-sharpness", {}},
        {"blank-page-skip", {}},
        {"blank-page-skip-sensitivity", {is("blank-page-skip", {"yes"})}},
        {"autofeed", {}},
    };
    return steps;
}

const std::vector<Step> &rx300Steps()
{
    static const Clause custom = is("paper-size", {"Custom"});
    static const std::vector<Step> steps = {
        {"source", {}},
        {"mode", {}},
        {"resolution", {}},
        {"page-auto", {}},
        {"paper-size", {noPageAuto}},
        {"page-width", {noPageAuto, custom}},
        {"page-height", {noPageAuto, custom}},
        {"threshold", {is("mode", {"Lineart"})}},
        {"brightness", {}},
        {"contrast", {}},
        {"dropoutcolor", {is("mode", {"Lineart", "Gray"})}},
        {"time-scan", {}},
        {"interval-time", {is("time-scan", {"yes"})}},
    };
    return steps;
}

} // namespace

struct ScannerOption::Backend {
    const char *prefix;
    const std::vector<Step> &(*steps)();
    // An overhead scanner has no feeder, whatever its source says; the
    // others scan the flatbed when the page chose it.
    bool alwaysFlatbed;
};

namespace {

const ScannerOption::Backend backends[] = {
    {"cvnfa", cvnfaSteps, false},
    {"cvnfb", cvnfbSteps, false},
    {"cvnfc:RX300", rx300Steps, true},
};

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
    return GetOptionFromJson(FileSettings::Read(json).choices);
}

QHash<QString, QString> ScannerOption::GetOptionFromJson(const QHash<QString, QString> &choices) const
{
    QHash<QString, QString> result;
    for (auto it = choices.constBegin(); it != choices.constEnd(); ++it) {
        if (m_currentOptionNames.contains(it.key()))
            result.insert(it.key(), it.value());
    }
    return result;
}

const ScannerOption::Backend *ScannerOption::BackendOf(const QString &deviceName)
{
    for (const Backend &backend : backends) {
        if (deviceName.startsWith(QLatin1String(backend.prefix)))
            return &backend;
    }
    return nullptr;
}

bool ScannerOption::IsOfferedDevice(const QString &deviceName)
{
    return BackendOf(deviceName) != nullptr;
}

bool ScannerOption::IsAlwaysFlatbed(const QString &deviceName)
{
    const Backend *backend = BackendOf(deviceName);
    return backend && backend->alwaysFlatbed;
}

QVector<QPair<QString, QString>> ScannerOption::OrganizeOptions(const QString &deviceName,
                                                                QHash<QString, QString> values)
{
    m_isFlatbed = false;
    Assignments result;
    for (const Backend &backend : backends) {
        if (!deviceName.startsWith(QLatin1String(backend.prefix)))
            continue;
        QHash<QString, QString> taken;
        for (const Step &step : backend.steps()) {
            const QString key = QLatin1String(step.key);
            const QString value = values.take(key);
            taken.insert(key, value);
            bool allowed = true;
            for (const Clause &c : step.when)
                allowed = allowed && c.holds(taken);
            if (allowed && !value.isEmpty())
                result.append(qMakePair(key, value));
        }
        m_isFlatbed = backend.alwaysFlatbed || taken.value(QStringLiteral("source")) == QLatin1String("Flatbed");
        break;
    }
    return result;
}
