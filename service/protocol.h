#ifndef VELLOSCAN_PROTOCOL_H
#define VELLOSCAN_PROTOCOL_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include "replies.h"

// The pure pieces of the protocol, kept apart from sockets so they can be
// checked on their own.
namespace Protocol {

constexpr quint16 DefaultPort = 23165;

QString Serialize(const RetMsg &msg);
// The message as Serialize writes it, cut right after `msg.data`: a large
// payload goes between the two pieces straight into the reply instead of
// through a JSON object. The payload must need no JSON escapes.
void SerializeAround(const RetMsg &msg, QString &before, QString &after);
QString WriteDevicesJson(const QVector<QString> &devices);
// Standard Base64 wrapped every 76 characters with "\n", no final newline.
QString Base64Lines(const QByteArray &bytes);
// Device names of the maker's backends, in the order given.
QVector<QString> OfferedDevices(const QVector<QString> &saneNames);
// The port in port.txt's text, or 23165 when it holds no usable port.
quint16 ParsePort(const QByteArray &text, bool *ok = nullptr);

// A count or offset as the page writes it: decimal digits only, below 10^18;
// -1 for anything else (empty, a sign, blanks, letters).
qint64 ParseCount(const QString &text);

// What the dispatcher does with one message from the page.
struct PageCommand {
    enum Action {
        Ignore,       // an unknown word, or "CBASE64" without a path
        Busy,         // "CDEV", "COPT" or "CSCAN" while a job runs: code 1009
        ListDevices,  // "CDEV"
        ReadOptions,  // "COPT": args[0], when given, becomes the current device
        Scan,         // "CSCAN": args[0] the device, args[1] the settings JSON, each when given
        ReadFile,     // "CBASE64": args[0] the path
        ReadChunk,    // "CREAD": args the path, the offset and the length, as sent
        // Served also while a job runs: they touch neither the engine nor
        // the job's files.
        Version,      // "CVER"
        Status,       // "CSTATUS"
        Cancel,       // "CCANCEL"
        Replay,       // "CREPLAY"
        DeviceInfo,   // "CDEVINFO"
    };
    Action action = Ignore;
    // The pieces after the command word, as many as the command takes at
    // most; further pieces are dropped, so a "|" inside an argument cuts it.
    // "CREAD" always has three: its numbers are the last two pieces and its
    // path all before them, "|" included; what is missing is empty.
    QStringList args;
};
// The message split at every "|" (empty pieces kept) and judged by its first
// piece, compared exactly.
PageCommand ParseCommand(const QString &message, bool jobRunning);

// Base64Lines made piece by piece, so that a large file is read and encoded
// in chunks and never held whole beside its text. The line break is given:
// "\\n" writes the text as it stands inside a JSON string.
class Base64Writer
{
public:
    explicit Base64Writer(const char *lineBreak = "\n");
    // The text of the next `size` bytes of input, valid until the next call.
    // Up to two bytes are held back until more input or Finish.
    QLatin1String Add(const char *bytes, int size);
    // The text of the bytes held back, padded.
    QLatin1String Finish();
    // Length of the whole text of `bytes` bytes of input.
    static qint64 TextSize(qint64 bytes, int lineBreakSize);

private:
    char *room(int groups);
    void put(char *&at, const unsigned char *in, int count);

    QByteArray m_lineBreak;
    QByteArray m_text;
    unsigned char m_held[3] = {};
    int m_heldCount = 0;
    int m_column = 0;
};

} // namespace Protocol

#endif
