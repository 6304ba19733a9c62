#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <algorithm>

#include "scanneroption.h"

namespace {

// Maps and assignment lists are written as "key=value" lines; a later line
// for the same key overrides an earlier one.
QHash<QString, QString> toMap(const QStringList &lines)
{
    QHash<QString, QString> map;
    for (const QString &line : lines) {
        const int eq = line.indexOf(QLatin1Char('='));
        map.insert(line.left(eq), line.mid(eq + 1));
    }
    return map;
}

QStringList toLines(const QVector<QPair<QString, QString>> &pairs)
{
    QStringList lines;
    for (const auto &p : pairs)
        lines << p.first + QLatin1Char('=') + p.second;
    return lines;
}

QStringList sortedLines(const QHash<QString, QString> &map)
{
    QStringList lines;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        lines << it.key() + QLatin1Char('=') + it.value();
    lines.sort();
    return lines;
}

Opt_Result option(const QString &name, int constType, const QString &current = QString())
{
    Opt_Result o;
    o.name = name;
    o.type = SANE_TYPE_INT;
    o.constType = constType;
    o.current = current;
    return o;
}

OptionTable table(const QList<Opt_Result> &options)
{
    OptionTable t;
    for (const Opt_Result &o : options)
        t.insert(o.name, o);
    return t;
}

// The two Base64 halves of WriteJson's text, decoded.
struct Halves {
    QByteArray values;
    QByteArray options;
};

Halves decode(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('|'));
    if (parts.size() != 2)
        return {};
    return {QByteArray::fromBase64(parts[0].toLatin1()),
            QByteArray::fromBase64(parts[1].toLatin1())};
}

QJsonObject onlyOption(const QString &text)
{
    const QJsonArray list = QJsonDocument::fromJson(decode(text).options)
                                .object().value(QStringLiteral("Options")).toArray();
    return list.size() == 1 ? list.first().toObject() : QJsonObject();
}

// Every key any backend knows, each with a value that lets the most steps
// through: a feeder source, Lineart with SDTC, custom paper, multifeed stop.
const QStringList everything = {
    "source=ADF Duplex", "mode=Lineart", "resolution=300", "page-auto=no",
    "paper-size=Custom", "page-width=210", "page-height=297", "tl-x=1", "tl-y=2",
    "br-x=209", "br-y=296", "cropping=yes", "bgcolor=Black", "page-auto-priority=Fast",
    "bw-mode=SDTC", "bw-sdtc-variance=5", "threshold=128", "brightness=10",
    "contrast=20", "shadow=30", "highlight=240", "gamma=1.8",
    "multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5", "prepick=yes",
    "dropoutcolor=Red", "cleanup-sharpness=2", "blank-page-skip=yes",
    "blank-page-skip-sensitivity=3", "jpeg=yes", "jpeg-type=Baseline",
    "jpeg-quality=80", "autofeed=yes", "imprinter=On", "string=%05ud", "offset=1",
    "initial-counter-value=7", "counter-step=1", "font-type=Horizontal",
    "font-direction=Top", "time-scan=yes", "interval-time=3",
};

const QStringList imprinterLines = {
    "imprinter=On", "string=%05ud", "offset=1", "initial-counter-value=7",
    "counter-step=1", "font-type=Horizontal", "font-direction=Top",
};

const QStringList toneLines = {
    "brightness=10", "contrast=20", "shadow=30", "highlight=240", "gamma=1.8",
};

const QStringList geometryLines = {
    "page-width=210", "page-height=297", "tl-x=1", "tl-y=2", "br-x=209", "br-y=296",
};

} // namespace

class TestScannerOption : public QObject
{
    Q_OBJECT
private slots:
    void writeJsonMembers_data();
    void writeJsonMembers();
    void writeJsonNumbers_data();
    void writeJsonNumbers();
    void writeJsonEmptyTable();
    void writeJsonExactOption();
    void writeJsonDocuments();
    void writeJsonEmptyAndOrderedLists();

    void getOptionFromJson_data();
    void getOptionFromJson();
    void getOptionFromJsonDeviceChoice();

