// Figures of the service: "COPT" and "CDEV" latency from memory, idle CPU and
// memory, and start-up time against SANE's own enumeration. Prints, never fails.
#include "sandbox.h"
#include "sanescan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

struct ProcStat {
    double cpuSeconds = 0;
    long rssKiB = 0;
};

ProcStat readProc(qint64 pid)
{
    ProcStat s;
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> f = stat.readAll().split(')').last().trimmed().split(' ');
        // Fields after the command: state is f[0]; utime and stime are 14 and 15 of the whole line.
        if (f.size() > 13)
            s.cpuSeconds = (f[11].toLongLong() + f[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QString("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                s.rssKiB = line.mid(6).trimmed().split(' ').first().toLong();
    }
    return s;
}

QString devices(const QString &extra)
{
    return "device cvnfa Big-1 extra_options=" + extra + "\ndevice cvnfb Big-2 extra_options=" + extra + "\n";
}

// Sorted milliseconds from sending `command` to its reply.
QVector<double> roundTrips(PageClient &page, const QString &command, int rounds)
{
    QVector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        // An event loop that ends on the reply itself: no polling granularity.
        QEventLoop loop;
        QObject::connect(&page.socket, &QWebSocket::textMessageReceived, &loop, &QEventLoop::quit);
        QElapsedTimer t;
        t.start();
        page.send(command);
        loop.exec();
        ms << t.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

void printTrips(const char *what, const QVector<double> &ms, const QString &detail)
{
    const int n = ms.size();
    std::printf("%s: %d round trips: median %.3f ms, p95 %.3f ms, max %.3f ms (target p95 < 5 ms)%s\n", what, n,
                ms[n / 2], ms[n * 95 / 100], ms.last(), qPrintable(detail));
}

void benchOptions()
{
    Sandbox box;
    // The feeder scanner's own 41 options plus extras: 60 in all.
    box.setDevices(devices("19"));
    if (!box.start()) {
        std::printf("copt: service did not start\n");
        return;
    }
    if (!QTest::qWaitFor([&] { return box.simLogLines().filter("close ").size() >= 2; }, 10000))
        std::printf("copt: the preload did not end\n");
    PageClient page;
    page.open(box.url());
    page.waitForMessages(2);
    const auto opens = [&box] { return box.simLogLines().filter(QRegularExpression("^open-start ")).size(); };
    const int logged = box.simLogLines().size();
    const int opened = opens();

    const int rounds = 1000;
    const QVector<double> copt = roundTrips(page, "COPT|cvnfa:Big-1", rounds);
    const QByteArray values =
        QByteArray::fromBase64(page.message(2).value("Data").toString().section('|', 0, 0).toLatin1());
    printTrips("copt", copt, QString("; %1 options, SANE calls %2")
                                 .arg(values.count("\":\"")).arg(box.simLogLines().size() - logged));

    const QVector<double> cdev = roundTrips(page, "CDEV", rounds);
    // The preload a listing would start has ended once "COPT" is answered.
    roundTrips(page, "COPT", 1);
    printTrips("cdev, unchanged list", cdev, QString("; devices opened %1").arg(opens() - opened));
}

void benchIdle()
{
    Sandbox box;
    box.setDevices(devices("10"));
    if (!box.start())
        return;
    PageClient page;
    page.open(box.url());
    page.waitForMessages(2);
    QTest::qWait(1000); // let the preload end
    const ProcStat before = readProc(box.process().processId());
    QTest::qWait(5000);
    const ProcStat after = readProc(box.process().processId());
    std::printf("idle: %.3f s CPU over 5 s with a page connected; resident %.1f MiB\n",
                after.cpuSeconds - before.cpuSeconds, after.rssKiB / 1024.0);
}

double saneEnumerationMs(const Sandbox &box)
{
    // SANE's own cost of init plus one enumeration, in this process with the
    // same configuration the service gets.
    qputenv("SANE_CONFIG_DIR", box.saneDir().toUtf8());
    qputenv("LD_LIBRARY_PATH", VELLOSCAN_SIM_LIBDIR_FOR_BENCH);
    QElapsedTimer t;
    t.start();
    SaneScan sane;
    sane.Init();
    QVector<QString> names;
    sane.GetDeviceList(names);
    const double ms = t.nsecsElapsed() / 1e6;
    sane.Exit();
    return ms;
}

void benchStartup()
{
    Sandbox box;
    // Slow scanners: the preload takes seconds, listening must not wait for it.
    box.setDevices("device cvnfa Slow-1 open_delay_ms=1500\ndevice cvnfb Slow-2 open_delay_ms=1500\n");
    const double sane = saneEnumerationMs(box);
    QElapsedTimer t;
    t.start();
    box.start();
    const double listening = t.nsecsElapsed() / 1e6;
    std::printf("startup: listening after %.1f ms (includes the probe's connect); SANE init+enumeration alone %.1f ms;"
                " preload of two 1.5 s opens did %sdelay it\n",
                listening, sane, listening > 1500 ? "" : "not ");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    benchStartup();
    benchOptions();
    benchIdle();
    return 0;
}
