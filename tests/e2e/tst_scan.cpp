// End-to-end scans: the real velloscan binary, the real libsane, the
// simulated scanners and a real WebSocket page, from "CSCAN" to the last
// message, with the files checked pixel by pixel and by real validators.
#include "pagekit.h"
#include "sandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

const int W = 48;
const int H = 40;
const QString Feeder = QString("device cvnfa DR-A pages=3 width_px=%1 height_px=%2\n").arg(W).arg(H);

// A validator's standard output, or "" when it failed.
QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A page of the simulator's feeder, as pagekit checks it.
pagekit::ExpectedPage expected(pagekit::ExpectedPage::Mode mode, int depth, int image, int dpi)
{
    return {W, H, mode, depth, image, dpi};
}

} // namespace

class ScanTest : public QObject
{
    Q_OBJECT
private slots:
    void pageFiles_data();
    void pageFiles();
    void documents_data();
    void documents();
    void documentThatCannotBeMade();
    void base64Reports();
    void numbersRunOnAcrossJobsAndRestarts();
    void badSettingsStillScan();
    void deleteFilesBeforeScan();
    void errorsReachThePage_data();
    void errorsReachThePage();
    void refusedOutputs_data();
    void refusedOutputs();
    void jamKeepsEarlierPages();
    void busyServiceAnswers1009();
    void servedRightAfterTheEnd();
    void terminatedMidScan_data();
    void terminatedMidScan();
    void deviceOutsideThePreload();
    void commaDecimalLocale();
    void scratchFolderReplacedWhileRunning();
};

void ScanTest::pageFiles_data()
{
    QTest::addColumn<QString>("fileType");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("deviceKeys");
    QTest::addColumn<int>("depth");

    QTest::newRow("tiff color") << "1" << "tiff" << "Color" << "" << 8;
    QTest::newRow("tiff lineart") << "1" << "tiff" << "Lineart" << "" << 1;
    QTest::newRow("tiff gray 16, odd reads") << "1" << "tiff" << "Gray" << "depth=16 max_read=1001" << 16;
    QTest::newRow("pnm gray 16, odd reads") << "2" << "pnm" << "Gray" << "depth=16 max_read=1001" << 16;
    QTest::newRow("pnm lineart") << "2" << "pnm" << "Lineart" << "" << 1;
    QTest::newRow("jpg color") << "3" << "jpg" << "Color" << "" << 8;
    QTest::newRow("jpg lineart") << "3" << "jpg" << "Lineart" << "" << 1;
    QTest::newRow("png lineart") << "4" << "png" << "Lineart" << "" << 1;
    QTest::newRow("png color 16") << "4" << "png" << "Color" << "depth=16" << 16;
    QTest::newRow("png three-pass") << "4" << "png" << "Color" << "three_pass=1" << 8;
}

void ScanTest::pageFiles()
{
    QFETCH(QString, fileType);
    QFETCH(QString, suffix);
    QFETCH(QString, mode);
    QFETCH(QString, deviceKeys);
    QFETCH(int, depth);
    Sandbox box;
    box.setDevices(Feeder.trimmed() + " " + deviceKeys + "\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/out";
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"%1","FilePath":"%2",)"
                                                                    R"("FilePrefix":"p","mode":"%3"})")
                                                                .arg(fileType, out, mode)));
    QCOMPARE(job.reports.size(), 3);

    const auto m = mode == "Color" ? pagekit::ExpectedPage::Color
        : mode == "Gray"           ? pagekit::ExpectedPage::Gray
                                   : pagekit::ExpectedPage::Lineart;
    for (int n = 1; n <= 3; ++n) {
        const QString path = out + QString("/p%1.").arg(n, 4, 10, QChar('0')) + suffix;
        QCOMPARE(job.reports[n - 1], QJsonObject({{"Cmd", "SSCANONE"}, {"Code", 2002}, {"Msg", "扫描完一张图像"},
                                                  {"Data", suffix + "|" + path}, {"DataType", "string"}}));
        // PNM carries no resolution; the others the scanner's 300 dpi.
        const pagekit::ExpectedPage e = expected(m, depth, n, suffix == "pnm" ? 0 : 300);
        if (suffix == "jpg") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(f.readAll() == pagekit::expectedJpeg(e), qPrintable(path));
        } else {
            QCOMPARE(pagekit::checkPage(path, e), QString());
        }
    }
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), 3); // no ".part" left behind
}

