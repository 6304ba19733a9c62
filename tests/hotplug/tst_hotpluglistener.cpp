// The listener thread against real uevent datagrams on the kernel's group.
//
// Every check ends with a "sentinel" event whose report differs from anything
// the events before it could produce: reports arrive in the order the events
// were sent, so once the sentinel's report is in, whatever should have come
// before it has come, and nothing else may stand in the list.
#include <QtTest>

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "usbhotplugthread.h"
#include "ueventsender.h"

namespace {

QByteArray Bytes(const std::string &s)
{
    return QByteArray(s.data(), int(s.size()));
}

QByteArray MakerInterface(const char *action, int interfaceNumber = 0)
{
    return Bytes(uevent::UsbInterfaceEvent(action, "0b7e", "1234", "0100", interfaceNumber));
}

// Collects the reports on the test's thread, through the queued connection
// a service would get.
struct Listener
{
    QObject context;
    QStringList reports;
    USBHotplugThread *thread = new USBHotplugThread;

    Listener()
    {
        QObject::connect(thread, &USBHotplugThread::sigUSBListChanged, &context,
                         [this](int type, const QStringList &ids) {
                             reports << QString::number(type) + ":" + ids.join(',');
                         },
                         Qt::QueuedConnection);
    }
    ~Listener() { delete thread; }
    void Start()
    {
        thread->ClearBuffer();
        thread->start();
    }
};

// Deletes a listener thread object on another thread so that the test can
// notice a destructor that never returns.
struct Deleter
{
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker;

    explicit Deleter(USBHotplugThread *t)
    {
        t->moveToThread(nullptr);
        worker = std::thread([t, flag = done] {
            delete t;
            *flag = true;
        });
    }
    ~Deleter()
    {
        if (*done)
            worker.join();
        else
            worker.detach();
    }
};

bool WriteScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write("#!/bin/sh\n" + body);
    f.close();
    return f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                            | QFileDevice::ExeOwner);
}

} // namespace

class TestHotplugListener : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void reports_data();
    void reports();
    void queuedBeforeClearBufferDiscarded();
    void unusableSocketStartsNothing();
    void destroyWhileWaiting();
    void destroyWhileLsusbHangs();

private:
    void UseLsusb(const QString &kind);
    bool Send(const QByteArray &datagram);

    QString m_skip;
    QByteArray m_path;
    QTemporaryDir m_dir;
};

void TestHotplugListener::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_path = qgetenv("PATH");
    for (const char *sub : {"maker", "others", "none", "hang"})
        QVERIFY(QDir(m_dir.path()).mkdir(sub));
    QVERIFY(WriteScript(m_dir.filePath("maker/lsusb"),
                        "echo 'Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub'\n"
                        "echo 'Bus 001 Device 005: ID 0b7e:1234 Corvane Co., Ltd. Scanner'\n"
                        "echo 'Bus 001 Device 002: ID 046d:c52b Logitech, Inc. Unifying Receiver'\n"
                        "echo 'Bus 002 Device 003: ID 0b7e:5678 Corvane Co., Ltd. Scanner'\n"));
    QVERIFY(WriteScript(m_dir.filePath("others/lsusb"),
                        "echo 'Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub'\n"
                        "echo 'Bus 001 Device 002: ID 046d:c52b Logitech, Inc. Unifying Receiver'\n"));
    // PATH holds only the fake's directory while it runs.
    const QString sleepPath = QStandardPaths::findExecutable("sleep");
    QVERIFY(!sleepPath.isEmpty());
    QVERIFY(WriteScript(m_dir.filePath("hang/lsusb"),
                        ": > '" + m_dir.filePath("hang/started").toLocal8Bit() + "'\n"
                        "exec '" + sleepPath.toLocal8Bit() + "' 60\n"));

    // Multicasting on the uevent group needs CAP_NET_ADMIN; without it none of
    // the socket cases can say anything.
    int err = 0;
    if (!uevent::Multicast(std::string("velloscan-probe"), &err))
        m_skip = QStringLiteral("cannot multicast on the uevent group: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(err)));
}

void TestHotplugListener::cleanup()
{
    qputenv("PATH", m_path);
}

void TestHotplugListener::UseLsusb(const QString &kind)
{
    // Only our directory: "none" must hide any real lsusb.
    qputenv("PATH", m_dir.filePath(kind).toLocal8Bit());
}

bool TestHotplugListener::Send(const QByteArray &datagram)
{
    int err = 0;
    if (uevent::Multicast(datagram.toStdString(), &err))
        return true;
    qWarning("multicast failed: %s", std::strerror(err));
    return false;
}

