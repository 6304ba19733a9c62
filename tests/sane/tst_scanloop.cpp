// The page loop and its PNM, PNG, JPEG and TIFF writers, driven through the
// real libsane and the simulated scanners; every page file is read back with
// the real libraries and compared pixel by pixel with the simulator's formula.
#include "pageloop.h"
#include "pagekit.h"
#include "saneharness.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>
#include <QTextCodec>

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <thread>

using pagekit::ExpectedPage;

namespace {

const QString kDevice = QStringLiteral("cvnfa:S");
constexpr int kWidth = 37; // odd: lines of odd length in every depth
constexpr int kHeight = 23;
constexpr int kDpi = 300;  // the simulated scanner's resolution

struct Kind {
    const char *name;
    const char *keys;
    ExpectedPage::Mode mode;
    int depth;
};
const Kind kKinds[] = {
    {"lineart", "mode=Lineart", ExpectedPage::Lineart, 1},
    {"gray8", "mode=Gray", ExpectedPage::Gray, 8},
    {"gray16", "mode=Gray depth=16", ExpectedPage::Gray, 16},
    {"color8", "mode=Color", ExpectedPage::Color, 8},
    {"color16", "mode=Color depth=16", ExpectedPage::Color, 16},
    {"three-pass", "mode=Color three_pass=1", ExpectedPage::Color, 8},
};
const char *const kFormats[] = {"pnm", "png", "jpg", "tiff"};

ExpectedPage page(ExpectedPage::Mode mode, int depth, int image, int height = kHeight)
{
    ExpectedPage e;
    e.width = kWidth;
    e.height = height;
    e.mode = mode;
    e.depth = depth;
    e.image = image;
    e.dpi = kDpi;
    return e;
}

volatile std::sig_atomic_t g_terminations = 0;
void countTermination(int) { g_terminations = g_terminations + 1; }

} // namespace

Q_DECLARE_METATYPE(ExpectedPage::Mode)

class TestScanLoop : public QObject
{
    Q_OBJECT

    SimWorld m_world;
    QTemporaryDir m_out;
    int m_encoders = 0; // for the next scan(); 0: the loop's own choice

    struct Run {
        int status = -1;
        QStringList announced;
        QList<int> startsAtAnnouncement; // sheets started when each page was announced
        int next = 0; // the running number after the job
    };

    // One job on a fresh engine: open the device, scan, collect the pages.
    Run scan(const QString &keys, const QString &format, const QString &prefix = "pg", int first = 1,
             int digits = 4, bool flatbed = false, const QString &folder = QString())
    {
        Run run;
        m_world.setDevices("device cvnfa S width_px=" + QString::number(kWidth) + " height_px="
                           + QString::number(kHeight) + " " + keys + "\n");
        Engine e;
        if (e.open(kDevice) != 0)
            return run;
        PageLoop loop;
        loop.SetEncoders(m_encoders);
        connect(&loop, &PageLoop::sglScanOneImageDone, this, [&](const QString &path) {
            run.announced << path;
            run.startsAtAnnouncement << starts();
        });
        PageNaming naming{folder.isNull() ? m_out.path() : folder, prefix, digits, first, format};
        run.status = loop.Scan(*e.device, naming, flatbed);
        run.next = naming.next;
        return run;
    }

    QString out(const QString &name) const { return m_out.filePath(name); }
    // The engine's warnings among what went to standard output.
    static QString warnings(const QByteArray &text)
    {
        QString found;
        for (const QString &line : QString::fromUtf8(text).split('\n'))
            if (line.startsWith("WARNING"))
                found += line + '\n';
        return found;
    }
    static bool writeFile(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }
    QStringList files() const { return QDir(m_out.path()).entryList(QDir::Files, QDir::Name); }
    int starts() const { return m_world.logLines("start cvnfa:S 0").size(); }
    // The output directory's names as bytes, whatever Qt's idea of the encoding.
    QList<QByteArray> rawNames() const
    {
        QList<QByteArray> names;
        if (DIR *dir = ::opendir(QFile::encodeName(m_out.path()).constData())) {
            while (const dirent *entry = ::readdir(dir))
                if (entry->d_name[0] != '.')
                    names << QByteArray(entry->d_name);
            ::closedir(dir);
        }
        return names;
    }

private slots:
    void initTestCase() { QVERIFY(m_world.setUp()); }