void ScanTest::documents_data()
{
    QTest::addColumn<QString>("fileType");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("depth");
    QTest::newRow("pdf") << "5" << "Color" << "8";
    QTest::newRow("mulpdf") << "6" << "Lineart" << "8";
    QTest::newRow("mulpdf of 16-bit pages") << "6" << "Gray" << "16";
    QTest::newRow("multiff") << "7" << "Gray" << "8";
}

void ScanTest::documents()
{
    QFETCH(QString, fileType);
    QFETCH(QString, mode);
    QFETCH(QString, depth);
    Sandbox box;
    box.setDevices(Feeder.trimmed() + " depth=" + depth + "\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/docs";
    const QString json = QString(R"({"FileType":"%1","FilePath":"%2","FilePrefix":"d","mode":"%3"})")
                             .arg(fileType, out, mode);
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", json));

    if (fileType == "5") {
        // One PDF per page, consecutive numbers; the page TIFFs stay in the work folder.
        QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANALL"));
        QCOMPARE(job.paths(), QStringList({out + "/d0001.pdf", out + "/d0002.pdf", out + "/d0003.pdf"}));
        for (const QString &pdf : job.paths()) {
            QVERIFY(!run("qpdf", {"--check", pdf}).isEmpty());
            QVERIFY(run("pdfinfo", {pdf}).contains(QRegularExpression("Pages:\\s+1\\n")));
        }
        QCOMPARE(QDir(box.imgDir()).entryList({"d000?.tiff"}, QDir::Files).size(), 3);
        QCOMPARE(storedScanCount(box), QString("4"));
        return;
    }
    // One document, no page reports, and the number advances by one.
    QVERIFY(job.reports.isEmpty());
    QCOMPARE(job.end.value("Msg").toString(), QString("扫描完所有图像，已生成多页文件"));
    QCOMPARE(storedScanCount(box), QString("2"));
    if (fileType == "6") {
        const QString pdf = out + "/d0001.pdf";
        QCOMPARE(job.end.value("Data").toString(), "pdf|" + pdf);
        QVERIFY(!run("qpdf", {"--check", pdf}).isEmpty());
        QVERIFY(run("pdfinfo", {pdf}).contains(QRegularExpression("Pages:\\s+3\\n")));
        // Black-and-white pages travel as Group 4, 16-bit ones at 8 bits.
        const QString images = run("pdfimages", {"-list", pdf});
        QCOMPARE(images.count(mode == "Lineart" ? " ccitt " : "  8  "), 3);
    } else {
        const QString tiff = out + "/d0001.tiff";
        QCOMPARE(job.end.value("Data").toString(), "tiff|" + tiff);
        const QString info = run("tiffinfo", {tiff});
        QCOMPARE(info.count("TIFF Directory"), 3);
        QCOMPARE(info.count("Compression Scheme: LZW"), 3);
    }
}

// A document that cannot be written (here: on a full disk) is never named:
// a "pdf" job ends as a page that cannot be written ends it, the others with
// 1008, and nothing partial stays under a final name.
void ScanTest::documentThatCannotBeMade()
{
    if (::geteuid() != 0)
        QSKIP("a full file system needs root to mount");
    Sandbox box;
    box.setDevices(Feeder);
    const QString out = box.root() + "/full";
    QVERIFY(QDir().mkpath(out));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", out}) != 0)
        QSKIP("no small file system could be mounted here");
    struct Unmount {
        QString dir;
        ~Unmount() { QProcess::execute("umount", {dir}); }
    } unmount{out};
    QFile filler(out + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
    }
    filler.close();
    PageClient page;
    QVERIFY(box.startWithPage(page));
    for (const auto &type : {qMakePair(QString("5"), 11), qMakePair(QString("6"), 1008), qMakePair(QString("7"), 1008)}) {
        const Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"%1","FilePath":"%2"})")
                                                                   .arg(type.first, out)));
        QCOMPARE(job.end.value("Code").toInt(), type.second);
        QVERIFY(job.reports.isEmpty());
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{"filler"});
    }
    QCOMPARE(storedScanCount(box), QString("1"));
}

