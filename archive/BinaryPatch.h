// Binary patches: how a changed file is rebuilt from its old version, and the
// decoder that rebuilds it. The encoder that finds the differences is the
// publisher's (update-tool delta); it hands its findings to AssemblePatch,
// so that the format is written and read in this one place.
//
// A patch is a header of six little-endian fields, then three zlib streams
// back to back, and nothing after them:
//
//   0   8 bytes   "QPATCH01"
//   8   8 bytes   size of the old file it applies to
//   16  8 bytes   size of the new file it makes
//   24  8 bytes   bytes of the control stream
//   32  8 bytes   bytes of the difference stream
//   40  8 bytes   bytes of the extra stream
//   48            the control, difference and extra streams (zlib, deflate)
//
// The control stream is a series of records, four LEB128 numbers each: SEEK
// (zigzag-coded, signed), COPY, ADD and EXTRA. A cursor starts at offset 0 of
// the old file. For each record, the cursor moves by SEEK; then COPY bytes of
// the new file are the old file's bytes at the cursor; then ADD bytes are the
// old file's next bytes plus as many bytes of the difference stream (added
// modulo 256), the cursor moving past both; then EXTRA bytes of the new file
// are copied from the extra stream. (COPY spares the difference stream long
// runs of zeros, which deflate codes at no better than 258 bytes a symbol.)
// Records come until the new file is complete, and then all three streams
// end. Every record makes at least one byte, the cursor stays within the old
// file, and no stream holds a byte more or less than the records use: any
// other patch is refused.
//
// The decoder reads the old file at the cursor and the patch through its own
// buffers and hands the new file on in order, so that its memory does not
// grow with the files: three inflate states and eight buffers of bufferSize.
// It checks the structure only; whether the result is the right file is the
// caller's to check (the install engine compares its SHA-256).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "FileSystem.h"
#include "ZipArchive.h"

struct PatchHeader {
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    std::uint64_t controlSize = 0;
    std::uint64_t diffSize = 0;
    std::uint64_t extraSize = 0;
};

constexpr std::size_t kPatchHeaderSize = 48;

// Reads and checks the header of a patch of `patchSize` bytes from its first
// bytes (at least kPatchHeaderSize of them). Damaged when they are not one.
ZipResult ReadPatchHeader(const void* bytes, std::size_t size, std::uint64_t patchSize, PatchHeader& header);

// Rebuilds the new file from `old` into `out`. Damaged (with the offset in the
// patch where it was found) for a patch that is not one, is not for an old
// file of this size, or does not make `newSize` bytes; FileError when a file
// cannot be read; WriteError when `out` refuses. `out` may have received data
// when the result is a failure.
ZipResult ApplyPatch(FsReadFile& patch, FsReadFile& old, std::uint64_t newSize, ZipSink& out,
                     std::size_t bufferSize = 64 * 1024);

// What an encoder found, before compression.
struct PatchParts {
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    std::string control, diff, extra;

    void AddRecord(std::int64_t seek, std::uint64_t copy, std::uint64_t add, std::uint64_t extraBytes);
};

// The patch: the header and the three streams compressed.
std::string AssemblePatch(const PatchParts& parts);