    void organizeOptions_data();
    void organizeOptions();
    void organizeOptionsResetsFlatbed();
    void organizeOptionsIgnoresJsonKeyOrder();
};

void TestScannerOption::writeJsonMembers_data()
{
    QTest::addColumn<int>("constType");
    QTest::addColumn<QStringList>("extra");

    QTest::newRow("none") << int(SANE_CONSTRAINT_NONE) << QStringList();
    QTest::newRow("range") << int(SANE_CONSTRAINT_RANGE) << QStringList{"range"};
    QTest::newRow("word list") << int(SANE_CONSTRAINT_WORD_LIST) << QStringList{"wordlists"};
    QTest::newRow("string list") << int(SANE_CONSTRAINT_STRING_LIST) << QStringList{"list"};
    QTest::newRow("unknown constraint") << 7 << QStringList();
}

void TestScannerOption::writeJsonMembers()
{
    QFETCH(int, constType);
    QFETCH(QStringList, extra);

    // Fill every constraint field so that only constType decides what shows.
    Opt_Result o = option(QStringLiteral("x"), constType, QStringLiteral("1"));
    o.range = {QStringLiteral("0"), QStringLiteral("9"), QStringLiteral("1")};
    o.wordlists = {1, 2};
    o.list = {QStringLiteral("a")};

    QStringList expected = QStringList{"name", "type", "constType", "isActive",
                                       "isSettable", "unit", "current"} + extra;
    expected.sort();
    QCOMPARE(onlyOption(ScannerOption::WriteJson(table({o}))).keys(), expected);
}

void TestScannerOption::writeJsonNumbers_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("integer") << 300.0 << "300";
    QTest::newRow("fraction") << 0.5 << "0.5";
    QTest::newRow("no exponent below a million") << 1200.0 << "1200";
    QTest::newRow("six significant digits") << 1234.5678 << "1234.57";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative") << -2.5 << "-2.5";
    QTest::newRow("small uses exponent") << 0.00001 << "1e-05";
    QTest::newRow("large uses exponent") << 1234567.0 << "1.23457e+06";
}

void TestScannerOption::writeJsonNumbers()
{
    QFETCH(double, value);
    QFETCH(QString, text);

    Opt_Result o = option(QStringLiteral("resolution"), SANE_CONSTRAINT_WORD_LIST);
    o.wordlists = {value};
    const QJsonArray words = onlyOption(ScannerOption::WriteJson(table({o})))
                                 .value(QStringLiteral("wordlists")).toArray();
    QCOMPARE(words, QJsonArray{text});
}

void TestScannerOption::writeJsonEmptyTable()
{
    QCOMPARE(ScannerOption::WriteJson(OptionTable()),
             QStringLiteral("e30=|eyJPcHRpb25zIjpbXX0="));
}

void TestScannerOption::writeJsonExactOption()
{
    Opt_Result o = option(QStringLiteral("resolution"), SANE_CONSTRAINT_RANGE, QStringLiteral("300"));
    o.unit = QStringLiteral("dpi");
    o.range = {QStringLiteral("50"), QStringLiteral("600"), QStringLiteral("1")};

    const QByteArray options =
        R"({"Options":[{"constType":1,"current":"300","isActive":true,"isSettable":true,)"
        R"("name":"resolution","range":{"max":"600","min":"50","quant":"1"},"type":1,"unit":"dpi"}]})";
    const QByteArray values = R"({"resolution":"300"})";
    QCOMPARE(ScannerOption::WriteJson(table({o})),
             QString::fromLatin1(values.toBase64() + '|' + options.toBase64()));
}