void ScanTest::base64Reports()
{
    Sandbox box;
    box.setDevices(Feeder);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/b64";
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"4","FilePath":"%1",)"
                                                                    R"("ShowBase64":"1"})").arg(out)));
    QCOMPARE(job.reports.size(), 3);
    for (int n = 1; n <= 3; ++n) {
        const QJsonObject r = job.reports[n - 1];
        const QString data = r.value("Data").toString();
        QVERIFY(r.value("DataType") == "base64" && data.startsWith("png|"));
        const QJsonObject inner =
            QJsonDocument::fromJson(QByteArray::fromBase64(data.mid(4).toLatin1())).object();
        const QString path = out + QString("/%1.png").arg(n, 4, 10, QChar('0'));
        QCOMPARE(inner.value("ImagePath").toString(), path);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QByteArray::fromBase64(inner.value("Base64Data").toString().toLatin1()), f.readAll());
    }
}

void ScanTest::numbersRunOnAcrossJobsAndRestarts()
{
    Sandbox box;
    box.setDevices(Feeder);
    QDir().mkpath(box.dataDir());
    {
        QSettings ini(box.dataDir() + "/SysConfig.ini", QSettings::IniFormat);
        ini.setValue("Scanner/ScanCount", "12");
    }
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/n";
    const QString json = QString(R"({"FileType":"3","FilePath":"%1","FilePrefix":"img","ScanCount":"1",)"
                                 R"("ScanMinCountSize":"6"})").arg(out);
    Job job = runJob(page, scanCommand("cvnfa:DR-A", json));
    // The page's ScanCount and digits reach the numbers only through the file, at the next start.
    QCOMPARE(job.paths(), QStringList({out + "/img0012.jpg", out + "/img0013.jpg", out + "/img0014.jpg"}));
    QCOMPARE(storedScanCount(box), QString("15"));
    job = runJob(page, scanCommand("cvnfa:DR-A", "{}"));
    QCOMPARE(job.paths().first(), out + "/img0015.jpg");

    QCOMPARE(box.terminate(), 0);
    PageClient again;
    QVERIFY(box.startWithPage(again));
    job = runJob(again, scanCommand("cvnfa:DR-A", "{}"));
    QCOMPARE(job.paths().first(), out + "/img000018.jpg");
    QCOMPARE(storedScanCount(box), QString("21"));

    // Numbers no file name can hold are bounded, and said so.
    QCOMPARE(box.terminate(), 0);
    {
        QSettings ini(box.dataDir() + "/SysConfig.ini", QSettings::IniFormat);
        ini.setValue("Scanner/ScanCount", "2147483647");
        ini.setValue("Scanner/ScanMinCountSize", "1000000000");
    }
    PageClient bounded;
    QVERIFY(box.startWithPage(bounded));
    job = runJob(bounded, scanCommand("cvnfa:DR-A", "{}"));
    QCOMPARE(job.paths().first(), out + "/img" + QString(23, '0') + "999999999.jpg");
    QVERIFY(box.standardError().contains("ScanCount 2147483647 is out of range; using 999999999"));
    QVERIFY(box.standardError().contains("ScanMinCountSize 1000000000 is out of range; using 32"));
}

