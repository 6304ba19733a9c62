// Figures of the page loop: seconds per A4 page at 300 dpi for each page
// format and frame kind, and the process's memory after short and long
// batches (it must not grow with the batch). Prints, never fails.
#include "pageloop.h"
#include "procstatus.h"
#include "saneharness.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

namespace {

// One job of `pages` sheets; seconds per page, or -1 when it failed.
double batch(SimWorld &world, const QString &keys, const QString &format, int pages)
{
    QTemporaryDir out;
    world.setDevices(QString("device cvnfa A4 width_px=2480 height_px=3508 pages=%1 %2\n").arg(pages).arg(keys));
    Engine e;
    if (e.open("cvnfa:A4") != 0)
        return -1;
    PageLoop loop;
    PageNaming naming{out.path(), "page", 4, 1, format};
    QElapsedTimer timer;
    timer.start();
    const int status = loop.Scan(*e.device, naming, false);
    const double seconds = timer.nsecsElapsed() / 1e9;
    return status == 0 ? seconds / pages : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SimWorld world;
    if (!world.setUp()) {
        std::printf("cannot set up the simulated scanners\n");
        return 1;
    }
    const struct {
        const char *name;
        const char *keys;
    } kinds[] = {
        {"colour", "mode=Color"},
        {"gray", "mode=Gray"},
        {"lineart", "mode=Lineart"},
        {"colour, height unknown", "mode=Color unknown_height=1"},
        {"colour, three frames", "mode=Color three_pass=1"},
    };
    std::printf("A4 at 300 dpi (2480x3508), 4 pages a batch; seconds per page\n");
    std::printf("%-24s %8s %8s %8s %8s\n", "", "pnm", "png", "jpg", "tiff");
    for (const auto &kind : kinds) {
        double seconds[4];
        int i = 0;
        for (const char *format : {"pnm", "png", "jpg", "tiff"})
            seconds[i++] = batch(world, kind.keys, format, 4);
        std::printf("%-24s %8.3f %8.3f %8.3f %8.3f\n", kind.name, seconds[0], seconds[1], seconds[2], seconds[3]);
        std::fflush(stdout);
    }

    // Memory: a streamed batch of 2 pages, then one of 20, in the same process.
    batch(world, "mode=Color", "png", 2);
    const long afterShort = statusKiB("VmRSS:");
    batch(world, "mode=Color", "png", 20);
    const long afterLong = statusKiB("VmRSS:");
    std::printf("memory: RSS %ld KiB after 2 colour PNG pages, %ld KiB after 20 more; peak %ld KiB\n",
                afterShort, afterLong, statusKiB("VmHWM:"));
    return 0;
}
