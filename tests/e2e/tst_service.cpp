// End-to-end: the real velloscan binary, the real libsane, the simulated
// backends, and a real WebSocket page.
#include "sandbox.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QString TwoScanners = "device cvnfa DR-A\ndevice cvnfb DR-B\n";

QString homeText(const Sandbox &box)
{
    return QString(R"({"Cmd":"HOME","Code":2001,"Data":"%1","DataType":"string","Msg":"操作成功"})")
        .arg(box.home());
}

QString codeOnly(int code, const QString &msg, const QString &cmd = QString())
{
    return QString(R"({"Cmd":"%1","Code":%2,"Data":"","DataType":"","Msg":"%3"})").arg(cmd).arg(code).arg(msg);
}

const QString NoScanner = "未找到扫描仪，请先获取扫描仪设备或检查扫描仪是否正确连接";

QString devicesDocument(const QStringList &names)
{
    QString devs;
    for (int i = 0; i < names.size(); ++i)
        devs += QString(R"(%1{"Index":%2,"Name":"%3"})").arg(i ? "," : "").arg(i).arg(names[i]);
    return QString::fromLatin1(QString(R"({"Devs":[%1]})").arg(devs).toUtf8().toBase64());
}

QString sdevText(const QStringList &names)
{
    return QString(R"({"Cmd":"SDEV","Code":2005,"Data":"%1","DataType":"json","Msg":"获取扫描仪列表成功"})")
        .arg(devicesDocument(names));
}

// The preload has read `count` devices when each of their opens was closed.
bool waitForPreload(const Sandbox &box, int count)
{
    return QTest::qWaitFor([&] { return box.simLogLines().filter(QRegularExpression("^close ")).size() >= count; },
                           10000);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray decodedData(const QJsonObject &message)
{
    return QByteArray::fromBase64(message.value("Data").toString().toLatin1());
}

int opens(const Sandbox &box, const QString &device)
{
    return box.simLogLines().count("open-start " + device);
}

// The binary messages a page receives, each with the number of text
// messages it had received before it.
struct BinaryLog {
    explicit BinaryLog(PageClient &page)
    {
        QObject::connect(&page.socket, &QWebSocket::binaryMessageReceived,
                         [this, &page](const QByteArray &bytes) { received.append({page.messages.size(), bytes}); });
    }
    QList<QPair<int, QByteArray>> received;
};

QByteArray fileBytes(const QString &path, qint64 offset, qint64 length)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.seek(offset) ? f.read(length) : QByteArray("unreadable");
}

QByteArray decodeOptionValues(const QJsonObject &sopt)
{
    return QByteArray::fromBase64(sopt.value("Data").toString().section('|', 0, 0).toLatin1());
}

} // namespace

class ServiceTest : public QObject
{
    Q_OBJECT
private slots:
    void greetingWithScanners();
    void offersOnlyTheMakersScannersInOrder();
    void secondPageIsRefused();
    void ignoredCommands();
    void optionsComeFromThePreload();
    void optionErrors();
    void optionsKeptUntilAJobOnTheDevice();
    void commandDuringSlowPreload();
    void base64OfScratchFiles();
    void base64RefusesOtherFiles();
    void base64ServesNothingThroughASwappedEntry();
    void base64OfLargeFiles();
    void oversizedMessageClosesOnlyThatPage();
    void chunkedReadsOfALargeFile();
    void chunkedReadsRefusedAndInOrder();
    void portFile_data();
    void portFile();
    void dataDirectoryPerDistribution_data();
    void dataDirectoryPerDistribution();
    void scratchDirectoriesEmptiedAtStart();
    void scratchFoldersTakenByOthers_data();
    void scratchFoldersTakenByOthers();
    void existingSettingsLeftUnchanged();
    void terminatesOnSignal_data();
    void terminatesOnSignal();
    void secondCopyLeavesTheFirstAlone();
    void portHeldElsewhereEndsTheStart();
};

void ServiceTest::greetingWithScanners()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QCOMPARE(page.messages[0], homeText(box));
    QCOMPARE(page.messages[1], sdevText({"cvnfa:DR-A", "cvnfb:DR-B"}));
    QVERIFY(!page.waitForMessages(3, 300)); // exactly two
    // What a newcomer reads in "systemctl --user status".
    const QString said = box.standardError();
    QVERIFY(said.contains(QRegularExpression("velloscan \\d+\\.\\d+ listening on \\S+ port \\d+ \\(")));
    QVERIFY(said.contains("2 scanner(s): cvnfa:DR-A, cvnfb:DR-B"));
    // Asked for its version or help, it answers and starts nothing.
    for (const QString arg : {"--version", "--help"}) {
        QProcess p;
        p.start(box.program(), {arg});
        QVERIFY(p.waitForFinished(10000) && p.exitCode() == 0);
        QVERIFY(p.readAllStandardOutput().startsWith(arg == QString("--version") ? "velloscan " : "Usage: velloscan"));
    }
}

