// The protocol's pure pieces: texts, envelope, devices document, Base64
// layout, device filter, port parsing, what a message from the page asks for.
#include "protocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void customTexts_data();
    void customTexts();
    void saneTexts_data();
    void saneTexts();
    void envelope_data();
    void envelope();
    void devicesDocument_data();
    void devicesDocument();
    void base64Layout_data();
    void base64Layout();
    void offeredDevices_data();
    void offeredDevices();
    void port_data();
    void port();
    void commands_data();
    void commands();
    void counts_data();
    void counts();
};

void ProtocolTest::customTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("1001") << 1001 << "获取扫描仪设备失败";
    QTest::newRow("1003") << 1003 << "未找到扫描仪，请先获取扫描仪设备或检查扫描仪是否正确连接";
    QTest::newRow("1004") << 1004 << "未选择扫描仪";
    QTest::newRow("1009") << 1009 << "正在进行扫描，无法进行其他操作";
    QTest::newRow("1011") << 1011 << "服务端只允许一个客户端进行连接";
    QTest::newRow("1012") << 1012 << "扫描时验证扫描参数错误";
    QTest::newRow("2001") << 2001 << "操作成功";
    QTest::newRow("2003") << 2003 << "扫描完所有图像，已生成多页文件";
    QTest::newRow("2007") << 2007 << "转换base64字符串成功";
    QTest::newRow("unknown") << 1234 << "未知错误";
    QTest::newRow("zero") << 0 << "未知错误";
    QTest::newRow("2008") << 2008 << "获取服务版本成功";
    QTest::newRow("2012") << 2012 << "读取文件成功";
    QTest::newRow("2014") << 2014 << "未知错误";
}

void ProtocolTest::customTexts()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(Reply::CustomText(code), text);
}

void ProtocolTest::saneTexts_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("good") << 0 << "正常";
    QTest::newRow("busy") << 3 << "装置忙碌.请重启扫描仪.";
    QTest::newRow("jammed") << 6 << "文档获取器阻塞.请打开盖子，取出纸张.";
    QTest::newRow("no docs") << 7 << "文档获取器无纸张.请放入纸张.";
    QTest::newRow("denied") << 11 << "资源存取被禁止.请重启电脑.";
    QTest::newRow("no device") << 12 << "未找到扫描仪.请先获取扫描仪.";
    QTest::newRow("13") << 13 << "未知错误.";
    QTest::newRow("negative") << -1 << "未知错误.";
}

void ProtocolTest::saneTexts()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    QCOMPARE(Reply::SaneStatusText(status), text);
}

void ProtocolTest::envelope_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QString>("text");
    QTest::newRow("home") << "HOME" << 2001 << "/home/刘 伟" << "string"
                          << R"({"Cmd":"HOME","Code":2001,"Data":"/home/刘 伟","DataType":"string","Msg":"操作成功"})";
    QTest::newRow("error") << "" << 1004 << "" << ""
                           << R"({"Cmd":"","Code":1004,"Data":"","DataType":"","Msg":"未选择扫描仪"})";
    QTest::newRow("quotes and lines") << "SBASE64" << 2007 << "a\"b\nc\\d" << "base64"
                                      << R"({"Cmd":"SBASE64","Code":2007,"Data":"a\"b\nc\\d","DataType":"base64","Msg":"转换base64字符串成功"})";
}

void ProtocolTest::envelope()
{
    QFETCH(QString, cmd);
    QFETCH(int, code);
    QFETCH(QString, data);
    QFETCH(QString, dataType);
    QFETCH(QString, text);
    RetMsg msg;
    msg.cmd = cmd;
    msg.code = code;
    msg.msg = Reply::CustomText(code);
    msg.data = data;
    msg.dataType = dataType;
    QCOMPARE(Protocol::Serialize(msg), text);
}

void ProtocolTest::devicesDocument_data()
{
    QTest::addColumn<QVector<QString>>("devices");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("two") << QVector<QString>{"cvnfa:DR-1", "cvnfb:DR-2"}
                         << QByteArray(R"({"Devs":[{"Index":0,"Name":"cvnfa:DR-1"},{"Index":1,"Name":"cvnfb:DR-2"}]})");
    QTest::newRow("none") << QVector<QString>{} << QByteArray(R"({"Devs":[{"Index":0,"Name":""}]})");
}

