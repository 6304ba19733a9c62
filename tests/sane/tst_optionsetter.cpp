// Setting options from the page's text, through the real libsane and the
// simulated backends: what reaches the device (the simulator logs every set
// with the value as requested) and what comes back for the caller to log.
#include "saneharness.h"

#include <QTest>

namespace {
const QString kAllPaths = QStringLiteral("cvnfa:AP");
}

class TestOptionSetter : public QObject
{
    Q_OBJECT
    SimWorld m_world;

private slots:
    void initTestCase() { QVERIFY(m_world.setUp()); }

    void valueSyntax_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("sent");   // the value as the device received it; empty: nothing set
        QTest::addColumn<QString>("reason"); // what comes back; empty: nothing

        const QString bad = "velloscan: option --%1: bad option value (rest of option: %2)";
        const QString sep = "velloscan: option --%1: illegal separator (rest of option: %2)";

        // yes/no: any prefix of either word, in any case; empty means yes.
        QTest::newRow("bool N") << "bool-on" << "N" << "0" << "";
        QTest::newRow("bool YES") << "bool-off" << "YES" << "1" << "";
        QTest::newRow("bool empty") << "bool-off" << "" << "1" << "";
        QTest::newRow("bool 1") << "bool-on" << "1" << "" << "velloscan: option --bool-on: bad option value `1'";

        // Units, only as the whole rest of the text.
        QTest::newRow("dpi") << "unit-dpi" << "300dpi" << "300" << "";
        QTest::newRow("dpi after blank") << "unit-dpi" << "300 dpi" << "300" << sep.arg("unit-dpi", " dpi");
        QTest::newRow("cm") << "unit-mm" << "2cm" << "20" << "";
        QTest::newRow("inch on int") << "unit-mm" << "1in" << "25" << "";
        QTest::newRow("inch fraction on int") << "unit-mm" << "8.5in" << "0"
            << "velloscan: option --unit-mm: illegal unit (rest of option: .5in)";
        QTest::newRow("inch on fixed") << "fixed-range" << "8.5in" << "215.9" << "";
        QTest::newRow("quote on fixed") << "fixed-range" << "2\"" << "50.8" << "";
        QTest::newRow("bytes") << "unit-bit" << "2B" << "16" << "";
        QTest::newRow("bits") << "unit-bit" << "5b" << "5" << "";
        QTest::newRow("percent") << "unit-percent" << "50%" << "50" << "";
        QTest::newRow("microseconds") << "unit-us" << "10us" << "10" << "";

        // Numbers that are not numbers: every line comes back, in order.
        QTest::newRow("empty int") << "unit-none" << "" << "0" << bad.arg("unit-none", "");
        QTest::newRow("auto without the capability") << "unit-none" << "auto" << "0"
            << bad.arg("unit-none", "auto") + "\n" + sep.arg("unit-none", "auto");
        QTest::newRow("auto") << "automatic" << "Auto" << "auto" << "";

        // Vectors: indices, lists and ramps, never outside the words.
        QTest::newRow("list") << "int-vector" << "10,20,30" << "10,20,30,0,0,0,0,0" << "";
        QTest::newRow("index") << "int-vector" << "[2]5" << "0,0,5,0,0,0,0,0" << "";
        QTest::newRow("ramp") << "int-vector" << "[0]0-[7]70" << "0,10,20,30,40,50,60,70" << "";
        QTest::newRow("adjacent ramp") << "int-vector" << "[0]0-[1]100,7" << "0,100,7,0,0,0,0,0" << "";
        QTest::newRow("index out of range") << "int-vector" << "1,[9]5" << "1,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: index 9 out of range [0..7]";
        QTest::newRow("list past the end") << "int-vector" << "1,2,3,4,5,6,7,8,9" << "1,2,3,4,5,6,7,8"
            << "velloscan: option --int-vector: index 8 out of range [0..7]";
        QTest::newRow("bracket missing") << "int-vector" << "[3" << "0,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: closing bracket missing (rest of option: 3)";
        QTest::newRow("bracket without number") << "int-vector" << "[]4" << "0,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: closing bracket missing (rest of option: ]4)";
        // A list on a millimetre option: the comma ends the element, it is no unit.
        QTest::newRow("mm list") << "int-plain" << "10,20" << "10"
            << "velloscan: option --int-plain: index 1 out of range [0..0]";

        // Strings are cut inside the option's size (32 here).
        QTest::newRow("long string") << "string-plain" << QString(40, 'x') << QString(31, 'x') << "";
        QTest::newRow("button") << "button" << "anything" << "press" << "";

        // What the device refuses or adjusts.
        QTest::newRow("refused") << "string-list" << "Delta" << "Delta"
            << "velloscan: setting of option --string-list failed (Invalid argument)";
        QTest::newRow("rounded int") << "int-list" << "100" << "100"
            << "velloscan: rounded value of int-list from 100 to 75";
        QTest::newRow("rounded fixed") << "fixed-quant" << "0.3" << "0.300003"
            << "velloscan: rounded value of fixed-quant from 0.300003 to 0.25";
        QTest::newRow("inactive") << "inactive-int" << "5" << ""
            << "velloscan: attempted to set inactive option inactive-int";
        QTest::newRow("no such option") << "nonexistent" << "5" << ""
            << "velloscan: option --nonexistent does not exist";
    }

    void valueSyntax()
    {
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, sent);
        QFETCH(QString, reason);
        m_world.setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QCOMPARE(e.open(kAllPaths), 0);
        OutputCapture err;
        const std::optional<OptionRefusal> refusal = e.device->SetOption(option, value);
        QCOMPARE(err.text(), QByteArray()); // the caller logs, once
        QCOMPARE(refusal ? refusal->name : option, option);
        QCOMPARE(refusal ? refusal->reason : QString(), reason);
        // Nothing at all reaches the device for an option it does not have.
        QCOMPARE(m_world.logLines("set "),
                 sent.isEmpty() ? QStringList() : QStringList{"set " + kAllPaths + " " + option + " " + sent});
    }

    // The value now, not the one read at open: the device may have taken
    // another, and options come and go with others.
    void currentValueIsReadAgain()
    {
        m_world.setDevices("device cvnfa A1\n");
        Engine e;
        QCOMPARE(e.open("cvnfa:A1"), 0);
        QVERIFY(!e.device->SetOption("source", "flat"));
        QCOMPARE(e.device->CurrentValue("source"), QString("Flatbed"));
        QCOMPARE(e.device->GetAllOptions().value("source").current, QString("ADF Front"));
        QCOMPARE(e.device->CurrentValue("nonexistent"), QString());
    }
};

QTEST_GUILESS_MAIN(TestOptionSetter)
#include "tst_optionsetter.moc"
