// Documents that grow with the batch: how long the person waits after the
// last sheet, and whether memory stays flat with the batch's length.
//
// Noisy A4 colour pages at 300 dpi, written as the scanner's page writer
// writes them (one row per strip, Deflate level 9), go one by one into a
// growing "mulpdf" and "multiff" document of 10 and of 100 pages, each run in
// a process of its own. Printed per run: seconds per page added, seconds
// from the last page added to finish() returning, and the peak resident
// memory. For comparison, the end-of-batch build of 10 pages.
//
//   bench_growing                          run the benchmark
//   bench_growing grow KIND COUNT DIR PAGE...  (internal) one growing document

#include "growingdocument.h"
#include "multitiff.h"
#include "tiff2pdf.h"
#include "tiffkit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Paper under a sensor: a light gradient with noise on every sample.
QByteArray noisyPaper(const TiffPage &p)
{
    QByteArray raster(int(rowBytes(p.width, p.spp, p.bps) * p.length), Qt::Uninitialized);
    uint32_t state = p.seed * 2654435761u + 1;
    char *out = raster.data();
    for (uint32_t y = 0; y < p.length; y++) {
        const int paper = 240 - int(y * 16 / p.length);
        for (uint32_t x = 0; x < p.width * p.spp; x++) {
            state = state * 1664525u + 1013904223u;
            *out++ = char(std::clamp(paper + int((state >> 24) % 9) - 4, 0, 255));
        }
    }
    return raster;
}

bool writePage(const QString &path, unsigned seed)
{
    TiffPage p;
    p.width = 2480;
    p.length = 3508;
    p.xres = p.yres = 300;
    p.compression = COMPRESSION_DEFLATE;
    p.zipQuality = 9;
    p.seed = seed;
    p.pattern = noisyPaper;
    return writeTiff(path, {p});
}

long ownPeakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// One document in this process: prints seconds per page added, seconds of
// finish(), peak kB and the document's size.
int grow(bool pdf, int count, const QString &dir, const QStringList &pages)
{
    const QString out = dir + (pdf ? QStringLiteral("/grown.pdf") : QStringLiteral("/grown.tiff"));
    const QString work = dir + QStringLiteral("/work.tiff");
    QFile::remove(out);
    QFile::remove(work);
    QElapsedTimer timer;
    timer.start();
    double adding = 0, finishing = 0;
    {
        GrowingDocument doc(pdf ? GrowingDocument::Pdf : GrowingDocument::MultiTiff, out, work);
        for (int i = 0; i < count; i++)
            if (doc.addPage(pages[i % pages.size()]) != 0)
                return 1;
        adding = timer.nsecsElapsed() / 1e9;
        if (doc.finish() != 0)
            return 1;
        finishing = timer.nsecsElapsed() / 1e9 - adding;
    }
    std::printf("%.4f %.4f %ld %lld\n", adding / count, finishing, ownPeakKb(), QFileInfo(out).size());
    return 0;
}

QList<double> runChild(const QStringList &args)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), args);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {};
    QList<double> numbers;
    for (const QByteArray &word : child.readAllStandardOutput().simplified().split(' '))
        numbers << word.toDouble();
    return numbers;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 6 && std::strcmp(argv[1], "grow") == 0) {
        QStringList pages;
        for (int i = 5; i < argc; i++)
            pages << QFile::decodeName(argv[i]);
        return grow(std::strcmp(argv[2], "pdf") == 0, std::atoi(argv[3]), QFile::decodeName(argv[4]), pages);
    }
    QCoreApplication app(argc, argv);
    captureTiffMessages(true);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    QStringList pages;
    for (unsigned i = 0; i < 3; i++) {
        pages << dir.filePath(QStringLiteral("page%1.tiff").arg(i));
        if (!writePage(pages.last(), i)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(pages.last()));
            return 1;
        }
    }
    std::printf("noisy A4 colour pages, 300 dpi, Deflate level 9, one row per strip: %.1f MiB per page file\n",
                QFileInfo(pages[0]).size() / 1048576.0);

    // What the person waited for before: the whole document built after the
    // last sheet.
    QList<QString> ten;
    for (int i = 0; i < 10; i++)
        ten << pages[i % pages.size()];
    QElapsedTimer timer;
    timer.start();
    if (combine2multiff(ten, dir.filePath(QStringLiteral("batch.tiff")), QStringLiteral("lzw")) != 0
        || convert2pdf(dir.filePath(QStringLiteral("batch.tiff")), dir.filePath(QStringLiteral("batch.pdf"))) != 0)
        return 1;
    std::printf("end-of-batch \"mulpdf\" of 10 pages: %.2f s after the last sheet\n", timer.nsecsElapsed() / 1e9);

    std::printf("growing documents (a process each):\n");
    for (const char *kind : {"multiff", "mulpdf"}) {
        for (int count : {10, 100}) {
            const QList<double> f = runChild(QStringList{QStringLiteral("grow"),
                                                         QLatin1String(kind == QLatin1String("mulpdf") ? "pdf" : "tiff"),
                                                         QString::number(count), dir.path()} + pages);
            if (f.size() != 4) {
                std::fprintf(stderr, "%s of %d pages failed\n", kind, count);
                return 1;
            }
            std::printf("  %-7s %3d pages: %.3f s per page added, last page to finish() %.3f s, "
                        "peak memory %.1f MiB, document %.1f MiB\n",
                        kind, count, f[0], f[1], f[2] / 1024, f[3] / 1048576);
        }
    }
    return 0;
}
