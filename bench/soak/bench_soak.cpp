// Soak: 1,000 connect/disconnect cycles and 20,000 mixed commands against the
// service on the simulated scanners, then one "CBASE64" of a file at the
// limit. Prints what was answered and the service's memory, descriptors and
// threads before and after. Prints figures, never fails.
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

// Both scale with the optional argument: "bench_soak 5" runs five times as many.
int Cycles = 1000;
int Commands = 20000;
constexpr int Batch = 50;
constexpr int TraceEvery = 5000;
constexpr qint64 Limit = 256 * 1024 * 1024;

struct Usage {
    long rssKiB = 0;
    long peakKiB = 0;
    int fds = 0;
    int threads = 0;
};

Usage usageOf(qint64 pid)
{
    Usage u;
    QFile status(QString("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            const long value = line.mid(line.indexOf(':') + 1).trimmed().split(' ').first().toLong();
            if (line.startsWith("VmRSS:"))
                u.rssKiB = value;
            else if (line.startsWith("VmHWM:"))
                u.peakKiB = value;
            else if (line.startsWith("Threads:"))
                u.threads = int(value);
        }
    }
    u.fds = QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
    return u;
}

// Runs the event loop until `done` holds or the time is up; no polling delay.
bool waitUntil(PageClient &page, const std::function<bool()> &done, int timeoutMs = 30000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto check = [&] {
        if (done())
            loop.quit();
    };
    QObject::connect(&page.socket, &QWebSocket::textMessageReceived, &loop, check, Qt::QueuedConnection);
    QObject::connect(&page.socket, &QWebSocket::disconnected, &loop, check, Qt::QueuedConnection);
    QObject::connect(&page.socket, &QWebSocket::connected, &loop, check, Qt::QueuedConnection);
    timeout.start(timeoutMs);
    loop.exec();
    return done();
}

// A page that has been greeted; a page refused as a second client (the
// service has not yet seen the previous one go) tries again.
bool connectPage(PageClient &page, const QString &url, int *refused)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        page.messages.clear();
        page.closed = false;
        page.socket.open(QUrl(url));
        if (!waitUntil(page, [&] { return page.messages.size() >= 2 || page.closed; }))
            return false;
        if (page.messages.size() >= 2)
            return true;
        ++*refused;
        page.socket.abort();
    }
    return false;
}

struct Tally {
    int cycles = 0;
    int refused = 0;
    int sent = 0;
    int wellFormed = 0;
    int answered = 0;
    int wrong = 0;
    int oversized = 0;
    QVector<double> residentMiB; // every TraceEvery commands
};

// One command of the mix; `expect` gets the "Cmd" of its reply, or "-" when
// no reply is due.
QString command(int i, const Sandbox &box, QString &expect, bool &binary)
{
    binary = false;
    switch (i % 10) {
    case 0: expect = "SDEV"; return "CDEV";
    case 1: expect = "SOPT"; return "COPT|cvnfa:DR-A";
    case 2:
    case 3: expect = "SBASE64"; return "CBASE64|" + box.tempImgDir() + "/served.tiff";
    case 4: expect = "SBASE64"; return "CBASE64|/etc/passwd";
    case 5: expect = "SBASE64"; return "CBASE64|" + box.tempImgDir() + "/../../home/.velloscan/SysConfig.ini";
    case 6: expect = "SBASE64"; return "CBASE64|" + box.tempImgDir() + "/missing.tiff";
    case 7: expect = ""; return "COPT|"; // 1004, an error with an empty Cmd
    case 8: {
        static const char *const junk[] = {"", "cdev", "|||", "CBASE64", "HELLO|x", " CDEV"};
        expect = "-";
        return junk[(i / 10) % 6];
    }
    default:
        expect = "-";
        binary = true;
        return "CDEV";
    }
}

// Pages that connect, are greeted and leave: half close, half vanish.
void runCycles(const Sandbox &box, int cycles, Tally &tally)
{
    for (int i = 0; i < cycles; ++i) {
        PageClient page;
        if (!connectPage(page, box.url(), &tally.refused))
            return;
        ++tally.cycles;
        if (i % 2) {
            page.socket.close();
            waitUntil(page, [&] { return page.closed; }, 5000);
        } else {
            page.socket.abort();
        }
    }
}

// The mix in batches; after every tenth batch a message over the size limit,
// which closes that page, and a new page goes on.
void runCommands(Sandbox &box, int commands, Tally &tally)
{
    auto page = std::make_unique<PageClient>();
    if (!connectPage(*page, box.url(), &tally.refused))
        return;
    for (int batch = 1, sent = 0; sent < commands; ++batch) {
        QStringList expected;
        const int first = page->messages.size();
        int n = 0;
        for (; n < Batch && sent < commands; ++n, ++sent) {
            QString expect;
            bool binary = false;
            const QString text = command(sent, box, expect, binary);
            if (binary)
                page->socket.sendBinaryMessage(text.toUtf8());
            else
                page->send(text);
            if (expect != "-")
                expected << expect;
        }
        if ((tally.sent + n) / TraceEvery > tally.sent / TraceEvery)
            tally.residentMiB << usageOf(box.process().processId()).rssKiB / 1024.0;
        tally.sent += n;
        tally.wellFormed += expected.size();
        const bool complete = waitUntil(*page, [&] { return page->messages.size() >= first + expected.size(); });
        for (int i = 0; i < expected.size() && first + i < page->messages.size(); ++i) {
            ++tally.answered;
            if (page->message(first + i).value("Cmd").toString() != expected[i])
                ++tally.wrong;
        }
        if (!complete)
            return;
        if (batch % 10 == 0) {
            ++tally.sent;
            ++tally.oversized;
            page->send("CBASE64|" + QString(2 * 1024 * 1024, 'x'));
            waitUntil(*page, [&] { return page->closed; });
            page = std::make_unique<PageClient>();
            if (!connectPage(*page, box.url(), &tally.refused))
                return;
        }
    }
}

