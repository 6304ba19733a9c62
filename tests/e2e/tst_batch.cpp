// End-to-end batches as a person runs them: watching a job, stopping it,
// continuing a document after a jam, a page that reloads mid-batch, a
// backend that never returns, and scanners without a source option.
#include "sandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>

namespace {

const QString Feeder = "device cvnfa DR-A width_px=48 height_px=40 ";

QString cmdOf(const QString &message)
{
    return QJsonDocument::fromJson(message.toUtf8()).object().value("Cmd").toString();
}

// The messages of one job in a fresh world, with the world's own folder
// written as "@ROOT@" so that two worlds can be compared.
QStringList jobMessages(const QString &settings)
{
    Sandbox box;
    box.setDevices(Feeder + "pages=2\n");
    PageClient page;
    if (!box.startWithPage(page))
        return {"no service"};
    const int first = page.messages.size();
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", settings));
    if (job.end.isEmpty())
        return {"no end"};
    return page.messages.mid(first).replaceInStrings(box.root(), "@ROOT@");
}

} // namespace

class BatchTest : public QObject
{
    Q_OBJECT
private slots:
    void newKeysAreAdditive_data();
    void newKeysAreAdditive();
    void cancelMidBatch();
    void jamThenContinue();
    void documentGrowsWithTheBatch_data();
    void documentGrowsWithTheBatch();
    void reloadMidBatch_data();
    void reloadMidBatch();
    void stuckBackendStillStops();
    void sourcelessDevices_data();
    void sourcelessDevices();
};

void BatchTest::newKeysAreAdditive_data()
{
    QTest::addColumn<QString>("fileType");
    for (int type = 1; type <= 7; ++type)
        QTest::newRow(qPrintable(QString::number(type))) << QString::number(type);
}

// A page that never uses the new keys sees what it always saw; with
// "Progress" it sees the same plus the progress of every sheet.
void BatchTest::newKeysAreAdditive()
{
    QFETCH(QString, fileType);
    const QString plain = QString(R"({"FileType":"%1","mode":"Gray")").arg(fileType);
    const QStringList before = jobMessages(plain + "}");
    QCOMPARE(jobMessages(plain + R"(,"Progress":"0","ContinueDocument":"1"})"), before);

    const QStringList watched = jobMessages(plain + R"(,"Progress":"1"})");
    QStringList rest = watched;
    rest.erase(std::remove_if(rest.begin(), rest.end(), [](const QString &m) { return cmdOf(m) == "SSCANPROGRESS"; }),
               rest.end());
    QCOMPARE(rest, before);
    QJsonObject last;
    int sheets = 0;
    for (int i = 0; i < watched.size(); ++i) {
        const QJsonObject m = QJsonDocument::fromJson(watched[i].toUtf8()).object();
        if (m.value("Cmd") == "SSCANONE") // right after the sheet's "Done"
            QCOMPARE(jsonData(QJsonDocument::fromJson(watched[i - 1].toUtf8()).object()).value("Done").toBool(), true);
        if (m.value("Cmd") != "SSCANPROGRESS")
            continue;
        last = jsonData(m);
        QCOMPARE(m.value("Code").toInt(), 2010);
        if (last.value("Bytes").toInt() == 0 && !last.value("Done").toBool())
            QCOMPARE(last.value("Sheet").toInt(), ++sheets);
        if (last.value("Done").toBool()) {
            QCOMPARE(last.value("Bytes").toDouble(), last.value("Total").toDouble());
            QVERIFY(last.value("Path").toString().contains("/tmp/"));
        }
    }
    QCOMPARE(sheets, 2);
    QVERIFY(last.value("Done").toBool());
}

