#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "scanneroption.h"

Q_DECLARE_METATYPE(OptionTable)

namespace {

// Maps and assignment lists are written as "key=value" lines; a later line
// for the same key overrides an earlier one.
QHash<QString, QString> toMap(const QStringList &lines)
{
    QHash<QString, QString> map;
    for (const QString &line : lines)
        map.insert(line.section('=', 0, 0), line.section('=', 1));
    return map;
}

QStringList toLines(const QVector<QPair<QString, QString>> &pairs)
{
    QStringList lines;
    for (const auto &p : pairs)
        lines << p.first + '=' + p.second;
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

// The options array keyed by name: the array's order is the table's, which
// has none.
QJsonObject byName(const QByteArray &optionsDocument)
{
    QJsonObject out;
    for (const QJsonValue &v : QJsonDocument::fromJson(optionsDocument).object().value("Options").toArray())
        out.insert(v.toObject().value("name").toString(), v);
    return out;
}

// Every key any backend knows, in the order the backends apply them, each
// with a value that lets the most steps through: a feeder source, Lineart
// with SDTC, custom paper, multifeed stop.
const QStringList everything = {
    "source=ADF Duplex", "mode=Lineart", "resolution=300", "page-auto=no", "paper-size=Custom", "page-width=210",
    "page-height=297", "tl-x=1", "tl-y=2", "br-x=209", "br-y=296", "cropping=yes", "bgcolor=Black",
    "page-auto-priority=Fast", "bw-mode=SDTC", "bw-sdtc-variance=5", "threshold=128", "brightness=10", "contrast=20",
    "shadow=30", "highlight=240", "gamma=1.8", "multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5",
    "prepick=yes", "dropoutcolor=Red", "cleanup-sharpness=2", "blank-page-skip=yes", "blank-page-skip-sensitivity=3",
    "jpeg=yes", "jpeg-type=Baseline", "jpeg-quality=80", "autofeed=yes", "imprinter=On", "string=%05ud", "offset=1",
    "initial-counter-value=7", "counter-step=1", "font-type=Horizontal", "font-direction=Top", "time-scan=yes",
    "interval-time=3",
};

const QStringList geometryLines = {"page-width=210", "page-height=297", "tl-x=1", "tl-y=2", "br-x=209", "br-y=296"};

// `lines` in their order without the keys of `drop`.
QStringList without(const QStringList &lines, const QStringList &drop)
{
    QStringList out;
    for (const QString &line : lines)
        if (!drop.contains(line.section('=', 0, 0)))
            out << line;
    return out;
}

} // namespace

class TestScannerOption : public QObject
{
    Q_OBJECT
private slots:
    void writeJson_data();
    void writeJson();
    void getOptionFromJson_data();
    void getOptionFromJson();
    void namesComeFromTheLatestPreload();
    void organizeOptions_data();
    void organizeOptions();
};

void TestScannerOption::writeJson_data()
{
    QTest::addColumn<OptionTable>("options");
    QTest::addColumn<QByteArray>("values");
    QTest::addColumn<QByteArray>("document");

    QTest::newRow("empty table") << OptionTable() << QByteArray("{}") << QByteArray(R"({"Options":[]})");

    Opt_Result range = option("resolution", SANE_CONSTRAINT_RANGE, "300");
    range.unit = "dpi";
    range.range = {"50", "600", "1"};
    QTest::newRow("range") << table({range}) << QByteArray(R"({"resolution":"300"})")
        << QByteArray(R"({"Options":[{"constType":1,"current":"300","isActive":true,"isSettable":true,)"
                      R"("name":"resolution","range":{"max":"600","min":"50","quant":"1"},"type":1,"unit":"dpi"}]})");

    // Every constraint field filled: only constType decides which one shows.
    for (int constType : {int(SANE_CONSTRAINT_NONE), 7}) {
        Opt_Result o = option("x", constType, "1");
        o.isActive = constType != SANE_CONSTRAINT_NONE;
        o.isSettable = !o.isActive;
        o.range = {"0", "9", "1"};
        o.wordlists = {1, 2};
        o.list = {"a"};
        const QByteArray flags = o.isActive ? R"("isActive":true,"isSettable":false)" : R"("isActive":false,"isSettable":true)";
        QTest::addRow("constraint %d", constType) << table({o}) << QByteArray(R"({"x":"1"})")
            << QByteArray(R"({"Options":[{"constType":)" + QByteArray::number(constType) + R"(,"current":"1",)" + flags
                          + R"(,"name":"x","type":1,"unit":""}]})");
    }

    Opt_Result words = option("w", SANE_CONSTRAINT_WORD_LIST);
    words.wordlists = {75, 150, 0.5, 1200, 1234.5678, 0, -2.5, 0.00001, 1234567};
    QTest::newRow("word list numbers") << table({words}) << QByteArray(R"({"w":""})")
        << QByteArray(R"({"Options":[{"constType":2,"current":"","isActive":true,"isSettable":true,"name":"w",)"
                      R"("type":1,"unit":"","wordlists":["75","150","0.5","1200","1234.57","0","-2.5","1e-05","1.23457e+06"]}]})");

    Opt_Result mode = option("mode", SANE_CONSTRAINT_STRING_LIST, QStringLiteral("彩色 = ;|"));
    mode.type = SANE_TYPE_STRING;
    mode.list = {"Lineart", "Gray", "Color"};
    QTest::newRow("string list, UTF-8 and the separator in a value") << table({mode})
        << QStringLiteral(R"({"mode":"彩色 = ;|"})").toUtf8()
        << QStringLiteral(R"({"Options":[{"constType":3,"current":"彩色 = ;|","isActive":true,"isSettable":true,)"
                          R"("list":["Lineart","Gray","Color"],"name":"mode","type":3,"unit":""}]})").toUtf8();

    QTest::newRow("empty lists, two options")
        << table({option("w", SANE_CONSTRAINT_WORD_LIST, "5"), option("s", SANE_CONSTRAINT_STRING_LIST)})
        << QByteArray(R"({"s":"","w":"5"})")
        << QByteArray(R"({"Options":[{"constType":3,"current":"","isActive":true,"isSettable":true,"list":[],)"
                      R"("name":"s","type":1,"unit":""},{"constType":2,"current":"5","isActive":true,)"
                      R"("isSettable":true,"name":"w","type":1,"unit":"","wordlists":[]}]})");
}

void TestScannerOption::writeJson()
{
    QFETCH(OptionTable, options);
    QFETCH(QByteArray, values);
    QFETCH(QByteArray, document);

    const QStringList halves = ScannerOption::WriteJson(options).split('|');
    QCOMPARE(halves.size(), 2);
    QCOMPARE(halves[0], QString::fromLatin1(values.toBase64()));
    if (options.size() < 2)
        QCOMPARE(halves[1], QString::fromLatin1(document.toBase64()));
    else
        QCOMPARE(byName(QByteArray::fromBase64(halves[1].toLatin1())), byName(document));
}

void TestScannerOption::getOptionFromJson_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("options of the device only, settings keys skipped") << "cvnfa-x:1"
        << QStringLiteral(R"({"FilePath":"/x","FilePrefix":"p","FileType":"3","ScanCount":"1",)"
                          R"("ScanMinCountSize":"4","DeleteFilesBeforeScan":"1","ShowBase64":"1",)"
                          R"("mode":"灰度 = ;","resolution":"300","brightness":"5","Gamma":"2","no-such":"1"})")
        << QStringList{QStringLiteral("mode=灰度 = ;"), "resolution=300"};
    QTest::newRow("values other than strings read empty") << "cvnfa-x:1"
        << R"({"resolution":300,"mode":true,"source":null,"gamma":["2"],"shadow":{"v":"1"}})"
        << QStringList{"gamma=", "mode=", "resolution=", "shadow=", "source="};
    QTest::newRow("parse error") << "cvnfa-x:1" << R"({"resolution":"300")" << QStringList();
    QTest::newRow("array document") << "cvnfa-x:1" << R"(["resolution","300"])" << QStringList();
    const QString both = R"({"resolution":"300","brightness":"5"})";
    QTest::newRow("another device") << "cvnfb-y:2" << both << QStringList{"brightness=5"};
    QTest::newRow("device name in other case") << "CVNFA-X:1" << both << QStringList();
    QTest::newRow("device outside the preload") << "cvnfa-x:9" << both << QStringList();
}

