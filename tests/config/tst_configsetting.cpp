#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include "configsetting.h"

class TestConfigSetting : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void readInitRejectsEmptyNames_data();
    void readInitRejectsEmptyNames();
    void readInitMissingKeyIsEmpty();
    void writeInitIgnoresEmptyNames_data();
    void writeInitIgnoresEmptyNames();
    void roundTrip_data();
    void roundTrip();
    void fileText();
    void handEditedListValue();

private:
    QString m_path;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestConfigSetting::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("SysConfig.ini"));
}

void TestConfigSetting::readInitRejectsEmptyNames_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("key");
    QTest::newRow("empty group") << "" << "ImgPath";
    QTest::newRow("empty key") << "Scanner" << "";
    QTest::newRow("both empty") << "" << "";
}

void TestConfigSetting::readInitRejectsEmptyNames()
{
    QFETCH(QString, group);
    QFETCH(QString, key);

    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nImgPath=/top\n\n[Scanner]\nImgPath=/scans\n");
    file.close();

    ConfigSetting config(m_path);
    QString value = QStringLiteral("stale");
    QVERIFY(!config.readInit(group, key, value));
    QVERIFY(value.isEmpty());
}

void TestConfigSetting::readInitMissingKeyIsEmpty()
{
    ConfigSetting config(m_path);
    config.writeInit(QStringLiteral("Scanner"), QStringLiteral("Prefix"), QStringLiteral("scan"));
    QString value = QStringLiteral("stale");
    QVERIFY(config.readInit(QStringLiteral("Scanner"), QStringLiteral("ImgPath"), value));
    QVERIFY(value.isEmpty());
    QVERIFY(config.readInit(QStringLiteral("Other"), QStringLiteral("Prefix"), value));
    QVERIFY(value.isEmpty());
}

void TestConfigSetting::writeInitIgnoresEmptyNames_data()
{
    readInitRejectsEmptyNames_data();
}

void TestConfigSetting::writeInitIgnoresEmptyNames()
{
    QFETCH(QString, group);
    QFETCH(QString, key);

    ConfigSetting(m_path).writeInit(group, key, QStringLiteral("value"));
    QVERIFY(QSettings(m_path, QSettings::IniFormat).allKeys().isEmpty());
}

void TestConfigSetting::roundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << "/home/user/scans";
    QTest::newRow("chinese") << QStringLiteral("/home/用户/扫描文档");
    QTest::newRow("spaces") << "  my scans  ";
    QTest::newRow("equals and semicolon") << "a=b;c # d";
    QTest::newRow("commas") << "/data/a,b, c";
    QTest::newRow("quotes and backslashes") << R"(say "hi" \n C:\x)";
    QTest::newRow("leading at sign") << "@Variant(x)";
    QTest::newRow("empty") << "";
}

void TestConfigSetting::roundTrip()
{
    QFETCH(QString, value);
    {
        ConfigSetting writer(m_path);
        writer.writeInit(QStringLiteral("Scanner"), QStringLiteral("ImgPath"), value);
        writer.writeInit(QStringLiteral("Scanner"), QStringLiteral("ScanCount"), QStringLiteral("12"));
    }
    ConfigSetting reader(m_path);
    QString read;
    QVERIFY(reader.readInit(QStringLiteral("Scanner"), QStringLiteral("ImgPath"), read));
    QCOMPARE(read, value);
    QVERIFY(reader.readInit(QStringLiteral("Scanner"), QStringLiteral("ScanCount"), read));
    QCOMPARE(read, QStringLiteral("12"));
}

void TestConfigSetting::fileText()
{
    ConfigSetting(m_path).writeInit(QStringLiteral("Scanner"), QStringLiteral("Prefix"),
                                    QStringLiteral("扫描"));
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.split('\n').contains("[Scanner]"));
    // Stored as UTF-8 text, not as escapes, so the file stays readable.
    QVERIFY2(text.contains(QStringLiteral("Prefix=扫描").toUtf8()), text.constData());
}

void TestConfigSetting::handEditedListValue()
{
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Scanner]\nImgPath=/data/a,b\n");
    file.close();

    ConfigSetting config(m_path);
    QString value;
    QVERIFY(config.readInit(QStringLiteral("Scanner"), QStringLiteral("ImgPath"), value));
    QCOMPARE(value, QStringLiteral("/data/a,b"));
}

QTEST_APPLESS_MAIN(TestConfigSetting)
#include "tst_configsetting.moc"