void TestScannerOption::writeJsonDocuments()
{
    Opt_Result inactive = option(QStringLiteral("threshold"), SANE_CONSTRAINT_RANGE);
    inactive.isActive = false;
    Opt_Result mode = option(QStringLiteral("mode"), SANE_CONSTRAINT_STRING_LIST,
                             QStringLiteral("彩色 = ;|"));
    mode.type = SANE_TYPE_STRING;
    const OptionTable t = table({inactive, mode, option(QStringLiteral("resolution"),
                                                       SANE_CONSTRAINT_NONE, QStringLiteral("300"))});

    const QString text = ScannerOption::WriteJson(t);
    QCOMPARE(text.count(QLatin1Char('|')), 1);
    QVERIFY(!text.contains(QLatin1Char('\n')));

    const Halves halves = decode(text);
    QVERIFY(halves.values.contains(QStringLiteral("彩色").toUtf8()));
    const QJsonObject values = QJsonDocument::fromJson(halves.values).object();
    QCOMPARE(values, (QJsonObject{{"threshold", ""}, {"mode", QStringLiteral("彩色 = ;|")},
                                  {"resolution", "300"}}));

    QStringList names;
    for (const QJsonValue &v : QJsonDocument::fromJson(halves.options).object()
                                   .value(QStringLiteral("Options")).toArray()) {
        const QJsonObject obj = v.toObject();
        names << obj.value(QStringLiteral("name")).toString();
        QCOMPARE(obj.value(QStringLiteral("isActive")).toBool(),
                 obj.value(QStringLiteral("name")) != QLatin1String("threshold"));
    }
    names.sort();
    QCOMPARE(names, QStringList({"mode", "resolution", "threshold"}));
}

void TestScannerOption::writeJsonEmptyAndOrderedLists()
{
    Opt_Result words = option(QStringLiteral("resolution"), SANE_CONSTRAINT_WORD_LIST);
    Opt_Result strings = option(QStringLiteral("mode"), SANE_CONSTRAINT_STRING_LIST);
    QCOMPARE(onlyOption(ScannerOption::WriteJson(table({words}))).value(QStringLiteral("wordlists")),
             QJsonValue(QJsonArray()));
    QCOMPARE(onlyOption(ScannerOption::WriteJson(table({strings}))).value(QStringLiteral("list")),
             QJsonValue(QJsonArray()));

    words.wordlists = {75, 150, 0.5};
    strings.list = {QStringLiteral("Lineart"), QStringLiteral("Gray"), QStringLiteral("Color")};
    QCOMPARE(onlyOption(ScannerOption::WriteJson(table({words}))).value(QStringLiteral("wordlists")),
             QJsonValue(QJsonArray{"75", "150", "0.5"}));
    QCOMPARE(onlyOption(ScannerOption::WriteJson(table({strings}))).value(QStringLiteral("list")),
             QJsonValue(QJsonArray{"Lineart", "Gray", "Color"}));
}

void TestScannerOption::getOptionFromJson_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("settings and unknown keys skipped")
        << R"({"FileType":"3","resolution":"300","no-such-option":"1"})" << QStringList{"resolution=300"};
    QTest::newRow("settings keys skipped where the device has them")
        << R"({"FilePath":"/x","FilePrefix":"p","FileType":"3","ScanCount":"1",)"
           R"("ScanMinCountSize":"4","DeleteFilesBeforeScan":"1","ShowBase64":"1","mode":"Gray"})"
        << QStringList{"mode=Gray"};
    QTest::newRow("number reads empty") << R"({"resolution":300})" << QStringList{"resolution="};
    QTest::newRow("boolean and null read empty")
        << R"({"resolution":true,"mode":null})" << QStringList{"mode=", "resolution="};
    QTest::newRow("array and object read empty")
        << R"({"resolution":["300"],"mode":{"v":"Gray"}})" << QStringList{"mode=", "resolution="};
    QTest::newRow("utf-8 value") << QStringLiteral(R"({"mode":"灰度 = ;"})")
                                 << QStringList{QStringLiteral("mode=灰度 = ;")};
    QTest::newRow("another device's option") << R"({"brightness":"5"})" << QStringList();
    QTest::newRow("option names are case-sensitive") << R"({"Resolution":"300"})" << QStringList();
    QTest::newRow("parse error") << R"({"resolution":"300")" << QStringList();
    QTest::newRow("garbage after the object") << R"({"resolution":"300"} x)" << QStringList();
    QTest::newRow("array document") << R"(["resolution","300"])" << QStringList();
    QTest::newRow("empty text") << "" << QStringList();
}

