// The simulated scanners' own promises (setting options, feeding pages,
// frame contents, the log), checked through the real libsane, since other
// suites build their expectations on them.
#include <QElapsedTimer>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QTest>

#include <sane/sane.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// The few libsane entry points these checks need, resolved at run time as
// the service does it.
struct Sane {
    QLibrary lib;
    decltype(&::sane_init) init = nullptr;
    decltype(&::sane_exit) exit = nullptr;
    decltype(&::sane_get_devices) getDevices = nullptr;
    decltype(&::sane_open) open = nullptr;
    decltype(&::sane_close) close = nullptr;
    decltype(&::sane_get_option_descriptor) descriptor = nullptr;
    decltype(&::sane_control_option) control = nullptr;
    decltype(&::sane_get_parameters) parameters = nullptr;
    decltype(&::sane_start) start = nullptr;
    decltype(&::sane_read) read = nullptr;
    decltype(&::sane_cancel) cancel = nullptr;

    bool load()
    {
        lib.setFileNameAndVersion("sane", 1);
        if (!lib.load())
            return false;
        auto bind = [this](auto &slot, const char *name) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(lib.resolve(name));
            return slot != nullptr;
        };
        return bind(init, "sane_init") && bind(exit, "sane_exit") && bind(getDevices, "sane_get_devices")
            && bind(open, "sane_open") && bind(close, "sane_close")
            && bind(descriptor, "sane_get_option_descriptor") && bind(control, "sane_control_option")
            && bind(parameters, "sane_get_parameters") && bind(start, "sane_start") && bind(read, "sane_read")
            && bind(cancel, "sane_cancel");
    }
};

Sane g_sane;

// One open device for one case; the session ends with it.
class Device
{
public:
    explicit Device(const char *name)
    {
        g_sane.init(nullptr, nullptr);
        const SANE_Device **list = nullptr;
        g_sane.getDevices(&list, SANE_TRUE);
        status = g_sane.open(name, &handle);
    }
    ~Device()
    {
        if (status == SANE_STATUS_GOOD)
            g_sane.close(handle);
        g_sane.exit();
    }

    int find(const char *name)
    {
        SANE_Int count = 0;
        g_sane.control(handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr);
        for (int i = count - 1; i > 0; --i) {
            const SANE_Option_Descriptor *d = g_sane.descriptor(handle, i);
            if (d && std::strcmp(d->name, name) == 0)
                return i;
        }
        return -1;
    }
    SANE_Status setString(const char *name, const char *value, SANE_Int *info = nullptr)
    {
        std::vector<char> buf(256, 0);
        std::strncpy(buf.data(), value, buf.size() - 1);
        return g_sane.control(handle, find(name), SANE_ACTION_SET_VALUE, buf.data(), info);
    }
    SANE_Status setWord(const char *name, SANE_Word value, SANE_Int *info = nullptr)
    {
        return g_sane.control(handle, find(name), SANE_ACTION_SET_VALUE, &value, info);
    }
    QByteArray getString(const char *name)
    {
        std::vector<char> buf(256, 0);
        g_sane.control(handle, find(name), SANE_ACTION_GET_VALUE, buf.data(), nullptr);
        return QByteArray(buf.data());
    }
    SANE_Word getWord(const char *name)
    {
        SANE_Word w = 0;
        g_sane.control(handle, find(name), SANE_ACTION_GET_VALUE, &w, nullptr);
        return w;
    }
    bool active(const char *name)
    {
        return SANE_OPTION_IS_ACTIVE(g_sane.descriptor(handle, find(name))->cap);
    }

    // Reads one frame to EOF in reads of at most `chunk` bytes.
    QByteArray readFrame(SANE_Status *end, int chunk = 1 << 20, int *reads = nullptr)
    {
        QByteArray all;
        std::vector<SANE_Byte> buf(static_cast<size_t>(chunk));
        SANE_Int len = 0;
        SANE_Status s;
        int n = 0;
        while ((s = g_sane.read(handle, buf.data(), chunk, &len)) == SANE_STATUS_GOOD) {
            all.append(reinterpret_cast<const char *>(buf.data()), len);
            ++n;
        }
        *end = s;
        if (reads)
            *reads = n;
        return all;
    }

    SANE_Parameters params()
    {
        SANE_Parameters p{};
        g_sane.parameters(handle, &p);
        return p;
    }

    SANE_Handle handle = nullptr;
    SANE_Status status = SANE_STATUS_INVAL;
};