void ServiceTest::offersOnlyTheMakersScannersInOrder()
{
    Sandbox box;
    box.setDevices("device webcamsim Cam-1\n"
                   "device cvnfa FA-1\ndevice cvnfa FA-2\n"
                   "device cvnfb FB-1\n"
                   "device cvnfc RX500\ndevice cvnfc RX300\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QStringList expected{"cvnfa:FA-1", "cvnfa:FA-2", "cvnfb:FB-1", "cvnfc:RX300"};
    QCOMPARE(devicesOf(page.message(1)), expected);

    // "CDEV" with an argument lists too; a device that went away drops out.
    box.setDevices("device cvnfb FB-1\n");
    page.send("CDEV|anything");
    QVERIFY(page.waitForMessages(3));
    QCOMPARE(page.messages[2], sdevText({"cvnfb:FB-1"}));
    // Only other makers' devices: 1003, as a page connecting to none is greeted.
    box.setDevices("device webcamsim Cam-1\ndevice cvnfc RX500\n");
    page.send("CDEV");
    QVERIFY(page.waitForMessages(4));
    QCOMPARE(page.messages[3], codeOnly(1003, NoScanner));
}

void ServiceTest::secondPageIsRefused()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    QVERIFY(box.start());
    PageClient first;
    QVERIFY(first.open(box.url()));
    QVERIFY(first.waitForMessages(2));

    PageClient second;
    QSignalSpy closed(&second.socket, &QWebSocket::disconnected);
    second.socket.open(QUrl(box.url()));
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(second.messages,
             QStringList{codeOnly(1011, "服务端只允许一个客户端进行连接")});
    QCOMPARE(second.socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);

    first.send("CDEV");
    QVERIFY(first.waitForMessages(3));
    QCOMPARE(first.message(2).value("Cmd").toString(), QString("SDEV"));
}

void ServiceTest::ignoredCommands()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    for (const char *ignored : {"cdev", "", "HELLO", " CDEV", "CDEV ", "CBASE64", "|CDEV"})
        page.send(ignored);
    page.socket.sendBinaryMessage("CDEV");
    page.send("COPT|");
    QVERIFY(page.waitForMessages(3));
    // The first answer is the one to "COPT|": nothing before it was answered.
    QCOMPARE(page.messages[2], codeOnly(1004, "未选择扫描仪"));
    QVERIFY(!page.waitForMessages(4, 300));
}

void ServiceTest::optionsComeFromThePreload()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    QVERIFY(box.start());
    QVERIFY(waitForPreload(box, 2));
    const int logged = box.simLogLines().size();

    PageClient page;
    QVERIFY(page.open(box.url()));
    QVERIFY(page.waitForMessages(2));
    page.send("COPT|cvnfb:DR-B");
    QVERIFY(page.waitForMessages(3));
    const QJsonObject sopt = page.message(2);
    QCOMPARE(sopt.value("Cmd").toString(), QString("SOPT"));
    QCOMPARE(sopt.value("Code").toInt(), 2006);
    QCOMPARE(sopt.value("Msg").toString(), QString("获取参数设置成功"));
    QCOMPARE(sopt.value("DataType").toString(), QString("json"));
    // No SANE call was made for it.
    QCOMPARE(box.simLogLines().size(), logged);

    const QJsonObject values = QJsonDocument::fromJson(decodeOptionValues(sopt)).object();
    QVERIFY(values.value("mode").isString());
    QVERIFY(values.contains("resolution"));
    QVERIFY(values.contains("source"));
    const QByteArray options =
        QByteArray::fromBase64(sopt.value("Data").toString().section('|', 1, 1).toLatin1());
    const QJsonArray list = QJsonDocument::fromJson(options).object().value("Options").toArray();
    QCOMPARE(list.size(), values.size());

    // "COPT" without a device uses the one of the previous command.
    page.send("COPT");
    QVERIFY(page.waitForMessages(4));
    QCOMPARE(page.messages[3], page.messages[2]);
    QCOMPARE(box.simLogLines().size(), logged);
}

