// The uevent filter and the lsusb parsing, on recorded texts.
#include <QtTest>

#include "usbhotplugthread.h"
#include "ueventsender.h"

namespace {

const std::string kIfPath = std::string(uevent::kDeviceDevpath) + "/1-1:1.0";

// A maker interface's keys with `key` left out, or replaced when `value` is given.
uevent::Pairs MakerKeys(const std::string &key = std::string(), const std::string &value = std::string())
{
    uevent::Pairs pairs;
    for (const auto &kv : uevent::Pairs{{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"},
                                        {"PRODUCT", "b7e/1234/100"}, {"TYPE", "0/0/0"},
                                        {"MODALIAS", "usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin00"}}) {
        if (kv.first != key)
            pairs.push_back(kv);
        else if (!value.empty())
            pairs.push_back({key, value});
    }
    return pairs;
}

QByteArray Event(const std::string &action, const uevent::Pairs &pairs)
{
    const std::string s = uevent::BuildEvent(action, kIfPath, pairs);
    return QByteArray(s.data(), int(s.size()));
}

} // namespace

class TestHotplugFilter : public QObject
{
    Q_OBJECT
private slots:
    void filter_data();
    void filter();
    void lsusb_data();
    void lsusb();
};

void TestHotplugFilter::filter_data()
{
    QTest::addColumn<QByteArray>("event");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("add of a maker interface") << Event("add", MakerKeys()) << true;
    QTest::newRow("remove of a maker interface") << Event("remove", MakerKeys()) << true;
    QTest::newRow("bind of a maker interface") << Event("bind", MakerKeys()) << false;
    // The PRODUCT fragment alone would match vendor b7e5; the modalias does not.
    QTest::newRow("vendor b7e5") << Event("add", {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"},
                                                  {"PRODUCT", "b7e5/1/100"}, {"MODALIAS", "usb:vB7E5p0001d0100"}})
                                 << false;
    // Each of the three fragments is required on its own.
    for (const char *key : {"PRODUCT", "DEVTYPE", "MODALIAS"})
        QTest::addRow("maker interface without %s", key) << Event("add", MakerKeys(key)) << false;
    QTest::newRow("maker keys with device type usb_device")
        << Event("add", MakerKeys("DEVTYPE", "usb_device")) << false;
}

void TestHotplugFilter::filter()
{
    QFETCH(QByteArray, event);
    QFETCH(bool, accepted);
    QCOMPARE(USBHotplugThread::AcceptEvent(event), accepted);
}

void TestHotplugFilter::lsusb_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("ids");

    const QByteArray maker1 = "Bus 001 Device 005: ID 0b7e:1234 Corvane Co., Ltd. Scanner";
    const QByteArray maker2 = "Bus 002 Device 003: ID 0b7e:5678 Corvane Co., Ltd. Scanner";
    const QByteArray hub = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub";

    // A carriage return never belongs to an id, whatever wrote the lines.
    QTest::newRow("maker lines in order, CRLF or not, no final line end")
        << hub + "\n" + maker2 + "\r\n" + "Bus 001 Device 002: ID 046d:c52b Logitech, Inc. Receiver\n"
               + "Corvane scanner at 0b7e:9abc\r\n" + maker1
        << QStringList{"5678", "9abc", "1234"};
    QTest::newRow("NUL ends the text") << maker1 + "\n" + QByteArray(1, '\0') + maker2 + "\n" << QStringList{"1234"};
    QTest::newRow("name and id both needed, 0b7e without a colon skipped")
        << "Bus 001 Device 006: ID 0b7e-4321 Corvane Co., Ltd. Scanner\n"
           "Bus 001 Device 007: ID 0b7e:2222  \n"
           "Bus 001 Device 008: ID 04a9:1909 Corvane compatible\n" + maker1 + "\n"
        << QStringList{"1234"};
}

void TestHotplugFilter::lsusb()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, ids);
    QCOMPARE(USBHotplugThread::ParseLsusb(output), ids);
}

QTEST_GUILESS_MAIN(TestHotplugFilter)
#include "tst_hotplugfilter.moc"