void TestScannerOption::getOptionFromJson()
{
    QFETCH(QString, json);
    QFETCH(QStringList, expected);

    ScannerOption model;
    model.SetAllScannerOptions({
        {"cvnfa-x:1", table({option("resolution", 1), option("mode", 3),
                             option("FileType", 1), option("ShowBase64", 0), option("FilePath", 0)})},
        {"cvnfb-y:2", table({option("brightness", 1)})},
    });
    model.SetCurrentOptionNames(QStringLiteral("cvnfa-x:1"));
    QCOMPARE(sortedLines(model.GetOptionFromJson(json)), expected);
}

void TestScannerOption::getOptionFromJsonDeviceChoice()
{
    const QString json = QStringLiteral(R"({"resolution":"300","brightness":"5"})");
    ScannerOption model;
    QVERIFY(model.GetOptionFromJson(json).isEmpty());

    model.SetAllScannerOptions({{"cvnfa-x:1", table({option("resolution", 1)})},
                                {"cvnfb-y:2", table({option("brightness", 1)})}});
    model.SetCurrentOptionNames(QStringLiteral("cvnfa-x:1"));
    QCOMPARE(sortedLines(model.GetOptionFromJson(json)), QStringList{"resolution=300"});

    model.SetCurrentOptionNames(QStringLiteral("cvnfb-y:2"));
    QCOMPARE(sortedLines(model.GetOptionFromJson(json)), QStringList{"brightness=5"});

    model.SetCurrentOptionNames(QStringLiteral("CVNFA-X:1"));
    QVERIFY(model.GetOptionFromJson(json).isEmpty());

    model.SetCurrentOptionNames(QStringLiteral("cvnfa-x:9"));
    QVERIFY(model.GetOptionFromJson(json).isEmpty());

    // A new preload replaces the old tables as a whole.
    model.SetAllScannerOptions({{"cvnfb-y:2", table({option("brightness", 1)})}});
    model.SetCurrentOptionNames(QStringLiteral("cvnfa-x:1"));
    QVERIFY(model.GetOptionFromJson(json).isEmpty());
}

