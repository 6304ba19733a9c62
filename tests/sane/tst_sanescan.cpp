// The binding, the open device and its option setting against the real
// libsane, whose dll backend loads the simulated scanners. libsane reads
// SANE_CONFIG_DIR once per process, so the whole run shares one configuration
// directory; each case rewrites the simulator's device file, which the
// simulator re-reads at every listing and open.
#include "pageloop.h"
#include "saneharness.h"

#include <QDir>
#include <QTest>

namespace {

QString joined(const QVector<double> &v)
{
    QStringList parts;
    for (double d : v)
        parts << QString::number(d, 'g', 10);
    return parts.join(',');
}

const QString kAllPaths = QStringLiteral("cvnfa:AP");

} // namespace

class TestSaneScan : public QObject
{
    Q_OBJECT

    SimWorld m_world;

private slots:
    void initTestCase() { QVERIFY(m_world.setUp()); }

    void deviceList_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QStringList>("records"); // name|vendor|model|type, in the list's order
        QTest::addColumn<int>("status");
        QTest::newRow("none") << "" << QStringList() << 12;
        // Within a backend the devices keep the backend's own order, not sorted.
        QTest::newRow("one backend") << "device cvnfa Zeta\ndevice cvnfa Alpha vendor=Acme model=M-1 type=flatbed\n"
                                     << QStringList{"cvnfa:Zeta|Corvane|Zeta|sheetfed scanner",
                                                    "cvnfa:Alpha|Acme|M-1|flatbed"} << 0;
    }
    void deviceList()
    {
        QFETCH(QString, config);
        QFETCH(QStringList, records);
        QFETCH(int, status);
        m_world.setDevices(config);
        Engine e;
        QVERIFY(e.scan.IsLoaded());
        QVector<QString> names{QStringLiteral("kept")};
        QCOMPARE(e.scan.GetDeviceList(names), status);
        QStringList listed;
        for (const QString &r : records)
            listed << r.section('|', 0, 0);
        QCOMPARE(QStringList(names.toList()), QStringList{"kept"} + listed);
        const QVector<SaneDeviceRecord> got = e.scan.DeviceRecords();
        QCOMPARE(got.size(), records.size());
        for (int i = 0; i < got.size(); ++i) {
            const QString full = QStringList{got[i].name, got[i].vendor, got[i].model, got[i].type}.join('|');
            QCOMPARE(records[i].contains('|') ? full : got[i].name, records[i]);
        }
        // The backends were asked, so a 12 is the empty list, not a dead library.
        QVERIFY(m_world.logLines().contains("devices cvnfa"));
    }

    // Only a name of the last list reaches a backend; the backend's own
    // refusal comes back as it is; an open device closes once, when dropped.
    void opening_data()
    {
        QTest::addColumn<bool>("listFirst");
        QTest::addColumn<QString>("laterConfig"); // written after the listing; "" keeps it
        QTest::addColumn<bool>("listAgain");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        const QString pulled = "device cvnfa A2\n";
        QTest::newRow("listed") << true << "" << false << "cvnfa:A1" << 0;
        QTest::newRow("before any list") << false << "" << false << "cvnfa:A1" << 12;
        QTest::newRow("letter case") << true << "" << false << "cvnfa:a1" << 12;
        QTest::newRow("without backend") << true << "" << false << "A1" << 12;
        QTest::newRow("prefix only") << true << "" << false << "cvnfa:A" << 12;
        QTest::newRow("empty") << true << "" << false << "" << 12;
        QTest::newRow("pulled out after the listing") << true << pulled << false << "cvnfa:A1" << int(SANE_STATUS_INVAL);
        QTest::newRow("gone from the next list") << true << pulled << true << "cvnfa:A1" << 12;
    }
    void opening()
    {
        QFETCH(bool, listFirst);
        QFETCH(QString, laterConfig);
        QFETCH(bool, listAgain);
        QFETCH(QString, name);
        QFETCH(int, status);
        m_world.setDevices("device cvnfa A1 extra_options=1\ndevice cvnfa A2\n");
        Engine e;
        QVector<QString> names;
        if (listFirst)
            e.scan.GetDeviceList(names);
        if (!laterConfig.isEmpty())
            m_world.setDevices(laterConfig);
        if (listAgain)
            e.scan.GetDeviceList(names);
        int got = -1;
        std::unique_ptr<SaneDevice> device = e.scan.OpenDevice(name, &got);
        QCOMPARE(got, status);
        QCOMPARE(device != nullptr, status == 0);
        const QStringList opens = m_world.logLines("open ");
        QCOMPARE(opens, status == 12 ? QStringList() : QStringList{QString("open %1 %2").arg(name).arg(status)});
        if (device)
            QVERIFY(device->GetAllOptions().contains("extra-1"));
        device.reset();
        QCOMPARE(m_world.logLines("close"), status == 0 ? QStringList{"close " + name} : QStringList());
    }

    // After the library's exit nothing reaches SANE: a device that outlived
    // the exit neither sets, scans nor closes.
    void nothingReachesSaneAfterTheExit()
    {
        m_world.setDevices("device cvnfa A1\n");
        QTemporaryDir out;
        Engine e;
        QCOMPARE(e.open("cvnfa:A1"), 0);
        e.scan.Exit();
        m_world.setDevices("device cvnfa A1\n");
        QVERIFY(!e.device->SetOption("mode", "Gray"));
        QCOMPARE(e.device->CurrentValue("mode"), QString());
        PageLoop loop;
        PageNaming naming{out.path(), "pg", 4, 1, "png"};
        QCOMPARE(loop.Scan(*e.device, naming, false), 12);
        e.device.reset();
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 12);
        int status = -1;
        QVERIFY(!e.scan.OpenDevice("cvnfa:A1", &status));
        QCOMPARE(status, 12);
        QVERIFY(m_world.logLines().isEmpty());
        QVERIFY(QDir(out.path()).isEmpty());
    }

    // Every usable option as the page will see it; groups, the read-only
    // option, the two with inconsistent caps and the one without a descriptor
    // are left out, with a line each for the caps; inactive options, the
    // vector, the button and the left-out ones are never read.
    void optionRecordsAndReads()
    {
        m_world.setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        OutputCapture err;
        int status = -1;
        e.device = e.scan.OpenDevice(kAllPaths, &status);
        const QByteArray messages = err.text();
        QVERIFY(e.device);
        QCOMPARE(messages, QByteArray("prog_name: invalid option caps, SS+HS\nprog_name: invalid option caps, SS!SD\n"));

        // name=type constraint [! inactive] unit|min,max,quant|words|list|current
        QStringList got;
        const OptionTable options = e.device->GetAllOptions();
        for (const Opt_Result &r : options) {
            QVERIFY(r.isSettable);
            got << QString("%1=%2%3%4%5|%6,%7,%8|%9|%10|%11")
                       .arg(r.name).arg(r.type).arg(r.constType).arg(r.isActive ? "" : "!", r.unit, r.range.min,
                                                                      r.range.max, r.range.quant, joined(r.wordlists),
                                                                      QStringList(r.list).join(','), r.current);
        }
        got.sort();
        QCOMPARE(got, (QStringList{
            "automatic=11|0,255,1|||128",
            "bool-off=00|,,|||0",
            "bool-on=00|,,|||1",
            "button=40|,,|||",
            "duplicate=33|,,||second,other|second", // the later of two wins
            "fixed-list=22|,,|0.5,1234.57,2.25||1234.57",
            "fixed-quant=21|-1.5,1.5,0.25|||0.75",
            "fixed-range=21mm|0,215.9,|||210",
            "inactive-int=11!|0,100,5|||",
            "int-list=12dpi|,,|75,150,300,600||300",
            "int-plain=10|,,|||-7", // the unit belongs to range and word-list constraints only
            "int-vector=11|0,255,|||",
            "refused-read=11|0,10,1|||",
            "resolution=21dpi|50,1200,|||299.6",
            "string-inactive=33!|,,||One,Two|",
            "string-list=33|,,||Alpha,Beta,Gamma|Beta",
            QString::fromUtf8("string-plain=30|,,|||hello w\xc3\xb6rld"),
            "unit-bit=11bit|0,1000,|||1",
            "unit-dpi=11dpi|0,1000,|||1",
            "unit-mm=11mm|0,1000,|||1",
            "unit-none=11|0,1000,|||1",
            "unit-other=11|0,1000,|||1",
            "unit-pel=11pel|0,1000,|||1",
            "unit-percent=11%|0,1000,|||1",
            "unit-us=11us|0,1000,|||1"}));

        QStringList want;
        for (const char *n : {"#count", "fixed-range", "fixed-list", "int-list", "string-list", "bool-on", "bool-off",
                              "automatic", "refused-read", "unit-none", "unit-pel", "unit-bit", "unit-mm", "unit-dpi",
                              "unit-percent", "unit-us", "unit-other", "resolution", "duplicate", "fixed-quant",
                              "int-plain", "string-plain", "duplicate"})
            want << QString("get cvnfa:AP ") + n;
        QCOMPARE(m_world.logLines("get "), want);

        // A device with nothing but the count has an empty table.
        e.device.reset();
        m_world.setDevices("device cvnfb D profile=countonly\n");
        QCOMPARE(e.open("cvnfb:D"), 0);
        QVERIFY(e.device->GetAllOptions().isEmpty());
    }

    // Setting options from the page's text: what reaches the device (the
    // simulator logs every set with the value as requested) and what comes
    // back for the caller to log.
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

QTEST_GUILESS_MAIN(TestSaneScan)
#include "tst_sanescan.moc"
