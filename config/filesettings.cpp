#include "filesettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

const char *const FileSettings::Keys[KeyCount] = {
    "FilePath", "FilePrefix", "FileType", "ScanCount", "ScanMinCountSize", "DeleteFilesBeforeScan", "ShowBase64",
};

int FileSettings::IndexOf(const QString &key)
{
    for (int i = 0; i < KeyCount; ++i) {
        if (key == QLatin1String(Keys[i]))
            return i;
    }
    return -1;
}

FileSettings::PageSettings FileSettings::Read(const QString &json)
{
    PageSettings settings;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return settings;
    const QJsonObject object = doc.object(); // empty for an array document
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString text = it.value().isString() ? it.value().toString() : QString();
        const int index = IndexOf(it.key());
        if (index >= 0)
            settings.files[size_t(index)] = text;
        else
            settings.choices.insert(it.key(), text);
    }
    return settings;
}
