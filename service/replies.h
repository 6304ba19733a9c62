#ifndef VELLOSCAN_REPLIES_H
#define VELLOSCAN_REPLIES_H

#include <QJsonObject>
#include <QString>
#include <QVector>

// One message to the page. Serialised as one compact JSON object.
struct RetMsg {
    QString cmd;
    int code = 0;
    QString msg;
    QString data;
    QString dataType;
};

extern const QString RetMsgSTRDATA;
extern const QString RetMsgJSONDATA;
extern const QString RetMsgBase64DATA;

// Every code the service answers with that is its own. SANE statuses (0 to
// 12) travel as they come, with the texts of Reply::SaneStatus.
enum ReplyCode {
    DeviceListFailed = 1001,
    OptionsFailed = 1002,
    NoScanner = 1003,
    NoDeviceChosen = 1004,
    FolderMissing = 1005,
    FolderNotWritable = 1006,
    FolderNotMade = 1007,
    ScanFailed = 1008,
    Busy = 1009,
    Disconnected = 1010,
    OneClientOnly = 1011,
    BadScanSettings = 1012,
    Done = 2001,
    PageScanned = 2002,
    DocumentMade = 2003,
    AllScanned = 2004,
    DeviceList = 2005,
    OptionsRead = 2006,
    Base64Made = 2007,
    VersionRead = 2008,
    StatusRead = 2009,
    ScanProgress = 2010,
    CancelAsked = 2011,
    DeviceInfoRead = 2013,
    ChunkRead = 2012,
};

// The catalogue of what the service says: each reply with its code, its
// text and, where it has one, its command word and payload kind.
namespace Reply {

QString CustomText(int code);
QString SaneStatusText(int status);

// An error: no command word, no payload.
RetMsg Error(ReplyCode code, const QString &cmd = QString());
RetMsg SaneStatus(int status);
RetMsg Home(const QString &homePath);
// "SDEV" or "SDEVPLUG" with the devices document; 1003 when there are none.
RetMsg Devices(const QString &cmd, const QVector<QString> &devices);
RetMsg Options(const QString &document);
RetMsg DeviceInfo(const QString &document);
// A page report in path form.
RetMsg PagePath(const QString &file);
RetMsg PageBase64(const QString &payload);
RetMsg Document(const QString &taggedPath);
RetMsg AllScanned();
RetMsg Base64(const QString &text);
// Base64 of the compact JSON of `document`, as "SDEV" carries its own.
QString JsonData(const QJsonObject &document);
RetMsg Version(const QJsonObject &document);
RetMsg Status(const QJsonObject &document);
RetMsg Progress(const QJsonObject &document);
RetMsg CancelAnswer(bool stopping);
// "SREAD": the description of a piece of a file that follows it.
RetMsg ChunkHeader(const QJsonObject &document);

} // namespace Reply

#endif
