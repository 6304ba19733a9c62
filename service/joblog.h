#ifndef VELLOSCAN_JOBLOG_H
#define VELLOSCAN_JOBLOG_H

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the running job, or the last one, told the page: for "CSTATUS" and
// for "CREPLAY", which a page that reloaded uses to hear every message of
// the job it missed. Main thread only.
class JobLog
{
public:
    // The page that asked for the job; only a page of its origin may hear
    // it again ("" is an origin like any other).
    void Start(const QString &device, const QString &fileType, const QString &origin);
    void Record(const QString &message);
    void PageFinished() { ++m_pages; }
    void End() { m_ended.start(); }

    // "Scanning", "Device", "FileType", "Pages", "KeptPages".
    QJsonObject Status(bool scanning, int keptPages) const;
    // The job's messages in order, for a page of `origin`: the running
    // job's so far, or the last one's for a minute after it ended.
    QStringList Replay(const QString &origin, bool running) const;

private:
    QString m_device;
    QString m_fileType;
    QString m_origin;
    int m_pages = 0;
    bool m_started = false;
    QStringList m_messages;
    QElapsedTimer m_ended;
};

#endif
