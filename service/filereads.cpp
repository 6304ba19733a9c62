#include "filereads.h"

#include "protocol.h"
#include "servedfiles.h"
#include "websocketoperation.h"

#include <QJsonObject>
#include <QWebSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileReads::Chunk missing()
{
    FileReads::Chunk chunk;
    chunk.reply = Protocol::Serialize(Reply::Base64(QString()));
    return chunk;
}

} // namespace

FileReads::FileReads()
{
    // The socket copies each piece into blocks of its own size. Left to
    // itself, the allocator maps every such block afresh and unmaps it when
    // freed, and the kernel's page faults then cost twice the rest of a
    // read. Blocks up to two pieces come from the heap instead, and up to
    // four pieces' worth stay there between pieces; the service hands them
    // back once its socket has been quiet. Set once, for the whole process.
    ::mallopt(M_MMAP_THRESHOLD, int(2 * MaxLength));
    ::mallopt(M_TRIM_THRESHOLD, int(4 * MaxLength));
}

FileReads::Chunk FileReads::Read(const ServedFiles &files, const QStringList &args)
{
    const QString path = args.value(0);
    const qint64 offset = Protocol::ParseCount(args.value(1));
    const qint64 asked = Protocol::ParseCount(args.value(2));
    if (offset < 0 || asked < 0)
        return missing();
    const FileDescriptor file = files.Open(path);
    struct stat st;
    if (!file.isOpen() || ::fstat(file.fd(), &st) != 0)
        return missing();
    const qint64 size = st.st_size;
    const qint64 wanted = offset >= size ? 0 : qMin(qMin(asked, MaxLength), size - offset);

    if (!m_buffer)
        m_buffer.reset(new char[MaxLength]);
    qint64 got = 0;
    while (got < wanted) {
        const ssize_t n = ::pread(file.fd(), m_buffer.get() + got, size_t(wanted - got), off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "velloscan: cannot read %s: %s\n", qUtf8Printable(path), std::strerror(errno));
            return missing();
        }
        // A file cut short meanwhile: what was there is the piece.
        if (n == 0)
            break;
        got += n;
    }
    Chunk chunk;
    chunk.bytes = QByteArray::fromRawData(m_buffer.get(), int(got));
    const QJsonObject description{{QStringLiteral("Path"), path},
                                  {QStringLiteral("Offset"), offset},
                                  {QStringLiteral("Length"), got},
                                  {QStringLiteral("Size"), size}};
    chunk.reply = Protocol::Serialize(Reply::ChunkHeader(description));
    chunk.found = true;
    return chunk;
}

namespace {

// What the socket may hold unsent before the next read waits for it: a page
// that asks for a whole file at once gets it at the pace it takes it, and the
// service holds two pieces of it, not the file.
constexpr qint64 MaxUnsent = 2 * FileReads::MaxLength;

} // namespace

// Read in the event loop's thread: a piece is at most 4 MiB from the page
// cache, which takes a few milliseconds, and answering here keeps the order
// of the replies without a queue of its own.
void WebSocketOperation::ReadChunk(const QStringList &args)
{
    QWebSocket *socket = m_clients.value(0);
    if (socket && socket->bytesToWrite() > MaxUnsent) {
        WaitToRead(socket, args);
        return;
    }
    const FileReads::Chunk chunk = m_fileReads.Read(m_servedFiles, args);
    SendText(chunk.reply);
    // The socket copies the bytes before it returns.
    if (chunk.found && socket) {
        socket->sendBinaryMessage(chunk.bytes);
        m_trimArmed = true;
    }
}

// The command goes back to the head of the line, and the line waits, as it
// does for a Base64 reply, until the socket has sent enough or the page left.
void WebSocketOperation::WaitToRead(QWebSocket *socket, const QStringList &args)
{
    const QString command = QStringLiteral("CREAD|") + args.join(QLatin1Char('|'));
    m_waitingMessages.prepend(command);
    m_waitingText += command.size();
    m_base64Pending = true;
    auto *waiter = new QObject(socket);
    const auto stopWaiting = [socket, waiter] {
        QObject::disconnect(socket, nullptr, waiter, nullptr);
        waiter->deleteLater();
    };
    connect(socket, &QWebSocket::bytesWritten, waiter, [this, socket, stopWaiting] {
        if (socket->bytesToWrite() > MaxUnsent)
            return;
        stopWaiting();
        m_base64Pending = false;
        DispatchWaiting();
    });
    // The page's leaving has emptied the line.
    connect(socket, &QWebSocket::disconnected, waiter, [this, stopWaiting] {
        stopWaiting();
        m_base64Pending = false;
    });
}