void ServiceTest::optionErrors()
{
    Sandbox box;
    // The busy first scanner stops the preload: the others are read when asked.
    box.setDevices("device cvnfa Busy open_status=3\ndevice cvnfa DR-A\ndevice cvnfb Denied open_status=11\n"
                   "device webcamsim Cam\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QVERIFY(QTest::qWaitFor([&] { return box.simLogLines().contains("open cvnfa:Busy 3"); }, 10000));

    page.send("COPT|");
    QVERIFY(page.waitForMessages(3));
    QCOMPARE(page.messages[2], codeOnly(1004, "未选择扫描仪"));

    // Read directly; then a name that is not in the last list: no device,
    // whatever was open before.
    const int logged = box.simLogLines().size();
    page.send("COPT|cvnfa:DR-A");
    page.send("COPT|cvnfa:Nowhere");
    page.send("COPT|CVNFA:DR-A");
    QVERIFY(page.waitForMessages(6));
    QCOMPARE(page.message(3).value("Code").toInt(), 2006);
    QVERIFY(box.simLogLines().mid(logged).contains("open cvnfa:DR-A 0"));
    QCOMPARE(page.messages[4], codeOnly(12, "未找到扫描仪.请先获取扫描仪."));
    QCOMPARE(page.messages[5], codeOnly(12, "未找到扫描仪.请先获取扫描仪."));

    page.send("COPT|cvnfb:Denied");
    page.send("COPT|cvnfa:Busy");
    QVERIFY(page.waitForMessages(8));
    QCOMPARE(page.messages[6], codeOnly(11, "资源存取被禁止.请重启电脑."));
    QCOMPARE(page.messages[7], codeOnly(3, "装置忙碌.请重启扫描仪."));

    // SANE knows the camera, but the service never offers it: not there for the page.
    page.send("COPT|webcamsim:Cam");
    QVERIFY(page.waitForMessages(9));
    QCOMPARE(page.messages[8], codeOnly(12, "未找到扫描仪.请先获取扫描仪."));
    QVERIFY(!box.simLogLines().contains("open-start webcamsim:Cam"));
}

// Listing again and asking again opens nothing; a job on a device makes its
// options be read afresh, and only its own.
void ServiceTest::optionsKeptUntilAJobOnTheDevice()
{
    Sandbox box;
    box.setDevices("device cvnfa DR-A pages=1 width_px=40 height_px=40\ndevice cvnfb DR-B\n");
    QVERIFY(box.start());
    QVERIFY(waitForPreload(box, 2));
    PageClient page;
    QVERIFY(page.open(box.url()));
    QVERIFY(page.waitForMessages(2));
    const int logged = box.simLogLines().size();
    page.send("CDEV");
    page.send("CDEV");
    page.send("COPT|cvnfa:DR-A");
    QVERIFY(page.waitForMessages(5));
    QCOMPARE(page.messages[2], sdevText({"cvnfa:DR-A", "cvnfb:DR-B"}));
    QCOMPARE(page.messages[3], page.messages[2]);
    const QString before = page.messages[4];
    QCOMPARE(page.message(4).value("Code").toInt(), 2006);
    QCOMPARE(box.simLogLines().mid(logged).filter(QRegularExpression("^open")), QStringList());

    page.send(R"(CSCAN|cvnfa:DR-A|{"FileType":"2"})");
    QTRY_VERIFY_WITH_TIMEOUT(page.messages.last().contains("SSCANALL"), 30000);
    const int afterJob = opens(box, "cvnfa:DR-A");
    page.send("COPT|cvnfa:DR-A");
    page.send("COPT|cvnfa:DR-A");
    page.send("CDEV");
    page.send("COPT|cvnfb:DR-B");
    const int sent = page.messages.size();
    QVERIFY(page.waitForMessages(sent + 4));
    QCOMPARE(opens(box, "cvnfa:DR-A"), afterJob + 1);
    QCOMPARE(opens(box, "cvnfb:DR-B"), 1);
    QCOMPARE(page.messages[sent], before);
    QCOMPARE(page.messages[sent + 1], before);
}

void ServiceTest::commandDuringSlowPreload()
{
    Sandbox box;
    box.setDevices("device cvnfa Slow-1 open_delay_ms=400\ndevice cvnfb Slow-2 open_delay_ms=400\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    // Sent while the preload is still opening the slow scanners.
    page.send("CDEV");
    page.send("COPT|cvnfb:Slow-2");
    QVERIFY(page.waitForMessages(4, 20000));
    QCOMPARE(page.messages[2], sdevText({"cvnfa:Slow-1", "cvnfb:Slow-2"}));
    QCOMPARE(page.message(3).value("Code").toInt(), 2006);

    // SANE was never used by two threads at once: each open is finished and
    // closed before the next call starts. "CDEV" waited for the preload and
    // found both read.
    QVERIFY(waitForPreload(box, 2));
    const QStringList log = box.simLogLines();
    QString openDevice;
    for (const QString &line : log) {
        if (line.startsWith("open-start ")) {
            QVERIFY2(openDevice.isEmpty(), qPrintable(log.join('\n')));
            openDevice = line.section(' ', 1, 1);
        } else if (line.startsWith("close ")) {
            QCOMPARE(line.section(' ', 1, 1), openDevice);
            openDevice.clear();
        } else if (line.startsWith("devices ")) {
            QVERIFY2(openDevice.isEmpty(), qPrintable(log.join('\n')));
        }
    }
}

void ServiceTest::base64OfScratchFiles()
{
    Sandbox box;
    // The output folder stored in the settings is the page's choice: a file
    // there that this service did not write is not served.
    const QString outDir = box.root() + "/scans out";
    QDir().mkpath(outDir);
    QDir().mkpath(box.dataDir());
    QFile ini(box.dataDir() + "/SysConfig.ini");
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Scanner]\nImgPath=" + outDir.toUtf8() + "\n");
    ini.close();
    PageClient page;
    QVERIFY(box.startWithPage(page));

    QByteArray content;
    for (int i = 0; i < 1000; ++i)
        content.append(char(i * 7));
    const QString plain = box.tempImgDir() + "/page0001.tiff";
    const QString spaced = box.imgDir() + "/my page.tiff";
    QFile f(plain);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    QVERIFY(QFile::copy(plain, spaced));
    const QString stored = outDir + "/scan0001.tiff";
    QVERIFY(QFile::copy(plain, stored));

    // Standard alphabet, 76 characters a line, no final newline.
    QString expected;
    const QString flat = QString::fromLatin1(content.toBase64());
    for (int at = 0; at < flat.size(); at += 76)
        expected += (at ? "\n" : "") + flat.mid(at, 76);

    page.send("CBASE64|" + plain);
    page.send("CBASE64|" + spaced);
    page.send("CBASE64|" + stored);
    page.send("CBASE64|" + box.tempImgDir() + "/missing.tiff");
    QVERIFY(page.waitForMessages(6));
    const QString reply = R"({"Cmd":"SBASE64","Code":2007,"Data":"%1","DataType":"base64","Msg":"转换base64字符串成功"})";
    QCOMPARE(page.messages.mid(2), QStringList({reply.arg(QString(expected).replace("\n", "\\n")),
                                                reply.arg(QString(expected).replace("\n", "\\n")), reply.arg(""),
                                                reply.arg("")}));
    QVERIFY(box.standardError().contains("refused to read " + stored));
    QVERIFY(!box.standardError().contains("missing.tiff"));
}

void ServiceTest::base64RefusesOtherFiles()
{
    Sandbox box;
    PageClient page;
    QVERIFY(box.startWithPage(page));

    const QString secret = box.home() + "/.ssh-key";
    QFile f(secret);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("private");
    f.close();
    // A link inside a scratch directory must not lead out of it.
    QVERIFY(QFile::link(secret, box.tempImgDir() + "/link.tiff"));
    // A sibling whose name merely begins like a scratch directory is not one.
    const QString sibling = box.tmp() + "/tempvelloscanimg-other/page.tiff";
    QDir().mkpath(box.tmp() + "/tempvelloscanimg-other");
    QVERIFY(QFile::copy(secret, sibling));

    const QStringList refused{secret, box.tempImgDir() + "/../../home/.ssh-key", box.tempImgDir() + "/link.tiff",
                              box.tempImgDir(), sibling};
    for (const QString &path : refused)
        page.send("CBASE64|" + path);
    QVERIFY(page.waitForMessages(2 + refused.size()));
    for (int i = 0; i < refused.size(); ++i)
        QCOMPARE(page.message(2 + i).value("Data").toString(), QString());
    QTRY_COMPARE(box.standardError().count("refused to read"), refused.size());
}

// The entry a page names is swapped for a link out of the scratch folder, or
// its folder for one, over and over while the page asks for it: whatever
// the timing, no byte from outside is served.
void ServiceTest::base64ServesNothingThroughASwappedEntry()
{
    Sandbox box;
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString outside = box.root() + "/outside";
    const QString scratch = box.tempImgDir();
    QVERIFY(QDir().mkpath(outside + "/dir") && QDir().mkpath(scratch + "/dir"));
    QVERIFY(writeFile(outside + "/page.tiff", "OUTSIDE") && writeFile(outside + "/dir/page.tiff", "OUTSIDE"));
    QVERIFY(writeFile(scratch + "/page.tiff", "INSIDE") && writeFile(scratch + "/dir/page.tiff", "INSIDE"));
    QVERIFY(QFile::link(outside + "/page.tiff", scratch + "/page.alt"));
    QVERIFY(QFile::link(outside + "/dir", scratch + "/dir.alt"));

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        const QByteArray file = QFile::encodeName(scratch + "/page.tiff");
        const QByteArray fileAlt = QFile::encodeName(scratch + "/page.alt");
        const QByteArray dir = QFile::encodeName(scratch + "/dir");
        const QByteArray dirAlt = QFile::encodeName(scratch + "/dir.alt");
        while (!stop) {
            // An atomic exchange: the name always exists, as a file or as a link.
            if (::renameat2(AT_FDCWD, file, AT_FDCWD, fileAlt, RENAME_EXCHANGE) == 0
                && ::renameat2(AT_FDCWD, dir, AT_FDCWD, dirAlt, RENAME_EXCHANGE) == 0)
                ++swaps;
        }
    });
    int inside = 0;
    int refused = 0;
    for (int batch = 0; batch < 30; ++batch) {
        const int first = page.messages.size();
        for (int i = 0; i < 100; ++i)
            page.send("CBASE64|" + scratch + (i % 2 ? "/page.tiff" : "/dir/page.tiff"));
        if (!page.waitForMessages(first + 100))
            break;
        for (int i = first; i < first + 100; ++i) {
            const QByteArray data = decodedData(page.message(i));
            QVERIFY2(data.isEmpty() || data == "INSIDE", data.constData());
            ++(data.isEmpty() ? refused : inside);
        }
    }
    stop = true;
    swapper.join();
    QCOMPARE(inside + refused, 3000);
    // Both outcomes occurred, so the swaps did meet the requests.
    QVERIFY2(inside > 0 && refused > 0, qPrintable(QString("%1 served, %2 refused, %3 swaps")
                                                       .arg(inside).arg(refused).arg(swaps.load())));
}