    void init()
    {
        m_encoders = 0;
        QDir(m_out.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_out.path()));
    }

    // Every format with every kind of frame, read in whole lines, in odd
    // pieces that split lines and 16-bit samples, with the height unknown,
    // and with more lines than announced: then the sheet is read to its end,
    // the file holds the announced height and the counts are reported.
    void pagesMatchTheScanner_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<ExpectedPage::Mode>("mode");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("warning");
        const char *const variants[][2] = {{"", ""}, {" odd reads", " max_read=7"},
                                           {" unknown height", " unknown_height=1"},
                                           {" overlong", " extra_lines=3 max_read=100"}};
        for (const char *format : kFormats)
            for (const Kind &kind : kKinds)
                for (const auto &variant : variants) {
                    const bool separate = QByteArray(kind.keys).contains("three_pass");
                    const int channels = kind.mode == ExpectedPage::Color && !separate ? 3 : 1;
                    const int frameLine = (kWidth * channels * kind.depth + 7) / 8 * (separate ? 3 : 1);
                    const QString w = QString("WARNING: read more data than announced by backend (%1/%2)\n")
                                          .arg(frameLine * (kHeight + 3)).arg(frameLine * kHeight);
                    QTest::addRow("%s %s%s", format, kind.name, variant[0])
                        << format << QString("pages=2 ") + kind.keys + variant[1] << kind.mode << kind.depth
                        << (QByteArray(variant[1]).contains("extra") ? w + w : QString());
                }
    }
    void pagesMatchTheScanner()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        QFETCH(ExpectedPage::Mode, mode);
        QFETCH(int, depth);
        QFETCH(QString, warning);
        OutputCapture stdoutText(stdout);
        const Run run = scan(keys, format);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced, (QStringList{out("pg0001." + format), out("pg0002." + format)}));
        for (int n = 1; n <= 2; ++n)
            QCOMPARE(pagekit::checkPage(run.announced[n - 1], page(mode, depth, n)), QString());
        QCOMPARE(files(), (QStringList{"pg0001." + format, "pg0002." + format}));
        QCOMPARE(warnings(stdoutText.text()), warning);
    }

    void fileNames_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("digits");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("magic");
        QTest::newRow("jpeg") << "jpeg" << 1 << 4 << "pg0001.jpeg" << QByteArray("\xFF\xD8\xFF");
        QTest::newRow("tif") << "tif" << 1 << 4 << "pg0001.tif" << QByteArray("II*");
        QTest::newRow("other word gives PNM") << "xyz" << 1 << 4 << "pg0001.xyz" << QByteArray("P6\n");
        QTest::newRow("padded") << "png" << 7 << 4 << "pg0007.png" << QByteArray("\x89PNG");
        QTest::newRow("longer than the minimum") << "pnm" << 12345 << 4 << "pg12345.pnm" << QByteArray("P6\n");
        QTest::newRow("no padding") << "pnm" << 7 << 0 << "pg7.pnm" << QByteArray("P6\n");
    }
    void fileNames()
    {
        QFETCH(QString, format);
        QFETCH(int, first);
        QFETCH(int, digits);
        QFETCH(QString, name);
        QFETCH(QByteArray, magic);
        const Run run = scan("pages=1", format, "pg", first, digits);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced, QStringList{out(name)});
        QFile file(out(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.read(magic.size()) == magic);
        QCOMPARE(pagekit::checkPage(out(name), page(ExpectedPage::Color, 8, 1)), QString());
    }

    // The file system gets the name in the local 8-bit encoding, and the
    // announced path is that same name, not a UTF-8 reading of its bytes.
    void namesUseTheLocalEncoding()
    {
        QTextCodec *before = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        const QString prefix = QString::fromUtf8("s\xc3\xa9" "ance-");
        const Run run = scan("pages=1", "pnm", prefix);
        QTextCodec::setCodecForLocale(before);
        // Qt under another codec could not name the file to delete it.
        const QByteArray rawPath = QFile::encodeName(m_out.path()) + "/s\xe9" "ance-0001.pnm";
        const auto removeFile = qScopeGuard([&] { ::unlink(rawPath.constData()); });
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced, QStringList{out(prefix + "0001.pnm")});
        QCOMPARE(rawNames(), QList<QByteArray>{"s\xe9" "ance-0001.pnm"});
    }

    void feeder_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<bool>("flatbed");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("pages");
        QTest::newRow("three sheets, then the feeder runs empty") << "pages=3" << false << 0 << 3;
        QTest::newRow("empty feeder") << "pages=0" << false << int(SANE_STATUS_NO_DOCS) << 0;
        QTest::newRow("flatbed") << "pages=0 source=Flatbed" << true << 0 << 1;
        QTest::newRow("flatbed job on a full feeder") << "pages=3" << true << 0 << 1;
        QTest::newRow("cover opened before sheet 2")
            << "pages=3 start_fail_sheet=2" << false << int(SANE_STATUS_COVER_OPEN) << 1;
        QTest::newRow("jammed before the first sheet")
            << "pages=3 start_fail_sheet=1 start_fail_status=6" << false << int(SANE_STATUS_JAMMED) << 0;
    }
    void feeder()
    {
        QFETCH(QString, keys);
        QFETCH(bool, flatbed);
        QFETCH(int, status);
        QFETCH(int, pages);
        const Run run = scan(keys, "png", "pg", 1, 4, flatbed);
        QCOMPARE(run.status, status);
        QCOMPARE(run.announced.size(), pages);
        QCOMPARE(starts(), pages);
        QCOMPARE(files().size(), pages);
        // The job ends with a cancel, after its last start.
        const QStringList log = m_world.logLines();
        QVERIFY(log.lastIndexOf(QRegularExpression("cancel .*")) > log.lastIndexOf(QRegularExpression("start .*")));
    }

    // The counts in the warning are 64-bit.
    void overlongPageOver21MB()
    {
        const int width = 5000, height = 4500; // 22.5 MB: byte counts times 100 pass 2^31
        m_world.setDevices(QString("device cvnfa S width_px=%1 height_px=%2 extra_lines=2 mode=Gray\n")
                               .arg(width).arg(height));
        Engine e;
        QCOMPARE(e.open(kDevice), 0);
        OutputCapture stdoutText(stdout);
        PageLoop loop;
        PageNaming naming{m_out.path(), "big", 4, 1, "pnm"};
        QCOMPARE(loop.Scan(*e.device, naming, false), 0);
        QCOMPARE(warnings(stdoutText.text()),
                 QString("WARNING: read more data than announced by backend (22510000/22500000)\n"));
        ExpectedPage e1 = page(ExpectedPage::Gray, 8, 1, height);
        e1.width = width;
        QCOMPARE(pagekit::checkPage(out("big0001.pnm"), e1), QString());
    }

    // A frame that ends early is completed with white lines, so the file
    // matches its header; a page that fails while being read is never
    // announced and keeps its data under the ".part" name.
    void shortPages_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<ExpectedPage::Mode>("mode");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("cut"); // bytes missing from the last frame's partial line
        for (const char *format : kFormats) {
            QTest::addRow("%s gray16", format) << format << "mode=Gray depth=16" << ExpectedPage::Gray << 16 << 1 << 0;
            QTest::addRow("%s lineart", format) << format << "mode=Lineart" << ExpectedPage::Lineart << 1 << 1 << 0;
            QTest::addRow("%s three-pass", format) << format << "mode=Color three_pass=1" << ExpectedPage::Color << 8 << 3 << 0;
            // Ends inside the red sample of a pixel after 20 whole ones.
            QTest::addRow("%s cut mid-line", format) << format << "mode=Color cut_bytes=50 max_read=64"
                                                     << ExpectedPage::Color << 8 << 1 << 50;
        }
    }
    void shortPages()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        QFETCH(ExpectedPage::Mode, mode);
        QFETCH(int, depth);
        QFETCH(int, frames);
        QFETCH(int, cut);
        OutputCapture stdoutText(stdout);
        const Run run = scan("pages=1 missing_lines=5 " + keys, format);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced.size(), 1);
        const int lineBytes = depth == 1 ? (kWidth + 7) / 8 : kWidth * depth / 8 * (mode == ExpectedPage::Color ? 3 : 1) / frames;
        ExpectedPage e = page(mode, depth, 1);
        e.whiteFrom = kHeight - 5 - (cut + lineBytes - 1) / lineBytes;
        e.whiteFromSample = cut ? lineBytes - cut % lineBytes : 0;
        QCOMPARE(pagekit::checkPage(run.announced[0], e), QString());
        QCOMPARE(warnings(stdoutText.text()),
                 QString("WARNING: read less data than announced by backend (%1/%2)\n")
                     .arg(frames * lineBytes * (kHeight - 5) - cut).arg(frames * lineBytes * kHeight));
    }

    // A page whose data fails is never announced; what it got stays under
    // ".part" and ends the job with the backend's status. A page of unknown
    // height without a single line cannot be sized, so it fails too.
    void failedPages_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("good"); // pages before the failing one
        for (const char *format : kFormats) {
            QTest::addRow("%s jammed", format)
                << format << "pages=3 jam_page=2 jam_after_lines=5 mode=Gray" << int(SANE_STATUS_JAMMED) << 1;
            // Earlier pages are still being written when the jam comes.
            QTest::addRow("%s jammed late in a batch", format)
                << format << "pages=7 jam_page=6 jam_after_lines=5 mode=Color noise=1 width_px=400 height_px=300"
                << int(SANE_STATUS_JAMMED) << 5;
            QTest::addRow("%s empty, height unknown", format)
                << format << QString("pages=2 unknown_height=1 missing_lines=%1").arg(kHeight)
                << int(SANE_STATUS_IO_ERROR) << 0;
            // A frame no writer takes: nothing is kept, the number stays free.
            QTest::addRow("%s 1-bit colour", format) << format << "pages=2 mode=Color depth=1"
                                                     << int(SANE_STATUS_INVAL) << 0;
        }
    }
    void failedPages()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        QFETCH(int, status);
        QFETCH(int, good);
        const Run run = scan(keys, format);
        QCOMPARE(run.status, status);
        QStringList names, announced;
        for (int n = 1; n <= good; ++n) {
            names << QString("pg%1.%2").arg(n, 4, 10, QChar('0')).arg(format);
            announced << out(names.last());
        }
        QCOMPARE(run.announced, announced);
        const QString part = QString("pg%1.%2.part").arg(good + 1, 4, 10, QChar('0')).arg(format);
        QCOMPARE(files(), status == SANE_STATUS_INVAL ? names : names + QStringList{part});
        QCOMPARE(run.next, status == SANE_STATUS_INVAL ? 1 : good + 2);
        QCOMPARE(starts(), good + 1);
        if (status == SANE_STATUS_JAMMED && format != "jpg") // libjpeg still holds the few lines
            QVERIFY(QFileInfo(out(part)).size() > 0);
    }

    // A page that cannot be written is never announced. A first page file
    // that cannot be made ends the job before a sheet is drawn in; one that
    // stops taking data (a full disk) keeps what it got under ".part".
    void failingWrite_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<bool>("full");
        for (const char *format : kFormats)
            QTest::addRow("%s file size limit", format) << format << "" << "pg" << true;
        for (const char *format : {"png", "tiff"}) {
            QTest::addRow("%s no folder", format) << format << "missing" << "pg" << false;
            QTest::addRow("%s name past the limit", format) << format << "" << QString(300, 'a') << false;
            QTest::addRow("%s under /proc", format) << format << "/proc" << "pg" << false;
        }
    }
    void failingWrite()
    {
        QFETCH(QString, format);
        QFETCH(QString, folder);
        QFETCH(QString, prefix);
        QFETCH(bool, full);
        rlimit before = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        struct sigaction ignore = {}, saved = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &saved);
        if (full) {
            rlimit small = before;
            small.rlim_cur = 200;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const Run run = scan("pages=2 width_px=300 height_px=200 mode=Color", format, prefix, 1, 4, false,
                             folder.startsWith('/') ? folder : out(folder));
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::sigaction(SIGXFSZ, &saved, nullptr);
        QCOMPARE(run.status, int(SANE_STATUS_ACCESS_DENIED));
        QVERIFY(run.announced.isEmpty());
        if (!full)
            QCOMPARE(starts(), 0); // (the simulator's log is cut by the limit too)
        if (!full) {
            QCOMPARE(files(), QStringList());
            return;
        }
        // A sheet read while the first page was still being written may
        // follow; it is never announced either.
        const QStringList left = files();
        QCOMPARE(left.value(0), "pg0001." + format + ".part");
        QCOMPARE(left.filter(QRegularExpression("\\.part$")), left);
    }

    // Pages written on several encoder threads are the files one encoder
    // writes, announced in page order; TIFF pages differ in their time stamp.
    void encodersWriteWhatOneWrites_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        for (const char *format : kFormats) {
            QTest::addRow("%s colour", format) << format << "mode=Color noise=1 width_px=300 height_px=200";
            QTest::addRow("%s three-pass, height unknown", format)
                << format << "mode=Color three_pass=1 unknown_height=1 noise=1 width_px=120 height_px=90";
        }
    }
    void encodersWriteWhatOneWrites()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        const int pages = 6;
        const QString batch = QString("pages=%1 ").arg(pages) + keys;
        m_encoders = 1;
        const Run one = scan(batch, format, "one");
        m_encoders = 3;
        const Run pool = scan(batch, format, "pool");
        QCOMPARE(one.status, 0);
        QCOMPARE(pool.status, 0);
        QCOMPARE(one.announced.size(), pages);
        QCOMPARE(pool.announced.size(), pages);
        const QRegularExpression stamp("\\d{4}:\\d\\d:\\d\\d \\d\\d:\\d\\d:\\d\\d");
        for (int n = 1; n <= pages; ++n) {
            QCOMPARE(pool.announced[n - 1], out(QString("pool%1.%2").arg(n, 4, 10, QChar('0')).arg(format)));
            QByteArray bytes[2];
            for (int i = 0; i < 2; ++i) {
                QFile f((i ? pool : one).announced[n - 1]);
                QVERIFY(f.open(QIODevice::ReadOnly));
                bytes[i] = QString::fromLatin1(f.readAll()).replace(stamp, "stamp").toLatin1();
            }
            QVERIFY2(bytes[0] == bytes[1], qPrintable(QString("page %1 differs").arg(n)));
        }
    }

    // The reader goes on to the next sheet while a page is encoded, and holds
    // at most one more raw page than there are encoders: with one encoder,
    // page k is announced before sheet k + 2 starts.
    void readerRunsAheadOfTheEncoders()
    {
        m_encoders = 1;
        const Run run = scan("pages=6 mode=Color noise=1 width_px=1000 height_px=800", "png");
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced.size(), 6);
        QCOMPARE(run.startsAtAnnouncement.value(0), 2);
        for (int k = 1; k <= 6; ++k)
            QVERIFY2(run.startsAtAnnouncement[k - 1] <= qMin(k + 1, 6),
                     qPrintable(QString("page %1 announced after %2 sheets").arg(k).arg(run.startsAtAnnouncement[k - 1])));
    }

    // A running number whose page or ".part" is there already is skipped,
    // with a line on standard error; what is there stays as it was.
    void existingFilesAreKept_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("existing");
        QTest::addColumn<bool>("link");
        QTest::newRow("tiff page") << "tiff" << "pg0001.tiff" << false;
        QTest::newRow("png part") << "png" << "pg0001.png.part" << false;
        QTest::newRow("png dangling link") << "png" << "pg0001.png" << true;
    }
    void existingFilesAreKept()
    {
        QFETCH(QString, format);
        QFETCH(QString, existing);
        QFETCH(bool, link);
        const QString target = out("elsewhere");
        if (link)
            QVERIFY(QFile::link(target, out(existing)));
        else
            QVERIFY(writeFile(out(existing), "mine"));
        OutputCapture err;
        const Run run = scan("pages=1", format);
        QCOMPARE(QString::fromUtf8(err.text()),
                 QString("velloscan: %1 exists; skipping number 1\n").arg(out(existing)));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced, QStringList{out("pg0002." + format)});
        QCOMPARE(run.next, 3);
        QCOMPARE(pagekit::checkPage(run.announced[0], page(ExpectedPage::Color, 8, 1)), QString());
        if (link) {
            QVERIFY(!QFile::exists(target));
        } else {
            QFile f(out(existing));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("mine"));
        }
    }

    // A file put under the page's name while the page was being read is not
    // replaced: the page stays under ".part" and the job ends with 11.
    void aFileThatAppearsMeanwhileIsKept()
    {
        m_world.setDevices("device cvnfa S width_px=37 height_px=40 pages=1 mode=Gray max_read=37 "
                           "line_delay_us=25000\n");
        Engine e;
        QCOMPARE(e.open(kDevice), 0);
        PageLoop loop;
        PageNaming naming{m_out.path(), "pg", 4, 1, "png"};
        int status = -1;
        std::thread job([&] { status = loop.Scan(*e.device, naming, false); });
        QTRY_VERIFY_WITH_TIMEOUT(starts() == 1, 10000);
        const bool written = writeFile(out("pg0001.png"), "mine");
        job.join();
        QVERIFY(written);
        QCOMPARE(status, int(SANE_STATUS_ACCESS_DENIED));
        QCOMPARE(files(), (QStringList{"pg0001.png", "pg0001.png.part"}));
        QFile f(out("pg0001.png"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("mine"));
        QCOMPARE(naming.next, 2);
    }

    // From another thread while a page is being read: that page ends
    // (cancelled, not announced) and no further sheet is drawn in.
    void stopRequestEndsTheJob()
    {
        m_world.setDevices("device cvnfa S width_px=37 height_px=40 pages=5 mode=Gray max_read=37 "
                           "line_delay_us=25000\n");
        Engine e;
        QCOMPARE(e.open(kDevice), 0);
        PageLoop loop;
        std::atomic<int> announced{0};
        connect(&loop, &PageLoop::sglScanOneImageDone, this, [&] { ++announced; }, Qt::DirectConnection);
        PageNaming naming{m_out.path(), "pg", 4, 1, "png"};
        int status = -1;
        std::thread job([&] { status = loop.Scan(*e.device, naming, false); });
        QTRY_VERIFY_WITH_TIMEOUT(starts() == 2, 10000);
        loop.RequestStop();
        job.join();
        QCOMPARE(status, int(SANE_STATUS_CANCELLED));
        QCOMPARE(announced.load(), 1);
        QCOMPARE(starts(), 2);
        QCOMPARE(files(), (QStringList{"pg0001.png", "pg0002.png.part"}));

        // The request lasts: the next job starts nothing and leaves nothing.
        QCOMPARE(loop.Scan(*e.device, naming, false), int(SANE_STATUS_CANCELLED));
        QCOMPARE(starts(), 2);
        QCOMPARE(files().size(), 2);
    }

    // A stop between sheets still writes and announces, in order, the pages
    // already read: their paper has gone through. Here the stop comes with
    // the first page, while the second waits for the one encoder.
    void stopKeepsThePagesAlreadyRead()
    {
        m_world.setDevices("device cvnfa S width_px=1000 height_px=800 pages=6 mode=Color noise=1\n");
        Engine e;
        QCOMPARE(e.open(kDevice), 0);
        PageLoop loop;
        loop.SetEncoders(1);
        QStringList announced;
        connect(&loop, &PageLoop::sglScanOneImageDone, this, [&](const QString &path) {
            announced << path;
            loop.RequestStop();
        });
        PageNaming naming{m_out.path(), "pg", 4, 1, "png"};
        QCOMPARE(loop.Scan(*e.device, naming, false), int(SANE_STATUS_CANCELLED));
        QCOMPARE(starts(), 2);
        QCOMPARE(announced, (QStringList{out("pg0001.png"), out("pg0002.png")}));
        QCOMPARE(files(), (QStringList{"pg0001.png", "pg0002.png"}));
    }

    // The simulated backend resets SIGTERM to its default at every start, as
    // some real ones do; the service's handler must be back before anything else.
    void terminationHandlerSurvivesTheBackend()
    {
        struct sigaction mine = {}, saved = {};
        mine.sa_handler = countTermination;
        sigemptyset(&mine.sa_mask);
        QCOMPARE(::sigaction(SIGTERM, &mine, &saved), 0);
        m_world.setDevices("device cvnfa S width_px=8 height_px=4 pages=2 reset_sigterm=1\n");
        int handledDuringPages = 0;
        {
            Engine e;
            QCOMPARE(e.open(kDevice), 0);
            PageLoop loop;
            connect(&loop, &PageLoop::sglScanOneImageDone, this, [&] {
                struct sigaction now = {};
                ::sigaction(SIGTERM, nullptr, &now);
                handledDuringPages += now.sa_handler == countTermination;
            });
            PageNaming naming{m_out.path(), "pg", 4, 1, "pnm"};
            QCOMPARE(loop.Scan(*e.device, naming, false), 0);
        }
        QCOMPARE(handledDuringPages, 2);
        g_terminations = 0;
        ::raise(SIGTERM);
        QCOMPARE(int(g_terminations), 1);
        ::sigaction(SIGTERM, &saved, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestScanLoop)
#include "tst_scanloop.moc"