// Settings the service cannot use change nothing and cost no page.
void ScanTest::badSettingsStillScan()
{
    Sandbox box;
    box.setDevices(Feeder);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/bad";
    Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"2","FilePath":"%1"})").arg(out)));
    QCOMPARE(job.reports.size(), 3);
    // JSON that does not parse: the previous settings and no option.
    job = runJob(page, scanCommand("cvnfa:DR-A", R"({"FileType":"3",)"));
    QCOMPARE(job.paths().first(), out + "/0004.pnm");
    // A value the scanner refuses, one with a bad unit, a number sent as a number.
    job = runJob(page, scanCommand("cvnfa:DR-A", R"({"mode":"Sepia","paper-size":"Custom","page-width":"3parsecs","resolution":150})"));
    QCOMPARE(job.reports.size(), 3);
    QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANALL"));
    const QString err = box.standardError();
    QVERIFY(err.contains("velloscan: setting of option --mode failed (Invalid argument)"));
    QVERIFY(err.contains("velloscan: option --page-width: illegal unit (rest of option: parsecs)"));
    QVERIFY(!box.simLogLines().filter("set cvnfa:DR-A resolution").size());
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), 9);
}

void ScanTest::deleteFilesBeforeScan()
{
    Sandbox box;
    box.setDevices(Feeder);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/del";
    QDir().mkpath(out);
    const QStringList names{"a.JPG", "b.pdf", "c.tif", "d.jpeg", ".e.png"};
    for (const QString &n : names) {
        QFile f(out + "/" + n);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QString json = QString(R"({"FileType":"2","FilePath":"%1","DeleteFilesBeforeScan":"1"})").arg(out);
    // A device that is not there costs no file, and the request waits for the next job.
    Job job = runJob(page, scanCommand("cvnfa:GONE", json));
    QCOMPARE(job.end.value("Code").toInt(), 12);
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 5);

    job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FilePath":"%1"})").arg(out)));
    QCOMPARE(job.reports.size(), 3);
    QStringList left = QDir(out).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(left, QStringList({".e.png", "0001.pnm", "0002.pnm", "0003.pnm", "c.tif", "d.jpeg"}));
    // Once only.
    job = runJob(page, scanCommand("cvnfa:DR-A", "{}"));
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), 8);
}

void ScanTest::errorsReachThePage_data()
{
    QTest::addColumn<QString>("devices");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("no device") << Feeder << "CSCAN||{}" << 1004 << "未选择扫描仪";
    QTest::newRow("unknown device") << Feeder << "CSCAN|cvnfa:NONE|{}" << 12 << "未找到扫描仪.请先获取扫描仪.";
    QTest::newRow("another maker's device") << "device webcamsim Cam-1\n" << "CSCAN|webcamsim:Cam-1|{}" << 12
                                            << "未找到扫描仪.请先获取扫描仪.";
    QTest::newRow("busy") << "device cvnfa DR-A open_status=3\n" << "CSCAN|cvnfa:DR-A|{}" << 3
                          << "装置忙碌.请重启扫描仪.";
    QTest::newRow("empty feeder") << "device cvnfa DR-A pages=0\n" << "CSCAN|cvnfa:DR-A|{}" << 7
                                  << "文档获取器无纸张.请放入纸张.";
    QTest::newRow("folder cannot be made") << Feeder
        << R"(CSCAN|cvnfa:DR-A|{"FilePath":"@ROOT@/file/sub"})" << 1007 << "图像保存路径创建失败";
}

void ScanTest::errorsReachThePage()
{
    QFETCH(QString, devices);
    QFETCH(QString, command);
    QFETCH(int, code);
    QFETCH(QString, text);
    Sandbox box;
    box.setDevices(devices);
    // A plain file where a folder would have to be made.
    QFile blocker(box.root() + "/file");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const Job job = runJob(page, command.replace("@ROOT@", box.root()));
    QVERIFY(job.reports.isEmpty());
    QCOMPARE(job.end, QJsonObject({{"Cmd", ""}, {"Code", code}, {"Msg", text}, {"Data", ""}, {"DataType", ""}}));
    // The service goes on serving.
    page.send("CDEV");
    QVERIFY(page.waitForMessages(page.messages.size() + 1));
}

