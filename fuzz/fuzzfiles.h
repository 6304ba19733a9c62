#ifndef VELLOSCAN_FUZZFILES_H
#define VELLOSCAN_FUZZFILES_H

#include <QString>

#include <cstddef>
#include <cstdint>

// The files the document targets hand to the product, which works on paths:
// one private folder per process under $TMPDIR (or /tmp), emptied after
// every input and removed at exit, so that a long run on a tmpfs keeps
// nothing but the files of the input at hand.
namespace FuzzFiles {

// libtiff's error and warning handlers are process-wide, and fuzzed files
// make them print on nearly every input: silenced, the fuzzer's own output
// stays readable.
void SilenceTiff();
// `size` bytes at `data` written to a new file `name` in the folder.
QString Write(const char *name, const uint8_t *data, size_t size);
// A path in the folder for the product to write.
QString Path(const char *name);
// Removes whatever is in the folder.
void Clear();

} // namespace FuzzFiles

#endif
