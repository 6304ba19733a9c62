// The page's file settings, from its scan settings JSON.
#include "scansettings.h"
#include "../sane/outputcapture.h"

#include <QTest>

class ScanSettingsTest : public QObject
{
    Q_OBJECT
private slots:
    void apply_data()
    {
        QTest::addColumn<QString>("json");
        // imgPath|prefix|format|count|digits|delete|base64, from a record of
        // "/old"|"p"|"jpg"|5|4|no|no and two flags that were off.
        QTest::addColumn<QString>("after");
        QTest::addColumn<QByteArray>("said");

        const QString unchanged = "/old|p|jpg|5|4|0|0";
        QTest::newRow("parse error") << R"({"FileType":"6")" << unchanged << QByteArray();
        QTest::newRow("array") << R"(["FileType","6"])" << unchanged << QByteArray();
        QTest::newRow("options only") << R"({"resolution":"300","FILETYPE":"6"})" << unchanged << QByteArray();
        QTest::newRow("all") << R"({"FilePath":"/new","FilePrefix":"","FileType":"6","ScanCount":"12",)"
                                R"("ScanMinCountSize":"2","DeleteFilesBeforeScan":"2","ShowBase64":"1"})"
                             << "/new||mulpdf|12|2|1|1" << QByteArray();
        QTest::newRow("empty path is the default folder") << R"({"FilePath":""})" << "/tmp/default|p|jpg|5|4|0|0"
                                                          << QByteArray();
        QTest::newRow("number type") << R"({"FileType":6})" << "/old|p|tiff|5|4|0|0" << QByteArray();
        QTest::newRow("unknown type") << R"({"FileType":"9"})" << "/old|p|tiff|5|4|0|0" << QByteArray();
        QTest::newRow("fraction type") << R"({"FileType":"3.0"})" << "/old|p|tiff|5|4|0|0" << QByteArray();
        QTest::newRow("flags from words") << R"({"DeleteFilesBeforeScan":"true","ShowBase64":true})" << unchanged
                                          << QByteArray();
        QTest::newRow("letters count") << R"({"ScanCount":"abc"})" << "/old|p|jpg|0|4|0|0" << QByteArray();
        QTest::newRow("count past int") << R"({"ScanCount":"99999999999"})" << "/old|p|jpg|999999999|4|0|0"
                                        << QByteArray("velloscan: ScanCount 99999999999 is out of range; using 999999999\n");
        QTest::newRow("negative count") << R"({"ScanCount":"-3"})" << "/old|p|jpg|0|4|0|0"
                                        << QByteArray("velloscan: ScanCount -3 is out of range; using 0\n");
    }

    void apply()
    {
        QFETCH(QString, json);
        QFETCH(QString, after);
        QFETCH(QByteArray, said);
        SysConfig config{"/old", "p", "jpg", 5, 4};
        bool deleteFiles = false;
        bool base64 = false;
        OutputCapture err;
        ScanSettings::ApplyCustomJson(json, "/tmp/default", config, deleteFiles, base64);
        const QByteArray out = err.text();
        const QString got = QStringList{config.imgPath, config.prefix, config.imageFormat,
                                        QString::number(config.scanCount), QString::number(config.scanMinCountSize),
                                        QString::number(deleteFiles), QString::number(base64)}
                                .join('|');
        QCOMPARE(got, after);
        QCOMPARE(out, said);
    }
};

QTEST_APPLESS_MAIN(ScanSettingsTest)
#include "tst_scansettings.moc"
