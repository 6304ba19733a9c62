// SaneScan against the real libsane, whose dll backend loads the simulated
// scanners. libsane reads SANE_CONFIG_DIR once per process, so the whole run
// shares one configuration directory; each case rewrites the simulator's
// device file in it, which the simulator re-reads at every listing and open.
#include "saneharness.h"

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

private:
    SimWorld m_world;

    QString logPath() const { return m_world.logPath(); }
    void setDevices(const QString &lines) { m_world.setDevices("# written by tst_sanescan\n" + lines); }
    QStringList logLines() const { return m_world.logLines(); }
    QStringList logLinesStartingWith(const QString &prefix) const { return m_world.logLines(prefix); }

private slots:
    void initTestCase() { QVERIFY(m_world.setUp()); }

    void init()
    {
        QFile::remove(logPath());
        setDevices(QString());
    }

    // ---- device list -------------------------------------------------------

    void listWithoutDevicesReportsNoDevice()
    {
        Engine e;
        QVERIFY(e.scan.IsLoaded());
        QVector<QString> names{QStringLiteral("kept")};
        QCOMPARE(e.scan.GetDeviceList(names), 12);
        QCOMPARE(names, QVector<QString>{QStringLiteral("kept")});
        // The backends were asked, so the 12 is the empty list, not a dead library.
        QVERIFY(logLines().contains("devices cvnfa"));
    }

    void listAppendsInLibraryOrder_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QStringList>("expected");
        // Within a backend the devices keep the backend's own order, not sorted.
        QTest::newRow("one backend") << "device cvnfa Zeta\ndevice cvnfa Alpha\n"
                                     << QStringList{"cvnfa:Zeta", "cvnfa:Alpha"};
        // Across backends libsane decides the order; other makers' devices are
        // listed too, the engine does not filter.
        QTest::newRow("backends") << "device cvnfa A1\ndevice webcamsim Cam\ndevice cvnfc RX300\n"
                                  << QStringList{"webcamsim:Cam", "cvnfa:A1", "cvnfc:RX300"};
    }
    void listAppendsInLibraryOrder()
    {
        QFETCH(QString, config);
        QFETCH(QStringList, expected);
        setDevices(config);
        Engine e;
        QVector<QString> names{QStringLiteral("kept")};
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(QStringList(names.toList()), QStringList{"kept"} + expected);
    }

    void listFollowsDisappearingDevice()
    {
        setDevices("device cvnfa A1\ndevice cvnfa A2\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(names.size(), 2);

        // Pulled out after the listing: the backend itself refuses the open.
        setDevices("device cvnfa A2\n");
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), int(SANE_STATUS_INVAL));
        QVERIFY(logLines().contains("open cvnfa:A1 4"));

        // Listed again: it is gone, and a name not in the list opens nothing.
        names.clear();
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(names, QVector<QString>{"cvnfa:A2"});
        QFile::remove(logPath());
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 12);
        QVERIFY(logLinesStartingWith("open-start").isEmpty());
    }

    void engineWithoutLibraryReportsNoDevice()
    {
        setDevices("device cvnfa A1\n");
        SaneScan neverInitialised;
        QVector<QString> names;
        QCOMPARE(neverInitialised.GetDeviceList(names), 12);
        QCOMPARE(neverInitialised.OpenDevice("cvnfa:A1"), 12);
        QVERIFY(names.isEmpty());
        neverInitialised.CloseDevice();
        neverInitialised.Exit();
        QVERIFY(logLines().isEmpty());
    }

    void nothingReachesSaneAfterExit()
    {
        setDevices("device cvnfa A1\n");
        SaneScan scan;
        scan.Init();
        QVector<QString> names;
        QCOMPARE(scan.GetDeviceList(names), 0);
        scan.Exit();
        QFile::remove(logPath());
        names.clear();
        QCOMPARE(scan.GetDeviceList(names), 12);
        QCOMPARE(scan.OpenDevice("cvnfa:A1"), 12);
        scan.CloseDevice();
        scan.Exit();
        QVERIFY(names.isEmpty());
        QVERIFY(logLines().isEmpty());
    }

    // ---- opening and closing -----------------------------------------------

    void openBeforeAnyListReportsNoDevice()
    {
        setDevices("device cvnfa A1\n");
        Engine e;
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 12);
        QVERIFY(logLinesStartingWith("open").isEmpty());
    }

    void openNeedsTheExactListedName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("letter case") << "cvnfa:a1";
        QTest::newRow("backend case") << "CVNFA:A1";
        QTest::newRow("without backend") << "A1";
        QTest::newRow("prefix only") << "cvnfa:A";
        QTest::newRow("trailing blank") << "cvnfa:A1 ";
        QTest::newRow("empty") << "";
    }
    void openNeedsTheExactListedName()
    {
        QFETCH(QString, name);
        setDevices("device cvnfa A1\ndevice cvnfb B1\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        // A device was open before: an unknown name must not fall back to it.
        QCOMPARE(e.scan.OpenDevice("cvnfb:B1"), 0);
        QCOMPARE(e.scan.OpenDevice(name), 12);
        QCOMPARE(logLinesStartingWith("open-start"), QStringList{"open-start cvnfb:B1"});
    }

    void openStatusPassesThrough_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("busy") << int(SANE_STATUS_DEVICE_BUSY);
        QTest::newRow("access denied") << int(SANE_STATUS_ACCESS_DENIED);
        QTest::newRow("I/O error") << int(SANE_STATUS_IO_ERROR);
    }
    void openStatusPassesThrough()
    {
        QFETCH(int, status);
        setDevices(QString("device cvnfa Good extra_options=1\ndevice cvnfa Bad open_status=%1 extra_options=2\n")
                       .arg(status));
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfa:Good"), 0);
        e.scan.CloseDevice();
        QCOMPARE(e.scan.OpenDevice("cvnfa:Bad"), status);
        // A failed open leaves the last device's records in place.
        const OptionTable options = e.scan.GetAllOptions();
        QVERIFY(options.contains("extra-1"));
        QVERIFY(!options.contains("extra-2"));
        QVERIFY(logLines().contains(QString("open cvnfa:Bad %1").arg(status)));
        // Nothing was opened, so nothing may be closed.
        e.scan.CloseDevice();
        QCOMPARE(logLinesStartingWith("close"), QStringList{"close cvnfa:Good"});
    }

    void delayedOpenIsAwaited()
    {
        setDevices("device cvnfa Slow open_delay_ms=300 extra_options=1\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfa:Slow"), 0);
        QVERIFY(e.scan.GetAllOptions().contains("extra-1"));
        const QStringList opens = logLinesStartingWith("open");
        QCOMPARE(opens, (QStringList{"open-start cvnfa:Slow", "open cvnfa:Slow 0"}));
    }

    void closeIsHarmlessWhenRepeated()
    {
        setDevices("device cvnfa A1\n");
        Engine e;
        e.scan.CloseDevice(); // nothing open yet
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 0);
        e.scan.CloseDevice();
        e.scan.CloseDevice();
        QCOMPARE(logLinesStartingWith("close"), QStringList{"close cvnfa:A1"});
        // And the device can be opened again afterwards.
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 0);
    }

    void openingAnotherDeviceReleasesTheFirst()
    {
        setDevices("device cvnfa A1\ndevice cvnfb B1\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfb:B1"), 0);
        e.scan.CloseDevice();
        QCOMPARE(logLinesStartingWith("close"), (QStringList{"close cvnfa:A1", "close cvnfb:B1"}));
    }

    // ---- option reading ----------------------------------------------------

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

        setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        const OptionTable options = e.scan.GetAllOptions();
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

    void unitTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("unit");
        QTest::newRow("none") << "unit-none" << "";
        QTest::newRow("pixel") << "unit-pel" << "pel";
        QTest::newRow("bit") << "unit-bit" << "bit";
        QTest::newRow("mm") << "unit-mm" << "mm";
        QTest::newRow("dpi") << "unit-dpi" << "dpi";
        QTest::newRow("percent") << "unit-percent" << "%";
        QTest::newRow("microsecond") << "unit-us" << "us";
        QTest::newRow("unknown unit") << "unit-other" << "";
    }
    void unitTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, unit);
        setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        const OptionTable options = e.scan.GetAllOptions();
        QVERIFY(options.contains(name));
        QCOMPARE(options.value(name).unit, unit);
        QCOMPARE(options.value(name).range.max, QStringLiteral("1000"));
        QCOMPARE(options.value(name).current, QStringLiteral("1"));
    }

    void unusableOptionsAreLeftOut()
    {
        setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        StderrCapture err;
        QCOMPARE(e.scan.OpenDevice(kAllPaths), 0);
        const QByteArray messages = err.text();
        const OptionTable options = e.scan.GetAllOptions();

        const QStringList expected{
            "inactive-int", "int-vector", "fixed-range", "fixed-list", "int-list", "string-list",
            "bool-on", "bool-off", "button", "automatic", "refused-read",
            "unit-none", "unit-pel", "unit-bit", "unit-mm", "unit-dpi", "unit-percent", "unit-us", "unit-other",
            "resolution", "duplicate", "fixed-quant", "int-plain", "string-plain", "string-inactive"};
        QStringList keys = options.keys();
        keys.sort();
        QStringList want = expected;
        want.sort();
        // Groups, the read-only option, the two with inconsistent caps and
        // the one without a descriptor are all absent.
        QCOMPARE(keys, want);

        QCOMPARE(messages.count("prog_name: invalid option caps, SS+HS\n"), 1);
        QCOMPARE(messages.count("prog_name: invalid option caps, SS!SD\n"), 1);
    }

    void eachValueIsReadOncePerOpen()
    {
        setDevices("device cvnfa AP profile=allpaths\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        const QStringList gets = logLinesStartingWith("get ");
        const QStringList read{
            "#count", "fixed-range", "fixed-list", "int-list", "string-list", "bool-on", "bool-off",
            "automatic", "refused-read", "unit-none", "unit-pel", "unit-bit", "unit-mm", "unit-dpi",
            "unit-percent", "unit-us", "unit-other", "resolution", "duplicate", "fixed-quant", "int-plain",
            "string-plain", "duplicate"};
        QStringList want;
        for (const QString &n : read)
            want << "get cvnfa:AP " + n;
        // Inactive options, the vector, the button and the skipped ones are never read.
        QCOMPARE(gets, want);
    }

    void countOnlyDeviceHasNoOptions()
    {
        setDevices("device cvnfa AP profile=allpaths\ndevice cvnfb Bare profile=countonly\n");
        Engine e;
        QVERIFY(e.open(kAllPaths));
        QVERIFY(!e.scan.GetAllOptions().isEmpty());
        // The records of the device before must not leak into this one.
        QCOMPARE(e.scan.OpenDevice("cvnfb:Bare"), 0);
        QVERIFY(e.scan.GetAllOptions().isEmpty());
    }

    void recordsOutliveClose()
    {
        setDevices("device cvnfa A1 extra_options=3\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfa:A1"), 0);
        e.scan.CloseDevice();
        const OptionTable options = e.scan.GetAllOptions();
        QCOMPARE(options.value("extra-3").current, QStringLiteral("3"));
        QCOMPARE(options.value("resolution").current, QStringLiteral("300"));
    }

    void manyOptions()
    {
        setDevices("device cvnfb Wide extra_options=60\n");
        Engine e;
        QVector<QString> names;
        QCOMPARE(e.scan.GetDeviceList(names), 0);
        QCOMPARE(e.scan.OpenDevice("cvnfb:Wide"), 0);
        const OptionTable options = e.scan.GetAllOptions();
        for (int k = 1; k <= 60; ++k)
            QCOMPARE(options.value(QString("extra-%1").arg(k)).current, QString::number(k));
    }

    // The option names the per-backend organisation relies on, as the
    // simulated drivers offer them to the engine.
    void backendOptionNames_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("names");
        const QStringList common{"source", "mode", "resolution", "page-auto", "paper-size", "page-width",
                                 "page-height", "brightness", "contrast", "dropoutcolor"};
        const QStringList area{"tl-x", "tl-y", "br-x", "br-y", "cropping", "bw-mode", "bw-sdtc-variance",
                               "threshold", "shadow", "highlight", "gamma", "multifeed-detection",
                               "mf-overlapping", "cleanup-sharpness", "blank-page-skip",
                               "blank-page-skip-sensitivity", "autofeed"};
        QTest::newRow("cvnfa") << "cvnfa:A1"
                               << common + area
                                      + QStringList{"bgcolor", "page-auto-priority", "mf-length", "prepick", "jpeg",
                                                    "jpeg-type", "jpeg-quality", "imprinter", "string", "offset",
                                                    "initial-counter-value", "counter-step", "font-type",
                                                    "font-direction"};
        QTest::newRow("cvnfb") << "cvnfb:B1" << common + area;
        QTest::newRow("cvnfc RX300") << "cvnfc:RX300"
                                     << common + QStringList{"threshold", "time-scan", "interval-time"};
        QTest::newRow("cvnfc other model") << "cvnfc:RX900"
                                           << common + QStringList{"threshold", "time-scan", "interval-time"};
    }
    void backendOptionNames()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, names);
        setDevices("device cvnfa A1\ndevice cvnfb B1\ndevice cvnfc RX300\ndevice cvnfc RX900\n");
        Engine e;
        QVector<QString> listed;
        QCOMPARE(e.scan.GetDeviceList(listed), 0);
        QCOMPARE(e.scan.OpenDevice(device), 0);
        const OptionTable options = e.scan.GetAllOptions();
        for (const QString &n : names)
            QVERIFY2(options.contains(n), qPrintable(n));
        QCOMPARE(options.value("resolution").unit, QStringLiteral("dpi"));
        QCOMPARE(options.value("resolution").wordlists, (QVector<double>{75, 100, 150, 200, 300, 400, 600}));
        QCOMPARE(QStringList(options.value("mode").list), (QStringList{"Lineart", "Gray", "Color"}));
        QCOMPARE(options.value("page-width").unit, QStringLiteral("mm"));
    }
};

QTEST_GUILESS_MAIN(TestSaneScan)
#include "tst_sanescan.moc"
