// The document step of a scan job, timed and measured:
//
// - Six A4 pages at 300 dpi (four RGB, two 1-bit), assembled into an LZW
//   multi-page TIFF and converted into a PDF: pages per second for each step
//   and the whole job; then the peak memory of conversions of 2 and 20 pages.
// - A 50-page "mulpdf" job of RGB pages as the scanner's page writer makes
//   them (one row per strip, Deflate level 9, 300 dpi): seconds per page of
//   assembly plus conversion, and the peak memory of that step for 10 and 50
//   pages, which must not grow with the page count. Once with noiseless
//   pages, once with a sensor's noise, which costs the coders far more.
//
// Every memory figure comes from a process of its own.
//
//   bench_docfiles                          run the benchmark
//   bench_docfiles convert IN OUT           (internal) one conversion
//   bench_docfiles job SCRATCH OUT PAGE...  (internal) one document step

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
#include <ctime>

namespace {

constexpr uint32_t kWidth = 2480;
constexpr uint32_t kLength = 3508;
constexpr int kRuns = 3;

// Deterministic noise, so that every run encodes the same pages.
uint32_t nextRandom(uint32_t &state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// A scanned page: paper white with a soft gradient, lines of "text" blocks,
// and a photo-like area; RGB or 1-bit min-is-white after the page's `bps`.
QByteArray scannedDocument(const TiffPage &p)
{
    const bool bilevel = p.bps == 1;
    const qsizetype stride = rowBytes(p.width, p.spp, p.bps);
    QByteArray raster(int(stride * p.length), '\0');
    uint32_t state = p.seed * 7919u + 1;
    for (uint32_t y = 0; y < p.length; y++) {
        unsigned char *row = reinterpret_cast<unsigned char *>(raster.data()) + stride * y;
        const bool textline = (y / 40) % 2 == 1 && y > 300 && y < 2600;
        const bool photo = y >= 2700 && y < 3300;
        for (uint32_t x = 0; x < p.width; x++) {
            int ink = 0;  // 0 paper .. 255 black
            if (textline && x > 200 && x < 2280 && (x / 24 + p.seed) % 5 != 0)
                ink = (nextRandom(state) % 3 == 0) ? 230 : 0;
            else if (photo && x > 300 && x < 2180)
                ink = int((x * 255) / p.width + (y % 256)) / 2;
            if (bilevel) {
                if (ink > 128)
                    row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
            } else {
                const int paper = 245 - int(y * 10 / p.length);
                row[x * 3] = static_cast<unsigned char>(std::max(0, paper - ink));
                row[x * 3 + 1] = static_cast<unsigned char>(std::max(0, paper - ink + int(p.seed) * 3));
                row[x * 3 + 2] = static_cast<unsigned char>(std::max(0, paper - ink / 2));
            }
        }
    }
    return raster;
}

TiffPage a4Page(unsigned seed)
{
    TiffPage p;
    p.width = kWidth;
    p.length = kLength;
    p.xres = p.yres = 300;
    p.seed = seed;
    p.pattern = scannedDocument;
    return p;
}

// One row per strip, Deflate or Group 4, 300 dpi.
bool writeScannedPage(const QString &path, bool bilevel, unsigned seed)
{
    TiffPage p = a4Page(seed);
    p.spp = bilevel ? 1 : 3;
    p.bps = bilevel ? 1 : 8;
    p.photometric = bilevel ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_RGB;
    p.compression = bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE;
    return writeTiff(path, {p});
}

// The same with a scanner's sensor noise, up to two levels either way on
// every sample: what real paper looks like, and what makes the coders work.
QByteArray noisyDocument(const TiffPage &p)
{
    QByteArray raster = scannedDocument(p);
    uint32_t state = p.seed * 104729u + 7;
    for (char &c : raster)
        c = char(std::clamp(int(uchar(c)) + int(nextRandom(state) % 5) - 2, 0, 255));
    return raster;
}

// An RGB page with the tags of the scanner's page writer.
bool writeSanePage(const QString &path, unsigned seed, bool noisy)
{
    TiffPage p = a4Page(seed);
    if (noisy)
        p.pattern = noisyDocument;
    p.compression = COMPRESSION_DEFLATE;
    p.zipQuality = 9;
    p.fillOrder = FILLORDER_MSB2LSB;
    return writeTiff(path, {p});
}

// The high-water mark of this process's own memory, in kB. (A child's
// ru_maxrss would include the parent it was forked from.)
long ownPeakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Runs this program with `args` and returns the numbers it printed, or an
// empty list when it failed.
QList<double> runChild(const QStringList &args)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), args);
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {};
    QList<double> numbers;
    for (const QByteArray &word : child.readAllStandardOutput().simplified().split(' '))
        numbers << word.toDouble();
    return numbers;
}

