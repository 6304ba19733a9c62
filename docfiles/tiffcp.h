#ifndef VELLOSCAN_TIFFCP_H
#define VELLOSCAN_TIFFCP_H

// The directory copier behind combine2multiff: compression specs, input paths
// with directory lists, the per-directory copy and its copy routines.
//
// Everything here works on process-wide copy options (see tiffcp.cpp) that are
// deliberately unguarded. Only one thread at a time may call into this header;
// combine2multiff serialises its callers with a mutex, anybody else calling
// these functions directly must make sure no assembly runs at the same time.

#include <cstdint>
#include <memory>
#include <tiffio.h>

// Owner of a buffer allocated through libtiff (limitMalloc).
struct TiffBufferFree {
    void operator()(void *p) const { if (p) _TIFFfree(p); }
};
using TiffBuffer = std::unique_ptr<uint8_t, TiffBufferFree>;

// Applies a compression spec such as "lzw", "zip:p9" or "jpeg:90". Returns 1
// when accepted (the copy options then carry it), 0 when refused; a refused
// spec leaves the options untouched.
int processCompressOptions(const char *opt);
// Reads the ':' suffixes of "zip", "lzma", "zstd" and "webp" specs. Returns
// 1 when every suffix is understood, 0 otherwise (options untouched then).
int processZIPOptions(const char *opt);

// `imageSpec` points at a writable input path "file[,dir[,dir...]]". Opens the
// file, selects the first listed directory and leaves the cursor on the rest
// of the list, or null when every directory is to be copied in file order.
// Returns null when the file or its first listed directory can't be had, or
// when the list is malformed.
TIFF *openSrcImage(char **imageSpec);
// Moves `tif` to the next listed directory; 1 when it did, 0 at the end of
// the list or when the directory does not exist.
int nextSrcImage(TIFF *tif, char **imageSpec);

// Resets the per-directory working values from the copy options; called
// before every directory that is copied.
void resetDirectoryValues();
// Copies the current directory of `in` into the current, new directory of
// `out` (the caller writes it). 1 on success, 0 on failure.
int tiffcp(TIFF *in, TIFF *out);
// Copies one tag when `in` has it; count 65535 means an array of any length.
void cpTag(TIFF *in, TIFF *out, uint16_t tag, uint16_t count, TIFFDataType type);

// A buffer of `size` bytes, or null (with a message) above the memory limit.
void *limitMalloc(tmsize_t size);

// Copy routines: move the pixels of the current directory of `in` into the
// already described directory of `out`. 1 on success, 0 on failure.
using copyFunc = int (*)(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth,
                         uint16_t spp);
int cpDecodedStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContig2ContigByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContig2SeparateByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparate2ContigByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparate2SeparateByRow(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigStrips2ContigTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigStrips2SeparateTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateStrips2ContigTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateStrips2SeparateTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigTiles2ContigStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigTiles2SeparateStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateTiles2ContigStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateTiles2SeparateStrips(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigTiles2ContigTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpContigTiles2SeparateTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateTiles2ContigTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);
int cpSeparateTiles2SeparateTiles(TIFF *in, TIFF *out, uint32_t imagelength, uint32_t imagewidth, uint16_t spp);

#endif
