#ifndef VELLOSCAN_ACCESSCONTROL_H
#define VELLOSCAN_ACCESSCONTROL_H

#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QStringList>

// Who may reach the service. By default it listens on every interface and
// serves a page from any origin, as pages in the field expect. The "Service"
// group of the user's settings narrows that, and so does the machine's file
// for every user, whose values win. Read once, at start.
class AccessControl
{
public:
    static constexpr const char *MachineSettings = "/etc/velloscan/velloscan.ini";

    // Reads "ListenAddress", "AllowedOrigins" and "OutputFolders" from both files. False, said
    // on standard error, when the machine's file cannot be read or the
    // address is not one: the service must then not start rather than serve
    // more widely than it was told to.
    bool Read(const QString &userSettings, const QString &machineSettings);

    QHostAddress ListenAddress() const { return m_address; }
    bool Narrowed() const { return m_address != QHostAddress(QHostAddress::Any); }
    // "OutputFolders": the folders pages may have files written in, "~" at
    // the start of an entry standing for the home folder; empty when any.
    QStringList OutputFolders() const { return m_outputFolders; }
    // A handshake without an origin comes from no browser and is served.
    bool Allows(const QString &origin) const;

    // An origin as browsers send it and as compared here: scheme and host in
    // lower case, the scheme's default port dropped; "null" stays "null".
    // Empty for text that is no origin.
    static QString Normalize(const QString &origin);

private:
    void SetAllowedOrigins(const QString &list, const QString &source);

    QHostAddress m_address{QHostAddress::Any};
    // Only consulted when m_restricted; may be empty when no entry was an
    // origin, which then serves no browser page rather than every one.
    QSet<QString> m_origins;
    bool m_restricted = false;
    QStringList m_outputFolders;
};

#endif
