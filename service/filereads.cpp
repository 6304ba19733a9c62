#include "filereads.h"

#include "protocol.h"
#include "servedfiles.h"
#include "websocketoperation.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

    Chunk chunk;
    chunk.bytes.resize(int(wanted));
    qint64 got = 0;
    while (got < wanted) {
        const ssize_t n = ::pread(file.fd(), chunk.bytes.data() + got, size_t(wanted - got), off_t(offset + got));
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
    chunk.bytes.truncate(int(got));
    const QJsonObject description{{QStringLiteral("Path"), path},
                                  {QStringLiteral("Offset"), offset},
                                  {QStringLiteral("Length"), got},
                                  {QStringLiteral("Size"), size}};
    const QByteArray json = QJsonDocument(description).toJson(QJsonDocument::Compact);
    chunk.reply = Protocol::Serialize(Reply::ChunkHeader(QString::fromLatin1(json.toBase64())));
    chunk.found = true;
    return chunk;
}

// Read in the event loop's thread: a piece is at most 4 MiB from the page
// cache, which takes a few milliseconds, and answering here keeps the order
// of the replies without a queue of its own.
void WebSocketOperation::ReadChunk(const QStringList &args)
{
    const FileReads::Chunk chunk = FileReads::Read(m_servedFiles, args);
    SendText(chunk.reply);
    if (chunk.found && !m_clients.isEmpty())
        m_clients.first()->sendBinaryMessage(chunk.bytes);
}