void TestScannerOption::organizeOptions_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("flatbed");

    const QStringList none;
    QTest::newRow("cvnfa empty") << "cvnfa-x:1" << none << none << false;
    QTest::newRow("cvnfb empty") << "cvnfb-y:2" << none << none << false;
    QTest::newRow("RX300 empty") << "cvnfc:RX300-z" << none << none << true;
    QTest::newRow("RX301 gets nothing") << "cvnfc:RX301" << everything << none << false;
    QTest::newRow("other backend gets nothing") << "other:cvnfa" << everything << none << false;
    QTest::newRow("prefix is case-sensitive") << "CVNFA-x:1" << everything << none << false;

    QTest::newRow("cvnfa full, feeder, Lineart")
        << "cvnfa-x:1" << everything
        << QStringList{"source=ADF Duplex", "mode=Lineart", "resolution=300", "page-auto=no",
                       "paper-size=Custom"} + geometryLines
               + QStringList{"cropping=yes", "bgcolor=Black", "bw-mode=SDTC", "bw-sdtc-variance=5"}
               + toneLines
               + QStringList{"multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5",
                             "prepick=yes", "dropoutcolor=Red", "cleanup-sharpness=2",
                             "blank-page-skip=yes", "blank-page-skip-sensitivity=3", "autofeed=yes"}
               + imprinterLines
        << false;
    QTest::newRow("cvnfa full, feeder, Color, page-auto")
        << "cvnfa-x:1" << everything + QStringList{"mode=Color", "page-auto=yes"}
        << QStringList{"source=ADF Duplex", "mode=Color", "resolution=300", "page-auto=yes",
                       "cropping=yes", "bgcolor=Black", "page-auto-priority=Fast"}
               + toneLines
               + QStringList{"multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5",
                             "prepick=yes", "cleanup-sharpness=2", "blank-page-skip=yes",
                             "blank-page-skip-sensitivity=3", "jpeg=yes", "jpeg-type=Baseline",
                             "jpeg-quality=80", "autofeed=yes"}
               + imprinterLines
        << false;
    QTest::newRow("cvnfb full")
        << "cvnfb-y:2" << everything
        << QStringList{"source=ADF Duplex", "mode=Lineart", "resolution=300", "page-auto=no",
                       "paper-size=Custom"} + geometryLines
               + QStringList{"cropping=yes", "bw-mode=SDTC", "bw-sdtc-variance=5"} + toneLines
               + QStringList{"multifeed-detection=Stop", "mf-overlapping=yes", "dropoutcolor=Red",
                             "cleanup-sharpness=2", "blank-page-skip=yes",
                             "blank-page-skip-sensitivity=3", "autofeed=yes"}
        << false;
    QTest::newRow("RX300 full")
        << "cvnfc:RX300" << everything
        << QStringList{"source=ADF Duplex", "mode=Lineart", "resolution=300", "page-auto=no",
                       "paper-size=Custom", "page-width=210", "page-height=297", "threshold=128",
                       "brightness=10", "contrast=20", "dropoutcolor=Red", "time-scan=yes",
                       "interval-time=3"}
        << true;

    QTest::newRow("cvnfa flatbed drops feeder options")
        << "cvnfa-x:1"
        << QStringList{"source=Flatbed", "mode=Color", "resolution=300", "cropping=yes",
                       "prepick=yes", "multifeed-detection=Stop", "mf-overlapping=yes",
                       "mf-length=5", "bgcolor=Black", "blank-page-skip=yes",
                       "blank-page-skip-sensitivity=3"}
        << QStringList{"source=Flatbed", "mode=Color", "resolution=300"} << true;
    QTest::newRow("cvnfa source differing in case is no flatbed")
        << "cvnfa-x:1" << QStringList{"source=flatbed", "cropping=yes", "prepick=yes"}
        << QStringList{"source=flatbed", "cropping=yes", "prepick=yes"} << false;
    QTest::newRow("empty values are not given")
        << "cvnfa-x:1" << QStringList{"source=", "mode=", "cropping=yes", "dropoutcolor=Red"}
        << QStringList{"cropping=yes"} << false;
    QTest::newRow("cvnfb flatbed keeps feeder options")
        << "cvnfb-y:2" << QStringList{"source=Flatbed", "cropping=yes", "multifeed-detection=Stop"}
        << QStringList{"source=Flatbed", "cropping=yes", "multifeed-detection=Stop"} << true;
    QTest::newRow("RX300 is flatbed whatever the source")
        << "cvnfc:RX300" << QStringList{"source=Front"} << QStringList{"source=Front"} << true;

    QTest::newRow("cvnfa page-auto drops paper, priority without bgcolor")
        << "cvnfa-x:1"
        << QStringList{"page-auto=yes", "paper-size=Custom", "page-auto-priority=Fast"} + geometryLines
        << QStringList{"page-auto=yes", "page-auto-priority=Fast"} << false;
    QTest::newRow("cvnfa priority dropped with White bgcolor")
        << "cvnfa-x:1" << QStringList{"page-auto=yes", "bgcolor=White", "page-auto-priority=Fast"}
        << QStringList{"page-auto=yes", "bgcolor=White"} << false;
    QTest::newRow("cvnfa priority dropped on flatbed")
        << "cvnfa-x:1" << QStringList{"source=Flatbed", "page-auto=yes", "page-auto-priority=Fast"}
        << QStringList{"source=Flatbed", "page-auto=yes"} << true;
    QTest::newRow("cvnfa priority dropped without page-auto")
        << "cvnfa-x:1" << QStringList{"page-auto-priority=Fast"} << none << false;
    QTest::newRow("cvnfa standard paper drops geometry")
        << "cvnfa-x:1" << QStringList{"paper-size=A4"} + geometryLines
        << QStringList{"paper-size=A4"} << false;
    QTest::newRow("cvnfb page-auto keeps custom paper")
        << "cvnfb-y:2" << QStringList{"page-auto=yes", "paper-size=Custom"} + geometryLines
        << QStringList{"page-auto=yes", "paper-size=Custom"} + geometryLines << false;
    QTest::newRow("RX300 custom paper has width and height only")
        << "cvnfc:RX300" << QStringList{"page-auto=no", "paper-size=Custom"} + geometryLines
        << QStringList{"page-auto=no", "paper-size=Custom", "page-width=210", "page-height=297"}
        << true;
    QTest::newRow("RX300 page-auto drops paper")
        << "cvnfc:RX300" << QStringList{"page-auto=yes", "paper-size=Custom", "page-width=210"}
        << QStringList{"page-auto=yes"} << true;

    const QStringList bw{"bw-mode=SDTC", "bw-sdtc-variance=5", "threshold=128", "dropoutcolor=Red"};
    QTest::newRow("cvnfa Gray drops black-and-white options")
        << "cvnfa-x:1" << QStringList{"mode=Gray"} + bw
        << QStringList{"mode=Gray", "dropoutcolor=Red"} << false;
    QTest::newRow("cvnfb Gray drops black-and-white options")
        << "cvnfb-y:2" << QStringList{"mode=Gray"} + bw
        << QStringList{"mode=Gray", "dropoutcolor=Red"} << false;
    QTest::newRow("cvnfb Lineart SDTC drops threshold")
        << "cvnfb-y:2" << QStringList{"mode=Lineart"} + bw
        << QStringList{"mode=Lineart", "bw-mode=SDTC", "bw-sdtc-variance=5", "dropoutcolor=Red"}
        << false;
    QTest::newRow("cvnfa Lineart Threshold drops variance")
        << "cvnfa-x:1" << QStringList{"mode=Lineart"} + bw + QStringList{"bw-mode=Threshold"}
        << QStringList{"mode=Lineart", "bw-mode=Threshold", "threshold=128", "dropoutcolor=Red"}
        << false;
    QTest::newRow("cvnfa Color drops dropout colour")
        << "cvnfa-x:1" << QStringList{"mode=Color", "dropoutcolor=Red"}
        << QStringList{"mode=Color"} << false;
    QTest::newRow("RX300 threshold with Lineart alone")
        << "cvnfc:RX300" << QStringList{"mode=Lineart"} + bw
        << QStringList{"mode=Lineart", "threshold=128", "dropoutcolor=Red"} << true;
    QTest::newRow("RX300 Gray drops threshold")
        << "cvnfc:RX300" << QStringList{"mode=Gray", "threshold=128"}
        << QStringList{"mode=Gray"} << true;

    QTest::newRow("cvnfb multifeed stop drops length")
        << "cvnfb-y:2" << QStringList{"multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5"}
        << QStringList{"multifeed-detection=Stop", "mf-overlapping=yes"} << false;
    QTest::newRow("cvnfa multifeed other than stop")
        << "cvnfa-x:1" << QStringList{"multifeed-detection=Continue", "mf-overlapping=yes", "mf-length=5"}
        << QStringList{"multifeed-detection=Continue"} << false;
    QTest::newRow("blank-page-skip off drops sensitivity")
        << "cvnfb-y:2" << QStringList{"blank-page-skip=no", "blank-page-skip-sensitivity=3"}
        << QStringList{"blank-page-skip=no"} << false;
    QTest::newRow("RX300 time-scan off drops interval")
        << "cvnfc:RX300" << QStringList{"time-scan=no", "interval-time=3"}
        << QStringList{"time-scan=no"} << true;

    QTest::newRow("cvnfa imprinter off")
        << "cvnfa-x:1" << QStringList{"blank-page-skip=yes", "imprinter=Off", "string=A", "offset=1"}
        << QStringList{"blank-page-skip=yes", "imprinter=Off"} << false;
    QTest::newRow("cvnfa imprinter not given")
        << "cvnfa-x:1" << QStringList{"imprinter=", "string=A", "offset=1"} << none << false;
    QTest::newRow("cvnfa jpeg not yes")
        << "cvnfa-x:1" << QStringList{"mode=Gray", "jpeg=no", "jpeg-type=Baseline", "jpeg-quality=80"}
        << QStringList{"mode=Gray", "jpeg=no"} << false;
    QTest::newRow("cvnfa later steps run without blank-page-skip")
        << "cvnfa-x:1"
        << QStringList{"mode=Gray", "jpeg=yes", "jpeg-type=Baseline", "jpeg-quality=80",
                       "autofeed=yes"} + imprinterLines
        << QStringList{"mode=Gray", "jpeg=yes", "jpeg-type=Baseline", "jpeg-quality=80",
                       "autofeed=yes"} + imprinterLines
        << false;
    QTest::newRow("cvnfa later steps run on flatbed")
        << "cvnfa-x:1" << QStringList{"source=Flatbed", "mode=Color", "jpeg=yes", "autofeed=yes", "imprinter=On"}
        << QStringList{"source=Flatbed", "mode=Color", "jpeg=yes", "autofeed=yes", "imprinter=On"}
        << true;
}

