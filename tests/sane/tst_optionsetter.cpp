// Setting options from the page's text, through the real libsane and the
// simulated backends: what reaches the device (the simulator logs every set
// with the value as requested) and what is said on standard error.
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
        QTest::addColumn<QString>("sent");    // the value as the device received it; empty: nothing set
        QTest::addColumn<QString>("stderrText");

        const QString bad = "velloscan: option --%1: bad option value (rest of option: %2)\n";
        const QString sep = "velloscan: option --%1: illegal separator (rest of option: %2)\n";

        // yes/no: any prefix of either word, in any case; empty means yes.
        QTest::newRow("bool no") << "bool-on" << "no" << "0" << "";
        QTest::newRow("bool N") << "bool-on" << "N" << "0" << "";
        QTest::newRow("bool YES") << "bool-off" << "YES" << "1" << "";
        QTest::newRow("bool empty") << "bool-off" << "" << "1" << "";
        QTest::newRow("bool maybe") << "bool-on" << "maybe" << ""
                                    << "velloscan: option --bool-on: bad option value `maybe'\n";
        QTest::newRow("bool 1") << "bool-on" << "1" << "" << "velloscan: option --bool-on: bad option value `1'\n";

        // Units, only as the whole rest of the text.
        QTest::newRow("dpi") << "unit-dpi" << "300dpi" << "300" << "";
        QTest::newRow("dpi after blank") << "unit-dpi" << "300 dpi" << "300" << sep.arg("unit-dpi", " dpi");
        QTest::newRow("cm") << "unit-mm" << "2cm" << "20" << "";
        QTest::newRow("inch on int") << "unit-mm" << "1in" << "25" << "";
        QTest::newRow("inch fraction on int") << "unit-mm" << "8.5in" << "0"
            << "velloscan: option --unit-mm: illegal unit (rest of option: .5in)\n";
        QTest::newRow("inch on fixed") << "fixed-range" << "8.5in" << "215.9" << "";
        QTest::newRow("quote on fixed") << "fixed-range" << "2\"" << "50.8" << "";
        QTest::newRow("fixed mm") << "fixed-range" << "25.4" << "25.4" << "";
        QTest::newRow("bytes") << "unit-bit" << "2B" << "16" << "";
        QTest::newRow("bits") << "unit-bit" << "5b" << "5" << "";
        QTest::newRow("percent") << "unit-percent" << "50%" << "50" << "";
        QTest::newRow("microseconds") << "unit-us" << "10us" << "10" << "";

        // Numbers that are not numbers.
        QTest::newRow("empty int") << "unit-none" << "" << "0" << bad.arg("unit-none", "");
        QTest::newRow("auto without the capability") << "unit-none" << "auto" << "0"
            << bad.arg("unit-none", "auto") + sep.arg("unit-none", "auto");
        QTest::newRow("auto") << "automatic" << "Auto" << "auto" << "";
        QTest::newRow("automatic") << "automatic" << "automatic" << "auto" << "";

        // Vectors: indices, lists and ramps, never outside the words.
        QTest::newRow("list") << "int-vector" << "10,20,30" << "10,20,30,0,0,0,0,0" << "";
        QTest::newRow("index") << "int-vector" << "[2]5" << "0,0,5,0,0,0,0,0" << "";
        QTest::newRow("ramp") << "int-vector" << "[0]0-[7]70" << "0,10,20,30,40,50,60,70" << "";
        QTest::newRow("adjacent ramp") << "int-vector" << "[0]0-[1]100,7" << "0,100,7,0,0,0,0,0" << "";
        QTest::newRow("index out of range") << "int-vector" << "1,[9]5" << "1,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: index 9 out of range [0..7]\n";
        QTest::newRow("list past the end") << "int-vector" << "1,2,3,4,5,6,7,8,9" << "1,2,3,4,5,6,7,8"
            << "velloscan: option --int-vector: index 8 out of range [0..7]\n";
        QTest::newRow("bracket missing") << "int-vector" << "[3" << "0,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: closing bracket missing (rest of option: 3)\n";
        QTest::newRow("bracket without number") << "int-vector" << "[]4" << "0,0,0,0,0,0,0,0"
            << "velloscan: option --int-vector: closing bracket missing (rest of option: ]4)\n";
        // A list on a millimetre option: the comma ends the element, it is no unit.
        QTest::newRow("mm list") << "int-plain" << "10,20" << "10"
            << "velloscan: option --int-plain: index 1 out of range [0..0]\n";

        // Strings are cut inside the option's size (32 here).
        QTest::newRow("long string") << "string-plain" << QString(40, 'x') << QString(31, 'x') << "";
        QTest::newRow("listed string") << "string-list" << "Gamma" << "Gamma" << "";
        QTest::newRow("button") << "button" << "anything" << "press" << "";

        // What the device refuses or adjusts.
        QTest::newRow("refused") << "string-list" << "Delta" << "Delta"
            << "velloscan: setting of option --string-list failed (Invalid argument)\n";
        QTest::newRow("rounded int") << "int-list" << "100" << "100"
            << "velloscan: rounded value of int-list from 100 to 75\n";
        QTest::newRow("rounded fixed") << "fixed-quant" << "0.3" << "0.300003"
            << "velloscan: rounded value of fixed-quant from 0.300003 to 0.25\n";
        QTest::newRow("inactive") << "inactive-int" << "5" << ""
            << "velloscan: attempted to set inactive option inactive-int\n";
        QTest::newRow("no such option") << "nonexistent" << "5" << ""
            << "velloscan: option --nonexistent does not exist\n";
    }

    void valueSyntax()
    {
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, sent);
        QFETCH(QString, stderrText);
        m_world.setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        StderrCapture err;
        e.scan.SetOption(option, value);
        QCOMPARE(QString::fromUtf8(err.text()), stderrText);
        // Nothing at all reaches the device for an option it does not have.
        const QStringList sets = m_world.logLines("set ");
        QCOMPARE(sets, sent.isEmpty() ? QStringList() : QStringList{"set " + kAllPaths + " " + option + " " + sent});
    }

    void nothingWithoutAnOpenDevice()
    {
        m_world.setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        e.scan.CloseDevice();
        StderrCapture err;
        e.scan.SetOption("unit-none", "5");
        QCOMPARE(err.text(), QByteArray());
        QVERIFY(m_world.logLines("set ").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestOptionSetter)
#include "tst_optionsetter.moc"
