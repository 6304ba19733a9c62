// Page origins as the access settings compare them.
#include "accesscontrol.h"

#include <QTest>

class AccessControlTest : public QObject
{
    Q_OBJECT
private slots:
    void normalize_data();
    void normalize();
};

void AccessControlTest::normalize_data()
{
    QTest::addColumn<QString>("origin");
    QTest::addColumn<QString>("normalized");
    QTest::newRow("as browsers send it") << "https://docs.example.com" << "https://docs.example.com";
    QTest::newRow("upper case") << "HTTPS://Docs.Example.COM" << "https://docs.example.com";
    QTest::newRow("https default port") << "https://docs.example.com:443" << "https://docs.example.com";
    QTest::newRow("http default port") << "http://docs.example.com:80" << "http://docs.example.com";
    QTest::newRow("other port kept") << "http://localhost:8080" << "http://localhost:8080";
    QTest::newRow("http's port on https") << "https://docs.example.com:80" << "https://docs.example.com:80";
    QTest::newRow("blanks and a final slash") << " https://docs.example.com/ " << "https://docs.example.com";
    QTest::newRow("file pages") << "null" << "null";
    QTest::newRow("null in capitals") << "NULL" << "null";
    QTest::newRow("IPv6") << "http://[::1]:8080" << "http://[::1]:8080";
    QTest::newRow("international name") << "https://bücher.example" << "https://xn--bcher-kva.example";
    QTest::newRow("no scheme") << "docs.example.com" << "";
    QTest::newRow("a page, not an origin") << "https://docs.example.com/app" << "";
    QTest::newRow("user part") << "https://me@docs.example.com" << "";
    QTest::newRow("query") << "https://docs.example.com?x=1" << "";
    QTest::newRow("empty") << "" << "";
}

void AccessControlTest::normalize()
{
    QFETCH(QString, origin);
    QFETCH(QString, normalized);
    QCOMPARE(AccessControl::Normalize(origin), normalized);
}

QTEST_APPLESS_MAIN(AccessControlTest)
#include "tst_accesscontrol.moc"