// Peak resident memory of one conversion in a fresh process.
double conversionPeakMiB(const QString &tiff, const QString &pdf)
{
    return runChild({QStringLiteral("convert"), tiff, pdf}).value(0, -1024) / 1024.0;
}

bool sixPageJob(const QTemporaryDir &dir)
{
    QList<QString> pages;
    for (int i = 0; i < 6; i++) {
        const bool bilevel = i == 1 || i == 4;
        pages << dir.filePath(QStringLiteral("page%1.tiff").arg(i));
        if (!writeScannedPage(pages.last(), bilevel, unsigned(i))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(pages.last()));
            return false;
        }
    }
    std::printf("six A4 pages at 300 dpi (%ux%u): four RGB (%.1f MiB decoded each), two 1-bit\n", kWidth, kLength,
                kWidth * kLength * 3 / 1048576.0);

    const QString multi = dir.filePath(QStringLiteral("job.tiff"));
    const QString pdf = dir.filePath(QStringLiteral("job.pdf"));
    double bestAssemble = 1e9, bestConvert = 1e9, bestJob = 1e9;
    for (int run = 0; run < kRuns; run++) {
        QFile::remove(multi);
        QFile::remove(pdf);
        QElapsedTimer timer;
        timer.start();
        if (combine2multiff(pages, multi, QStringLiteral("lzw")) != 0) {
            std::fprintf(stderr, "assembly failed\n");
            return false;
        }
        const double assemble = timer.nsecsElapsed() / 1e9;
        if (convert2pdf(multi, pdf) != 0) {
            std::fprintf(stderr, "conversion failed\n");
            return false;
        }
        const double job = timer.nsecsElapsed() / 1e9;
        bestAssemble = std::min(bestAssemble, assemble);
        bestConvert = std::min(bestConvert, job - assemble);
        bestJob = std::min(bestJob, job);
    }
    std::printf("best of %d runs:\n", kRuns);
    std::printf("  assembly   (combine2multiff, lzw): %6.3f s  %6.1f pages/s\n", bestAssemble, 6 / bestAssemble);
    std::printf("  conversion (convert2pdf):          %6.3f s  %6.1f pages/s\n", bestConvert, 6 / bestConvert);
    std::printf("  whole six-page job:                %6.3f s\n", bestJob);
    std::printf("  sizes: multi-page TIFF %.1f MiB, PDF %.1f MiB\n", QFileInfo(multi).size() / 1048576.0,
                QFileInfo(pdf).size() / 1048576.0);

    // Memory: one small page (the process and its libraries), then 2 and 20
    // pages (RGB and 1-bit alternating), each in a fresh process.
    const QString tiny = dir.filePath(QStringLiteral("tiny.tiff"));
    TiffPage tinyPage;
    tinyPage.width = tinyPage.length = tinyPage.rowsPerStrip = 8;
    tinyPage.compression = COMPRESSION_NONE;
    tinyPage.resUnit = 0;
    tinyPage.dateTime.clear();
    tinyPage.pixels = QByteArray(8 * 8 * 3, '\0');
    if (!writeTiff(tiny, {tinyPage})) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(tiny));
        return false;
    }
    const double baseline = conversionPeakMiB(tiny, dir.filePath(QStringLiteral("tiny.pdf")));
    std::printf("peak memory of a conversion (fresh process):\n");
    std::printf("  one 8x8 page (process baseline): %6.1f MiB\n", baseline);
    for (int count : {2, 20}) {
        QList<QString> inputs;
        for (int i = 0; i < count; i++)
            inputs << pages[i % 2 == 0 ? 0 : 1];
        const QString tiff = dir.filePath(QStringLiteral("pages%1.tiff").arg(count));
        if (combine2multiff(inputs, tiff, QStringLiteral("lzw")) != 0) {
            std::fprintf(stderr, "assembly of %d pages failed\n", count);
            return false;
        }
        const double peak = conversionPeakMiB(tiff, dir.filePath(QStringLiteral("pages%1.pdf").arg(count)));
        std::printf("  %2d pages (TIFF %5.1f MiB):        %6.1f MiB, %5.1f MiB above the baseline\n", count,
                    QFileInfo(tiff).size() / 1048576.0, peak, peak - baseline);
    }
    return true;
}

