// Page reports that carry a page's Base64 text, made in chunks: the same
// message a whole-file encoding gives, and a page over the limit reported by
// its path. ("CBASE64" replies are checked end to end.)
#include "base64replies.h"
#include "protocol.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>

class Base64RepliesTest : public QObject
{
    Q_OBJECT
private slots:
    void pageReports_data()
    {
        QTest::addColumn<QString>("file");
        for (const char *file : {"small", "empty", "missing", "over the limit"})
            QTest::newRow(file) << file;
    }

    void pageReports()
    {
        QFETCH(QString, file);
        QTemporaryDir dir;
        // A name that needs escapes in JSON.
        const QString path = dir.filePath("页 \"1\".png");
        QByteArray content;
        if (file == "small") {
            for (int i = 0; i < 1000; ++i)
                content.append(char(i * 7));
        }
        if (file != "missing") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
            // Sparse, so it takes no disk.
            if (file == "over the limit")
                QVERIFY(f.resize(Base64Replies::MaxFileSize + 1));
        }

        Base64Replies replies;
        QString message;
        replies.PageReport(FileDescriptor(::open(QFile::encodeName(path).constData(), O_RDONLY)), path,
                           [&message](const QString &m) { message = m; });
        QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 30000);

        RetMsg expected;
        expected.cmd = "SSCANONE";
        expected.code = 2002;
        expected.msg = Reply::CustomText(expected.code);
        expected.dataType = "base64";
        const QJsonObject inner{{"Base64Data", Protocol::Base64Lines(content)}, {"ImagePath", path}};
        expected.data = "png|" + QJsonDocument(inner).toJson(QJsonDocument::Compact).toBase64();
        if (file == "over the limit") {
            expected.data = "png|" + path;
            expected.dataType = "string";
        }
        QCOMPARE(message, Protocol::Serialize(expected));
    }
};

QTEST_GUILESS_MAIN(Base64RepliesTest)
#include "tst_base64replies.moc"
