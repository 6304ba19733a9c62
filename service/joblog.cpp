#include "joblog.h"

namespace {

// Messages kept per job: a day's worth of any feeder, and a bound on what a
// scanner that never stops can make us hold.
constexpr int MaxMessages = 10000;
constexpr qint64 ReplayAfterEndMs = 60 * 1000;

} // namespace

void JobLog::Start(const QString &device, const QString &fileType, const QString &origin)
{
    m_device = device;
    m_fileType = fileType;
    m_origin = origin;
    m_pages = 0;
    m_started = true;
    m_messages.clear();
    m_ended.invalidate();
}

void JobLog::Record(const QString &message)
{
    if (m_messages.size() < MaxMessages)
        m_messages.append(message);
}

QJsonObject JobLog::Status(bool scanning, int keptPages) const
{
    return {{QStringLiteral("Scanning"), scanning},
            {QStringLiteral("Device"), m_device},
            {QStringLiteral("FileType"), m_fileType},
            {QStringLiteral("Pages"), m_pages},
            {QStringLiteral("KeptPages"), keptPages}};
}

QStringList JobLog::Replay(const QString &origin, bool running) const
{
    if (!m_started || origin != m_origin)
        return {};
    if (!running && (!m_ended.isValid() || m_ended.elapsed() >= ReplayAfterEndMs))
        return {};
    return m_messages;
}
