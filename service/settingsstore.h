#ifndef VELLOSCAN_SETTINGSSTORE_H
#define VELLOSCAN_SETTINGSSTORE_H

#include "scansettings.h"

#include <QString>

#include <memory>

class ConfigSetting;

// The "Scanner" group of SysConfig.ini: the file settings the jobs use and
// the running file number. The file is the main thread's alone.
class SettingsStore
{
public:
    SettingsStore();
    ~SettingsStore();

    // Creates the file when it is missing and reads it. `defaultImgPath` is
    // the output folder of a job whose page names none; it is stored as "".
    void Open(const QString &iniPath, const QString &defaultImgPath);
    QString Path() const { return m_iniPath; }

    SysConfig &Config() { return m_config; }
    // The running number and its digits, as read at start and advanced by
    // the jobs; the "ScanCount" a page sends goes only to the file.
    int ScanCount() const { return m_scanCount; }
    int MinCountSize() const { return m_scanMinCountSize; }

    void ReadSysConfig();
    void SaveSysConfig();
    // The running number, synced to the file at once: a restart after any
    // end of a job must not number files over ones already made.
    void StoreScanCount(int number);

private:
    std::unique_ptr<ConfigSetting> m_file;
    QString m_iniPath;
    QString m_defaultImgPath;
    SysConfig m_config;
    int m_scanCount = 1;
    int m_scanMinCountSize = 4;
};

#endif
