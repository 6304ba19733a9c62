#ifndef VELLOSCAN_SCANNEROPTION_H
#define VELLOSCAN_SCANNEROPTION_H

#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include "sanescan.h"

// The service's view of every known scanner's options: renders one device's
// table for the page and turns the page's scan settings back into an ordered
// list of option assignments for the device of a scan job.
// The service guarantees that one thread at a time uses an instance.
class ScannerOption : public QObject
{
    Q_OBJECT
public:
    ScannerOption() = default;

    void SetAllScannerOptions(const QHash<QString, OptionTable> &all);

    // Base64(values document) + "|" + Base64(options document); reads nothing
    // but its argument, so the main thread may call it at any time.
    static QString WriteJson(const OptionTable &options);

    void SetCurrentOptionNames(const QString &deviceName);
    // For a device the preload did not reach: the names it reports once open.
    void SetCurrentOptionNames(const QStringList &names) { m_currentOptionNames = names; }
    bool HasCurrentOptionNames() const { return !m_currentOptionNames.isEmpty(); }
    // The page's choices for options the current device has.
    QHash<QString, QString> GetOptionFromJson(const QHash<QString, QString> &choices) const;
    QHash<QString, QString> GetOptionFromJson(const QString &json) const;
    QVector<QPair<QString, QString>> OrganizeOptions(const QString &deviceName,
                                                     QHash<QString, QString> values);

    // Valid right after OrganizeOptions, for the job that called it.
    bool IsFlatbed() const { return m_isFlatbed; }

    // The maker's backends, by the start of the device name: the devices the
    // service offers, and the overhead scanners that have no feeder.
    static bool IsOfferedDevice(const QString &deviceName);
    static bool IsAlwaysFlatbed(const QString &deviceName);
    struct Backend;

private:
    static const Backend *BackendOf(const QString &deviceName);

    QStringList m_currentOptionNames;
    QHash<QString, OptionTable> m_allScannerOptions;
    bool m_isFlatbed = false;
};

#endif
