// update-tool delta OLD NEW OUT: the delta package (archive/DeltaPackage.h)
// that turns an installation of OLD into one of NEW, for publishers who give
// every old version a package of its own.
//
// OLD and NEW are full packages (ZIP archives the updater would install) or
// folders. Files NEW did not change are left out; a new file is stored whole,
// as is a changed one unless its patch against the old version (BinaryPatch.h)
// is smaller than the file deflated; a new file may also be patched from an
// old file of the same content or, failing that, of the same name that NEW
// lacks (a file moved); files of OLD that NEW lacks are removed; folders that
// NEW adds empty get their entries. Folders NEW lacks are left alone, as a full
// package would leave them. Names are compared as Windows compares them.
//
// Refused (exit 3): OLD or NEW a package the updater would refuse, or itself
// a delta, a name no package may hold, a file of one that is a folder of the
// other. OUT is written beside itself first and then put in place, so a
// failure leaves no half archive.
//
// Built only where libdivsufsort is (the native build); elsewhere the command
// says it is not in the build.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Crypto.h"
#include "FileSystem.h"
#include "Tool.h"

extern const ToolCommand kDeltaCommand;

int RunDeltaCommand(const std::vector<std::string>& args, ToolContext& context);

// One release's files, from a package or a folder, with their SHA-256.
class ReleaseTree {
public:
    struct File {
        std::u16string path;  // '/' between segments
        std::uint64_t size = 0;
        Sha256Digest digest{};
    };
    virtual ~ReleaseTree() = default;

    // Reads a package or a folder through `fs`. False with a reason (and
    // `refused` set when the input is readable but no release) on failure.
    static bool Open(FileSystem& fs, const std::u16string& path, std::unique_ptr<ReleaseTree>& tree,
                     std::u16string& why, bool& refused);

    virtual bool Read(const File& file, std::string& data, std::u16string& why) = 0;

    std::vector<File> files;             // in the order of their paths
    std::vector<std::u16string> folders;  // '/' between segments, every folder named or implied
};

struct DeltaCounts {
    std::uint64_t patched = 0, whole = 0, removed = 0, unchanged = 0;
    std::uint64_t size = 0;  // of the archive
};

enum class DeltaStatus { Built, Refused, IoError };

// Writes the delta package that turns `old` into `now` into `out` (not
// finished). Refused when a file of one release is a folder of the other.
DeltaStatus BuildDelta(ReleaseTree& old, ReleaseTree& now, FsWriteFile& out, DeltaCounts& counts, std::u16string& why);
