// End-to-end: real uevent datagrams multicast on the kernel's uevent group
// reach the real service, which tells the page with "SDEVPLUG".
#include "sandbox.h"
#include "ueventsender.h"

#include <QTest>

#include <cstring>

namespace {

const QByteArray Lsusb = "Bus 001 Device 002: ID 1d6b:0002 Linux Foundation 2.0 root hub\n"
                         "Bus 001 Device 005: ID 0b7e:1234 Corvane Co., Ltd. DR-A\n";

const QString NoScanner = "未找到扫描仪，请先获取扫描仪设备或检查扫描仪是否正确连接";

} // namespace

class HotplugTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void plugAndUnplug();
    void twoInterfacesTwoMessages();
    void otherEventsSayNothing();
    void toldEvenWithoutLsusb();
    void plugDuringScanToldAfterIt();
    void stopsPromptlyWhileListening();

private:
    bool multicast(const std::string &event);
    bool startWithPage(const QString &devices);

    Sandbox *m_box = nullptr;
    PageClient *m_page = nullptr;
};

void HotplugTest::init()
{
    m_box = new Sandbox;
    m_box->writeTool("lsusb", Lsusb);
    m_page = new PageClient;
}

void HotplugTest::cleanup()
{
    delete m_page;
    delete m_box;
}

bool HotplugTest::multicast(const std::string &event)
{
    int error = 0;
    if (uevent::Multicast(event, &error))
        return true;
    qWarning("cannot multicast a uevent: %s", std::strerror(error));
    return false;
}

bool HotplugTest::startWithPage(const QString &devices)
{
    m_box->setDevices(devices);
    return m_box->startWithPage(*m_page);
}

void HotplugTest::plugAndUnplug()
{
    QVERIFY(startWithPage(QString()));
    QCOMPARE(m_page->message(1).value("Code").toInt(), 1003);

    m_box->setDevices("device cvnfa DR-A\ndevice webcamsim Cam\n");
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 0)));
    QVERIFY(m_page->waitForMessages(3));
    const QJsonObject plug = m_page->message(2);
    QCOMPARE(plug, QJsonObject({{"Cmd", "SDEVPLUG"}, {"Code", 2005}, {"Msg", "获取扫描仪列表成功"},
                                {"Data", plug.value("Data")}, {"DataType", "json"}}));
    QCOMPARE(devicesOf(plug), QStringList{"cvnfa:DR-A"});

    // The same document as a "CDEV" answer right after.
    m_page->send("CDEV");
    QVERIFY(m_page->waitForMessages(4));
    QCOMPARE(m_page->message(3).value("Data"), plug.value("Data"));

    m_box->setDevices("device webcamsim Cam\n");
    QVERIFY(multicast(uevent::UsbInterfaceEvent("remove", "0b7e", "1234", "0100", 0)));
    QVERIFY(m_page->waitForMessages(5));
    QCOMPARE(m_page->messages[4],
             QString(R"({"Cmd":"SDEVPLUG","Code":1003,"Data":"","DataType":"","Msg":"%1"})").arg(NoScanner));
    QVERIFY(!m_page->waitForMessages(6, 300));
}

void HotplugTest::twoInterfacesTwoMessages()
{
    QVERIFY(startWithPage("device cvnfb DR-B\n"));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 0)));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 1)));
    QVERIFY(m_page->waitForMessages(4));
    for (int i : {2, 3}) {
        QCOMPARE(m_page->message(i).value("Cmd").toString(), QString("SDEVPLUG"));
        QCOMPARE(devicesOf(m_page->message(i)), QStringList{"cvnfb:DR-B"});
    }
    QVERIFY(!m_page->waitForMessages(5, 300));
    // Each change read the scanner afresh; listing after them does not.
    m_page->send("CDEV");
    m_page->send("COPT");
    QVERIFY(m_page->waitForMessages(6));
    QCOMPARE(m_box->simLogLines().count("open-start cvnfb:DR-B"), 3);
}

void HotplugTest::otherEventsSayNothing()
{
    QVERIFY(startWithPage("device cvnfa DR-A\n"));
    QVERIFY(multicast(uevent::UsbDeviceEvent("add", "0b7e", "1234", "0100")));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("bind", "0b7e", "1234", "0100", 0)));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("unbind", "0b7e", "1234", "0100", 0)));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("change", "0b7e", "1234", "0100", 0)));
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "046d", "0825", "0012", 0)));
    QVERIFY(multicast(uevent::UsbDeviceEvent("remove", "0b7e", "1234", "0100")));
    // A marker the service does report: everything before it was dropped.
    QVERIFY(multicast(uevent::UsbInterfaceEvent("remove", "0b7e", "1234", "0100", 0)));
    QVERIFY(m_page->waitForMessages(3));
    QCOMPARE(m_page->message(2).value("Cmd").toString(), QString("SDEVPLUG"));
    QVERIFY(!m_page->waitForMessages(4, 500));
}

void HotplugTest::toldEvenWithoutLsusb()
{
    m_box->removeTool("lsusb");
    QVERIFY(startWithPage(QString()));
    m_box->setDevices("device cvnfc RX300\n");
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "0b7e", "4321", "0100", 0)));
    QVERIFY(m_page->waitForMessages(3));
    QCOMPARE(m_page->message(2).value("Code").toInt(), 2005);
    QCOMPARE(devicesOf(m_page->message(2)), QStringList{"cvnfc:RX300"});
}

void HotplugTest::plugDuringScanToldAfterIt()
{
    QVERIFY(startWithPage("device cvnfa DR-A pages=2 width_px=40 height_px=40 line_delay_us=10000\n"));
    m_page->send("CSCAN|cvnfa:DR-A|{\"FileType\":\"2\"}");
    QVERIFY(m_page->waitForMessages(3, 30000)); // the first page: the job runs
    m_box->setDevices("device cvnfa DR-A pages=2 width_px=40 height_px=40\ndevice cvnfb DR-B\n");
    QVERIFY(multicast(uevent::UsbInterfaceEvent("add", "0b7e", "1234", "0100", 0)));
    // Nothing during the job; the fresh list right after its last message.
    QVERIFY(m_page->waitForMessages(6, 30000));
    QCOMPARE(m_page->message(3).value("Cmd").toString(), QString("SSCANONE"));
    QCOMPARE(m_page->message(4).value("Cmd").toString(), QString("SSCANALL"));
    QCOMPARE(m_page->message(5).value("Cmd").toString(), QString("SDEVPLUG"));
    QCOMPARE(devicesOf(m_page->message(5)), QStringList({"cvnfa:DR-A", "cvnfb:DR-B"}));
    QVERIFY(!m_page->waitForMessages(7, 300));
}

void HotplugTest::stopsPromptlyWhileListening()
{
    QVERIFY(startWithPage("device cvnfa DR-A\n"));
    // The listener sits in its blocking wait; the teardown must release it.
    QCOMPARE(m_box->terminate(3000), 0);
}

QTEST_MAIN(HotplugTest)
#include "tst_hotplug.moc"