void TestScannerOption::organizeOptions()
{
    QFETCH(QString, device);
    QFETCH(QStringList, values);
    QFETCH(QStringList, expected);
    QFETCH(bool, flatbed);

    ScannerOption model;
    QCOMPARE(toLines(model.OrganizeOptions(device, toMap(values))), expected);
    QCOMPARE(model.IsFlatbed(), flatbed);
}

void TestScannerOption::organizeOptionsResetsFlatbed()
{
    ScannerOption model;
    model.OrganizeOptions(QStringLiteral("cvnfc:RX300"), {});
    QVERIFY(model.IsFlatbed());
    model.OrganizeOptions(QStringLiteral("cvnfa-x:1"), {});
    QVERIFY(!model.IsFlatbed());

    model.OrganizeOptions(QStringLiteral("cvnfa-x:1"), toMap({"source=Flatbed"}));
    QVERIFY(model.IsFlatbed());
    model.OrganizeOptions(QStringLiteral("cvnfb-y:2"), toMap({"mode=Gray"}));
    QVERIFY(!model.IsFlatbed());
    model.OrganizeOptions(QStringLiteral("cvnfb-y:2"), toMap({"source=Flatbed"}));
    QVERIFY(model.IsFlatbed());
    model.OrganizeOptions(QStringLiteral("unknown"), toMap({"source=Flatbed"}));
    QVERIFY(!model.IsFlatbed());
}

