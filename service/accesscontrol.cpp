#include "accesscontrol.h"

#include "configsetting.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QUrl>

#include <cstdio>

namespace {

const QString Group = QStringLiteral("Service");

// The value of `key`, the machine's winning when it has one, and the file it came from.
QString lookUp(const QString &key, ConfigSetting &user, const QString &userPath, ConfigSetting &machine,
               const QString &machinePath, QString &source)
{
    QString value;
    machine.readInit(Group, key, value);
    source = machinePath;
    if (value.trimmed().isEmpty()) {
        user.readInit(Group, key, value);
        source = userPath;
    }
    return value.trimmed();
}

} // namespace

bool AccessControl::Read(const QString &userSettings, const QString &machineSettings)
{
    QFile machineFile(machineSettings);
    if (machineFile.exists() && !machineFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "velloscan: cannot read %s (%s); not starting without its limits\n",
                     qUtf8Printable(machineSettings), qUtf8Printable(machineFile.errorString()));
        return false;
    }
    ConfigSetting user(userSettings);
    ConfigSetting machine(machineSettings);
    QString source;

    QString address = lookUp(QStringLiteral("ListenAddress"), user, userSettings, machine, machineSettings, source);
    if (!address.isEmpty()) {
        if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
            address = address.mid(1, address.size() - 2);
        if (!m_address.setAddress(address)) {
            std::fprintf(stderr, "velloscan: ListenAddress %s in %s is not an IP address; not starting\n",
                         qUtf8Printable(address), qUtf8Printable(source));
            return false;
        }
    }

    const QString origins = lookUp(QStringLiteral("AllowedOrigins"), user, userSettings, machine, machineSettings, source);
    if (!origins.isEmpty())
        SetAllowedOrigins(origins, source);

    const QString folders = lookUp(QStringLiteral("OutputFolders"), user, userSettings, machine, machineSettings, source);
    for (QString entry : folders.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        entry = entry.trimmed();
        if (entry == QLatin1String("~") || entry.startsWith(QLatin1String("~/")))
            entry = QDir::homePath() + entry.mid(1);
        if (!entry.isEmpty())
            m_outputFolders << entry;
    }
    return true;
}

void AccessControl::SetAllowedOrigins(const QString &list, const QString &source)
{
    m_restricted = true;
    for (const QString &entry : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString origin = Normalize(entry);
        if (origin.isEmpty())
            std::fprintf(stderr, "velloscan: %s in AllowedOrigins of %s is not an origin; it admits no page\n",
                         qUtf8Printable(entry.trimmed()), qUtf8Printable(source));
        else
            m_origins.insert(origin);
    }
}

bool AccessControl::Allows(const QString &origin) const
{
    if (!m_restricted || origin.isEmpty())
        return true;
    const QString normalized = Normalize(origin);
    return !normalized.isEmpty() && m_origins.contains(normalized);
}

QString AccessControl::Normalize(const QString &origin)
{
    const QString text = origin.trimmed();
    if (text.compare(QLatin1String("null"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("null");
    const QUrl url(text, QUrl::StrictMode);
    // An origin is scheme, host and port; a path, query or user is a page's
    // address, not an origin. A single "/" is forgiven in a hand-written list.
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty() || !url.userInfo().isEmpty()
        || url.hasQuery() || url.hasFragment() || (!url.path().isEmpty() && url.path() != QLatin1String("/")))
        return QString();
    const QString scheme = url.scheme().toLower();
    // Browsers send a host in its ASCII form.
    QString host = url.host(QUrl::FullyEncoded).toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    int port = url.port();
    const bool secure = scheme == QLatin1String("https") || scheme == QLatin1String("wss");
    const bool plain = scheme == QLatin1String("http") || scheme == QLatin1String("ws");
    if ((secure && port == 443) || (plain && port == 80))
        port = -1;
    return scheme + QStringLiteral("://") + host + (port >= 0 ? QLatin1Char(':') + QString::number(port) : QString());
}
