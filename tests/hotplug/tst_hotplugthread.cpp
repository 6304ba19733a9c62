// The uevent filter on recorded texts, and the listener thread against real
// uevent datagrams (plugging as a page hears it is checked end to end). Each
// listener check ends with an event whose report differs from the one before:
// reports keep the events' order, so a report that should not have come
// would stand in the list.
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

const std::string kIfPath = std::string(uevent::kDeviceDevpath) + "/1-1:1.0";

// A maker interface's keys with `key` left out.
uevent::Pairs MakerKeys(const std::string &key = std::string())
{
    uevent::Pairs pairs;
    for (const auto &kv : uevent::Pairs{{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"},
                                        {"PRODUCT", "b7e/1234/100"}, {"TYPE", "0/0/0"},
                                        {"MODALIAS", "usb:v0B7Ep1234d0100dc00dsc00dp00icFFiscFFipFFin00"}})
        if (kv.first != key)
            pairs.push_back(kv);
    return pairs;
}

QByteArray Event(const std::string &action, const uevent::Pairs &pairs)
{
    return QByteArray::fromStdString(uevent::BuildEvent(action, kIfPath, pairs));
}

QByteArray MakerInterface(const char *action, int interfaceNumber = 0)
{
    return QByteArray::fromStdString(uevent::UsbInterfaceEvent(action, "0b7e", "1234", "0100", interfaceNumber));
}

// An "add" of a maker interface longer than 4096 bytes, its maker keys from
// byte `keysAt` on.
QByteArray LongEvent(int keysAt)
{
    uevent::Pairs pairs = MakerKeys();
    pairs.insert(pairs.begin(), {"PADDING", std::string(std::size_t(keysAt), 'x')});
    pairs.push_back({"TAIL", std::string(1000, 'x')});
    return Event("add", pairs);
}

// Collects the reports on the test's thread, through the queued connection
// a service would get.
struct Listener {
    QObject context;
    QStringList reports;
    USBHotplugThread *thread = new USBHotplugThread;

    Listener()
    {
        QObject::connect(
            thread, &USBHotplugThread::sigUSBListChanged, &context,
            [this](int type, const QStringList &ids) { reports << QString::number(type) + ":" + ids.join(','); },
            Qt::QueuedConnection);
    }
    ~Listener() { delete thread; }

    // Deletes the thread object on another thread, so that a destructor that
    // never returns fails the test instead of hanging it.
    bool DeleteInTime()
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        thread->moveToThread(nullptr);
        std::thread([t = thread, done] {
            delete t;
            *done = true;
        }).detach();
        thread = nullptr;
        return QTest::qWaitFor([&] { return done->load(); }, 5000);
    }
};

bool WriteScript(const QString &path, const QByteArray &body)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("#!/bin/sh\n" + body) > 0
        && f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// initTestCase has said why, should the group refuse every datagram.
bool Send(const QByteArray &datagram)
{
    return uevent::Multicast(datagram.toStdString());
}

} // namespace

class TestHotplugThread : public QObject
{
    Q_OBJECT
private slots:
    void filter_data();
    void filter();
    void initTestCase();
    void cleanup() { qputenv("PATH", m_path); }
    void reports_data();
    void reports();
    void unusableSocketStartsNothing();
    void destroyWhileLsusbHangs();

private:
    // PATH holds only the fake's directory while it runs.
    void UseLsusb(const char *kind) { qputenv("PATH", m_dir.filePath(kind).toLocal8Bit()); }

    QString m_skip;
    QByteArray m_path = qgetenv("PATH");
    QTemporaryDir m_dir;
};

void TestHotplugThread::filter_data()
{
    QTest::addColumn<QByteArray>("event");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("add of a maker interface") << Event("add", MakerKeys()) << true;
    // The PRODUCT fragment alone would match vendor b7e5; the modalias does not.
    QTest::newRow("vendor b7e5") << Event("add", {{"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_interface"},
                                                  {"PRODUCT", "b7e5/1/100"}, {"MODALIAS", "usb:vB7E5p0001d0100"}})
                                 << false;
    // Each of the three fragments is required on its own.
    for (const char *key : {"PRODUCT", "DEVTYPE", "MODALIAS"})
        QTest::addRow("maker interface without %s", key) << Event("add", MakerKeys(key)) << false;
}

