#ifndef VELLOSCAN_SCRATCHFOLDER_H
#define VELLOSCAN_SCRATCHFOLDER_H

#include <QString>

// The scratch folders live in the shared temporary folder under fixed names,
// where another local user can make them first: as a link into our files
// (which the start would then empty) or as a folder of theirs (in which they
// could read or swap our pages). We only ever use a real folder of our own
// that nobody else may enter.
namespace ScratchFolder {

// True when `path` is, or has now been made, a real folder owned by this
// user with mode 0700; a wider mode of our own folder is narrowed. Otherwise
// false, with the reason in `why`.
bool Ensure(const QString &path, QString *why = nullptr);

// `wanted` when Ensure accepts it; else `wanted` + "-" + the user id, or
// failing that a fresh folder made by mkdtemp beside it, said on standard
// error. When no folder at all can be made, the per-user name, which the
// jobs try again.
QString Prepare(const QString &wanted);

} // namespace ScratchFolder

// Removes the files (and links) in `path` and in every folder below it; the
// folders stay, and a linked folder is never entered. Nothing for "".
void ClearDirectory(const QString &path);
// Removes the files and links directly in `dir`; failures are ignored.
void RemoveFiles(const QString &dir);

#endif
