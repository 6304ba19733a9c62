// The simulated scanners' own promises (setting options, feeding pages,
// frame layouts, the log), checked through the real libsane, since other
// suites build their expectations on them.
#include "saneharness.h"

#include <QLibrary>
#include <QTest>

#include <sane/sane.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace {

// The few libsane entry points these checks need, resolved at run time as
// the service does it.
struct Sane {
    QLibrary lib;
#define VS_ENTRY(f) decltype(&::sane_##f) f = nullptr;
#define VS_ENTRIES(X) X(init) X(exit) X(get_devices) X(open) X(close) X(get_option_descriptor) \
    X(control_option) X(get_parameters) X(start) X(read)
    VS_ENTRIES(VS_ENTRY)

    bool load()
    {
        lib.setFileNameAndVersion("sane", 1);
        bool all = lib.load();
#define VS_BIND(f) all = all && (f = reinterpret_cast<decltype(f)>(lib.resolve("sane_" #f)));
        VS_ENTRIES(VS_BIND)
        return all;
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
        g_sane.get_devices(&list, SANE_TRUE);
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
        g_sane.control_option(handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr);
        for (int i = count - 1; i > 0; --i) {
            const SANE_Option_Descriptor *d = g_sane.get_option_descriptor(handle, i);
            if (d && std::strcmp(d->name, name) == 0)
                return i;
        }
        return -1;
    }
    SANE_Status setString(const char *name, const char *value, SANE_Int *info = nullptr)
    {
        std::vector<char> buf(256, 0);
        std::strncpy(buf.data(), value, buf.size() - 1);
        return g_sane.control_option(handle, find(name), SANE_ACTION_SET_VALUE, buf.data(), info);
    }
    SANE_Status setWord(const char *name, SANE_Word value, SANE_Int *info = nullptr)
    {
        return g_sane.control_option(handle, find(name), SANE_ACTION_SET_VALUE, &value, info);
    }
    QByteArray getString(const char *name)
    {
        std::vector<char> buf(256, 0);
        g_sane.control_option(handle, find(name), SANE_ACTION_GET_VALUE, buf.data(), nullptr);
        return QByteArray(buf.data());
    }
    SANE_Word getWord(const char *name)
    {
        SANE_Word w = 0;
        g_sane.control_option(handle, find(name), SANE_ACTION_GET_VALUE, &w, nullptr);
        return w;
    }
    bool active(const char *name)
    {
        return SANE_OPTION_IS_ACTIVE(g_sane.get_option_descriptor(handle, find(name))->cap);
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
        g_sane.get_parameters(handle, &p);
        return p;
    }

    SANE_Handle handle = nullptr;
    SANE_Status status = SANE_STATUS_INVAL;
};

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

    SimWorld m_world;

    void setDevices(const QByteArray &lines) { m_world.setDevices(QString::fromUtf8(lines)); }
    QStringList log() const { return m_world.logLines(); }

private slots:
    void initTestCase() { QVERIFY(m_world.setUp() && g_sane.load()); }

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

    // The feeder runs empty after its sheets, both sides of each in duplex;
    // the flatbed always has a page.
    void feederRunsEmpty_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("images"); // -1: never runs empty
        QTest::newRow("front") << QByteArray("ADF Front") << 3 << 3;
        QTest::newRow("duplex") << QByteArray("ADF Duplex") << 2 << 4;
        QTest::newRow("empty feeder") << QByteArray("ADF Back") << 0 << 0;
        QTest::newRow("flatbed") << QByteArray("Flatbed") << 0 << -1;
    }
    void feederRunsEmpty()
    {
        QFETCH(QByteArray, source);
        QFETCH(int, pages);
        QFETCH(int, images);
        setDevices("device cvnfb F width_px=16 height_px=4 pages=" + QByteArray::number(pages) + "\n");
        Device d("cvnfb:F");
        QCOMPARE(d.setString("source", source.constData()), SANE_STATUS_GOOD);
        for (int i = 0; i < (images < 0 ? 3 : images); ++i) {
            QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
            SANE_Status end;
            QCOMPARE(d.readFrame(&end).size(), 16 * 3 * 4);
            QCOMPARE(end, SANE_STATUS_EOF);
        }
        if (images < 0)
            return;
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_NO_DOCS);
        QCOMPARE(log().filter("start cvnfb:F 0").size(), images);
        QVERIFY(log().contains("start cvnfb:F 7"));
    }

    // The frame's layout and how it is delivered; the samples themselves are
    // checked on the pages the page loop writes.
    void frames_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("bytesPerLine");
        QTest::addColumn<int>("cut");
        QTest::addColumn<int>("reads"); // 0: any number
        const int gray = SANE_FRAME_GRAY, rgb = SANE_FRAME_RGB;
        QTest::newRow("gray 16") << QByteArray("depth=16") << QByteArray("Gray") << gray << 16 << 26 << 0 << 0;
        QTest::newRow("lineart") << QByteArray() << QByteArray("Lineart") << gray << 1 << 2 << 0 << 0;
        QTest::newRow("short reads") << QByteArray("max_read=5") << QByteArray("Color") << rgb << 8 << 39 << 0 << 39;
        QTest::newRow("cut mid-line") << QByteArray("cut_bytes=50 max_read=16") << QByteArray("Color") << rgb << 8 << 39
                                      << 50 << 10;
    }
    void frames()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, mode);
        QFETCH(int, format);
        QFETCH(int, depth);
        QFETCH(int, bytesPerLine);
        QFETCH(int, cut);
        QFETCH(int, reads);
        setDevices("device cvnfa A width_px=13 height_px=5 " + keys + "\n");
        Device d("cvnfa:A");
        QCOMPARE(d.setString("mode", mode.constData()), SANE_STATUS_GOOD);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        const SANE_Parameters p = d.params();
        QCOMPARE(int(p.format), format);
        QCOMPARE(p.depth, depth);
        QCOMPARE(p.bytes_per_line, bytesPerLine);
        QCOMPARE(p.pixels_per_line, 13);
        QCOMPARE(p.lines, 5);
        QCOMPARE(p.last_frame, SANE_TRUE);
        int got = 0;
        SANE_Status end;
        QCOMPARE(d.readFrame(&end, 1 << 16, &got).size(), bytesPerLine * 5 - cut);
        QCOMPARE(end, SANE_STATUS_EOF);
        if (reads)
            QCOMPARE(got, reads);
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
            QCOMPARE(d.readFrame(&end).size(), 12);
            QCOMPARE(end, SANE_STATUS_EOF);
        }
    }

    // Two faults whose loss the suites above would not notice: a start that
    // resets SIGTERM, and a height announced as unknown. (Lost jams, hangs,
    // failed starts, short or long frames make those suites fail.)
    void faultsOnlyThisSuiteNotices()
    {
        setDevices("device cvnfa F width_px=4 height_px=3 unknown_height=1 reset_sigterm=1\n");
        Device d("cvnfa:F");
        struct sigaction ignore = {}, saved = {};
        ignore.sa_handler = SIG_IGN;
        QCOMPARE(::sigaction(SIGTERM, &ignore, &saved), 0);
        QCOMPARE(g_sane.start(d.handle), SANE_STATUS_GOOD);
        struct sigaction now = {};
        ::sigaction(SIGTERM, nullptr, &now);
        ::sigaction(SIGTERM, &saved, nullptr);
        QVERIFY(now.sa_handler == SIG_DFL);
        QCOMPARE(d.params().lines, -1);
        SANE_Status end;
        QCOMPARE(d.readFrame(&end).size(), 12 * 3);
        QCOMPARE(end, SANE_STATUS_EOF);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
