// The installed service (VELLOSCAN_PROGRAM) on the simulated scanners: a
// page is greeted and scans one page. Run by check-package.sh while the
// package is installed.
#include "sandbox.h"

#include <QFile>
#include <QTest>

class InstalledTest : public QObject
{
    Q_OBJECT
private slots:
    void greetsAndScansOnePage();
};

void InstalledTest::greetsAndScansOnePage()
{
    if (qEnvironmentVariableIsEmpty("VELLOSCAN_PROGRAM"))
        QSKIP("VELLOSCAN_PROGRAM names no installed service");
    Sandbox box;
    box.setDevices("device cvnfa DR-Installed pages=1\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    QCOMPARE(page.message(0).value("Data").toString(), box.home());
    QCOMPARE(devicesOf(page.message(1)), QStringList{"cvnfa:DR-Installed"});

    const QString outDir = box.root() + "/scans";
    page.send(QString(R"(CSCAN|cvnfa:DR-Installed|{"FileType":"3","FilePath":"%1"})").arg(outDir));
    // Page reports come first; whatever else arrives ends the job.
    const bool ended = QTest::qWaitFor(
        [&] { return page.messages.size() > 2 && !page.messages.last().contains("SSCANONE"); }, 30000);
    QVERIFY2(ended && page.messages.size() == 4, qPrintable(page.messages.join('\n')));
    QCOMPARE(page.message(2).value("Code").toInt(), 2002);
    const QString data = page.message(2).value("Data").toString();
    QVERIFY2(data.startsWith("jpg|" + outDir + "/"), qPrintable(data));
    QFile jpeg(data.section('|', 1));
    QVERIFY(jpeg.open(QIODevice::ReadOnly));
    QCOMPARE(jpeg.read(2), QByteArray("\xFF\xD8"));
    QCOMPARE(page.message(3).value("Code").toInt(), 2004);
}

QTEST_MAIN(InstalledTest)
#include "tst_installed.moc"
