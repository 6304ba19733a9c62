// End-to-end: the access settings of the user and of the machine narrow who
// reaches the real service; without them everybody does, as before.
#include "sandbox.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QTest>

namespace {

const QByteArray DocsAndFiles = "[Service]\nAllowedOrigins=https://docs.example.com, null\n";

} // namespace

class AccessTest : public QObject
{
    Q_OBJECT
private slots:
    void origins_data();
    void origins();
    void listenAddress();
    void unusableSettingsEndTheStart_data();
    void unusableSettingsEndTheStart();
};

void AccessTest::origins_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("machine");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<bool>("served");
    QTest::newRow("any origin by default") << QByteArray() << QByteArray() << "https://anywhere.example" << true;
    QTest::newRow("listed, in other case and with the default port")
        << DocsAndFiles << QByteArray() << "HTTPS://Docs.Example.com:443" << true;
    QTest::newRow("not listed") << DocsAndFiles << QByteArray() << "https://docs.example.com.evil.example" << false;
    QTest::newRow("page opened from a file") << DocsAndFiles << QByteArray() << "null" << true;
    QTest::newRow("no Origin header: not a browser") << DocsAndFiles << QByteArray() << "" << true;
    const QByteArray userA = "[Service]\nAllowedOrigins=https://a.example\n";
    const QByteArray machineB = "[Service]\nAllowedOrigins=https://b.example\n";
    QTest::newRow("the machine's list wins") << userA << machineB << "https://a.example" << false;
    QTest::newRow("the machine's origin") << userA << machineB << "https://b.example" << true;
    QTest::newRow("machine file without the key") << userA << QByteArray("[Service]\nListenAddress=\n")
                                                  << "https://a.example" << true;
}

void AccessTest::origins()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, machine);
    QFETCH(QString, origin);
    QFETCH(bool, served);
    Sandbox box;
    QVERIFY(box.writeSettings(user));
    if (!machine.isEmpty() && !box.writeMachineSettings(machine))
        QSKIP("an installed service reads its machine settings from /etc/velloscan");
    QVERIFY(box.start());

    PageClient page(origin);
    QCOMPARE(page.open(box.url()), served);
    if (served) {
        QVERIFY(page.waitForMessages(2));
        QCOMPARE(page.message(0).value("Cmd").toString(), QString("HOME"));
        QVERIFY(!box.standardError().contains("refused a page"));
        return;
    }
    // Refused in the handshake: the page never gets a connection to send on.
    QVERIFY(page.messages.isEmpty());
    QTRY_VERIFY(box.standardError().contains("refused a page from " + origin + ": not one of the AllowedOrigins"));
    // The refusal took no client's place.
    PageClient next;
    QVERIFY(next.open(box.url()) && next.waitForMessages(2));
}

void AccessTest::listenAddress()
{
    // Every address of lo answers by default; 127.0.0.2 needs no set-up.
    Sandbox open;
    QVERIFY(open.start());
    QTcpSocket other;
    other.connectToHost("127.0.0.2", open.port());
    QVERIFY(other.waitForConnected(5000));

    Sandbox box;
    QVERIFY(box.writeSettings("[Service]\nListenAddress=127.0.0.1\n"));
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QTcpSocket narrowed;
    narrowed.connectToHost("127.0.0.2", box.port());
    QVERIFY(!narrowed.waitForConnected(5000));
    QCOMPARE(narrowed.error(), QAbstractSocket::ConnectionRefusedError);
}

void AccessTest::unusableSettingsEndTheStart_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QString>("message");
    QTest::newRow("not an address") << QByteArray("[Service]\nListenAddress=localhost\n") << ""
                                    << "ListenAddress localhost in @HOME@/.velloscan/SysConfig.ini is not an IP address";
    QTest::newRow("no address of this machine") << QByteArray("[Service]\nListenAddress=203.0.113.7\n") << ""
                                                 << "cannot listen on port @PORT@ of 203.0.113.7";
    // Its limits cannot be known, so they cannot be kept.
    QTest::newRow("machine file unreadable") << QByteArray() << "folder" << "cannot read @APP@/velloscan.ini";
    QTest::newRow("machine's address wins")
        << QByteArray("[Service]\nListenAddress=127.0.0.1\n") << "[Service]\nListenAddress=203.0.113.7\n"
        << "cannot listen on port @PORT@ of 203.0.113.7";
}

void AccessTest::unusableSettingsEndTheStart()
{
    QFETCH(QByteArray, user);
    QFETCH(QString, machine);
    QFETCH(QString, message);
    Sandbox box;
    QVERIFY(box.writeSettings(user));
    if (!machine.isEmpty()) {
        if (!box.writeMachineSettings(machine.toUtf8()))
            QSKIP("an installed service reads its machine settings from /etc/velloscan");
        if (machine == "folder")
            QVERIFY(QFile::remove(box.appDir() + "/velloscan.ini") && QDir().mkpath(box.appDir() + "/velloscan.ini"));
    }
    QString errors;
    QCOMPARE(box.runCopy(&errors), 1);
    message.replace("@HOME@", box.home()).replace("@APP@", box.appDir()).replace("@PORT@", QString::number(box.port()));
    QVERIFY2(errors.contains(message), qPrintable(errors));
}

QTEST_MAIN(AccessTest)
#include "tst_access.moc"
