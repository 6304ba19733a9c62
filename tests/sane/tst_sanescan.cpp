// The binding and the open device against the real libsane, whose dll
// backend loads the simulated scanners. libsane reads SANE_CONFIG_DIR once
// per process, so the whole run shares one configuration directory; each
// case rewrites the simulator's device file, which the simulator re-reads at
// every listing and open.
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
        // Across backends libsane decides the order; other makers' devices are
        // listed too, the engine does not filter.
        QTest::newRow("backends") << "device cvnfa A1\ndevice webcamsim Cam\ndevice cvnfc RX300\n"
                                  << QStringList{"webcamsim:Cam", "cvnfa:A1", "cvnfc:RX300"} << 0;
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
        QTest::newRow("busy") << true << "" << false << "cvnfa:Busy" << int(SANE_STATUS_DEVICE_BUSY);
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
        m_world.setDevices("device cvnfa A1 extra_options=1\ndevice cvnfa A2\ndevice cvnfa Busy open_status=3\n");
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

    // Without the library, or after its exit, nothing reaches SANE: a device
    // that outlived the exit neither sets, scans nor closes.
    void nothingReachesSaneWithoutTheLibrary()
    {
        m_world.setDevices("device cvnfa A1\n");
        QTemporaryDir out;
        {
            SaneScan neverInitialised;
            QVector<QString> names;
            int status = -1;
            QCOMPARE(neverInitialised.GetDeviceList(names), 12);
            QVERIFY(!neverInitialised.OpenDevice("cvnfa:A1", &status));
            QCOMPARE(status, 12);
            neverInitialised.Exit();
            QVERIFY(m_world.logLines().isEmpty());
        }
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

    void optionRecords_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("constType");
        QTest::addColumn<bool>("active");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QStringList>("range"); // min, max, quant
        QTest::addColumn<QString>("words");
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QString>("current");

        const QStringList noRange{"", "", ""};
        QTest::newRow("inactive INT range")
            << "inactive-int" << 1 << 1 << false << "" << QStringList{"0", "100", "5"} << "" << QStringList() << "";
        QTest::newRow("INT vector")
            << "int-vector" << 1 << 1 << true << "" << QStringList{"0", "255", ""} << "" << QStringList() << "";
        QTest::newRow("FIXED range quant 0")
            << "fixed-range" << 2 << 1 << true << "mm" << QStringList{"0", "215.9", ""} << "" << QStringList() << "210";
        QTest::newRow("FIXED range with step")
            << "fixed-quant" << 2 << 1 << true << "" << QStringList{"-1.5", "1.5", "0.25"} << "" << QStringList() << "0.75";
        QTest::newRow("FIXED word list")
            << "fixed-list" << 2 << 2 << true << "" << noRange << "0.5,1234.57,2.25" << QStringList() << "1234.57";
        QTest::newRow("INT word list")
            << "int-list" << 1 << 2 << true << "dpi" << noRange << "75,150,300,600" << QStringList() << "300";
        QTest::newRow("string list")
            << "string-list" << 3 << 3 << true << "" << noRange << "" << QStringList{"Alpha", "Beta", "Gamma"} << "Beta";
        QTest::newRow("inactive string list")
            << "string-inactive" << 3 << 3 << false << "" << noRange << "" << QStringList{"One", "Two"} << "";
        QTest::newRow("plain string, UTF-8")
            << "string-plain" << 3 << 0 << true << "" << noRange << "" << QStringList() << QString::fromUtf8("hello w\xc3\xb6rld");
        QTest::newRow("BOOL on") << "bool-on" << 0 << 0 << true << "" << noRange << "" << QStringList() << "1";
        QTest::newRow("BOOL off") << "bool-off" << 0 << 0 << true << "" << noRange << "" << QStringList() << "0";
        QTest::newRow("BUTTON") << "button" << 4 << 0 << true << "" << noRange << "" << QStringList() << "";
        QTest::newRow("automatic")
            << "automatic" << 1 << 1 << true << "" << QStringList{"0", "255", "1"} << "" << QStringList() << "128";
        QTest::newRow("refused read")
            << "refused-read" << 1 << 1 << true << "" << QStringList{"0", "10", "1"} << "" << QStringList() << "";
        // The unit belongs to range and word-list constraints only.
        QTest::newRow("INT without constraint")
            << "int-plain" << 1 << 0 << true << "" << noRange << "" << QStringList() << "-7";
        QTest::newRow("FIXED resolution")
            << "resolution" << 2 << 1 << true << "dpi" << QStringList{"50", "1200", ""} << "" << QStringList() << "299.6";
        QTest::newRow("duplicate name, later wins")
            << "duplicate" << 3 << 3 << true << "" << noRange << "" << QStringList{"second", "other"} << "second";
        const QStringList units[] = {{"unit-pel", "pel"}, {"unit-bit", "bit"}, {"unit-percent", "%"},
                                     {"unit-us", "us"}, {"unit-other", ""}};
        for (const QStringList &u : units)
            QTest::newRow(qPrintable(u[0])) << u[0] << 1 << 1 << true << u[1] << QStringList{"0", "1000", ""} << ""
                                            << QStringList() << "1";
    }
    void optionRecords()
    {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(int, constType);
        QFETCH(bool, active);
        QFETCH(QString, unit);
        QFETCH(QStringList, range);
        QFETCH(QString, words);
        QFETCH(QStringList, list);
        QFETCH(QString, current);

        m_world.setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QCOMPARE(e.open(kAllPaths), 0);
        const OptionTable options = e.device->GetAllOptions();
        QVERIFY2(options.contains(name), qPrintable(name));
        const Opt_Result r = options.value(name);
        QCOMPARE(r.name, name);
        QCOMPARE(r.type, type);
        QCOMPARE(r.constType, constType);
        QCOMPARE(r.isActive, active);
        QCOMPARE(r.isSettable, true);
        QCOMPARE(r.unit, unit);
        QCOMPARE((QStringList{r.range.min, r.range.max, r.range.quant}), range);
        QCOMPARE(joined(r.wordlists), words);
        QCOMPARE(QStringList(r.list), list);
        QCOMPARE(r.current, current);
    }

    // Groups, the read-only option, the two with inconsistent caps and the one
    // without a descriptor are left out; inactive options, the vector, the
    // button and the left-out ones are never read.
    void unusableOptionsAreLeftOutAndValuesReadOnce()
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

        QStringList keys = e.device->GetAllOptions().keys();
        keys.sort();
        QCOMPARE(keys, (QStringList{
            "automatic", "bool-off", "bool-on", "button", "duplicate", "fixed-list", "fixed-quant", "fixed-range",
            "inactive-int", "int-list", "int-plain", "int-vector", "refused-read", "resolution", "string-inactive",
            "string-list", "string-plain", "unit-bit", "unit-dpi", "unit-mm", "unit-none", "unit-other",
            "unit-pel", "unit-percent", "unit-us"}));
        QCOMPARE(messages, QByteArray("prog_name: invalid option caps, SS+HS\nprog_name: invalid option caps, SS!SD\n"));

        QStringList want;
        for (const char *n : {"#count", "fixed-range", "fixed-list", "int-list", "string-list", "bool-on", "bool-off",
                              "automatic", "refused-read", "unit-none", "unit-pel", "unit-bit", "unit-mm", "unit-dpi",
                              "unit-percent", "unit-us", "unit-other", "resolution", "duplicate", "fixed-quant",
                              "int-plain", "string-plain", "duplicate"})
            want << QString("get cvnfa:AP ") + n;
        QCOMPARE(m_world.logLines("get "), want);
    }

    // A device with nothing but the count has an empty table.
    void countOnlyDevice()
    {
        m_world.setDevices("device cvnfb D profile=countonly\n");
        Engine e;
        QCOMPARE(e.open("cvnfb:D"), 0);
        QVERIFY(e.device->GetAllOptions().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSaneScan)
#include "tst_sanescan.moc"