unsigned sample8(int x, int y, int c, int image)
{
    return unsigned(x + 2 * y + 85 * c + 37 * (image - 1)) & 0xFFu;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString logPath() const { return m_dir.filePath("velloscan-sim.log"); }
    void setDevices(const QByteArray &lines)
    {
        QFile f(m_dir.filePath("velloscan-sim.conf"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(lines);
    }
    QStringList log() const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(SIM_DLLCONF, m_dir.filePath("dll.conf")));
        qputenv("SANE_CONFIG_DIR", QFile::encodeName(m_dir.path()));
        qputenv("LD_LIBRARY_PATH", SIM_LIBDIR);
        QVERIFY(g_sane.load());
    }
    void init() { QFile::remove(logPath()); }

    void settingFollowsTheConstraints()
    {
        setDevices("device cvnfa A1\n");
        Device d("cvnfa:A1");
        QCOMPARE(d.status, SANE_STATUS_GOOD);
        SANE_Int info = -1;

        QCOMPARE(d.setString("mode", "gr", &info), SANE_STATUS_GOOD);
        QCOMPARE(d.getString("mode"), QByteArray("Gray"));
        QVERIFY(info & SANE_INFO_INEXACT);
        QVERIFY(info & SANE_INFO_RELOAD_OPTIONS);
        QVERIFY(info & SANE_INFO_RELOAD_PARAMS);
        QCOMPARE(d.setString("mode", "Sepia"), SANE_STATUS_INVAL);

        QCOMPARE(d.setWord("mf-length", 60), SANE_STATUS_INVAL); // inactive until Stop
        QVERIFY(!d.active("mf-length"));
        QCOMPARE(d.setString("multifeed-detection", "Stop"), SANE_STATUS_GOOD);
        QVERIFY(d.active("mf-length"));
        QCOMPARE(d.setWord("mf-length", 54, &info), SANE_STATUS_GOOD);
        QCOMPARE(d.getWord("mf-length"), 50);
        QVERIFY(info & SANE_INFO_INEXACT);
        QCOMPARE(d.setWord("mf-length", 1000), SANE_STATUS_GOOD);
        QCOMPARE(d.getWord("mf-length"), 300);

        QCOMPARE(d.setWord("resolution", 580, &info), SANE_STATUS_GOOD);
        QCOMPARE(d.getWord("resolution"), 600);
        QCOMPARE(d.setWord("cropping", 2), SANE_STATUS_INVAL);

        QCOMPARE(d.setString("paper-size", "Letter"), SANE_STATUS_GOOD);
        QCOMPARE(d.getWord("br-x"), SANE_FIX(215.9));
        QCOMPARE(d.getWord("page-height"), SANE_FIX(279.4));

        QVERIFY(log().contains("set cvnfa:A1 mode gr"));
        QVERIFY(log().contains("set-inexact cvnfa:A1 mode Gray"));
        QVERIFY(log().contains("set-failed cvnfa:A1 mf-length 4"));
        QVERIFY(!log().contains("set cvnfa:A1 br-x 215.9")); // side effects are not sets
        QVERIFY(log().contains("get cvnfa:A1 br-x"));
    }

    void automaticValueIsRestored()
    {
        setDevices("device cvnfa AP profile=allpaths\n");
        Device d("cvnfa:AP");
        QCOMPARE(d.setWord("automatic", 3), SANE_STATUS_GOOD);
        QCOMPARE(g_sane.control(d.handle, d.find("automatic"), SANE_ACTION_SET_AUTO, nullptr, nullptr),
                 SANE_STATUS_GOOD);
        QCOMPARE(d.getWord("automatic"), 128);
        QCOMPARE(g_sane.control(d.handle, d.find("int-list"), SANE_ACTION_SET_AUTO, nullptr, nullptr),
                 SANE_STATUS_INVAL);
        QVERIFY(log().contains("set cvnfa:AP automatic auto"));
    }

    void feederRunsEmpty_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("images");
        QTest::newRow("front") << QByteArray("ADF Front") << 3 << 3;
        QTest::newRow("duplex") << QByteArray("ADF Duplex") << 2 << 4;
        QTest::newRow("empty feeder") << QByteArray("ADF Back") << 0 << 0;
    }
    void feederRunsEmpty()
    {
        QFETCH(QByteArray, source);
        QFETCH(int, pages);
        QFETCH(int, images);
        setDevices("device cvnfb F width_px=16 height_px=4 pages=" + QByteArray::number(pages) + "\n");
        Device d("cvnfb:F");
        QCOMPARE(d.setString("source", source.constData()), SANE_STATUS_GOOD);
        for (int i = 0; i < images; ++i) {
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
            SANE_Status end;
            QCOMPARE(d.readFrame(&end).size(), 16 * 3 * 4);
            QCOMPARE(end, SANE_STATUS_EOF);
        }
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_NO_DOCS);
        QCOMPARE(log().filter("start cvnfb:F 0").size(), images);
        QVERIFY(log().contains("start cvnfb:F 7"));
    }

    void flatbedNeverRunsEmpty()
    {
        setDevices("device cvnfa A width_px=8 height_px=2 pages=0\n");
        Device d("cvnfa:A");
        QCOMPARE(d.setString("source", "Flatbed"), SANE_STATUS_GOOD);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
    }

    // Without a "source" option the SANE type decides: sheet-fed devices
    // count their sheets, others always have a page; pages=-1 never runs out.
    void devicesWithoutSource_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<int>("images"); // -1: never runs empty
        QTest::newRow("flatbed") << QByteArray("type=flatbed%20scanner pages=1") << QByteArray("flatbed scanner") << -1;
        QTest::newRow("sheet-fed") << QByteArray("pages=2") << QByteArray("sheetfed scanner") << 2;
        QTest::newRow("feeder in capitals") << QByteArray("type=Document%20Feeder pages=1")
                                            << QByteArray("Document Feeder") << 1;
        QTest::newRow("endless") << QByteArray("pages=-1") << QByteArray("sheetfed scanner") << -1;
    }
    void devicesWithoutSource()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, type);
        QFETCH(int, images);
        setDevices("device cvnfb N profile=nosource width_px=8 height_px=2 " + keys + "\n");
        Device d("cvnfb:N");
        QCOMPARE(d.status, SANE_STATUS_GOOD);
        const SANE_Device **list = nullptr;
        QCOMPARE(g_sane.getDevices(&list, SANE_TRUE), SANE_STATUS_GOOD);
        QVERIFY(list[0] && !list[1]);
        QCOMPARE(QByteArray(list[0]->type), type);
        QCOMPARE(d.find("source"), -1);
        QVERIFY(d.find("mode") > 0 && d.find("multifeed-detection") > 0);
        for (int i = 0; i < (images < 0 ? 5 : images); ++i)
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        if (images >= 0)
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_NO_DOCS);
    }

    // A sheet at 600 a minute takes a tenth of a second to come through.
    void ratedSpeed()
    {
        setDevices("device cvnfa A width_px=8 height_px=10 pages=2 mode=Gray ppm=600\n");
        Device d("cvnfa:A");
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
            SANE_Status end;
            QCOMPARE(d.readFrame(&end).size(), 80);
            QCOMPARE(end, SANE_STATUS_EOF);
        }
        QVERIFY(timer.elapsed() >= 200);
    }

    void framesFollowTheFormula_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<int>("cut");
        QTest::addColumn<bool>("noise");
        const int gray = SANE_FRAME_GRAY, rgb = SANE_FRAME_RGB;
        QTest::newRow("gray 8") << QByteArray() << QByteArray("Gray") << gray << 8 << 13 << 0 << false;
        QTest::newRow("gray 16") << QByteArray("depth=16") << QByteArray("Gray") << gray << 16 << 26 << 0 << false;
        QTest::newRow("color") << QByteArray() << QByteArray("Color") << rgb << 8 << 39 << 0 << false;
        QTest::newRow("lineart") << QByteArray() << QByteArray("Lineart") << gray << 1 << 2 << 0 << false;
        QTest::newRow("short reads") << QByteArray("max_read=5") << QByteArray("Color") << rgb << 8 << 39 << 0 << false;
        QTest::newRow("cut mid-line") << QByteArray("cut_bytes=50 max_read=16") << QByteArray("Color") << rgb << 8 << 39
                                      << 50 << false;
        QTest::newRow("noise") << QByteArray("noise=1") << QByteArray("Color") << rgb << 8 << 39 << 0 << true;
        QTest::newRow("noise 16") << QByteArray("noise=1 depth=16") << QByteArray("Gray") << gray << 16 << 26 << 0
                                  << true;
    }
    void framesFollowTheFormula()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, mode);
        QFETCH(int, format);
        QFETCH(int, depth);
        QFETCH(int, bytesPerLine);
        QFETCH(int, cut);
        QFETCH(bool, noise);
        const int width = 13, height = 5;
        setDevices("device cvnfa A width_px=13 height_px=5 pages=2 " + keys + "\n");
        Device d("cvnfa:A");
        QCOMPARE(d.setString("mode", mode.constData()), SANE_STATUS_GOOD);
        // The second image: the image number shows in the samples.
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        SANE_Status end;
        d.readFrame(&end);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        const SANE_Parameters p = d.params();
        QCOMPARE(int(p.format), format);
        QCOMPARE(p.depth, depth);
        QCOMPARE(p.bytes_per_line, bytesPerLine);
        QCOMPARE(p.pixels_per_line, width);
        QCOMPARE(p.lines, height);
        QCOMPARE(p.last_frame, SANE_TRUE);
        int reads = 0;
        const QByteArray data = d.readFrame(&end, 1 << 16, &reads);
        QCOMPARE(end, SANE_STATUS_EOF);
        QCOMPARE(data.size(), bytesPerLine * height - cut);
        if (keys == "max_read=5")
            QCOMPARE(reads, (data.size() + 4) / 5);

        const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
        int noisy = 0;
        auto check = [&](unsigned got, unsigned want) {
            noisy += got != want;
            return noise ? (got ^ want) < 8 : got == want;
        };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (depth == 1) {
                    const bool black = bytes[y * bytesPerLine + x / 8] & (0x80 >> (x % 8));
                    QCOMPARE(black, (x + y + 1) % 4 == 0);
                } else if (depth == 16) {
                    quint16 v;
                    std::memcpy(&v, bytes + y * bytesPerLine + 2 * x, 2);
                    QVERIFY(check(v >> 8, sample8(x, y, 0, 2)));
                    QCOMPARE(unsigned(v & 0xFF), 255 - (v >> 8));
                } else {
                    const int channels = format == SANE_FRAME_RGB ? 3 : 1;
                    for (int c = 0; c < channels; ++c) {
                        const int at = y * bytesPerLine + x * channels + c;
                        if (at < data.size())
                            QVERIFY(check(bytes[at], sample8(x, y, c, 2)));
                    }
                }
            }
        }
        QCOMPARE(noisy > width * height / 2, noise);
    }

    void threePassColour()
    {
        setDevices("device cvnfa A width_px=4 height_px=3 three_pass=1\n");
        Device d("cvnfa:A");
        const SANE_Frame colours[] = {SANE_FRAME_RED, SANE_FRAME_GREEN, SANE_FRAME_BLUE};
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
            const SANE_Parameters p = d.params();
            QCOMPARE(p.format, colours[c]);
            QCOMPARE(p.last_frame, c == 2 ? SANE_TRUE : SANE_FALSE);
            SANE_Status end;
            const QByteArray data = d.readFrame(&end);
            QCOMPARE(end, SANE_STATUS_EOF);
            QCOMPARE(data.size(), 12);
            QCOMPARE(static_cast<unsigned char>(data[5]), sample8(1, 1, c, 1));
        }
    }

    void startFaultsAndInitialValues()
    {
        setDevices("device cvnfa F width_px=4 height_px=3 pages=3 mode=Gray missing_lines=1 "
                   "start_fail_sheet=2 reset_sigterm=1\n");
        Device d("cvnfa:F");
        struct sigaction ignore = {}, saved = {};
        ignore.sa_handler = SIG_IGN;
        QCOMPARE(::sigaction(SIGTERM, &ignore, &saved), 0);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        struct sigaction now = {};
        ::sigaction(SIGTERM, nullptr, &now);
        ::sigaction(SIGTERM, &saved, nullptr);
        QVERIFY(now.sa_handler == SIG_DFL);
        QCOMPARE(d.params().format, SANE_FRAME_GRAY);
        QCOMPARE(d.params().lines, 3);
        SANE_Status end;
        QCOMPARE(d.readFrame(&end).size(), 4 * 2);
        QCOMPARE(end, SANE_STATUS_EOF);
        // The failed start keeps its sheet: two more pages, then the feeder is empty.
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_COVER_OPEN);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_NO_DOCS);
    }

    void heightAndFaults()
    {
        setDevices("device cvnfa U width_px=4 height_px=3 unknown_height=1 extra_lines=2 pages=2 "
                   "jam_page=2 jam_after_lines=1\n");
        Device d("cvnfa:U");
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        QCOMPARE(d.params().lines, -1);
        SANE_Status end;
        QCOMPARE(d.readFrame(&end).size(), 12 * 5);
        QCOMPARE(end, SANE_STATUS_EOF);

        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        QCOMPARE(d.readFrame(&end).size(), 12);
        QCOMPARE(end, SANE_STATUS_JAMMED);
        g_sane.cancel(d.handle);
        SANE_Int len = 0;
        SANE_Byte byte;
        QCOMPARE(g_sane.read(d.handle, &byte, 1, &len), SANE_STATUS_CANCELLED);
        QVERIFY(log().contains("read cvnfa:U 6"));
        QVERIFY(log().contains("cancel cvnfa:U"));
    }

    // The stuck driver stays stuck through a cancel, a close and sane_exit
    // (which must not unload the code it sits in); the process still ends.
    void hangInRead()
    {
        setDevices("device cvnfa H width_px=4 height_px=3 pages=3 hang_page=2\n");
        Device d("cvnfa:H");
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        SANE_Status end;
        QCOMPARE(d.readFrame(&end).size(), 36);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        static std::atomic<bool> returned{false};
        std::thread([handle = d.handle] {
            SANE_Byte buf[64];
            SANE_Int len = 0;
            g_sane.read(handle, buf, sizeof buf, &len);
            returned = true;
        }).detach();
        QTRY_VERIFY(log().contains("hang cvnfa:H"));
        g_sane.cancel(d.handle);
        QVERIFY(log().contains("cancel cvnfa:H"));
        QVERIFY(!returned);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