// A large file is encoded beside the event loop and still answered in the
// order asked; one over the limit is answered as a missing file.
void ServiceTest::base64OfLargeFiles()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    // Sparse: the bytes read as zeros and take no disk.
    const qint64 limit = 256 * 1024 * 1024;
    const qint64 large = 128 * 1024 * 1024;
    const QString tooLarge = box.tempImgDir() + "/too-large.tiff";
    const QString largeFile = box.tempImgDir() + "/large.tiff";
    for (const auto &file : {qMakePair(tooLarge, limit + 1), qMakePair(largeFile, large)}) {
        QFile f(file.first);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(file.second));
    }

    page.send("CBASE64|" + tooLarge);
    QVERIFY(page.waitForMessages(3));
    QCOMPARE(page.message(2).value("Data").toString(), QString());
    QTRY_VERIFY(box.standardError().contains(
        QString("not sending %1 as Base64: it holds %2 bytes").arg(tooLarge).arg(limit + 1)));

    // A ping sent after the request is answered before the text: the event
    // loop kept serving. The command after it waits, so replies keep order.
    int messagesAtPong = -1;
    QObject::connect(&page.socket, &QWebSocket::pong, [&] { messagesAtPong = page.messages.size(); });
    page.send("CBASE64|" + largeFile);
    page.socket.ping();
    page.send("CDEV");
    QVERIFY(page.waitForMessages(5, 60000));
    QCOMPARE(messagesAtPong, 3);
    QCOMPARE(page.message(3).value("Cmd").toString(), QString("SBASE64"));
    QCOMPARE(decodedData(page.message(3)), QByteArray(int(large), '\0'));
    QCOMPARE(page.message(4).value("Cmd").toString(), QString("SDEV"));

    // Ended while a large text is being made: a clean exit all the same.
    page.send("CBASE64|" + largeFile);
    QCOMPARE(box.terminate(), 0);
}