void ScanTest::refusedOutputs_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("code");
    const QByteArray none;
    QTest::newRow("NUL in the prefix") << R"("FilePath":"@OUT@","FilePrefix":".bashrc\u0000")" << none << 1007;
    QTest::newRow("NUL in the folder") << R"("FilePath":"@OUT@/.bashrc\u0000/x")" << none << 1007;
    QTest::newRow("prefix climbs out") << R"("FilePath":"@OUT@/sub","FilePrefix":"../.bashrc")" << none << 1007;
    QTest::newRow("prefix through a link out") << R"("FilePath":"@OUT@","FilePrefix":"out/p")" << none << 1007;
    QTest::newRow("outside the OutputFolders") << R"("FilePath":"@OUT@")"
                                               << QByteArray("[Service]\nOutputFolders=~/scans, /nowhere\n") << 1007;
    QTest::newRow("prefix with a subfolder") << R"("FilePath":"@OUT@","FilePrefix":"sub/p")" << none << 0;
    QTest::newRow("inside the OutputFolders") << R"("FilePath":"@OUT@/new")"
                                              << QByteArray("[Service]\nOutputFolders=~/x,@OUT@\n") << 0;
}

// A page must not have the service write outside the folder it names, nor
// anywhere else than the folders an administrator allowed.
void ScanTest::refusedOutputs()
{
    QFETCH(QString, json);
    QFETCH(QByteArray, ini);
    QFETCH(int, code);
    Sandbox box;
    box.setDevices(Feeder);
    const QString out = box.root() + "/out";
    QVERIFY(QDir().mkpath(out + "/sub"));
    QVERIFY(QFile::link(box.home(), out + "/out"));
    QFile bashrc(out + "/.bashrc");
    QVERIFY(bashrc.open(QIODevice::WriteOnly) && bashrc.write("keep") == 4);
    bashrc.close();
    QVERIFY(QFile::copy(out + "/.bashrc", out + "/a.jpg"));
    QVERIFY(box.writeSettings(ini.replace("@OUT@", out.toUtf8())));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", "{" + json.replace("@OUT@", out)
                                                  + R"(,"FileType":"2","DeleteFilesBeforeScan":"1"})"));
    if (code == 0) {
        QCOMPARE(job.reports.size(), 3);
        return;
    }
    QCOMPARE(job.end.value("Code").toInt(), code);
    QVERIFY(job.reports.isEmpty());
    QVERIFY(box.simLogLines().filter(QRegularExpression("^start ")).isEmpty());
    for (const QString &kept : {out + "/.bashrc", out + "/a.jpg"}) {
        QFile f(kept);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep"));
    }
    QVERIFY(QDir(box.home()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    QVERIFY(QSettings(box.dataDir() + "/SysConfig.ini", QSettings::IniFormat).value("Scanner/Prefix").isNull());
    // A read-back of a name with a NUL is a missing file, not the file before it.
    page.send("CBASE64|" + QString(job.reports.isEmpty() ? out + "/.bashrc" : QString()) + QChar(0) + "x");
    QVERIFY(page.waitForMessages(page.messages.size() + 1));
    QCOMPARE(page.message(page.messages.size() - 1).value("Data").toString(), QString());
}

void ScanTest::jamKeepsEarlierPages()
{
    Sandbox box;
    box.setDevices(Feeder.trimmed() + " jam_page=3 jam_after_lines=10\n"
                   + QString("device cvnfb DR-B pages=3 width_px=%1 height_px=%2 start_fail_sheet=2\n").arg(W).arg(H));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/jam";
    Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"1","FilePath":"%1"})").arg(out)));
    QCOMPARE(job.paths(), QStringList({out + "/0001.tiff", out + "/0002.tiff"}));
    QCOMPARE(job.end.value("Code").toInt(), 6);
    QCOMPARE(job.end.value("Msg").toString(), QString("文档获取器阻塞.请打开盖子，取出纸张."));
    // The jammed sheet is never announced; what it delivered stays under ".part".
    QCOMPARE(QDir(out).entryList(QDir::Files), QStringList({"0001.tiff", "0002.tiff", "0003.tiff.part"}));
    QCOMPARE(storedScanCount(box), QString("4"));

    // Cover opened before the second sheet: the next job numbers on, nothing is written over.
    job = runJob(page, scanCommand("cvnfb:DR-B", "{}"));
    QCOMPARE(job.paths(), QStringList({out + "/0004.tiff"}));
    QCOMPARE(job.end.value("Code").toInt(), 8);
    QCOMPARE(pagekit::checkPage(out + "/0001.tiff", expected(pagekit::ExpectedPage::Color, 8, 1, 300)), QString());
}

