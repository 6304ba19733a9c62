// The uevent filter and the lsusb parsing, on recorded texts.
#include <QtTest>

#include <algorithm>

#include "usbhotplugthread.h"
#include "ueventsender.h"

namespace {

// Header and KEY=value strings, each NUL-terminated, as the kernel sends them.
QByteArray Datagram(const QList<QByteArray> &fields)
{
    QByteArray out;
    for (const QByteArray &f : fields) {
        out += f;
        out += '\0';
    }
    return out;
}

const QByteArray kIfPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0";
const QByteArray kDevPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";

QByteArray MakerInterface(const QByteArray &action)
{
    return Datagram({action + "@" + kIfPath, "ACTION=" + action, "DEVPATH=" + kIfPath,
                     "SUBSYSTEM=usb", "DEVTYPE=usb_interface", "PRODUCT=b7e/1234/100",
                     "TYPE=0/0/0", "INTERFACE=255/255/255",
                     "MODALIAS=usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin00",
                     "SEQNUM=2817"});
}

QByteArray MakerDevice(const QByteArray &action)
{
    return Datagram({action + "@" + kDevPath, "ACTION=" + action, "DEVPATH=" + kDevPath,
                     "SUBSYSTEM=usb", "MAJOR=189", "MINOR=4", "DEVNAME=bus/usb/001/005",
                     "DEVTYPE=usb_device", "PRODUCT=b7e/1234/100", "TYPE=0/0/0",
                     "BUSNUM=001", "DEVNUM=005", "SEQNUM=2816"});
}

} // namespace

class TestHotplugFilter : public QObject
{
    Q_OBJECT
private slots:
    void filter_data();
    void filter();
    void senderLayout();
    void lsusb_data();
    void lsusb();
};

void TestHotplugFilter::filter_data()
{
    QTest::addColumn<QByteArray>("event");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("type");

    QTest::newRow("add of a maker interface") << MakerInterface("add") << true << 1;
    QTest::newRow("remove of a maker interface") << MakerInterface("remove") << true << 2;
    QTest::newRow("add of the whole maker device") << MakerDevice("add") << false << 1;
    QTest::newRow("remove of the whole maker device") << MakerDevice("remove") << false << 2;
    for (const char *action : {"bind", "unbind", "change"}) {
        QByteArray ev = MakerInterface(action);
        QTest::addRow("%s of a maker interface", action) << ev << false << 0;
    }

    const QByteArray other = Datagram(
        {"add@" + kIfPath, "ACTION=add", "DEVPATH=" + kIfPath, "SUBSYSTEM=usb",
         "DEVTYPE=usb_interface", "PRODUCT=46d/825/12", "TYPE=239/2/1",
         "INTERFACE=14/1/0", "MODALIAS=usb:v046Dp0825d0012dcEFdsc02dp01ic0Eisc01ip00in00",
         "SEQNUM=3001"});
    QTest::newRow("add of another vendor's interface") << other << false << 1;
    QByteArray otherRemove = other;
    otherRemove.replace("add", "remove");
    QTest::newRow("remove of another vendor's interface") << otherRemove << false << 2;

    // The PRODUCT fragment alone would match vendor b7e5; the modalias does not.
    const QByteArray lookalike = Datagram(
        {"add@" + kIfPath, "ACTION=add", "DEVPATH=" + kIfPath, "SUBSYSTEM=usb",
         "DEVTYPE=usb_interface", "PRODUCT=b7e5/1/100", "TYPE=0/0/0",
         "INTERFACE=255/255/255", "MODALIAS=usb:vB7E5p0001d0100dc00dsc00dp00icFFiscFFipFFin00",
         "SEQNUM=3002"});
    QTest::newRow("vendor b7e5") << lookalike << false << 1;

    // An input device of the maker (a scanner's buttons) is not a USB interface.
    const QByteArray input = Datagram(
        {"add@" + kIfPath + "/0003:0B7E:1234.0001/input/input7", "ACTION=add",
         "SUBSYSTEM=input", "PRODUCT=3/b7e/1234/100", "NAME=\"Corvane Scanner\"",
         "MODALIAS=input:b0003v0B7Ep1234e0100-e0,1,k71,ramlsfw", "SEQNUM=3003"});
    QTest::newRow("maker input device") << input << false << 1;

    // Each of the three fragments is required on its own.
    for (const char *key : {"PRODUCT=", "DEVTYPE=", "MODALIAS="}) {
        QList<QByteArray> fields = MakerInterface("add").split('\0');
        fields.removeLast();
        fields.erase(std::remove_if(fields.begin(), fields.end(),
                                    [key](const QByteArray &f) { return f.startsWith(key); }),
                     fields.end());
        QTest::addRow("maker interface without %s", key) << Datagram(fields) << false << 1;
    }
    QByteArray asDevice = MakerInterface("add");
    asDevice.replace("DEVTYPE=usb_interface", "DEVTYPE=usb_device");
    QTest::newRow("maker keys with device type usb_device") << asDevice << false << 1;

    QTest::newRow("header only") << Datagram({"add@" + kIfPath}) << false << 1;
    QTest::newRow("empty") << QByteArray() << false << 0;
    QByteArray upper = MakerInterface("add");
    upper.replace(0, 3, "ADD");
    QTest::newRow("action in capitals") << upper << false << 0;

    // The filter has no length limit of its own; the thread's read cuts events.
    QByteArray longEvent = MakerInterface("add");
    longEvent += "PADDING=" + QByteArray(5000, 'x');
    longEvent += '\0';
    QTest::newRow("event longer than 4096 bytes") << longEvent << true << 1;
}

