#include "base64replies.h"

#include "protocol.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ChunkSize = 1 << 20;
// Inside a JSON string a line break is written as these two characters.
const char JsonLineBreak[] = "\\n";

enum class Outcome { Encoded, TooLarge, Unreadable, Stopped };

qint64 sizeOf(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
}

void sayTooLarge(const QString &path, qint64 size)
{
    std::fprintf(stderr, "velloscan: not sending %s as Base64: it holds %lld bytes, more than the %lld allowed\n",
                 qUtf8Printable(path), size, Base64Replies::MaxFileSize);
}

// Feeds the Base64 text of the file, lines joined for a JSON string, to
// `sink` a chunk at a time. A file that grows past the limit while it is
// read is too large as well.
template <typename Sink>
Outcome encode(int fd, const QString &path, char *chunk, const std::atomic<bool> &stopped, Sink sink)
{
    Protocol::Base64Writer writer(JsonLineBreak);
    qint64 total = 0;
    for (;;) {
        if (stopped)
            return Outcome::Stopped;
        const ssize_t got = ::read(fd, chunk, ChunkSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "velloscan: cannot read %s: %s\n", qUtf8Printable(path), std::strerror(errno));
            return Outcome::Unreadable;
        }
        if (got == 0)
            break;
        total += got;
        if (total > Base64Replies::MaxFileSize) {
            sayTooLarge(path, qMax(total, sizeOf(fd)));
            return Outcome::TooLarge;
        }
        sink(writer.Add(chunk, int(got)));
    }
    sink(writer.Finish());
    return Outcome::Encoded;
}

int textSize(qint64 fileSize)
{
    return int(Protocol::Base64Writer::TextSize(fileSize, int(sizeof JsonLineBreak) - 1));
}

} // namespace

Base64Replies::Base64Replies()
    : m_chunk(new char[ChunkSize])
{
    m_pool.setMaxThreadCount(1);
}

Base64Replies::~Base64Replies()
{
    Stop();
}

void Base64Replies::Stop()
{
    m_stopped = true;
    m_pool.clear();
    m_pool.waitForDone();
}

void Base64Replies::Run(std::function<QString()> make, Done done)
{
    m_pool.start([this, make, done] {
        const QString message = make();
        if (m_stopped)
            return;
        QMetaObject::invokeMethod(this, [this, done, message] {
            if (!m_stopped)
                done(message);
        }, Qt::QueuedConnection);
    });
}

void Base64Replies::FileReply(FileDescriptor file, const QString &path, Done done)
{
    // Shared, because the pool's tasks are copyable; it closes with the task.
    const auto held = std::make_shared<FileDescriptor>(std::move(file));
    Run([this, held, path] { return MakeFileReply(held->fd(), path); }, std::move(done));
}

void Base64Replies::PageReport(FileDescriptor file, const QString &path, Done done)
{
    const auto held = std::make_shared<FileDescriptor>(std::move(file));
    Run([this, held, path] { return MakePageReport(held->fd(), path); }, std::move(done));
}

QString Base64Replies::MakeFileReply(int fd, const QString &path)
{
    RetMsg msg = Reply::Base64(QString());
    if (fd < 0)
        return Protocol::Serialize(msg);
    const qint64 size = sizeOf(fd);
    if (size > MaxFileSize) {
        sayTooLarge(path, size);
        return Protocol::Serialize(msg);
    }
    QString before, after;
    Protocol::SerializeAround(msg, before, after);
    // Reserved once for the whole reply: appending a few hundred megabytes
    // piece by piece would copy them again at every doubling.
    QString text;
    text.reserve(before.size() + textSize(size) + after.size());
    text += before;
    if (encode(fd, path, m_chunk.get(), m_stopped, [&text](QLatin1String piece) { text += piece; }) != Outcome::Encoded)
        return Protocol::Serialize(msg);
    text += after;
    return text;
}

QString Base64Replies::MakePageReport(int fd, const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower() + QLatin1Char('|');
    auto namingThePath = [&path] { return Protocol::Serialize(Reply::PagePath(path)); };
    const qint64 size = fd >= 0 ? sizeOf(fd) : 0;
    if (size > MaxFileSize) {
        sayTooLarge(path, size);
        return namingThePath();
    }

    // The report's data is the Base64 of {"Base64Data":text,"ImagePath":path},
    // written with a mark for the text. "Base64Data" comes first, so the
    // first mark is that one, whatever the path holds.
    const QJsonObject shape{{QStringLiteral("Base64Data"), QString(QChar(1))}, {QStringLiteral("ImagePath"), path}};
    const QByteArray json = QJsonDocument(shape).toJson(QJsonDocument::Compact);
    const QByteArray markText("\\u0001");
    const int mark = json.indexOf(markText);
    QByteArray inner;
    inner.reserve(json.size() + textSize(size));
    inner.append(json.constData(), mark);
    if (fd >= 0) {
        const Outcome outcome = encode(fd, path, m_chunk.get(), m_stopped, [&inner](QLatin1String piece) {
            inner.append(piece.data(), piece.size());
        });
        if (outcome == Outcome::TooLarge)
            return namingThePath();
        if (outcome == Outcome::Stopped)
            return QString();
        // A file that cannot be read reports no text, as a missing one does.
        if (outcome == Outcome::Unreadable)
            inner.truncate(mark);
    }
    inner.append(json.mid(mark + markText.size()));
    const QByteArray encoded = inner.toBase64();
    inner = QByteArray();

    const RetMsg msg = Reply::PageBase64(suffix);
    QString before, after;
    Protocol::SerializeAround(msg, before, after);
    QString text;
    text.reserve(before.size() + encoded.size() + after.size());
    text += before;
    text += QLatin1String(encoded);
    text += after;
    return text;
}