void ScanTest::busyServiceAnswers1009()
{
    Sandbox box;
    box.setDevices(Feeder.trimmed() + " line_delay_us=20000\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString busy = R"({"Cmd":"","Code":1009,"Data":"","DataType":"","Msg":"正在进行扫描，无法进行其他操作"})";
    page.send(scanCommand("cvnfa:DR-A", "{}"));
    page.send("CDEV");
    page.send("COPT|cvnfa:DR-A");
    page.send(scanCommand("cvnfa:DR-A", "{}"));
    page.send("CBASE64|" + box.tempImgDir() + "/missing");
    QVERIFY(page.waitForMessages(6));
    QCOMPARE(page.messages.mid(2, 3), QStringList({busy, busy, busy}));
    QCOMPARE(page.message(5).value("Cmd").toString(), QString("SBASE64"));

    // Another page meanwhile is refused with 1009 too, not 1011.
    PageClient other;
    other.socket.open(QUrl(box.url()));
    QTRY_VERIFY_WITH_TIMEOUT(other.closed, 10000);
    QCOMPARE(other.messages, QStringList{busy});

    QTRY_VERIFY_WITH_TIMEOUT(isEnd(page.message(page.messages.size() - 1)), 60000);
    QCOMPARE(page.message(page.messages.size() - 1).value("Cmd").toString(), QString("SSCANALL"));
    // Serving as usual once the job has ended.
    const int before = page.messages.size();
    page.send("CDEV");
    QVERIFY(page.waitForMessages(before + 1));
    QCOMPARE(page.message(before).value("Cmd").toString(), QString("SDEV"));
}

// A page that answers the end of a job at once is served, not told the
// service is still busy.
void ScanTest::servedRightAfterTheEnd()
{
    Sandbox box;
    box.setDevices("device cvnfa DR-A pages=1 width_px=16 height_px=16\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QObject::connect(&page.socket, &QWebSocket::textMessageReceived, &page, [&page](const QString &m) {
        if (m.contains("SSCANMUL") || m.contains("SSCANALL"))
            page.send("CDEV");
    });
    for (int job = 0; job < 10; ++job) {
        const int before = page.messages.size();
        page.send(scanCommand("cvnfa:DR-A", job % 2 ? R"({"FileType":"6"})" : R"({"FileType":"2"})"));
        QTRY_VERIFY_WITH_TIMEOUT(page.messages.mid(before).filter("SDEV\"").size() == 1, 30000);
        QVERIFY(page.messages.mid(before).filter("1009").isEmpty());
    }
}

