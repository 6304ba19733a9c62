// The SANE library cannot be loaded (the loader finds a broken libsane.so.1
// first, see CMakeLists.txt): every operation must answer "no device"
// rather than call through an unresolved entry table.
#include "sanescan.h"

#include <QTest>

class TestSaneScanNoLibrary : public QObject
{
    Q_OBJECT

private slots:
    void everyOperationReportsNoDevice()
    {
        SaneScan scan;
        scan.Init();
        QVERIFY(!scan.IsLoaded());
        QVector<QString> names{QStringLiteral("kept")};
        QCOMPARE(scan.GetDeviceList(names), 12);
        QCOMPARE(names, QVector<QString>{QStringLiteral("kept")});
        int status = -1;
        QVERIFY(!scan.OpenDevice(QStringLiteral("cvnfa:A1"), &status));
        QCOMPARE(status, 12);
        scan.Exit();
    }
};

QTEST_GUILESS_MAIN(TestSaneScanNoLibrary)
#include "tst_sanescan_nolib.moc"