void ServiceTest::oversizedMessageClosesOnlyThatPage()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    page.send("CBASE64|" + QString(2 * 1024 * 1024, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(page.closed, 10000);
    QCOMPARE(page.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);

    PageClient next;
    QVERIFY(next.open(box.url()));
    QVERIFY(next.waitForMessages(2));
    next.send("CDEV");
    QVERIFY(next.waitForMessages(3));
    QCOMPARE(next.message(2).value("Code").toInt(), 2005);
}

long residentKiB(Sandbox &box, const char *field)
{
    QFile status(QString("/proc/%1/status").arg(box.process().processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// A sparse file past the Base64 limit, with marks at the ends and across the
// piece boundaries, asked for all at once (the first request over-long): each
// piece comes right after its description, the pieces make up the file, and
// the service never holds much of it.
void ServiceTest::chunkedReadsOfALargeFile()
{
    Sandbox box;
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const qint64 piece = 4 * 1024 * 1024;
    const qint64 size = 256 * 1024 * 1024 + 12345;
    const QString path = box.tempImgDir() + "/document.pdf";
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(size));
        for (qint64 at : {qint64(0), piece - 3, 17 * piece - 1, 64 * piece, size - 7})
            QVERIFY(f.seek(at) && f.write("MARK" + QByteArray::number(at)) > 0);
        QVERIFY(f.resize(size));
    }
    [[maybe_unused]] const long idleKiB = residentKiB(box, "VmRSS:");

    const int pieces = int((size + piece - 1) / piece);
    int received = 0;
    QString wrong;
    QObject::connect(&page.socket, &QWebSocket::binaryMessageReceived, [&](const QByteArray &bytes) {
        const int index = received++;
        const qint64 offset = index * piece;
        const qint64 length = qMin(piece, size - offset);
        const QByteArray description = QString(R"({"Length":%1,"Offset":%2,"Path":"%3","Size":%4})")
                                           .arg(length).arg(offset).arg(path).arg(size).toUtf8();
        const int header = 2 + index;
        if (!wrong.isEmpty() || index >= pieces)
            return;
        if (page.messages.size() != header + 1 || page.message(header).value("Cmd") != "SREAD")
            wrong = QString("piece %1 not right after its SREAD").arg(index);
        else if (decodedData(page.message(header)) != description)
            wrong = "described as " + decodedData(page.message(header));
        else if (bytes != fileBytes(path, offset, length))
            wrong = QString("piece %1 differs").arg(index);
    });
    for (int i = 0; i < pieces; ++i)
        page.send(QString("CREAD|%1|%2|%3").arg(path).arg(i * piece).arg(i ? piece : 3 * piece));
    QTRY_COMPARE_WITH_TIMEOUT(received, pieces, 120000);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
#ifndef __SANITIZE_ADDRESS__ // whose allocator holds freed memory back on purpose
    const long above = residentKiB(box, "VmHWM:") - idleKiB;
    QVERIFY2(above < 64 * 1024, qPrintable(QString("%1 KiB above idle").arg(above)));
#endif

    // A page that leaves while its reads wait does not leave the next one unanswered.
    for (int i = 0; i < pieces; ++i)
        page.send(QString("CREAD|%1|%2|%3").arg(path).arg(i * piece).arg(piece));
    QTRY_VERIFY(received > pieces + 1);
    page.socket.abort();
    PageClient next;
    QTRY_VERIFY_WITH_TIMEOUT(next.open(box.url(), 2000) && next.waitForMessages(2, 2000), 10000);
    const int greeted = next.messages.size();
    next.send(QString("CREAD|%1|0|1").arg(path));
    QVERIFY(next.waitForMessages(greeted + 1));
    QCOMPARE(next.message(greeted).value("Cmd").toString(), QString("SREAD"));
}

// Missing, refused and malformed requests get the reply of a missing file
// and no bytes; reads and Base64 replies come back in the order asked.
void ServiceTest::chunkedReadsRefusedAndInOrder()
{
    Sandbox box;
    PageClient page;
    QVERIFY(box.startWithPage(page));
    BinaryLog binaries(page);
    const QString file = box.tempImgDir() + "/a|b.tiff";
    const QString plain = box.tempImgDir() + "/page.tiff";
    QVERIFY(writeFile(file, "0123456789") && writeFile(plain, "0123456789"));
    const QString secret = box.home() + "/secret";
    QVERIFY(writeFile(secret, "private"));
    QVERIFY(QFile::link(secret, box.tempImgDir() + "/link.tiff"));

    const QStringList refused{"CREAD|" + secret + "|0|4", "CREAD|" + box.tempImgDir() + "/link.tiff|0|4",
                              "CREAD|" + box.tempImgDir() + "/none|0|4", "CREAD|" + file + QChar(0) + "|0|4",
                              "CREAD|" + file + "|-1|4", "CREAD|" + file + "|0|x", "CREAD|" + file + "|0|",
                              "CREAD|" + file, "CREAD"};
    for (const QString &request : refused)
        page.send(request);
    page.send("CBASE64|" + plain);
    page.send("CREAD|" + file + "|2|3");
    page.send("CBASE64|" + box.tempImgDir() + "/none");
    page.send("CREAD|" + file + "|8|100");
    page.send("CREAD|" + file + "|11|100"); // past the end: nothing, but a binary message all the same
    const int first = 2;
    QVERIFY(page.waitForMessages(first + refused.size() + 5));
    const QString missing = R"({"Cmd":"SBASE64","Code":2007,"Data":"","DataType":"base64","Msg":"转换base64字符串成功"})";
    for (int i = 0; i < refused.size(); ++i)
        QVERIFY2(page.messages[first + i] == missing, qPrintable(refused[i]));
    const int after = first + refused.size();
    QCOMPARE(decodedData(page.message(after)), QByteArray("0123456789"));
    QCOMPARE(page.message(after + 1).value("Cmd").toString(), QString("SREAD"));
    QCOMPARE(page.messages[after + 2], missing);
    QCOMPARE(page.message(after + 3).value("Cmd").toString(), QString("SREAD"));
    const QString pastTheEnd = R"({"Length":0,"Offset":11,"Path":"%1","Size":10})";
    QCOMPARE(decodedData(page.message(after + 4)), pastTheEnd.arg(file).toUtf8());
    QTRY_COMPARE(binaries.received.size(), 3);
    QCOMPARE(binaries.received[0], qMakePair(after + 2, QByteArray("234")));
    QCOMPARE(binaries.received[1], qMakePair(after + 4, QByteArray("89")));
    QCOMPARE(binaries.received[2], qMakePair(after + 5, QByteArray()));
    QTRY_COMPARE(box.standardError().count("refused to read"), 2);

    // Offered to pages that ask what this copy can do.
    page.send("CVER");
    QVERIFY(page.waitForMessages(after + 6));
    QVERIFY(decodedData(page.message(after + 5)).contains(R"("read"])"));
}

void ServiceTest::portFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("defaultPort");
    QTest::newRow("missing") << QByteArray() << false << true;
    QTest::newRow("number and newline") << QByteArray("PORT\n") << true << false;
    QTest::newRow("blanks around") << QByteArray("  PORT \n") << true << false;
    QTest::newRow("letters") << QByteArray("abc\n") << true << true;
    QTest::newRow("empty") << QByteArray("") << true << true;
    QTest::newRow("out of range") << QByteArray("70000\n") << true << true;
}

void ServiceTest::portFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, present);
    QFETCH(bool, defaultPort);
    Sandbox box;
    const quint16 chosen = Sandbox::freePort();
    if (present)
        box.writePortFile(content.replace("PORT", QByteArray::number(chosen)));
    else
        box.removePortFile();
    box.usePort(defaultPort ? 23165 : chosen);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QCOMPARE(page.message(0).value("Cmd").toString(), QString("HOME"));
}

