#include "protocol.h"

#include "scanneroption.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

QString Protocol::Serialize(const RetMsg &msg)
{
    QJsonObject o;
    o.insert(QStringLiteral("Cmd"), msg.cmd);
    o.insert(QStringLiteral("Code"), msg.code);
    o.insert(QStringLiteral("Msg"), msg.msg);
    o.insert(QStringLiteral("Data"), msg.data);
    o.insert(QStringLiteral("DataType"), msg.dataType);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString Protocol::WriteDevicesJson(const QVector<QString> &devices)
{
    QJsonArray devs;
    for (int i = 0; i < devices.size(); ++i)
        devs.append(QJsonObject{{QStringLiteral("Index"), i}, {QStringLiteral("Name"), devices[i]}});
    if (devices.isEmpty())
        devs.append(QJsonObject{{QStringLiteral("Index"), 0}, {QStringLiteral("Name"), QString()}});
    const QByteArray json =
        QJsonDocument(QJsonObject{{QStringLiteral("Devs"), devs}}).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(json.toBase64());
}

QString Protocol::Base64Lines(const QByteArray &bytes)
{
    Base64Writer writer;
    QString text;
    text.reserve(int(Base64Writer::TextSize(bytes.size(), 1)));
    text += writer.Add(bytes.constData(), bytes.size());
    text += writer.Finish();
    return text;
}

void Protocol::SerializeAround(const RetMsg &msg, QString &before, QString &after)
{
    RetMsg marked = msg;
    marked.data += QChar(1);
    const QString text = Serialize(marked);
    // The members after "Data" are fixed words, so the last mark is ours.
    const QLatin1String mark("\\u0001");
    const int at = text.lastIndexOf(mark);
    before = text.left(at);
    after = text.mid(at + mark.size());
}

namespace {

constexpr int LineLength = 76;
const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

Protocol::Base64Writer::Base64Writer(const char *lineBreak)
    : m_lineBreak(lineBreak)
{
}

qint64 Protocol::Base64Writer::TextSize(qint64 bytes, int lineBreakSize)
{
    const qint64 chars = (bytes + 2) / 3 * 4;
    const qint64 lines = (chars + LineLength - 1) / LineLength;
    return chars + qMax<qint64>(0, lines - 1) * lineBreakSize;
}

char *Protocol::Base64Writer::room(int groups)
{
    const int needed = groups * 4 + (groups * 4 / LineLength + 1) * m_lineBreak.size();
    if (m_text.size() < needed)
        m_text.resize(needed);
    return m_text.data();
}

void Protocol::Base64Writer::put(char *&at, const unsigned char *in, int count)
{
    // Lines hold 19 whole groups, so a break only ever falls between groups.
    if (m_column == LineLength) {
        std::memcpy(at, m_lineBreak.constData(), size_t(m_lineBreak.size()));
        at += m_lineBreak.size();
        m_column = 0;
    }
    const unsigned v = unsigned(in[0]) << 16 | (count > 1 ? unsigned(in[1]) << 8 : 0u) | (count > 2 ? in[2] : 0u);
    at[0] = Alphabet[v >> 18 & 63];
    at[1] = Alphabet[v >> 12 & 63];
    at[2] = count > 1 ? Alphabet[v >> 6 & 63] : '=';
    at[3] = count > 2 ? Alphabet[v & 63] : '=';
    at += 4;
    m_column += 4;
}

QLatin1String Protocol::Base64Writer::Add(const char *bytes, int size)
{
    const auto *in = reinterpret_cast<const unsigned char *>(bytes);
    char *const start = room((m_heldCount + size) / 3);
    char *at = start;
    if (m_heldCount > 0) {
        while (m_heldCount < 3 && size > 0) {
            m_held[m_heldCount++] = *in++;
            --size;
        }
        if (m_heldCount < 3)
            return QLatin1String(start, 0);
        put(at, m_held, 3);
        m_heldCount = 0;
    }
    for (; size >= 3; in += 3, size -= 3)
        put(at, in, 3);
    while (size-- > 0)
        m_held[m_heldCount++] = *in++;
    return QLatin1String(start, int(at - start));
}

QLatin1String Protocol::Base64Writer::Finish()
{
    char *const start = room(1);
    char *at = start;
    if (m_heldCount > 0)
        put(at, m_held, m_heldCount);
    m_heldCount = 0;
    return QLatin1String(start, int(at - start));
}

QVector<QString> Protocol::OfferedDevices(const QVector<QString> &saneNames)
{
    QVector<QString> offered;
    for (const QString &name : saneNames) {
        if (ScannerOption::IsOfferedDevice(name))
            offered.append(name);
    }
    return offered;
}

quint16 Protocol::ParsePort(const QByteArray &text, bool *ok)
{
    bool parsed = false;
    const int port = text.trimmed().toInt(&parsed, 10);
    // A number outside the port range would wrap to some unrelated port.
    const bool usable = parsed && port > 0 && port <= 65535;
    if (ok)
        *ok = usable;
    return usable ? quint16(port) : DefaultPort;
}

qint64 Protocol::ParseCount(const QString &text)
{
    constexpr int MaxDigits = 18;
    if (text.isEmpty() || text.size() > MaxDigits)
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        // Only ASCII digits: QChar::isDigit would take other scripts' digits too.
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

Protocol::PageCommand Protocol::ParseCommand(const QString &message, bool jobRunning)
{
    QStringList pieces = message.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    const QString word = pieces.takeFirst();
    PageCommand command;
    int takes = 0;
    if (word == QLatin1String("CDEV")) {
        command.action = PageCommand::ListDevices;
    } else if (word == QLatin1String("COPT")) {
        command.action = PageCommand::ReadOptions;
        takes = 1;
    } else if (word == QLatin1String("CSCAN")) {
        command.action = PageCommand::Scan;
        takes = 2;
    } else if (word == QLatin1String("CBASE64")) {
        if (!pieces.isEmpty()) {
            command.action = PageCommand::ReadFile;
            takes = 1;
        }
    } else if (word == QLatin1String("CREAD")) {
        command.action = PageCommand::ReadChunk;
        takes = 3;
        while (pieces.size() < takes)
            pieces.append(QString());
        while (pieces.size() > takes)
            pieces[0] += QLatin1Char('|') + pieces.takeAt(1);
    }
    static const QHash<QString, PageCommand::Action> anyTime{
        {QStringLiteral("CVER"), PageCommand::Version},     {QStringLiteral("CSTATUS"), PageCommand::Status},
        {QStringLiteral("CCANCEL"), PageCommand::Cancel},   {QStringLiteral("CREPLAY"), PageCommand::Replay},
        {QStringLiteral("CDEVINFO"), PageCommand::DeviceInfo},
    };
    if (command.action == PageCommand::Ignore) {
        command.action = anyTime.value(word, PageCommand::Ignore);
        return command;
    }
    // Reading files back touches neither the engine nor the job.
    const bool readsFiles = command.action == PageCommand::ReadFile || command.action == PageCommand::ReadChunk;
    if (jobRunning && !readsFiles) {
        // The engine and the job's state belong to the scan thread until the
        // job has ended; the page hears at once rather than waiting behind it.
        command.action = PageCommand::Busy;
        takes = 0;
    }
    command.args = pieces.mid(0, takes);
    return command;
}
