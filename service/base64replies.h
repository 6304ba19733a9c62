#ifndef VELLOSCAN_BASE64REPLIES_H
#define VELLOSCAN_BASE64REPLIES_H

#include "servedfiles.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

// Makes the messages that carry a file's Base64 text on a thread of its own,
// so that the event loop keeps serving while a large file is read and
// encoded. One file at a time, in the order asked: the messages come out in
// that order too. A file larger than MaxFileSize is not encoded at all; the
// text of one would outgrow what a page can take, and around twice that size
// the service's own memory.
class Base64Replies : public QObject
{
public:
    static constexpr qint64 MaxFileSize = qint64(256) * 1024 * 1024;
    // Runs in the owner's thread with the serialised message.
    using Done = std::function<void(const QString &message)>;

    Base64Replies();
    ~Base64Replies() override;

    // "SBASE64" with the file's text. A closed `file` (missing or refused)
    // and a file over the limit get the reply of a missing file.
    void FileReply(FileDescriptor file, const QString &path, Done done);
    // The page report of a "ShowBase64" job, naming the path instead when
    // the file is over the limit.
    void PageReport(FileDescriptor file, const QString &path, Done done);
    // Drops what has not started, ends what runs and waits for it; no Done
    // runs after this.
    void Stop();

private:
    void Run(std::function<QString()> make, Done done);
    QString MakeFileReply(int fd, const QString &path);
    QString MakePageReport(int fd, const QString &path);

    QThreadPool m_pool;
    std::atomic<bool> m_stopped{false};
    // The read buffer, kept for the life of the service rather than taken
    // from the heap at every request. Only the pool's one thread uses it,
    // one task at a time.
    std::unique_ptr<char[]> m_chunk;
};

#endif