void TestHotplugFilter::filter()
{
    QFETCH(QByteArray, event);
    QFETCH(bool, accepted);
    QFETCH(int, type);
    QCOMPARE(USBHotplugThread::AcceptEvent(event), accepted);
    QCOMPARE(USBHotplugThread::EventType(event), type);
}

void TestHotplugFilter::senderLayout()
{
    const std::string built = uevent::BuildEvent(
        "add", kIfPath.toStdString(),
        {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"PRODUCT", "b7e/1234/100"},
         {"TYPE", "0/0/0"}, {"INTERFACE", "255/255/255"},
         {"MODALIAS", "usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin00"}, {"SEQNUM", "2817"}});
    QCOMPARE(QByteArray(built.data(), int(built.size())), MakerInterface("add"));

    const std::string iface = uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 1);
    const QByteArray ifaceBytes(iface.data(), int(iface.size()));
    QVERIFY(ifaceBytes.startsWith(Datagram({"add@" + kDevPath + "/1-1:1.1", "ACTION=add"})));
    QVERIFY(ifaceBytes.contains(QByteArray("\0PRODUCT=b7e/1234/100\0", 22)));
    QVERIFY(ifaceBytes.contains("MODALIAS=usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin01"));
    QVERIFY(USBHotplugThread::AcceptEvent(ifaceBytes));

    const std::string device = uevent::UsbDeviceEvent("remove", "0b7e", "1234", "0100");
    const QByteArray deviceBytes(device.data(), int(device.size()));
    QVERIFY(deviceBytes.contains("DEVTYPE=usb_device"));
    QCOMPARE(USBHotplugThread::EventType(deviceBytes), 2);
    QVERIFY(!USBHotplugThread::AcceptEvent(deviceBytes));
}

void TestHotplugFilter::lsusb_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("ids");

    const QByteArray maker1 = "Bus 001 Device 005: ID 0b7e:1234 Corvane Co., Ltd. Scanner";
    const QByteArray maker2 = "Bus 002 Device 003: ID 0b7e:5678 Corvane Co., Ltd. Scanner";
    const QByteArray maker3 = "Bus 003 Device 009: ID 0b7e:00a1 Corvane Co., Ltd. RX300";
    const QByteArray hub = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub";
    const QByteArray mouse = "Bus 001 Device 002: ID 046d:c52b Logitech, Inc. Unifying Receiver";

    QTest::newRow("one maker line") << maker1 + "\n" << QStringList{"1234"};
    QTest::newRow("several maker lines in order")
        << hub + "\n" + maker2 + "\n" + mouse + "\n" + maker1 + "\n" + maker3 + "\n"
        << QStringList{"5678", "1234", "00a1"};
    QTest::newRow("no line end at the end") << hub + "\n" + maker1 << QStringList{"1234"};
    QTest::newRow("other vendors only") << hub + "\n" + mouse + "\n" << QStringList();
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("NUL ends the text")
        << maker1 + "\n" + QByteArray(1, '\0') + maker2 + "\n" << QStringList{"1234"};
    QTest::newRow("Corvane and 0b7e without 0b7e: is skipped")
        << "Bus 001 Device 006: ID 0b7e-4321 Corvane Co., Ltd. Scanner\n" + maker1 + "\n"
        << QStringList{"1234"};
    QTest::newRow("maker id without the maker's name")
        << QByteArray("Bus 001 Device 007: ID 0b7e:2222  \n") << QStringList();
    QTest::newRow("maker's name with another id")
        << QByteArray("Bus 001 Device 008: ID 04a9:1909 Corvane compatible\n") << QStringList();
    QTest::newRow("name match is case-sensitive")
        << QByteArray("Bus 001 Device 005: ID 0b7e:1234 CORVANE Scanner\n") << QStringList();
    QTest::newRow("empty product id is skipped")
        << QByteArray("Bus 001 Device 005: ID 0b7e: Corvane Co., Ltd.\n") << QStringList();
    // A carriage return never belongs to an id, whatever wrote the lines.
    QTest::newRow("CRLF line ends")
        << maker1 + "\r\n" + hub + "\r\n" + "Corvane scanner at 0b7e:9abc\r\n"
        << QStringList{"1234", "9abc"};
}

void TestHotplugFilter::lsusb()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, ids);
    QCOMPARE(USBHotplugThread::ParseLsusb(output), ids);
}

QTEST_GUILESS_MAIN(TestHotplugFilter)
#include "tst_hotplugfilter.moc"
