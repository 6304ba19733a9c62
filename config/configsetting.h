#ifndef VELLOSCAN_CONFIGSETTING_H
#define VELLOSCAN_CONFIGSETTING_H

#include <QObject>
#include <QSettings>
#include <QString>

#include <memory>

// The service's INI settings file, as UTF-8 text. Changes reach the disk at
// sync(), or when Qt next syncs the settings on its own. Like any QSettings,
// it belongs to the thread it was made in: Qt's own syncs run there.
class ConfigSetting : public QObject
{
public:
    explicit ConfigSetting(const QString &path);
    ~ConfigSetting() override;

    // Empties value; false when group or key is empty. A missing key reads
    // as an empty value and still returns true.
    bool readInit(const QString &group, const QString &key, QString &value);
    // Does nothing when group or key is empty.
    void writeInit(const QString &group, const QString &key, const QString &value);
    // Writes pending changes to the disk now (atomically, by a rename).
    void sync();

private:
    std::unique_ptr<QSettings> m_settings;
};

#endif