void ServiceTest::dataDirectoryPerDistribution_data()
{
    QTest::addColumn<QByteArray>("lsbOutput");
    QTest::addColumn<bool>("toolPresent");
    QTest::addColumn<QString>("dataDir");
    QTest::newRow("Uos") << QByteArray("Distributor ID:\tUos\n") << true << "/.config/com.corvane.velloscan";
    QTest::newRow("Kylin") << QByteArray("Distributor ID:\tKylin\n") << true << "/.velloscan";
    QTest::newRow("other") << QByteArray("Distributor ID:\tDebian\n") << true << "/.velloscan";
    QTest::newRow("lower-case uos") << QByteArray("Distributor ID:\tuos\n") << true << "/.velloscan";
    QTest::newRow("no tool") << QByteArray() << false << "/.velloscan";
}

void ServiceTest::dataDirectoryPerDistribution()
{
    QFETCH(QByteArray, lsbOutput);
    QFETCH(bool, toolPresent);
    QFETCH(QString, dataDir);
    Sandbox box;
    QDir().mkpath(box.home() + "/.config");
    if (toolPresent)
        box.writeTool("lsb_release", lsbOutput);
    else
        box.removeTool("lsb_release");
    QVERIFY(box.start());
    const QString ini = box.home() + dataDir + "/SysConfig.ini";
    QVERIFY(QFile::exists(ini));
    QCOMPARE(QFileInfo(ini).size(), qint64(0));
    const QString otherDir = dataDir == "/.velloscan" ? "/.config/com.corvane.velloscan" : "/.velloscan";
    QVERIFY(!QFile::exists(box.home() + otherDir));
}