// Processor time of this process so far, in seconds.
double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

// The end of a "mulpdf" job: every page file assembled with "lzw" into a
// scratch TIFF, which is converted into the job's PDF. Prints the wall and
// processor seconds of each step, the peak memory and the PDF's size.
int documentStep(const QString &scratch, const QString &pdf, const QList<QString> &pages)
{
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuSeconds();
    if (combine2multiff(pages, scratch, QStringLiteral("lzw")) != 0)
        return 1;
    const double assembly = timer.nsecsElapsed() / 1e9;
    const double cpuAssembly = cpuSeconds() - cpuStart;
    if (convert2pdf(scratch, pdf) != 0)
        return 1;
    const double conversion = timer.nsecsElapsed() / 1e9 - assembly;
    const double cpuConversion = cpuSeconds() - cpuStart - cpuAssembly;
    std::printf("%.3f %.3f %.3f %.3f %ld %lld\n", assembly, conversion, cpuAssembly, cpuConversion, ownPeakKb(),
                QFileInfo(pdf).size());
    return 0;
}

bool fiftyPageJob(const QTemporaryDir &dir, bool noisy)
{
    // Five different pages, each copied ten times: the job's 50 page files.
    constexpr int kDistinct = 5;
    constexpr int kPages = 50;
    const QString kind = noisy ? QStringLiteral("noisy") : QStringLiteral("clean");
    QList<QString> pages;
    for (int i = 0; i < kPages; i++) {
        const QString page = dir.filePath(QStringLiteral("%1%2.tiff").arg(kind).arg(i, 4, 10, QLatin1Char('0')));
        const bool written =
            i < kDistinct ? writeSanePage(page, unsigned(i), noisy) : QFile::copy(pages[i % kDistinct], page);
        if (!written) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(page));
            return false;
        }
        pages << page;
    }
    std::printf("\"mulpdf\" job, RGB A4 pages as the scanner writes them (one row per strip, Deflate level 9, "
                "300 dpi), %s: %.1f MiB per page file\n",
                noisy ? "with sensor noise" : "noiseless", QFileInfo(pages[0]).size() / 1048576.0);
    std::printf("document step (assembly with \"lzw\" + conversion), best of 2 runs in processes of their own:\n");
    for (int count : {10, 50}) {
        QStringList args{QStringLiteral("job"), dir.filePath(QStringLiteral("mulpdf.tiff")),
                         dir.filePath(QStringLiteral("mulpdf.pdf"))};
        for (int i = 0; i < count; i++)
            args << pages[i];
        QList<double> best;  // the faster run's figures
        double peakKb = 0;
        for (int run = 0; run < 2; run++) {
            const QList<double> figures = runChild(args);
            if (figures.size() != 6) {
                std::fprintf(stderr, "document step of %d pages failed\n", count);
                return false;
            }
            if (best.isEmpty() || figures[0] + figures[1] < best[0] + best[1])
                best = figures;
            peakKb = std::max(peakKb, figures[4]);
        }
        std::printf("  %2d pages: %5.3f s per page (assembly %5.3f + conversion %5.3f; processor %5.3f + %5.3f), "
                    "peak memory %5.1f MiB, PDF %5.1f MiB\n",
                    count, (best[0] + best[1]) / count, best[0] / count, best[1] / count, best[2] / count,
                    best[3] / count, peakKb / 1024, best[5] / 1048576);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "convert") == 0) {
        const int result = convert2pdf(QFile::decodeName(argv[2]), QFile::decodeName(argv[3]));
        std::printf("%ld\n", ownPeakKb());
        return result;
    }
    if (argc >= 5 && std::strcmp(argv[1], "job") == 0) {
        QList<QString> pages;
        for (int i = 4; i < argc; i++)
            pages << QFile::decodeName(argv[i]);
        return documentStep(QFile::decodeName(argv[2]), QFile::decodeName(argv[3]), pages);
    }
    QCoreApplication app(argc, argv);

    captureTiffMessages(true);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    return sixPageJob(dir) && fiftyPageJob(dir, false) && fiftyPageJob(dir, true) ? 0 : 1;
}
