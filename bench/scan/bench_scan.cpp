// Batches of A4 300 dpi colour pages from a simulated feeder, per format:
//  - the service's wall time from "CSCAN" to "SSCANALL" beside scanimage
//    (sane-utils) scanning the same simulated pages to the same format;
//  - for TIFF (Deflate level 9), pages per second and the share of the time
//    spent compressing (against the uncompressed PNM batch);
//  - the service's peak resident memory in a 10-page and a 100-page batch.
// Run it from the build folder: build/bench/scan/bench_scan [sheets]
#include "sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int Runs = 3;

// Seconds from "CSCAN" to the job's last message; -1 when it failed.
double serviceBatch(Sandbox &box, PageClient &page, const QString &fileType, int pages)
{
    QDir(box.root() + "/out").removeRecursively();
    const int first = page.messages.size();
    QElapsedTimer timer;
    timer.start();
    page.send(QString(R"(CSCAN|cvnfa:BENCH|{"FileType":"%1","FilePath":"%2/out"})").arg(fileType, box.root()));
    // Other messages may come meanwhile (a USB report, say): look for the end.
    const bool done = QTest::qWaitFor([&] {
        return !page.messages.mid(first).filter("\"Code\":2004").isEmpty();
    }, 600000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const int reports = page.messages.mid(first).filter("SSCANONE").size();
    return done && reports == pages ? seconds : -1;
}

double scanimageBatch(Sandbox &box, const QString &format, const QString &suffix)
{
    const QString dir = box.root() + "/cli";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SANE_CONFIG_DIR", box.saneDir());
    env.insert("LD_LIBRARY_PATH", SIM_LIBDIR);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    QElapsedTimer timer;
    timer.start();
    p.start("scanimage", {"-d", "cvnfa:BENCH", "--format=" + format, "--batch=" + dir + "/p%d." + suffix});
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

long peakResidentKiB(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// The shorter of two times, where -1 is a failed run.
double keepBest(double best, double run)
{
    return run > 0 && (best < 0 || run < best) ? run : best;
}

// A fresh service that scans one batch of `pages` pages; its peak memory.
long peakForBatch(int pages)
{
    Sandbox box;
    box.setDevices(QString("device cvnfa BENCH pages=%1\n").arg(pages));
    PageClient page;
    if (!box.startWithPage(page) || serviceBatch(box, page, "3", pages) < 0)
        return -1;
    return peakResidentKiB(box.process().processId());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // A first argument changes the batch length of the comparison.
    const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    Sandbox box;
    box.setDevices(QString("device cvnfa BENCH pages=%1\n").arg(pages));
    PageClient page;
    if (!box.startWithPage(page)) {
        std::fprintf(stderr, "bench_scan: the service did not start\n");
        return 1;
    }
    const bool haveCli = !QStandardPaths::findExecutable("scanimage").isEmpty();
    std::printf("%d-sheet feeder, A4 300 dpi colour (2480x3508), best of %d\n", pages, Runs);
    std::printf("%-6s %12s %12s %8s\n", "format", "service s", "scanimage s", "ratio");
    struct Format { const char *type, *word, *cliFormat, *suffix; };
    const Format formats[] = {{"2", "pnm", "pnm", "pnm"}, {"3", "jpg", "jpeg", "jpg"}, {"4", "png", "png", "png"}};
    double pnmSeconds = -1;
    for (const Format &f : formats) {
        // Taken in turns, so that a load that comes and goes weighs on both.
        double service = -1;
        double cli = -1;
        for (int i = 0; i < Runs; ++i) {
            service = keepBest(service, serviceBatch(box, page, f.type, pages));
            if (haveCli)
                cli = keepBest(cli, scanimageBatch(box, f.cliFormat, f.suffix));
        }
        if (QString(f.word) == "pnm")
            pnmSeconds = service;
        std::printf("%-6s %12.3f %12.3f %8.3f\n", f.word, service, cli, cli > 0 ? service / cli : 0.0);
    }
    if (!haveCli)
        std::printf("(scanimage not found: install sane-utils for the comparison)\n");

    double tiff = -1;
    for (int i = 0; i < Runs; ++i)
        tiff = keepBest(tiff, serviceBatch(box, page, "1", pages));
    std::printf("tiff   %12.3f s, %.2f pages/s, compressing ~%.0f%% of the time (against pnm)\n", tiff,
                pages / tiff, pnmSeconds > 0 ? 100.0 * (1.0 - pnmSeconds / tiff) : 0.0);

    const long peak10 = peakForBatch(10);
    const long peak100 = peakForBatch(100);
    std::printf("peak resident memory, jpg batch: 10 pages %.1f MiB, 100 pages %.1f MiB, ratio %.3f\n",
                peak10 / 1024.0, peak100 / 1024.0, peak10 > 0 ? double(peak100) / peak10 : 0.0);
    return 0;
}