void ProtocolTest::devicesDocument()
{
    QFETCH(QVector<QString>, devices);
    QFETCH(QByteArray, json);
    const QString doc = Protocol::WriteDevicesJson(devices);
    QVERIFY(!doc.contains('\n'));
    QCOMPARE(QByteArray::fromBase64(doc.toLatin1()), json);
    QCOMPARE(doc, QString::fromLatin1(json.toBase64()));
}

void ProtocolTest::base64Layout_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("piece");
    QTest::newRow("empty") << 0 << 0 << 1;
    QTest::newRow("short, byte by byte") << 10 << 1 << 1;
    QTest::newRow("one full line") << 57 << 1 << 57;
    QTest::newRow("just over a line, in pairs") << 58 << 2 << 2;
    QTest::newRow("many, across line ends") << 5700 << 100 << 58;
    QTest::newRow("many, one held back") << 5701 << 101 << 1000;
}

// Standard Base64 in lines of 76. A file is encoded chunk by chunk, with the
// line breaks written for a JSON string: the same text.
void ProtocolTest::base64Layout()
{
    QFETCH(int, size);
    QFETCH(int, lines);
    QFETCH(int, piece);
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char(i * 31 + 7));
    const QString text = Protocol::Base64Lines(bytes);
    const QStringList parts = text.split('\n');
    QCOMPARE(text.isEmpty() ? 0 : parts.size(), lines);
    for (int i = 0; i + 1 < parts.size(); ++i)
        QCOMPARE(parts[i].size(), 76);
    QVERIFY(!text.endsWith('\n'));
    QCOMPARE(QByteArray::fromBase64(text.toLatin1()), bytes);

    Protocol::Base64Writer writer("\\n");
    QString pieces;
    for (int at = 0; at < size; at += piece)
        pieces += writer.Add(bytes.constData() + at, qMin(piece, size - at));
    pieces += writer.Finish();
    QCOMPARE(pieces, QString(text).replace("\n", "\\n"));
    QCOMPARE(qint64(pieces.size()), Protocol::Base64Writer::TextSize(size, 2));
}

void ProtocolTest::offeredDevices_data()
{
    QTest::addColumn<QVector<QString>>("sane");
    QTest::addColumn<QVector<QString>>("offered");
    QTest::newRow("mixed") << QVector<QString>{"v4l:/dev/video0", "cvnfa:X", "cvnfc:RX300", "cvnfc:RX500",
                                               "cvnfb:Y", "cvnfc:RX3000"}
                           << QVector<QString>{"cvnfa:X", "cvnfc:RX300", "cvnfb:Y", "cvnfc:RX3000"};
    QTest::newRow("case matters") << QVector<QString>{"CVNFA:X", "Cvnfb:Y", "cvnfc:rx300"} << QVector<QString>{};
    QTest::newRow("bare backend names") << QVector<QString>{"cvnfa", "cvnfbX"} << QVector<QString>{"cvnfa", "cvnfbX"};
}

void ProtocolTest::offeredDevices()
{
    QFETCH(QVector<QString>, sane);
    QFETCH(QVector<QString>, offered);
    QCOMPARE(Protocol::OfferedDevices(sane), offered);
}

void ProtocolTest::port_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("ok");
    QTest::newRow("plain") << QByteArray("8080") << 8080 << true;
    QTest::newRow("newline") << QByteArray("8080\n") << 8080 << true;
    QTest::newRow("blanks") << QByteArray(" \t8080 \r\n") << 8080 << true;
    QTest::newRow("letters") << QByteArray("http") << 23165 << false;
    QTest::newRow("trailing letters") << QByteArray("80x") << 23165 << false;
    QTest::newRow("empty") << QByteArray("") << 23165 << false;
    QTest::newRow("two numbers") << QByteArray("80 81") << 23165 << false;
    QTest::newRow("zero") << QByteArray("0") << 23165 << false;
    QTest::newRow("too large") << QByteArray("65536") << 23165 << false;
    QTest::newRow("negative") << QByteArray("-1") << 23165 << false;
    QTest::newRow("largest") << QByteArray("65535") << 65535 << true;
}

void ProtocolTest::port()
{
    QFETCH(QByteArray, text);
    QFETCH(int, port);
    QFETCH(bool, ok);
    bool parsed = !ok;
    QCOMPARE(int(Protocol::ParsePort(text, &parsed)), port);
    QCOMPARE(parsed, ok);
}

