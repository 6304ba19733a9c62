// The messages that carry a file's Base64 text, made in chunks: the same
// messages a whole-file encoding gives, and a file over the limit answered
// as a missing one ("CBASE64") or by its path (page reports).
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
    void messages_data();
    void messages();
};

void Base64RepliesTest::messages_data()
{
    QTest::addColumn<bool>("pageReport");
    QTest::addColumn<QString>("file");
    for (bool report : {false, true}) {
        const char *kind = report ? "page report" : "CBASE64";
        for (const char *file : {"small", "empty", "missing", "over the limit"})
            QTest::addRow("%s, %s", kind, file) << report << file;
    }
}

void Base64RepliesTest::messages()
{
    QFETCH(bool, pageReport);
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
    FileDescriptor fd(::open(QFile::encodeName(path).constData(), O_RDONLY));
    QString message;
    auto done = [&message](const QString &m) { message = m; };
    if (pageReport)
        replies.PageReport(std::move(fd), path, done);
    else
        replies.FileReply(std::move(fd), path, done);
    QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 30000);

    RetMsg expected;
    expected.dataType = "base64";
    const QString text = Protocol::Base64Lines(content);
    if (!pageReport) {
        expected.cmd = "SBASE64";
        expected.code = 2007;
        expected.data = text;
    } else {
        expected.cmd = "SSCANONE";
        expected.code = 2002;
        const QJsonObject inner{{"Base64Data", text}, {"ImagePath", path}};
        expected.data = "png|" + QJsonDocument(inner).toJson(QJsonDocument::Compact).toBase64();
        if (file == "over the limit") {
            expected.data = "png|" + path;
            expected.dataType = "string";
        }
    }
    expected.msg = Reply::CustomText(expected.code);
    QCOMPARE(message, Protocol::Serialize(expected));
}

QTEST_GUILESS_MAIN(Base64RepliesTest)
#include "tst_base64replies.moc"