void ServiceTest::scratchDirectoriesEmptiedAtStart()
{
    Sandbox box;
    const QString outside = box.root() + "/outside";
    QStringList planted;
    for (const QString &dir : {box.imgDir(), box.tempImgDir()}) {
        QDir().mkpath(dir + "/nested/deeper");
        QDir().mkpath(dir + "/.hidden-dir");
        planted << dir + "/page.tiff" << dir + "/.hidden" << dir + "/nested/a.pnm"
                << dir + "/nested/deeper/b.jpg" << dir + "/.hidden-dir/c.png";
    }
    QDir().mkpath(outside);
    planted << outside + "/keep.txt";
    for (const QString &path : planted) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    // The service must empty its own directories, not what a link points at.
    QVERIFY(QFile::link(outside, box.imgDir() + "/nested/link-to-outside"));

    QVERIFY(box.start());
    for (const QString &path : planted.mid(0, planted.size() - 1))
        QVERIFY2(!QFile::exists(path), qPrintable(path));
    QVERIFY(QFile::exists(outside + "/keep.txt"));
    QVERIFY(!QFileInfo(box.imgDir() + "/nested/link-to-outside").isSymLink());
    for (const QString &dir : {box.imgDir(), box.tempImgDir()}) {
        QVERIFY(QFileInfo(dir + "/nested/deeper").isDir());
        QVERIFY(QFileInfo(dir + "/.hidden-dir").isDir());
    }
}

void ServiceTest::scratchFoldersTakenByOthers_data()
{
    QTest::addColumn<QString>("taken");
    QTest::addColumn<bool>("perUserTaken");
    QTest::newRow("links to another folder") << "link" << false;
    QTest::newRow("folders of another user") << "other owner" << false;
    QTest::newRow("per-user names taken too") << "link" << true;
    QTest::newRow("own folders open to all") << "wide mode" << false;
}

