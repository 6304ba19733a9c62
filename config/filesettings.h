#ifndef VELLOSCAN_FILESETTINGS_H
#define VELLOSCAN_FILESETTINGS_H

#include <QHash>
#include <QString>

#include <array>
#include <optional>

// The keys of the page's scan settings that configure the output files,
// and the one reading of that JSON: every other key is an option choice.
// A device option of a file setting's name is never set from them.
namespace FileSettings {

enum Key { FilePath, FilePrefix, FileType, ScanCount, ScanMinCountSize, DeleteFilesBeforeScan, ShowBase64, KeyCount };

extern const char *const Keys[KeyCount];

// The key's index, or -1 for any other key.
int IndexOf(const QString &key);

struct PageSettings {
    // The file settings the page named, by Key; one it left out stays empty.
    std::array<std::optional<QString>, KeyCount> files;
    // Every other key with its text: the option choices.
    QHash<QString, QString> choices;
};

// Values that are not strings read as "" (a number, a boolean, null); JSON
// that does not parse, or is no object, yields nothing.
PageSettings Read(const QString &json);

} // namespace FileSettings

#endif