void ScanTest::terminatedMidScan_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void ScanTest::terminatedMidScan()
{
    QFETCH(int, signalNumber);
    Sandbox box;
    // The backend resets SIGTERM's action in sane_start, as real ones do.
    box.setDevices("device cvnfa DR-A pages=50 reset_sigterm=1 line_delay_us=5000 "
                   + QString("width_px=%1 height_px=%2\n").arg(W).arg(H));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/t";
    page.send(scanCommand("cvnfa:DR-A", QString(R"({"FileType":"2","FilePath":"%1"})").arg(out)));
    QVERIFY(page.waitForMessages(4, 30000)); // two pages reported

    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(box.process().processId()), signalNumber);
    QVERIFY(box.process().waitForFinished(5000));
    if (signalNumber == SIGTERM) {
        QCOMPARE(box.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(box.process().exitCode(), 0);
        QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    }
    const QStringList written = QDir(out).entryList({"*.pnm"}, QDir::Files);
    QVERIFY(written.size() >= 2);

    // After a restart nothing is written over.
    box.setDevices(Feeder);
    PageClient again;
    QVERIFY(box.startWithPage(again));
    const Job job = runJob(again, scanCommand("cvnfa:DR-A", "{}"));
    QCOMPARE(job.reports.size(), 3);
    for (const QString &path : job.paths())
        QVERIFY2(!written.contains(QFileInfo(path).fileName()), qPrintable(path));
}

void ScanTest::deviceOutsideThePreload()
{
    Sandbox box;
    // The preload stops at the busy first device, so the second is never read.
    box.setDevices("device cvnfa BUSY open_status=3\n"
                   + QString("device cvnfb FLAT pages=3 width_px=%1 height_px=%2 source=Flatbed\n").arg(W).arg(H));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const Job job = runJob(page, scanCommand("cvnfb:FLAT", R"({"FileType":"2","mode":"Gray"})"));
    // Its options still apply, and its own source says flatbed: one page, and the job ends.
    QVERIFY(box.simLogLines().contains("set cvnfb:FLAT mode Gray"));
    QCOMPARE(job.reports.size(), 1);
    QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANALL"));
    QCOMPARE(pagekit::checkPage(job.paths().first(), expected(pagekit::ExpectedPage::Gray, 8, 1, 0)), QString());
}

void ScanTest::commaDecimalLocale()
{
    Sandbox box;
    box.setDevices(Feeder);
    box.setEnvironment("LC_ALL", "de_DE.UTF-8");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString out = box.root() + "/Ablage äöü";
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", QString(R"({"FileType":"6","FilePath":"%1",)"
                                                                    R"("paper-size":"Custom","br-x":"4.5"})").arg(out)));
    QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANMUL"));
    QVERIFY(box.simLogLines().contains("set cvnfa:DR-A br-x 4.5"));
    const QString pdf = out + "/0001.pdf";
    QVERIFY(!run("qpdf", {"--check", pdf}).isEmpty());
    QVERIFY(run("pdfinfo", {pdf}).contains(QRegularExpression("Pages:\\s+3\\n")));
    QVERIFY(!box.standardError().contains("locale"));
}

// A cleaner of the temporary folder may remove the work folder while the
// service runs, and someone else may make it anew, here as a link.
void ScanTest::scratchFolderReplacedWhileRunning()
{
    Sandbox box;
    box.setDevices(Feeder);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString command = scanCommand("cvnfa:DR-A", R"({"FileType":"6"})");
    QVERIFY(QDir(box.imgDir()).removeRecursively());
    Job job = runJob(page, command);
    QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANMUL"));
    QCOMPARE(QFileInfo(box.imgDir()).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);

    const QString outside = box.root() + "/outside";
    QVERIFY(QDir().mkpath(outside));
    QFile theirs(outside + "/theirs.tiff");
    QVERIFY(theirs.open(QIODevice::WriteOnly));
    theirs.close();
    QVERIFY(QDir(box.imgDir()).removeRecursively());
    QVERIFY(QFile::link(outside, box.imgDir()));
    job = runJob(page, command);
    QCOMPARE(job.end.value("Code").toInt(), 1007);
    QVERIFY(box.standardError().contains(box.imgDir() + " is no longer a private folder of this user"));
    QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{"theirs.tiff"});
}

QTEST_GUILESS_MAIN(ScanTest)
#include "tst_scan.moc"
