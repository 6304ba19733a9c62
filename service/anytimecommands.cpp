// Commands a page may send at any time, also while a job runs: which
// service this is, how the job goes, stop it, and tell it all again.
#include "websocketoperation.h"

#include "scanjob.h"

#include <QJsonArray>

void WebSocketOperation::ReplyVersion()
{
    // What a page may use beyond the commands every copy answers.
    const QJsonArray extensions{QStringLiteral("cancel"), QStringLiteral("status"), QStringLiteral("progress"),
                                QStringLiteral("continue"), QStringLiteral("replay"), QStringLiteral("devinfo"),
                                QStringLiteral("read")};
    SendMsg(Reply::Version({{QStringLiteral("Version"), QStringLiteral(VELLOSCAN_VERSION)},
                            {QStringLiteral("Extensions"), extensions}}));
}

void WebSocketOperation::ReplyStatus()
{
    SendMsg(Reply::Status(m_jobLog.Status(m_job != nullptr, int(m_kept.files.size()))));
}

void WebSocketOperation::CancelJob()
{
    SendMsg(Reply::CancelAnswer(m_job && m_job->Cancel()));
}

void WebSocketOperation::ReplayJob()
{
    for (const QString &message : m_jobLog.Replay(m_clientOrigin, m_job != nullptr))
        emit sendMessage(message);
}