void ProtocolTest::commands_data()
{
    using C = Protocol::PageCommand;
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("jobRunning");
    QTest::addColumn<int>("action");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("devices, argument dropped") << "CDEV|x" << false << int(C::ListDevices) << QStringList{};
    QTest::newRow("lower case") << "cdev" << false << int(C::Ignore) << QStringList{};
    QTest::newRow("empty") << "" << false << int(C::Ignore) << QStringList{};
    QTest::newRow("word with blank") << "CDEV " << false << int(C::Ignore) << QStringList{};
    QTest::newRow("options, no device") << "COPT" << false << int(C::ReadOptions) << QStringList{};
    QTest::newRow("options, empty device") << "COPT|" << false << int(C::ReadOptions) << QStringList{""};
    QTest::newRow("options, extra piece") << "COPT|a|b" << false << int(C::ReadOptions) << QStringList{"a"};
    QTest::newRow("scan, settings cut at |") << R"(CSCAN|cvnfa:X|{"FilePrefix":"a|b"})" << false << int(C::Scan)
                                             << QStringList{"cvnfa:X", R"({"FilePrefix":"a)"};
    QTest::newRow("scan, device only") << "CSCAN|cvnfa:X" << false << int(C::Scan) << QStringList{"cvnfa:X"};
    QTest::newRow("file without path") << "CBASE64" << false << int(C::Ignore) << QStringList{};
    QTest::newRow("file") << "CBASE64|/tmp/a b|c" << false << int(C::ReadFile) << QStringList{"/tmp/a b"};
    QTest::newRow("scan during a job") << "CSCAN|cvnfa:X|{}" << true << int(C::Busy) << QStringList{};
    QTest::newRow("devices during a job") << "CDEV" << true << int(C::Busy) << QStringList{};
    QTest::newRow("options during a job") << "COPT|cvnfa:X" << true << int(C::Busy) << QStringList{};
    QTest::newRow("file during a job") << "CBASE64|/tmp/a" << true << int(C::ReadFile) << QStringList{"/tmp/a"};
    QTest::newRow("unknown during a job") << "CSTOP" << true << int(C::Ignore) << QStringList{};
    QTest::newRow("cancel during a job") << "CCANCEL|x" << true << int(C::Cancel) << QStringList{};
    QTest::newRow("status during a job") << "CSTATUS" << true << int(C::Status) << QStringList{};
    QTest::newRow("version") << "CVER" << false << int(C::Version) << QStringList{};
    QTest::newRow("replay, lower case") << "creplay" << true << int(C::Ignore) << QStringList{};
    QTest::newRow("chunk") << "CREAD|/tmp/a|0|4" << false << int(C::ReadChunk) << QStringList{"/tmp/a", "0", "4"};
    QTest::newRow("chunk, | in the path") << "CREAD|/tmp/a|b||c|1|2" << false << int(C::ReadChunk)
                                          << QStringList{"/tmp/a|b||c", "1", "2"};
    QTest::newRow("chunk, pieces missing") << "CREAD|/tmp/a" << false << int(C::ReadChunk)
                                           << QStringList{"/tmp/a", "", ""};
    QTest::newRow("chunk, bare") << "CREAD" << false << int(C::ReadChunk) << QStringList{"", "", ""};
    QTest::newRow("chunk during a job") << "CREAD|/a|0|1" << true << int(C::ReadChunk) << QStringList{"/a", "0", "1"};
}

void ProtocolTest::counts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("count");
    QTest::newRow("zero") << "0" << qint64(0);
    QTest::newRow("past 4 GiB") << "5000000000" << qint64(5000000000);
    QTest::newRow("18 digits") << "999999999999999999" << qint64(999999999999999999);
    QTest::newRow("19 digits") << "1000000000000000000" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("negative") << "-1" << qint64(-1);
    QTest::newRow("plus") << "+1" << qint64(-1);
    QTest::newRow("blank") << " 1" << qint64(-1);
    QTest::newRow("letters") << "0x10" << qint64(-1);
    QTest::newRow("fraction") << "1.5" << qint64(-1);
    QTest::newRow("arabic-indic digit") << QString(QChar(0x0661)) << qint64(-1);
}

void ProtocolTest::counts()
{
    QFETCH(QString, text);
    QFETCH(qint64, count);
    QCOMPARE(Protocol::ParseCount(text), count);
}

void ProtocolTest::commands()
{
    QFETCH(QString, message);
    QFETCH(bool, jobRunning);
    QFETCH(int, action);
    QFETCH(QStringList, args);
    const Protocol::PageCommand command = Protocol::ParseCommand(message, jobRunning);
    QCOMPARE(int(command.action), action);
    QCOMPARE(command.args, args);
}

QTEST_MAIN(ProtocolTest)
#include "tst_protocol.moc"
