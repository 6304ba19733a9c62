#include "configsetting.h"

#include <QStringList>
#include <QVariant>

ConfigSetting::ConfigSetting(const QString &path)
    : m_settings(std::make_unique<QSettings>(path, QSettings::IniFormat))
{
    m_settings->setIniCodec("utf8");
}

ConfigSetting::~ConfigSetting() = default;

bool ConfigSetting::readInit(const QString &group, const QString &key, QString &value)
{
    value.clear();
    if (group.isEmpty() || key.isEmpty())
        return false;
    const QVariant stored = m_settings->value(group + QLatin1Char('/') + key);
    // An unquoted value with commas, as a hand-edited file may hold, comes
    // back as a list; keep its text rather than reading it as empty.
    if (stored.type() == QVariant::StringList)
        value = stored.toStringList().join(QLatin1Char(','));
    else
        value = stored.toString();
    return true;
}

void ConfigSetting::writeInit(const QString &group, const QString &key, const QString &value)
{
    if (group.isEmpty() || key.isEmpty())
        return;
    m_settings->beginGroup(group);
    m_settings->setValue(key, value);
    m_settings->endGroup();
}

void ConfigSetting::sync()
{
    m_settings->sync();
}
