#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "configsetting.h"

class TestConfigSetting : public QObject
{
    Q_OBJECT
private slots:
    void handEditedFile();
    void roundTripAsUtf8Text();

private:
    QTemporaryDir m_dir;
};

void TestConfigSetting::handEditedFile()
{
    const QString path = m_dir.filePath("hand.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // An unquoted value with a comma reads back as the text it is.
    file.write("[General]\nImgPath=/top\n\n[Scanner]\nImgPath=/data/a,b\n");
    file.close();
    {
        ConfigSetting config(path);
        QString value = "stale";
        QVERIFY(config.readInit("Scanner", "ImgPath", value));
        QCOMPARE(value, QString("/data/a,b"));
        QVERIFY(config.readInit("Scanner", "Prefix", value));
        QCOMPARE(value, QString());

        const QStringList empty[] = {{"", "ImgPath"}, {"Scanner", ""}, {"", ""}};
        for (const QStringList &names : empty) {
            value = "stale";
            QVERIFY(!config.readInit(names[0], names[1], value));
            QCOMPARE(value, QString());
            config.writeInit(names[0], names[1], "written");
        }
    }
    const QSettings after(path, QSettings::IniFormat);
    QCOMPARE(after.allKeys(), QStringList({"ImgPath", "Scanner/ImgPath"}));
    QCOMPARE(after.value("ImgPath").toString(), QString("/top"));
}

void TestConfigSetting::roundTripAsUtf8Text()
{
    const QString path = m_dir.filePath("SysConfig.ini");
    const QStringList values = {QStringLiteral("扫描"), "  my scans  ", "a=b;c # d", "/data/a,b, c",
                                R"(say "hi" \n C:\x)", "@Variant(x)", ""};
    {
        ConfigSetting writer(path);
        for (int i = 0; i < values.size(); ++i)
            writer.writeInit("Scanner", QString("Key%1").arg(i), values[i]);
    }
    ConfigSetting reader(path);
    for (int i = 0; i < values.size(); ++i) {
        QString read;
        QVERIFY(reader.readInit("Scanner", QString("Key%1").arg(i), read));
        QCOMPARE(read, values[i]);
    }
    // Stored as UTF-8 text, not as escapes, so the file stays readable.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.startsWith("[Scanner]\n") && text.contains(QStringLiteral("\nKey0=扫描\n").toUtf8()), text.constData());
}

QTEST_APPLESS_MAIN(TestConfigSetting)
#include "tst_configsetting.moc"
