// Page origins as the access settings compare them; "" for what is none.
#include "accesscontrol.h"

#include <QTest>

class AccessControlTest : public QObject
{
    Q_OBJECT
private slots:
    void normalize()
    {
        const QList<QPair<QString, QString>> cases{
            {"https://docs.example.com:443", "https://docs.example.com"},
            {"http://docs.example.com:80", "http://docs.example.com"},
            {"http://localhost:8080", "http://localhost:8080"},
            {"https://docs.example.com:80", "https://docs.example.com:80"},
            {" https://docs.example.com/ ", "https://docs.example.com"},
            {"NULL", "null"},
            {"http://[::1]:8080", "http://[::1]:8080"},
            {"https://bücher.example", "https://xn--bcher-kva.example"},
            {"docs.example.com", ""},
            {"https://docs.example.com/app", ""},
            {"https://me@docs.example.com", ""},
            {"https://docs.example.com?x=1", ""},
            {"", ""}};
        for (const auto &c : cases)
            QVERIFY2(AccessControl::Normalize(c.first) == c.second, qPrintable(c.first));
    }
};

QTEST_APPLESS_MAIN(AccessControlTest)
#include "tst_accesscontrol.moc"
