#ifndef VELLOSCAN_SAFEFILE_H
#define VELLOSCAN_SAFEFILE_H

// Writing files without ever replacing one. Pages and documents land in
// folders the user chose, beside the user's own files: whatever name a job
// computes, an existing file under it must survive, and a half-written file
// must never appear under a final name. Both helpers take paths in the local
// 8-bit encoding (QFile::encodeName) and are safe to call from any thread.

#include <cstdio>

namespace safefile {

// Creates a new, empty file at `path` and opens it for writing (with
// `forReading` also for reading), close-on-exec, mode 0666 before the umask.
// Fails when anything at all is at `path`: a file, a folder, a symbolic link
// (even a dangling one), so nothing is ever followed or truncated.
// Returns the descriptor, or -1 with errno set (EEXIST when the name is taken).
int createExclusive(const char *path, bool forReading = false);

// The same as a stdio stream ("wb", or "w+b" with `forReading`); null with
// errno set on failure. The caller closes it and checks fclose's result.
std::FILE *createExclusiveFile(const char *path, bool forReading = false);

// Renames `from` to `to` only when nothing is at `to`; both must be on the
// same file system (put the temporary file beside its destination).
// Returns true when renamed. False with errno set otherwise: EEXIST when the
// destination is taken (then `from` is left as it was), or the error of the
// rename itself.
//
// Where the file system supports it the check and the rename are one atomic
// step (renameat2 with RENAME_NOREPLACE). Where it does not (the kernel
// answers EINVAL or ENOSYS: FAT sticks, some network shares), the
// destination is checked just before a plain rename, which leaves a short
// window in which a file created by someone else could still be replaced.
bool renameNoReplace(const char *from, const char *to);

} // namespace safefile

#endif
