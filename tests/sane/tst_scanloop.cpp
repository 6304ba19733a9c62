// The page loop and its PNM, PNG, JPEG and TIFF writers, driven through the
// real libsane and the simulated scanners; every page file is read back with
// the real libraries and compared pixel by pixel with the simulator's formula.
#include "pagekit.h"
#include "saneharness.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
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

    struct Run {
        int status = -1;
        QStringList announced;
        int ends = 0;
    };

    // One job on a fresh engine: open the device, Scan, collect the signals.
    Run scan(const QString &keys, const QString &format, const QString &prefix = QString(), int first = 1,
             int digits = 4, bool flatbed = false)
    {
        Run run;
        m_world.setDevices("device cvnfa S width_px=" + QString::number(kWidth) + " height_px="
                           + QString::number(kHeight) + " " + keys + "\n");
        Engine e;
        if (!e.open(kDevice))
            return run;
        QSignalSpy pages(&e.scan, &SaneScan::sglScanOneImageDone);
        QSignalSpy ends(&e.scan, &SaneScan::sglScanAllImageDone);
        run.status = e.scan.Scan(prefix.isNull() ? m_out.filePath("pg") : prefix, format, first, digits, flatbed);
        for (const QList<QVariant> &args : pages)
            run.announced << args.at(0).toString();
        run.ends = ends.count();
        return run;
    }

    static void formatRows()
    {
        QTest::addColumn<QString>("format");
        for (const char *format : kFormats)
            QTest::newRow(format) << format;
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
        QDir(m_out.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_out.path()));
    }

    // Every format with every kind of frame, read in whole lines, in odd
    // pieces that split lines and 16-bit samples, and with the height unknown.
    void pagesMatchTheScanner_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<ExpectedPage::Mode>("mode");
        QTest::addColumn<int>("depth");
        const char *const variants[][2] = {{"", ""}, {" odd reads", " max_read=7"}, {" unknown height", " unknown_height=1"}};
        for (const char *format : kFormats)
            for (const Kind &kind : kKinds)
                for (const auto &variant : variants)
                    QTest::addRow("%s %s%s", format, kind.name, variant[0])
                        << format << QString("pages=2 ") + kind.keys + variant[1] << kind.mode << kind.depth;
    }
    void pagesMatchTheScanner()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        QFETCH(ExpectedPage::Mode, mode);
        QFETCH(int, depth);
        OutputCapture stdoutText(stdout);
        const Run run = scan(keys, format);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.ends, 1);
        QCOMPARE(run.announced, (QStringList{out("pg0001." + format), out("pg0002." + format)}));
        for (int n = 1; n <= 2; ++n)
            QCOMPARE(pagekit::checkPage(run.announced[n - 1], page(mode, depth, n)), QString());
        QCOMPARE(files(), (QStringList{"pg0001." + format, "pg0002." + format}));
        QCOMPARE(warnings(stdoutText.text()), QString());
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
        const Run run = scan("pages=1", format, QString(), first, digits);
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
        const QString prefix = out(QString::fromUtf8("s\xc3\xa9" "ance-"));
        const Run run = scan("pages=1", "pnm", prefix);
        QTextCodec::setCodecForLocale(before);
        // Qt under another codec could not name the file to delete it.
        const QByteArray rawPath = QFile::encodeName(m_out.path()) + "/s\xe9" "ance-0001.pnm";
        const auto removeFile = qScopeGuard([&] { ::unlink(rawPath.constData()); });
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced, QStringList{prefix + "0001.pnm"});
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
        const Run run = scan(keys, "png", QString(), 1, 4, flatbed);
        QCOMPARE(run.status, status);
        QCOMPARE(run.announced.size(), pages);
        QCOMPARE(run.ends, 1);
        QCOMPARE(starts(), pages);
        QCOMPARE(files().size(), pages);
        // The job ends with a cancel, after its last start.
        const QStringList log = m_world.logLines();
        QVERIFY(log.lastIndexOf(QRegularExpression("cancel .*")) > log.lastIndexOf(QRegularExpression("start .*")));
    }

    void noDeviceNoScan()
    {
        m_world.setDevices("device cvnfa S\n");
        Engine e;
        QSignalSpy ends(&e.scan, &SaneScan::sglScanAllImageDone);
        QCOMPARE(e.scan.Scan(out("pg"), "png", 1, 4, false), 12);
        QVERIFY(e.open(kDevice));
        e.scan.CloseDevice();
        QCOMPARE(e.scan.Scan(out("pg"), "png", 1, 4, false), 12);
        QCOMPARE(ends.count(), 0);
        QVERIFY(files().isEmpty());
    }

    // More than announced: the sheet is read to its end, the file holds the
    // announced height, and the counts are reported (64-bit for big pages).
    void overlongPages_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<ExpectedPage::Mode>("mode");
        QTest::addColumn<QString>("warning");
        const QString w("WARNING: read more data than announced by backend (%1/%2)\n");
        for (const char *format : kFormats) {
            QTest::addRow("%s", format) << format << "mode=Gray" << ExpectedPage::Gray
                                        << w.arg(kWidth * (kHeight + 3)).arg(kWidth * kHeight);
            QTest::addRow("%s three-pass", format) << format << "mode=Color three_pass=1" << ExpectedPage::Color
                                                   << w.arg(3 * kWidth * (kHeight + 3)).arg(3 * kWidth * kHeight);
        }
    }
    void overlongPages()
    {
        QFETCH(QString, format);
        QFETCH(QString, keys);
        QFETCH(ExpectedPage::Mode, mode);
        QFETCH(QString, warning);
        OutputCapture stdoutText(stdout);
        const Run run = scan("pages=2 extra_lines=3 max_read=100 " + keys, format);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.announced.size(), 2);
        for (int n = 1; n <= 2; ++n)
            QCOMPARE(pagekit::checkPage(run.announced[n - 1], page(mode, 8, n)), QString());
        QCOMPARE(warnings(stdoutText.text()), warning + warning);
    }

    void overlongPageOver21MB()
    {
        const int width = 5000, height = 4500; // 22.5 MB: byte counts times 100 pass 2^31
        m_world.setDevices(QString("device cvnfa S width_px=%1 height_px=%2 extra_lines=2 mode=Gray\n")
                               .arg(width).arg(height));
        Engine e;
        QVERIFY(e.open(kDevice));
        OutputCapture stdoutText(stdout);
        QCOMPARE(e.scan.Scan(out("big"), "pnm", 1, 4, false), 0);
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
            QTest::addRow("%s empty, height unknown", format)
                << format << QString("pages=2 unknown_height=1 missing_lines=%1").arg(kHeight)
                << int(SANE_STATUS_IO_ERROR) << 0;
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
        QStringList names;
        for (int n = 1; n <= good; ++n)
            names << QString("pg%1.%2").arg(n, 4, 10, QChar('0')).arg(format);
        QCOMPARE(run.announced.size(), good);
        const QString part = QString("pg%1.%2.part").arg(good + 1, 4, 10, QChar('0')).arg(format);
        QCOMPARE(files(), names + QStringList{part});
        QCOMPARE(starts(), good + 1);
        if (status == SANE_STATUS_JAMMED && format != "jpg") // libjpeg still holds the few lines
            QVERIFY(QFileInfo(out(part)).size() > 0);
    }

    // A page that cannot be written is never announced: a file that cannot
    // be created ends the job at once, and one that stops taking data (a
    // full disk) keeps what it got under ".part".
    void failingWrite_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("full");
        for (const char *format : kFormats) {
            QTest::addRow("%s no directory", format) << format << false;
            QTest::addRow("%s file size limit", format) << format << true;
        }
    }
    void failingWrite()
    {
        QFETCH(QString, format);
        QFETCH(bool, full);
        const QString prefix = full ? out("pg") : out("missing/pg");
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
        const Run run = scan("pages=2 width_px=300 height_px=200 mode=Color", format, prefix);
        ::setrlimit(RLIMIT_FSIZE, &before);
        ::sigaction(SIGXFSZ, &saved, nullptr);
        QCOMPARE(run.status, int(SANE_STATUS_ACCESS_DENIED));
        QVERIFY(run.announced.isEmpty());
        QCOMPARE(files(), full ? QStringList{"pg0001." + format + ".part"} : QStringList());
    }

    void unsupportedFramesAreRefused_data() { formatRows(); }
    void unsupportedFramesAreRefused()
    {
        QFETCH(QString, format);
        const Run run = scan("pages=2 mode=Color depth=1", format);
        QCOMPARE(run.status, int(SANE_STATUS_INVAL));
        QVERIFY(run.announced.isEmpty());
        QVERIFY(files().isEmpty());
        QCOMPARE(starts(), 1);
    }

    void tooLongPathStartsNoSheet()
    {
        const QString prefix = out(QString(4080, 'a'));
        const Run run = scan("pages=1", "tiff", prefix);
        QCOMPARE(run.status, int(SANE_STATUS_ACCESS_DENIED));
        QCOMPARE(starts(), 0);
        QVERIFY(files().isEmpty());
    }

    // From another thread while a page is being read: that page ends
    // (cancelled, not announced) and no further sheet is drawn in.
    void stopRequestEndsTheJob()
    {
        m_world.setDevices("device cvnfa S width_px=37 height_px=40 pages=5 mode=Gray max_read=37 "
                           "line_delay_us=25000\n");
        Engine e;
        QVERIFY(e.open(kDevice));
        std::atomic<int> announced{0};
        connect(&e.scan, &SaneScan::sglScanOneImageDone, this, [&] { ++announced; }, Qt::DirectConnection);
        int status = -1;
        std::thread job([&] { status = e.scan.Scan(out("pg"), "png", 1, 4, false); });
        QTRY_VERIFY_WITH_TIMEOUT(starts() == 2, 10000);
        e.scan.RequestStop();
        job.join();
        QCOMPARE(status, int(SANE_STATUS_CANCELLED));
        QCOMPARE(announced.load(), 1);
        QCOMPARE(starts(), 2);
        QCOMPARE(files(), (QStringList{"pg0001.png", "pg0002.png.part"}));

        // The request lasts: the next job starts nothing.
        QCOMPARE(e.scan.Scan(out("pg"), "png", 3, 4, false), int(SANE_STATUS_CANCELLED));
        QCOMPARE(starts(), 2);
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
            QVERIFY(e.open(kDevice));
            connect(&e.scan, &SaneScan::sglScanOneImageDone, this, [&] {
                struct sigaction now = {};
                ::sigaction(SIGTERM, nullptr, &now);
                handledDuringPages += now.sa_handler == countTermination;
            });
            QCOMPARE(e.scan.Scan(out("pg"), "pnm", 1, 4, false), 0);
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