void TestScannerOption::organizeOptionsIgnoresJsonKeyOrder()
{
    const QString device = QStringLiteral("cvnfa-x:1");
    const QStringList keys{"source", "mode", "resolution", "dropoutcolor", "brightness", "autofeed"};
    QList<Opt_Result> options;
    for (const QString &k : keys)
        options << option(k, 0);
    ScannerOption model;
    model.SetAllScannerOptions({{device, table(options)}});
    model.SetCurrentOptionNames(device);

    const QStringList members{R"("autofeed":"yes")", R"("brightness":"5")", R"("dropoutcolor":"Red")",
                              R"("mode":"Gray")", R"("resolution":"200")", R"("source":"ADF")",
                              R"("FileType":"1")"};
    const QStringList expected{"source=ADF", "mode=Gray", "resolution=200", "brightness=5",
                               "dropoutcolor=Red", "autofeed=yes"};
    QStringList shuffled = members;
    for (int round = 0; round < 3; ++round) {
        const QString json = QLatin1Char('{') + shuffled.join(QLatin1String(" , ")) + QLatin1Char('}');
        QCOMPARE(toLines(model.OrganizeOptions(device, model.GetOptionFromJson(json))), expected);
        std::reverse(shuffled.begin(), shuffled.end());
        shuffled.move(0, 3);
    }
}

QTEST_APPLESS_MAIN(TestScannerOption)
#include "tst_scanneroption.moc"
