#include "settingsstore.h"

#include "configsetting.h"

#include <QDir>
#include <QFile>

namespace {

const QString Group = QStringLiteral("Scanner");

void createIfMissing(const QString &path)
{
    if (!QFile::exists(path)) {
        QFile ini(path);
        ini.open(QIODevice::ReadWrite);
    }
}

} // namespace

SettingsStore::SettingsStore() = default;
SettingsStore::~SettingsStore() = default;

void SettingsStore::Open(const QString &iniPath, const QString &defaultImgPath)
{
    m_iniPath = iniPath;
    m_defaultImgPath = defaultImgPath;
    createIfMissing(iniPath);
    m_file = std::make_unique<ConfigSetting>(iniPath);
    ReadSysConfig();
}

void SettingsStore::ReadSysConfig()
{
    QString value;
    m_file->readInit(Group, QStringLiteral("ImgPath"), value);
    // The default output folder is whichever scratch folder this start uses.
    // Older copies stored its fixed name, which may now be someone else's.
    const bool isDefault = value.isEmpty() || value == QDir::tempPath() + QStringLiteral("/tempvelloscanimg");
    m_config.imgPath = isDefault ? m_defaultImgPath : value;
    m_file->readInit(Group, QStringLiteral("Prefix"), value);
    m_config.prefix = value;
    m_file->readInit(Group, QStringLiteral("ImageFormat"), value);
    m_config.imageFormat = value.isEmpty() ? QStringLiteral("tiff") : value;
    m_file->readInit(Group, QStringLiteral("ScanCount"), value);
    if (value.isEmpty()) {
        m_config.scanCount = 1;
    } else {
        m_config.scanCount = ScanSettings::ClampedNumber(value, "ScanCount", ScanSettings::MaxScanCount);
        m_scanCount = m_config.scanCount;
    }
    m_file->readInit(Group, QStringLiteral("ScanMinCountSize"), value);
    if (value.isEmpty()) {
        m_config.scanMinCountSize = 4;
    } else {
        m_config.scanMinCountSize =
            ScanSettings::ClampedNumber(value, "ScanMinCountSize", ScanSettings::MaxMinCountSize);
        m_scanMinCountSize = m_config.scanMinCountSize;
    }
}

void SettingsStore::SaveSysConfig()
{
    createIfMissing(m_iniPath);
    m_file->writeInit(Group, QStringLiteral("Prefix"), m_config.prefix);
    m_file->writeInit(Group, QStringLiteral("ScanCount"), QString::number(m_config.scanCount));
    m_file->writeInit(Group, QStringLiteral("ImgPath"),
                      m_config.imgPath == m_defaultImgPath ? QString() : m_config.imgPath);
    m_file->writeInit(Group, QStringLiteral("ImageFormat"), m_config.imageFormat);
    m_file->writeInit(Group, QStringLiteral("ScanMinCountSize"), QString::number(m_config.scanMinCountSize));
    m_file->sync();
}

void SettingsStore::StoreScanCount(int number)
{
    m_scanCount = number;
    // At once, not at Qt's next sync: the stored number must survive a crash
    // or a kill, or the next start numbers files over it.
    m_file->writeInit(Group, QStringLiteral("ScanCount"), QString::number(number));
    m_file->sync();
}
