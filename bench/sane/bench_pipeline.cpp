// The page loop against a sheet-fed scanner at its rated speed: noisy colour
// A4 at 300 dpi, 60 sheets a minute, every page format, with the pool of
// encoders and with one encoder. For each: the time the reader held a sheet
// back because every encoder was busy (as a share of the batch), pages per
// second, the process's peak resident memory during the batch, and how
// many cores the batch got. Rounds are interleaved and the best of each is
// kept, since the machine is shared.
// Prints, never fails.
//
//   bench_pipeline [sheets] [rounds] [formats]   (20, 2 and pnm,jpg,tiff,png
//                                                 unless told)
#include "pageloop.h"
#include "procstatus.h"
#include "saneharness.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int Width = 2480, Height = 3508;

double cpuSeconds()
{
    timespec t = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The kernel starts the peak resident size afresh from the current one.
void resetPeakMemory()
{
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Figures {
    double seconds = -1;   // the whole batch, up to its last page announced
    double waitShare = 0;  // reader held back, of the batch
    long peakMiB = 0;      // the process's peak resident memory during the batch
    double cores = 0;      // processor time over the batch's time: how many cores it got
    bool ok() const { return seconds > 0; }
};

Figures batch(SimWorld &world, const QString &format, int sheets, int ppm, int encoders)
{
    Figures f;
    QTemporaryDir out;
    world.setDevices(QString("device cvnfa A4 width_px=%1 height_px=%2 pages=%3 mode=Color noise=1 ppm=%4\n")
                         .arg(Width).arg(Height).arg(sheets).arg(ppm));
    Engine e;
    if (e.open("cvnfa:A4") != 0)
        return f;
    PageLoop loop;
    loop.SetEncoders(encoders);
    int announced = 0;
    QObject::connect(&loop, &PageLoop::sglScanOneImageDone, [&] { ++announced; });
    PageNaming naming{out.path(), "page", 4, 1, format};
    resetPeakMemory();
    QElapsedTimer timer;
    const double cpuBefore = cpuSeconds();
    timer.start();
    const int status = loop.Scan(*e.device, naming, false);
    const qint64 ns = timer.nsecsElapsed();
    f.cores = (cpuSeconds() - cpuBefore) / (ns / 1e9);
    if (status != 0 || announced != sheets)
        return f;
    f.seconds = ns / 1e9;
    f.waitShare = double(loop.ReaderWaitNs()) / double(ns);
    f.peakMiB = statusKiB("VmHWM:") / 1024;
    return f;
}

void keepBest(Figures &best, const Figures &f)
{
    if (f.ok() && (!best.ok() || f.seconds < best.seconds))
        best = f;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int sheets = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
    SimWorld world;
    if (!world.setUp()) {
        std::printf("cannot set up the simulated scanners\n");
        return 1;
    }
    const QStringList formats = QString(argc > 3 ? argv[3] : "pnm,jpg,tiff,png").split(',');
    std::printf("%d noisy colour A4 sheets at 300 dpi (%dx%d), 60 sheets a minute; best of %d rounds\n", sheets,
                Width, Height, rounds);

    // One core's encode of a page: one encoder with the sheets coming as
    // fast as the simulator makes them, so the encoder sets the pace.
    std::printf("%-6s %14s\n", "", "s/page 1 core");
    for (const QString &format : formats) {
        Figures best;
        for (int round = 0; round < rounds; ++round)
            keepBest(best, batch(world, format, 4, 0, 1));
        std::printf("%-6s %14.2f\n", qPrintable(format), best.ok() ? best.seconds / 4 : -1.0);
        std::fflush(stdout);
    }

    std::printf("\n%-6s %9s %7s %9s %6s %9s %7s %9s %6s %6s\n", "", "pool p/s", "wait %", "peak MiB", "cores",
                "1enc p/s", "wait %", "peak MiB", "cores", "ratio");
    for (const QString &format : formats) {
        Figures pool, one;
        for (int round = 0; round < rounds; ++round) {
            keepBest(pool, batch(world, format, sheets, 60, 0));
            keepBest(one, batch(world, format, sheets, 60, 1));
        }
        const double poolRate = pool.ok() ? sheets / pool.seconds : -1;
        const double oneRate = one.ok() ? sheets / one.seconds : -1;
        std::printf("%-6s %9.3f %7.1f %9ld %6.2f %9.3f %7.1f %9ld %6.2f %6.2f\n", qPrintable(format), poolRate,
                    100 * pool.waitShare, pool.peakMiB, pool.cores, oneRate, 100 * one.waitShare, one.peakMiB,
                    one.cores, oneRate > 0 ? poolRate / oneRate : -1.0);
        std::fflush(stdout);
    }
    return 0;
}
