// Delta packages: what an installation of one version needs to become the
// next, in one ordinary ZIP archive that any ZIP tool lists and that is
// signed like any package (PackageSignature.h).
//
//   PATH                                   a file stored whole, as in a full package
//   .update-staging-delta/delta.txt        the description below
//   .update-staging-delta/patch/PATH       the patch that rebuilds PATH (BinaryPatch.h)
//
// Files the version did not change are not in it. The reserved folder starts
// with the engine's work-folder prefix, which the file-name rule (EntryName.h)
// has always refused in a package: an updater that knows nothing of deltas
// refuses a delta package instead of installing its patches as files. Folder
// entries inside the reserved folder are ignored; any other name there is a
// fault.
//
// The description is UTF-8, one record a line, each line ending in "\n":
//
//   qelda-update-delta 1
//   patch SIZE OLD NEW PATH    PATH is rebuilt by its patch: SIZE bytes whose SHA-256
//                              is NEW, from the installed file whose SHA-256 is OLD
//   from BASE                  right after a patch line: the installed file the patch
//                              applies to is BASE (a file moved or copied), not PATH
//   remove PATH                the installed file PATH is deleted; one already gone is fine
//
// OLD and NEW are 64 lowercase hex digits. PATH and BASE are entry names
// (EntryName.h) with '/' between segments, written as they are: the name rule
// admits no control characters, so none needs escaping.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Crypto.h"
#include "ZipArchive.h"

extern const char16_t kDeltaFolder[];         // ".update-staging-delta"
extern const char16_t kDeltaDescription[];    // ".update-staging-delta/delta.txt"
extern const char16_t kDeltaPatchFolder[];    // ".update-staging-delta/patch/"

struct DeltaPatch {
    std::u16string path;  // the file rebuilt, '/' between segments
    std::u16string base;  // the installed file it applies to; `path` unless moved
    std::uint64_t size = 0;
    Sha256Digest baseDigest{};
    Sha256Digest digest{};
};

struct DeltaDescription {
    std::vector<DeltaPatch> patches;
    std::vector<std::u16string> removals;  // '/' between segments

    std::string Text() const;
    // Replaces the content with the description in `text`; false sets `why`
    // ("line N: what").
    bool Parse(const std::string& text, std::u16string& why);
};

// A patched file may be at most its base's size plus maxTotalRatio times its
// patch's size, so that a small patch cannot fill the disk. The delta tool
// stores whole a file that its patch could not make within this.
bool PatchWithinLimits(std::uint64_t size, std::uint64_t baseSize, std::uint64_t patchSize, const ZipLimits& limits);

std::string DigestHex(const Sha256Digest& digest);

// Passes data on (or nowhere) and computes its SHA-256 and size on the way.
class Sha256Sink : public ZipSink {
public:
    explicit Sha256Sink(ZipSink* next = nullptr) : m_next(next) {}
    bool Write(const void* data, std::size_t size, std::u16string& why) override;
    bool Finish(Sha256Digest& digest) { return m_hash.Finish(digest); }
    std::uint64_t Size() const { return m_size; }

private:
    ZipSink* m_next;
    Sha256 m_hash;
    std::uint64_t m_size = 0;
};

// The SHA-256 of a whole file, read in pieces of `buffer` bytes; `goOn` (when
// given) is asked after every 4 MiB, and its false ends the reading with
// FsCode::Other, "cancelled".
FsResult HashFile(FsReadFile& file, Sha256Digest& digest, std::size_t buffer = 1 << 20,
                  const std::function<bool()>& goOn = {});