void TestScannerOption::getOptionFromJson()
{
    QFETCH(QString, device);
    QFETCH(QString, json);
    QFETCH(QStringList, expected);

    ScannerOption model;
    QList<Opt_Result> own;
    for (const char *name : {"resolution", "mode", "source", "gamma", "shadow", "FileType", "ShowBase64", "FilePath"})
        own << option(name, 0);
    model.SetAllScannerOptions({{"cvnfa-x:1", table(own)}, {"cvnfb-y:2", table({option("brightness", 1)})}});
    model.SetCurrentOptionNames(device);
    QStringList got;
    const auto map = model.GetOptionFromJson(json);
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        got << it.key() + '=' + it.value();
    got.sort();
    QCOMPARE(got, expected);
}

void TestScannerOption::namesComeFromTheLatestPreload()
{
    const QString json = QStringLiteral(R"({"resolution":"300","brightness":"5"})");
    ScannerOption model;
    QVERIFY(model.GetOptionFromJson(json).isEmpty());
    model.SetAllScannerOptions({{"cvnfa-x:1", table({option("resolution", 1)})}});
    model.SetCurrentOptionNames(QStringLiteral("cvnfa-x:1"));
    QCOMPARE(model.GetOptionFromJson(json).keys(), QStringList{"resolution"});
    // The tables and the job's names are replaced as a whole.
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
    QTest::newRow("RX300 empty") << "cvnfc:RX300-z" << none << none << true;
    QTest::newRow("RX301 gets nothing") << "cvnfc:RX301" << everything << none << false;
    QTest::newRow("other backend gets nothing") << "other:cvnfa" << everything << none << false;
    QTest::newRow("prefix is case-sensitive") << "CVNFA-x:1" << everything << none << false;

    const QStringList jpegAndRx300{"jpeg", "jpeg-type", "jpeg-quality", "time-scan", "interval-time"};
    QTest::newRow("cvnfa full, feeder, Lineart") << "cvnfa-x:1" << everything
        << without(everything, QStringList{"page-auto-priority", "threshold"} + jpegAndRx300) << false;
    QStringList colorAuto = everything;
    colorAuto.replaceInStrings("mode=Lineart", "mode=Color").replaceInStrings("page-auto=no", "page-auto=yes");
    QTest::newRow("cvnfa full, feeder, Color, page-auto") << "cvnfa-x:1" << colorAuto
        << without(colorAuto, {"paper-size", "page-width", "page-height", "tl-x", "tl-y", "br-x", "br-y", "bw-mode",
                                "bw-sdtc-variance", "threshold", "dropoutcolor", "time-scan", "interval-time"})
        << false;
    const QStringList notOnCvnfb{"bgcolor", "page-auto-priority", "threshold", "mf-length", "prepick", "imprinter",
                                 "string", "offset", "initial-counter-value", "counter-step", "font-type",
                                 "font-direction"};
    QTest::newRow("cvnfb full") << "cvnfb-y:2" << everything << without(everything, notOnCvnfb + jpegAndRx300) << false;
    const QStringList rx300 = everything.mid(0, 7) + QStringList{"threshold=128", "brightness=10", "contrast=20",
                                                                 "dropoutcolor=Red", "time-scan=yes", "interval-time=3"};
    QTest::newRow("RX300 full") << "cvnfc:RX300" << everything << rx300 << true;

    QTest::newRow("cvnfa flatbed drops feeder options") << "cvnfa-x:1"
        << QStringList{"source=Flatbed", "mode=Color", "page-auto=yes", "page-auto-priority=Fast", "cropping=yes",
                       "prepick=yes", "multifeed-detection=Stop", "mf-overlapping=yes", "mf-length=5",
                       "bgcolor=Black", "blank-page-skip=yes", "blank-page-skip-sensitivity=3"}
        << QStringList{"source=Flatbed", "mode=Color", "page-auto=yes"} << true;
    const QStringList later{"source=Flatbed", "mode=Color", "jpeg=yes", "jpeg-type=Baseline", "autofeed=yes",
                            "imprinter=On", "string=A"};
    QTest::newRow("cvnfa later steps run on flatbed") << "cvnfa-x:1" << later << later << true;
    const QStringList lowerCase{"source=flatbed", "cropping=yes", "prepick=yes"};
    QTest::newRow("source differing in case is no flatbed") << "cvnfa-x:1" << lowerCase << lowerCase << false;
    QTest::newRow("empty values are not given") << "cvnfa-x:1"
        << QStringList{"source=", "mode=", "cropping=yes", "dropoutcolor=Red"} << QStringList{"cropping=yes"} << false;
    const QStringList cvnfbFlatbed{"source=Flatbed", "cropping=yes", "multifeed-detection=Stop"};
    QTest::newRow("cvnfb flatbed keeps feeder options") << "cvnfb-y:2" << cvnfbFlatbed << cvnfbFlatbed << true;

    const QStringList priority{"page-auto=yes", "page-auto-priority=Fast"};
    QTest::newRow("cvnfa priority without bgcolor") << "cvnfa-x:1" << priority << priority << false;
    QTest::newRow("cvnfa priority dropped with White bgcolor") << "cvnfa-x:1"
        << QStringList{"page-auto=yes", "bgcolor=White", "page-auto-priority=Fast"}
        << QStringList{"page-auto=yes", "bgcolor=White"} << false;
    QTest::newRow("cvnfa priority dropped without page-auto")
        << "cvnfa-x:1" << QStringList{"page-auto-priority=Fast"} << none << false;
    QTest::newRow("cvnfa standard paper drops geometry")
        << "cvnfa-x:1" << QStringList{"paper-size=A4"} + geometryLines << QStringList{"paper-size=A4"} << false;
    const QStringList paper = QStringList{"page-auto=yes", "paper-size=Custom"} + geometryLines;
    QTest::newRow("cvnfb page-auto keeps custom paper") << "cvnfb-y:2" << paper << paper << false;
    QTest::newRow("RX300 page-auto drops paper") << "cvnfc:RX300" << paper << QStringList{"page-auto=yes"} << true;

    const QStringList bw{"bw-mode=SDTC", "bw-sdtc-variance=5", "threshold=128", "dropoutcolor=Red"};
    QTest::newRow("cvnfa Gray: no black-and-white options, no JPEG detail without jpeg") << "cvnfa-x:1"
        << QStringList{"mode=Gray", "jpeg=no", "jpeg-type=Baseline", "jpeg-quality=80"} + bw
        << QStringList{"mode=Gray", "dropoutcolor=Red", "jpeg=no"} << false;
    QTest::newRow("cvnfb Gray drops black-and-white options")
        << "cvnfb-y:2" << QStringList{"mode=Gray"} + bw << QStringList{"mode=Gray", "dropoutcolor=Red"} << false;
    QTest::newRow("cvnfa Lineart Threshold drops variance") << "cvnfa-x:1"
        << QStringList{"mode=Lineart"} + bw + QStringList{"bw-mode=Threshold"}
        << QStringList{"mode=Lineart", "bw-mode=Threshold", "threshold=128", "dropoutcolor=Red"} << false;
    QTest::newRow("RX300 Gray drops threshold")
        << "cvnfc:RX300" << QStringList{"mode=Gray", "threshold=128"} << QStringList{"mode=Gray"} << true;

    QTest::newRow("cvnfa multifeed other than stop") << "cvnfa-x:1"
        << QStringList{"multifeed-detection=Continue", "mf-overlapping=yes", "mf-length=5"}
        << QStringList{"multifeed-detection=Continue"} << false;
    QTest::newRow("blank-page-skip off drops sensitivity") << "cvnfb-y:2"
        << QStringList{"blank-page-skip=no", "blank-page-skip-sensitivity=3"} << QStringList{"blank-page-skip=no"}
        << false;
    QTest::newRow("RX300 time-scan off drops interval")
        << "cvnfc:RX300" << QStringList{"time-scan=no", "interval-time=3"} << QStringList{"time-scan=no"} << true;
    QTest::newRow("cvnfa imprinter off") << "cvnfa-x:1" << QStringList{"imprinter=Off", "string=A", "offset=1"}
                                         << QStringList{"imprinter=Off"} << false;
    QTest::newRow("cvnfa imprinter not given") << "cvnfa-x:1"
        << QStringList{"autofeed=yes", "imprinter=", "string=A", "offset=1"} << QStringList{"autofeed=yes"} << false;
}

void TestScannerOption::organizeOptions()
{
    QFETCH(QString, device);
    QFETCH(QStringList, values);
    QFETCH(QStringList, expected);
    QFETCH(bool, flatbed);

    ScannerOption model;
    // The flag of a previous job must not leak into this one.
    model.OrganizeOptions(QStringLiteral("cvnfc:RX300"), {});
    QCOMPARE(toLines(model.OrganizeOptions(device, toMap(values))), expected);
    QCOMPARE(model.IsFlatbed(), flatbed);
}

QTEST_APPLESS_MAIN(TestScannerOption)
#include "tst_scanneroption.moc"