// Another local user can make the scratch folders before us. Their files
// stay, and our pages go to folders only we can enter, named to the page.
void ServiceTest::scratchFoldersTakenByOthers()
{
    QFETCH(QString, taken);
    QFETCH(bool, perUserTaken);
    Sandbox box;
    box.setDevices("device cvnfa DR-A pages=1 width_px=48 height_px=40\n");
    // Older copies stored the default output folder by its fixed name.
    QVERIFY(box.writeSettings("[Scanner]\nImgPath=" + box.tempImgDir().toUtf8() + "\n"));
    const QString outside = box.root() + "/outside";
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(writeFile(outside + "/theirs.txt", "theirs"));
    const QString uid = QString::number(::geteuid());
    QStringList names{box.imgDir(), box.tempImgDir()};
    QStringList planted;
    for (const QString &name : names) {
        if (taken == "link") {
            QVERIFY(QFile::link(outside, name));
        } else {
            QVERIFY(QDir().mkpath(name));
            QVERIFY(writeFile(name + "/planted.txt", "planted"));
            planted << name + "/planted.txt";
            if (taken == "wide mode")
                QVERIFY(::chmod(QFile::encodeName(name), 0777) == 0);
            else if (::chown(QFile::encodeName(name), 65534, 65534) != 0)
                QSKIP("only root can give a folder to another user");
        }
        if (perUserTaken)
            QVERIFY(QFile::link(outside, name + "-" + uid));
    }

    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString errors = box.standardError();
    QStringList used;
    for (const QString &name : names) {
        const QRegularExpression said(QRegularExpression::escape(name) + " is not a private folder of this user "
                                      "\\(.+\\); using (\\S+) instead\n");
        const QRegularExpressionMatch match = said.match(errors);
        used << (match.hasMatch() ? match.captured(1) : name);
        if (taken == "wide mode")
            QCOMPARE(used.last(), name);
        else if (perUserTaken)
            QVERIFY2(used.last().startsWith(name + "-" + uid + "-"), qPrintable(errors));
        else
            QCOMPARE(used.last(), name + "-" + uid);
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(used.last()), &st) == 0 && S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::geteuid());
        QCOMPARE(st.st_mode & 07777, 0700u);
    }
    QVERIFY(QFile::exists(outside + "/theirs.txt"));
    // Our own folder is ours to empty; another user's files are left alone.
    for (const QString &file : planted)
        QCOMPARE(QFile::exists(file), taken == "other owner");

    // A one-page PDF job: the page is scanned into the work folder, the PDF
    // goes to the default output folder, and the page may read it back.
    page.send(R"(CSCAN|cvnfa:DR-A|{"FileType":"5"})");
    QVERIFY(page.waitForMessages(4, 30000));
    QCOMPARE(page.message(2).value("Data").toString(), "pdf|" + used[1] + "/0001.pdf");
    QVERIFY(QFile::exists(used[0] + "/0001.tiff"));
    page.send("CBASE64|" + used[1] + "/0001.pdf");
    QVERIFY(page.waitForMessages(5));
    QVERIFY(decodedData(page.message(4)).startsWith("%PDF"));
}

void ServiceTest::existingSettingsLeftUnchanged()
{
    Sandbox box;
    QDir().mkpath(box.dataDir());
    const QByteArray settings = "[Scanner]\nImgPath=/somewhere/else\nPrefix=scan\nImageFormat=jpg\n"
                                "ScanCount=17\nScanMinCountSize=6\n; a remark\n";
    QFile f(box.dataDir() + "/SysConfig.ini");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(settings);
    f.close();
    QVERIFY(box.start());
    QCOMPARE(box.terminate(), 0);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), settings);
}

void ServiceTest::terminatesOnSignal_data()
{
    QTest::addColumn<bool>("withPage");
    QTest::newRow("idle") << false;
    QTest::newRow("page connected") << true;
}

void ServiceTest::terminatesOnSignal()
{
    QFETCH(bool, withPage);
    Sandbox box;
    box.setDevices(TwoScanners);
    QVERIFY(box.start());
    PageClient page;
    if (withPage) {
        QVERIFY(page.open(box.url()));
        QVERIFY(page.waitForMessages(2));
    }
    QCOMPARE(box.terminate(5000), 0);
    if (withPage)
        QTRY_VERIFY(page.closed);
}

void ServiceTest::secondCopyLeavesTheFirstAlone()
{
    Sandbox box;
    box.setDevices(TwoScanners);
    PageClient page;
    QVERIFY(box.startWithPage(page));
    // Pages the first copy has scanned and not yet handed over.
    const QStringList pages{box.imgDir() + "/work.tiff", box.tempImgDir() + "/page0001.tiff"};
    for (const QString &path : pages) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    QString errors;
    QCOMPARE(box.runCopy(&errors), 1);
    QVERIFY2(errors.contains("another copy already runs for this user"), qPrintable(errors));
    for (const QString &path : pages)
        QVERIFY2(QFile::exists(path), qPrintable(path));
    page.send("CDEV");
    QVERIFY(page.waitForMessages(3));
    QCOMPARE(page.message(2).value("Cmd").toString(), QString("SDEV"));

    // The lock goes with the first copy: the next start is a normal one.
    QCOMPARE(box.terminate(), 0);
    QVERIFY(box.start());
    for (const QString &path : pages)
        QVERIFY2(!QFile::exists(path), qPrintable(path));
}

void ServiceTest::portHeldElsewhereEndsTheStart()
{
    Sandbox box;
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, box.port()));
    QString errors;
    QCOMPARE(box.runCopy(&errors), 1);
    QVERIFY2(errors.contains(QString("cannot listen on port %1").arg(box.port())), qPrintable(errors));
}

QTEST_MAIN(ServiceTest)
#include "tst_service.moc"
