#ifndef VELLOSCAN_SERVEDFILES_H
#define VELLOSCAN_SERVEDFILES_H

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

// The files a page may read back: anything in the scratch folders, and the
// page files and documents this service wrote since it started. The page
// chooses the output folder, so "inside the output folder" would let it read
// every file of the user; a record of what we wrote cannot be talked into
// that. Used by the main thread only.
class ServedFiles
{
public:
    void AddRoot(const QString &dir);
    void AddFile(const QString &path);

    // The whole content of `path` when it may be served. Missing files give
    // false quietly; refused ones with a line on standard error. The file is
    // opened once, without following a link in its last component, and the
    // opened file itself is checked, so swapping the entry between check and
    // read gains nothing.
    bool Read(const QString &path, QByteArray &content) const;

private:
    bool Allowed(const QString &realPath) const;

    QStringList m_roots; // canonical, each ending in "/"
    QSet<QString> m_files; // canonical
};

#endif