void BatchTest::cancelMidBatch()
{
    Sandbox box;
    box.setDevices(Feeder + "pages=5 line_delay_us=20000\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    page.send(scanCommand("cvnfa:DR-A", R"({"FileType":"2"})"));
    QTRY_VERIFY_WITH_TIMEOUT(page.messages.filter("SSCANONE").size() >= 1, 30000);
    page.send("CSTATUS");
    QTRY_VERIFY(page.messages.filter("SSTATUS").size() == 1);
    QCOMPARE(jsonData(page.message(page.messages.size() - 1)).value("Scanning").toBool(), true);

    page.send("CCANCEL");
    QTRY_VERIFY_WITH_TIMEOUT(isEnd(page.message(page.messages.size() - 1)), 5000);
    const QJsonObject end = page.message(page.messages.size() - 1);
    QCOMPARE(end.value("Code").toInt(), 2);
    QCOMPARE(end.value("Msg").toString(), QString("平台已经取消."));
    QVERIFY(page.messages.contains(R"({"Cmd":"SCANCEL","Code":2011,"Data":"1","DataType":"string","Msg":"已请求取消扫描"})"));
    // Reported pages stay; the sheet being read keeps its ".part" and number.
    const int reported = page.messages.filter("SSCANONE").size();
    const QStringList files = QDir(box.tempImgDir()).entryList(QDir::Files);
    QCOMPARE(files.filter(QRegularExpression("\\.pnm$")).size(), reported);
    const int parts = files.filter(".part").size(); // none when it came between two sheets
    QCOMPARE(storedScanCount(box), QString::number(reported + 1 + parts));

    page.send("CCANCEL");
    page.send("CSTATUS");
    QTRY_VERIFY(page.messages.filter("SSTATUS").size() == 2);
    QVERIFY(page.messages[page.messages.size() - 2].contains(R"("Data":"0")"));
    const QJsonObject after = jsonData(page.message(page.messages.size() - 1));
    QCOMPARE(after.value("Scanning").toBool(), false);
    QCOMPARE(after.value("Pages").toInt(), reported);
}

void BatchTest::jamThenContinue()
{
    Sandbox box;
    box.setDevices(Feeder + "pages=3 mode=Gray jam_page=3 jam_after_lines=10\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const QString settings = R"({"FileType":"6","ContinueDocument":"1"})";
    Job job = runJob(page, scanCommand("cvnfa:DR-A", settings));
    QCOMPARE(job.end.value("Code").toInt(), 6);
    page.send("CSTATUS");
    QTRY_VERIFY(page.messages.last().contains("SSTATUS"));
    QCOMPARE(jsonData(page.message(page.messages.size() - 1)).value("KeptPages").toInt(), 2);

    // The jam cleared, the last sheet and two more go in.
    box.setDevices(Feeder + "pages=3 mode=Gray\n");
    job = runJob(page, scanCommand("cvnfa:DR-A", settings));
    QCOMPARE(job.end.value("Cmd").toString(), QString("SSCANMUL"));
    const QString pdf = job.end.value("Data").toString().section('|', 1);
    QCOMPARE(pdf, box.tempImgDir() + "/0001.pdf");
    QProcess info;
    info.start("pdfinfo", {pdf});
    QVERIFY(info.waitForFinished(30000));
    QVERIFY(QString(info.readAll()).contains(QRegularExpression("Pages:\\s+5\\n")));
    page.send("CSTATUS");
    QTRY_VERIFY(page.messages.last().contains("SSTATUS"));
    QCOMPARE(jsonData(page.message(page.messages.size() - 1)).value("KeptPages").toInt(), 0);
}

void BatchTest::documentGrowsWithTheBatch_data()
{
    QTest::addColumn<QString>("fileType");
    QTest::addColumn<QString>("name");
    QTest::newRow("mulpdf") << "6" << "0001.pdf";
    QTest::newRow("multiff") << "7" << "0001.tiff";
}

// Each page enters the document while the next sheet is read, under a name
// the page is never told; the name it is told appears whole at the end.
void BatchTest::documentGrowsWithTheBatch()
{
    QFETCH(QString, fileType);
    QFETCH(QString, name);
    Sandbox box;
    box.setDevices(Feeder + "pages=4 line_delay_us=10000\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    page.send(scanCommand("cvnfa:DR-A", QString(R"({"FileType":"%1","Progress":"1"})").arg(fileType)));
    const QString document = box.tempImgDir() + "/" + name;
    auto pagesDone = [&page] {
        int done = 0;
        for (int i = 0; i < page.messages.size(); ++i)
            done += jsonData(page.message(i)).value("Done").toBool();
        return done;
    };
    QTRY_VERIFY_WITH_TIMEOUT(pagesDone() >= 2, 30000);
    QVERIFY(QFile::exists(document + ".part"));
    QVERIFY(!QFile::exists(document));
    QTRY_VERIFY_WITH_TIMEOUT(isEnd(page.message(page.messages.size() - 1)), 30000);
    QCOMPARE(page.message(page.messages.size() - 1).value("Data").toString().section('|', 1), document);
    QVERIFY(!QFile::exists(document + ".part"));
    QVERIFY(QFileInfo(document).size() > 0);
}

void BatchTest::reloadMidBatch_data()
{
    QTest::addColumn<QString>("fileType");
    QTest::addColumn<int>("dropAfter"); // messages of the job
    QTest::newRow("tiff, early") << "1" << 1;
    QTest::newRow("tiff, late") << "1" << 7;
    QTest::newRow("mulpdf") << "6" << 3;
}

// A page that reloads during a job hears every message of it: what it got
// before, what went nowhere while it was away, and the rest.
void BatchTest::reloadMidBatch()
{
    QFETCH(QString, fileType);
    QFETCH(int, dropAfter);
    Sandbox box;
    box.setDevices(Feeder + "pages=10 line_delay_us=5000\n");
    PageClient first;
    QVERIFY(box.startWithPage(first));
    first.send(scanCommand("cvnfa:DR-A", QString(R"({"FileType":"%1","Progress":"1"})").arg(fileType)));
    QVERIFY(first.waitForMessages(2 + dropAfter, 30000));
    first.socket.abort();
    const QStringList heard = first.messages.mid(2);

    PageClient other("http://elsewhere.example");
    PageClient second;
    QVERIFY(second.open(box.url()));
    QVERIFY(second.waitForMessages(2));
    second.send("CREPLAY");
    second.send("CDEV"); // the job's page, reloaded: told the scanner is busy
    QTRY_VERIFY_WITH_TIMEOUT(cmdOf(second.messages.last()).startsWith("SSCAN")
                                 && cmdOf(second.messages.last()) != "SSCANONE"
                                 && cmdOf(second.messages.last()) != "SSCANPROGRESS", 60000);
    QStringList replayed = second.messages.mid(2);
    QCOMPARE(replayed.filter(R"("Code":1009)").size(), 1);
    replayed.removeAll(replayed.filter(R"("Code":1009)").value(0));
    QCOMPARE(replayed.mid(0, heard.size()), heard);
    QCOMPARE(replayed.removeDuplicates(), 0);
    QCOMPARE(replayed.filter("SSCANONE").size(), fileType == "1" ? 10 : 0);
    QCOMPARE(cmdOf(replayed.last()), QString(fileType == "1" ? "SSCANALL" : "SSCANMUL"));

    // Another site's page hears nothing of it.
    second.socket.close();
    QTRY_VERIFY(second.closed);
    QVERIFY(other.open(box.url()));
    QVERIFY(other.waitForMessages(2));
    other.send("CREPLAY");
    other.send("CSTATUS");
    QVERIFY(other.waitForMessages(3));
    QCOMPARE(cmdOf(other.messages[2]), QString("SSTATUS"));
}

// A backend stuck in a read must not keep the process: SIGTERM still ends
// it, says which scanner it left behind, and keeps the running number.
void BatchTest::stuckBackendStillStops()
{
    Sandbox box;
    box.setDevices(Feeder + "pages=3 hang_page=2\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    page.send(scanCommand("cvnfa:DR-A", R"({"FileType":"2"})"));
    QTRY_VERIFY_WITH_TIMEOUT(box.simLogLines().filter("hang ").size() == 1, 30000);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(box.terminate(7000), 1);
    QVERIFY(clock.elapsed() < 6000);
    QVERIFY(box.standardError().contains(QRegularExpression("cvnfa:DR-A did not stop within \\d s")));
    // The first sheet stays, announced or, when its encoder was still at it,
    // as ".part"; the number stored is never one of a file already there.
    const QStringList left = QDir(box.tempImgDir()).entryList(QDir::Files);
    QVERIFY2(left.contains("0001.pnm") || left.contains("0001.pnm.part"), qPrintable(left.join(',')));
    QVERIFY(storedScanCount(box).toInt() >= (left.contains("0001.pnm") ? 2 : 1));
    QTRY_VERIFY(page.closed);
}

void BatchTest::sourcelessDevices_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("code");
    QTest::newRow("flatbed") << "pages=3 type=flatbed%20scanner" << 1 << 2004;
    QTest::newRow("sheet-fed") << "pages=3 type=Sheetfed%20scanner" << 3 << 2004;
    QTest::newRow("a feeder that never runs empty") << "pages=-1 type=feeder width_px=8 height_px=8" << 10000 << 1008;
}

// A device without a "source" option feeds as its SANE type says: a job
// that took a flatbed for a feeder would never end, and no job outlives
// ten thousand pages.
void BatchTest::sourcelessDevices()
{
    QFETCH(QString, device);
    QFETCH(int, pages);
    QFETCH(int, code);
    Sandbox box;
    box.setDevices(Feeder + "profile=nosource " + device + "\n");
    PageClient page;
    QVERIFY(box.startWithPage(page));
    const Job job = runJob(page, scanCommand("cvnfa:DR-A", R"({"FileType":"2"})"), 300000);
    QCOMPARE(job.end.value("Code").toInt(), code);
    QCOMPARE(qMin(job.reports.size(), 10000), pages); // sheets read ahead of a stop are still reported
}

QTEST_MAIN(BatchTest)
#include "tst_batch.moc"