void soak(Sandbox &box)
{
    QByteArray served(64 * 1024, '\0');
    for (int i = 0; i < served.size(); ++i)
        served[i] = char(i * 7);
    QFile f(box.tempImgDir() + "/served.tiff");
    if (!f.open(QIODevice::WriteOnly) || f.write(served) != served.size()) {
        std::printf("soak: cannot write the served file\n");
        return;
    }
    f.close();
    const qint64 pid = box.process().processId();

    // A warm-up of every kind, so that "before" includes what the service
    // allocates once: Qt's caches, and the heaps of the pool threads, which
    // the C library keeps for later threads (they fill within a few
    // thousand commands; the trace below shows the level after that).
    Tally warm;
    runCycles(box, 100, warm);
    runCommands(box, TraceEvery, warm);
    // Settled: the idle pool threads end on their own after 30 s.
    auto settled = [&](const Usage &limit) {
        return QTest::qWaitFor([&] {
            const Usage now = usageOf(pid);
            return now.threads <= limit.threads && now.fds <= limit.fds;
        }, 60000);
    };
    Usage floor;
    floor.threads = 2; // main and USB listener
    floor.fds = 1 << 20;
    if (!settled(floor))
        std::printf("soak: the service did not come down to its two threads within a minute\n");
    const Usage before = usageOf(pid);

    Tally tally;
    QElapsedTimer timer;
    timer.start();
    runCycles(box, Cycles, tally);
    const double cycleSeconds = timer.nsecsElapsed() / 1e9;
    timer.restart();
    runCommands(box, Commands, tally);
    const double commandSeconds = timer.nsecsElapsed() / 1e9;
    if (!settled(before))
        std::printf("soak: threads or descriptors still above the figures before, after a minute\n");
    const Usage after = usageOf(pid);
    const bool running = box.process().state() == QProcess::Running;

    std::printf("soak: %d connect/disconnect cycles in %.1f s (half closed, half aborted); %d refusals as a second "
                "page while the last one was still leaving\n", tally.cycles, cycleSeconds, tally.refused);
    std::printf("soak: %d commands in %.1f s (%.0f/s): %d well-formed, %d answered, %d with the wrong reply; "
                "%d oversized, each closing its page\n",
                tally.sent, commandSeconds, tally.sent / commandSeconds, tally.wellFormed, tally.answered, tally.wrong,
                tally.oversized);
    QString trace;
    for (double mib : tally.residentMiB)
        trace += QString::number(mib, 'f', 1) + " ";
    std::printf("soak: warm-up of %d cycles and %d commands first; resident MiB every %d commands of the run: %s\n",
                warm.cycles, warm.sent, TraceEvery, qPrintable(trace.trimmed()));
    std::printf("soak: service %s; resident %.1f MiB before, %.1f MiB after (%+.1f%%); file descriptors %d before, "
                "%d after; threads %d before, %d after\n",
                running ? "still running" : "NOT RUNNING", before.rssKiB / 1024.0, after.rssKiB / 1024.0,
                100.0 * (after.rssKiB - before.rssKiB) / qMax(1L, before.rssKiB), before.fds, after.fds,
                before.threads, after.threads);
}

// The largest file "CBASE64" sends: time to the reply and the service's peak.
void atTheLimit(Sandbox &box)
{
    const QString path = box.tempImgDir() + "/limit.tiff";
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(Limit)) // sparse: no disk needed
        return;
    f.close();
    int refused = 0;
    PageClient page;
    if (!connectPage(page, box.url(), &refused))
        return;
    const qint64 pid = box.process().processId();
    const Usage before = usageOf(pid);
    int messagesAtPong = -1;
    QObject::connect(&page.socket, &QWebSocket::pong, [&] { messagesAtPong = page.messages.size(); });
    QElapsedTimer timer;
    timer.start();
    page.send("CBASE64|" + path);
    page.socket.ping();
    const bool answered = waitUntil(page, [&] { return page.messages.size() >= 3; }, 300000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const int textLength = answered ? page.message(2).value("Data").toString().size() : 0;
    page.messages.clear();
    const Usage after = usageOf(pid);
    // The service gives the reply's memory back once the socket is done with it.
    [[maybe_unused]] const bool down = QTest::qWaitFor([&] { return usageOf(pid).rssKiB < before.rssKiB * 1.2; }, 10000);
    const Usage settled = usageOf(pid);
    std::printf("limit: CBASE64 of a %lld-byte file: %s in %.2f s, %d characters of Base64; a ping meanwhile was "
                "answered %s; service resident %.1f MiB before, peak %.1f MiB, %.1f MiB after (%+.1f%%)\n",
                Limit, answered ? "answered" : "NOT answered", seconds, textLength,
                messagesAtPong == 2 ? "before the text" : "after the text", before.rssKiB / 1024.0,
                after.peakKiB / 1024.0, settled.rssKiB / 1024.0,
                100.0 * (settled.rssKiB - before.rssKiB) / qMax(1L, before.rssKiB));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int scale = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 1;
    Cycles *= scale;
    Commands *= scale;
    Sandbox box;
    box.setDevices("device cvnfa DR-A\ndevice cvnfb DR-B\n");
    if (!box.start()) {
        std::printf("soak: the service did not start\n");
        return 0;
    }
    soak(box);
    atTheLimit(box);
    std::printf("service: %s\n", box.terminate() == 0 ? "exited cleanly on SIGTERM" : "did NOT exit cleanly");
    return 0;
}
