// The protocol's pure pieces that the end-to-end suites cannot reach in every
// corner: the envelope's escapes, the chunked Base64 layout, the device
// filter, the port file's number and what a message from the page asks for.
#include "protocol.h"

#include <QTest>

class ProtocolTest : public QObject
{
    Q_OBJECT
private slots:
    void envelopeEscapes()
    {
        RetMsg msg;
        msg.cmd = "SBASE64";
        msg.code = 2007;
        msg.msg = Reply::CustomText(2007);
        msg.data = "a\"b\nc\\d";
        msg.dataType = "base64";
        QCOMPARE(Protocol::Serialize(msg),
                 QString("{\"Cmd\":\"SBASE64\",\"Code\":2007,\"Data\":\"a\\\"b\\nc\\\\d\",\"DataType\":\"base64\","
                         "\"Msg\":\"转换base64字符串成功\"}"));
    }

    // Codes outside the catalogue and statuses past SANE's list read as unknown.
    void unknownCodes()
    {
        QCOMPARE(Reply::CustomText(1234), QString("未知错误"));
        QCOMPARE(Reply::SaneStatusText(13), QString("未知错误."));
        QCOMPARE(Reply::SaneStatusText(-1), QString("未知错误."));
    }

    void base64Layout_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("piece");
        QTest::newRow("empty") << 0 << 0 << 1;
        QTest::newRow("just over a line, in pairs") << 58 << 2 << 2;
        QTest::newRow("many, across line ends") << 5700 << 100 << 58;
        QTest::newRow("many, one held back") << 5701 << 101 << 1000;
    }

    // Standard Base64 in lines of 76. A file is encoded chunk by chunk, with the
    // line breaks written for a JSON string: the same text.
    void base64Layout()
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

    // The maker's prefixes, in SANE's order, case and all; of the third backend
    // only the one model whose name starts with it.
    void offeredDevices()
    {
        const QVector<QString> sane{"v4l:/dev/video0", "cvnfa:X", "CVNFA:Y", "cvnfc:RX300", "cvnfc:RX500",
                                    "cvnfb:Y", "cvnfc:rx300", "cvnfc:RX3000"};
        const QVector<QString> offered{"cvnfa:X", "cvnfc:RX300", "cvnfb:Y", "cvnfc:RX3000"};
        QCOMPARE(Protocol::OfferedDevices(sane), offered);
    }

    // What the service's start reads from the port file; 23165 when unusable.
    void port()
    {
        const QList<QPair<QByteArray, int>> cases{{"8080", 8080},   {" \t8080 \r\n", 8080}, {"65535", 65535},
                                                  {"80x", 0},       {"80 81", 0},           {"0", 0},
                                                  {"-1", 0},        {"65536", 0},           {"", 0}};
        for (const auto &c : cases) {
            bool ok = c.second == 0;
            QCOMPARE(int(Protocol::ParsePort(c.first, &ok)), c.second ? c.second : 23165);
            QVERIFY2(ok == (c.second != 0), c.first.constData());
        }
    }

    void commands_data()
    {
        using C = Protocol::PageCommand;
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("jobRunning");
        QTest::addColumn<int>("action");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("options, extra piece") << "COPT|a|b" << false << int(C::ReadOptions) << QStringList{"a"};
        QTest::newRow("scan, settings cut at |") << "CSCAN|cvnfa:X|{\"FilePrefix\":\"a|b\"}" << false << int(C::Scan)
                                                 << QStringList{"cvnfa:X", "{\"FilePrefix\":\"a"};
        QTest::newRow("scan, device only") << "CSCAN|cvnfa:X" << false << int(C::Scan) << QStringList{"cvnfa:X"};
        QTest::newRow("file") << "CBASE64|/tmp/a b|c" << false << int(C::ReadFile) << QStringList{"/tmp/a b"};
        QTest::newRow("unknown during a job") << "CSTOP" << true << int(C::Ignore) << QStringList{};
        QTest::newRow("replay, lower case") << "creplay" << true << int(C::Ignore) << QStringList{};
        QTest::newRow("chunk, | in the path") << "CREAD|/tmp/a|b||c|1|2" << false << int(C::ReadChunk)
                                              << QStringList{"/tmp/a|b||c", "1", "2"};
        QTest::newRow("chunk, bare") << "CREAD" << false << int(C::ReadChunk) << QStringList{"", "", ""};
        QTest::newRow("chunk during a job") << "CREAD|/a|0|1" << true << int(C::ReadChunk)
                                            << QStringList{"/a", "0", "1"};
    }

    void commands()
    {
        QFETCH(QString, message);
        QFETCH(bool, jobRunning);
        QFETCH(int, action);
        QFETCH(QStringList, args);
        const Protocol::PageCommand command = Protocol::ParseCommand(message, jobRunning);
        QCOMPARE(int(command.action), action);
        QCOMPARE(command.args, args);
    }

    // The offset and length of "CREAD": plain decimal digits only, else -1.
    void counts()
    {
        const QList<QPair<QString, qint64>> cases{
            {"0", 0}, {"5000000000", 5000000000}, {"999999999999999999", 999999999999999999},
            {"1000000000000000000", -1}, {"", -1}, {"-1", -1}, {"+1", -1}, {" 1", -1}, {"0x10", -1},
            {"1.5", -1}, {QString(QChar(0x0661)), -1}};
        for (const auto &c : cases)
            QVERIFY2(Protocol::ParseCount(c.first) == c.second, qPrintable(c.first));
    }
};

QTEST_MAIN(ProtocolTest)
#include "tst_protocol.moc"