void TestHotplugThread::filter()
{
    QFETCH(QByteArray, event);
    QFETCH(bool, accepted);
    QCOMPARE(USBHotplugThread::AcceptEvent(event), accepted);
}

void TestHotplugThread::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkdir("none") && QDir(m_dir.path()).mkdir("hang"));
    const QString sleepPath = QStandardPaths::findExecutable("sleep");
    QVERIFY(!sleepPath.isEmpty());
    QVERIFY(WriteScript(m_dir.filePath("hang/lsusb"), ": > '" + m_dir.filePath("hang/started").toLocal8Bit()
                                                          + "'\nexec '" + sleepPath.toLocal8Bit() + "' 60\n"));

    // Multicasting on the uevent group needs CAP_NET_ADMIN; without it none of
    // the socket cases can say anything.
    int err = 0;
    if (!uevent::Multicast(std::string("velloscan-probe"), &err))
        m_skip = QStringLiteral("cannot multicast on the uevent group: %1").arg(std::strerror(err));
}

void TestHotplugThread::reports_data()
{
    QTest::addColumn<QByteArrayList>("early"); // sent before ClearBuffer and start
    QTest::addColumn<QByteArrayList>("events");
    QTest::addColumn<QStringList>("expected");

    const QByteArray remove = MakerInterface("remove");
    const QString added = "1:", removed = "2:"; // no lsusb: no ids
    QTest::newRow("events queued before the start are dropped")
        << QByteArrayList{MakerInterface("add"), MakerInterface("add", 1)} << QByteArrayList{remove}
        << QStringList{removed};
    // One read takes at most 4096 bytes of an event: what lies beyond is not seen.
    QTest::newRow("long events cut at 4096 bytes") << QByteArrayList()
        << QByteArrayList{LongEvent(4000), LongEvent(3800), remove} << QStringList{added, removed};
}

void TestHotplugThread::reports()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    QFETCH(QByteArrayList, early);
    QFETCH(QByteArrayList, events);
    QFETCH(QStringList, expected);

    UseLsusb("none");
    Listener l;
    QVERIFY(l.thread->IsListening());
    for (const QByteArray &e : early)
        QVERIFY(Send(e));
    l.thread->ClearBuffer();
    l.thread->start();
    for (const QByteArray &e : events)
        QVERIFY(Send(e));

    QTRY_COMPARE(l.reports.size(), expected.size());
    QCOMPARE(l.reports, expected);
}

void TestHotplugThread::unusableSocketStartsNothing()
{
    // Hold the listener's port id so that its bind fails.
    const int holder = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    QVERIFY(holder >= 0);
    sockaddr_nl addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = static_cast<__u32>(::getpid());
    const bool bound = ::bind(holder, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    {
        USBHotplugThread t;
        const bool listening = t.IsListening();
        t.ClearBuffer();
        t.start();
        const bool finished = QTest::qWaitFor([&] { return t.isFinished(); }, 5000);
        ::close(holder);
        QVERIFY(bound && !listening);
        QVERIFY(finished);
    }
    // The port id is free again: the next listener works.
    QVERIFY(USBHotplugThread().IsListening());
}

void TestHotplugThread::destroyWhileLsusbHangs()
{
    if (!m_skip.isEmpty())
        QSKIP(qPrintable(m_skip));
    UseLsusb("hang");
    Listener l;
    QVERIFY(l.thread->IsListening());
    l.thread->ClearBuffer();
    l.thread->start();
    QVERIFY(Send(MakerInterface("add")));
    QTRY_VERIFY(QFile::exists(m_dir.filePath("hang/started")));

    QVERIFY(l.DeleteInTime());
    // A stopped listener reports nothing, not even the event it was handling.
    QCoreApplication::processEvents();
    QVERIFY(l.reports.isEmpty());
}

QTEST_GUILESS_MAIN(TestHotplugThread)
#include "tst_hotplugthread.moc"