void TestHotplugListener::reports_data()
{
    QTest::addColumn<QString>("lsusb");
    QTest::addColumn<QByteArrayList>("events");
    QTest::addColumn<QStringList>("expected");

    const QByteArray add = MakerInterface("add");
    const QByteArray remove = MakerInterface("remove");

    QTest::newRow("add of a maker interface")
        << "maker" << QByteArrayList{add, remove} << QStringList{"1:1234,5678", "2:1234,5678"};
    QTest::newRow("remove, no maker device left")
        << "others" << QByteArrayList{remove, add} << QStringList{"2:", "1:"};
    QTest::newRow("device with two interfaces")
        << "maker" << QByteArrayList{MakerInterface("add", 0), MakerInterface("add", 1), remove}
        << QStringList{"1:1234,5678", "1:1234,5678", "2:1234,5678"};
    QTest::newRow("no lsusb on PATH") << "none" << QByteArrayList{add, remove}
                                      << QStringList{"1:", "2:"};

    QTest::newRow("add of the whole device")
        << "maker" << QByteArrayList{Bytes(uevent::UsbDeviceEvent("add", "0b7e", "1234", "0100")), remove}
        << QStringList{"2:1234,5678"};
    QTest::newRow("remove of the whole device")
        << "maker" << QByteArrayList{Bytes(uevent::UsbDeviceEvent("remove", "0b7e", "1234", "0100")), add}
        << QStringList{"1:1234,5678"};
    for (const char *action : {"bind", "unbind", "change"})
        QTest::addRow("%s of a maker interface", action)
            << "maker" << QByteArrayList{MakerInterface(action), add} << QStringList{"1:1234,5678"};
    QTest::newRow("add of another vendor's interface")
        << "maker"
        << QByteArrayList{Bytes(uevent::UsbInterfaceEvent("add", "046d", "0825", "0012", 0)), remove}
        << QStringList{"2:1234,5678"};
    QTest::newRow("remove of another vendor's interface")
        << "maker"
        << QByteArrayList{Bytes(uevent::UsbInterfaceEvent("remove", "046d", "0825", "0012", 0)), add}
        << QStringList{"1:1234,5678"};

    // One read takes at most 4096 bytes of an event: what lies beyond is not seen.
    const std::string padding(5000, 'x');
    const std::string ifPath = std::string(uevent::kDeviceDevpath) + "/1-1:1.0";
    const uevent::Pairs makerKeys = {
        {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"}, {"PRODUCT", "b7e/1234/100"},
        {"MODALIAS", "usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin00"}};
    uevent::Pairs keysFirst = makerKeys;
    keysFirst.push_back({"PADDING", padding});
    uevent::Pairs keysBeyond = {{"PADDING", padding}};
    keysBeyond.insert(keysBeyond.end(), makerKeys.begin(), makerKeys.end());
    QTest::newRow("long event, maker keys within the first 4096 bytes")
        << "maker" << QByteArrayList{Bytes(uevent::BuildEvent("add", ifPath, keysFirst)), remove}
        << QStringList{"1:1234,5678", "2:1234,5678"};
    QTest::newRow("long event, maker keys beyond 4096 bytes")
        << "maker" << QByteArrayList{Bytes(uevent::BuildEvent("add", ifPath, keysBeyond)), remove}
        << QStringList{"2:1234,5678"};
}

void TestHotplugListener::reports()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(QString, lsusb);
    QFETCH(QByteArrayList, events);
    QFETCH(QStringList, expected);

    UseLsusb(lsusb);
    Listener l;
    QVERIFY(l.thread->IsListening());
    l.Start();
    for (const QByteArray &e : events)
        QVERIFY(Send(e));

    QTRY_COMPARE(l.reports.size(), expected.size());
    QCOMPARE(l.reports, expected);
}

void TestHotplugListener::queuedBeforeClearBufferDiscarded()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    UseLsusb("maker");
    Listener l;
    QVERIFY(l.thread->IsListening());
    // Netlink queues a multicast on every listener before the send returns.
    QVERIFY(Send(MakerInterface("add")));
    QVERIFY(Send(MakerInterface("add", 1)));
    l.Start();
    QVERIFY(Send(MakerInterface("remove")));

    QTRY_COMPARE(l.reports.size(), 1);
    QCOMPARE(l.reports, QStringList{"2:1234,5678"});
}

void TestHotplugListener::unusableSocketStartsNothing()
{
    // Hold the listener's port id so that its bind fails.
    const int holder = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    QVERIFY(holder >= 0);
    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = static_cast<__u32>(::getpid());
    const bool bound = ::bind(holder, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    const int bindErr = errno;
    if (!bound)
        ::close(holder);
    QVERIFY2(bound, std::strerror(bindErr));

    {
        USBHotplugThread t;
        QVERIFY(!t.IsListening());
        t.ClearBuffer();
        t.start();
        QTRY_VERIFY(t.isFinished());
    }
    ::close(holder);

    // The port id is free again: the next listener works.
    USBHotplugThread t;
    QVERIFY(t.IsListening());
}

void TestHotplugListener::destroyWhileWaiting()
{
    Listener l;
    QVERIFY(l.thread->IsListening());
    l.Start();
    QTRY_VERIFY(l.thread->isRunning());

    USBHotplugThread *t = l.thread;
    l.thread = nullptr;
    Deleter d(t);
    QTRY_VERIFY(d.done->load());
}

void TestHotplugListener::destroyWhileLsusbHangs()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    UseLsusb("hang");
    Listener l;
    QVERIFY(l.thread->IsListening());
    l.Start();
    QVERIFY(Send(MakerInterface("add")));
    QTRY_VERIFY(QFile::exists(m_dir.filePath("hang/started")));

    USBHotplugThread *t = l.thread;
    l.thread = nullptr;
    Deleter d(t);
    QTRY_VERIFY(d.done->load());
    // A stopped listener reports nothing, not even the event it was handling.
    QCoreApplication::processEvents();
    QVERIFY(l.reports.isEmpty());
}

QTEST_GUILESS_MAIN(TestHotplugListener)
#include "tst_hotpluglistener.moc"
