// Any bytes as the patch of a delta package that rebuilds one file, installed in memory over the file it was made
// for: the installation makes exactly the new file, or is refused with the old one in place. Never a crash.
// Seeds (tests/fuzz/seeds/patch) are patches from Old() to New() made by update-tool's encoder.
#include <cstdlib>

#include "DeltaPackage.h"
#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipWriter.h"

namespace {

// Text with numbers and runs, as files are.
std::string Old() {
    std::string s;
    for (int i = 0; i < 300; ++i) s += "entry " + std::to_string(i * 7919 % 1000) + std::string(i % 13, '\0') + "\n";
    return s;
}

std::string New() {
    std::string s = Old();
    s.replace(1000, 40, "moved code and new bytes");
    return s.insert(3000, s.substr(200, 300));
}

Sha256Digest Digest(const std::string& data) {
    Sha256 hash;
    Sha256Digest digest{};
    if (!hash.Update(data.data(), data.size()) || !hash.Finish(digest)) std::abort();
    return digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string old = Old(), now = New();
    static const Sha256Digest oldDigest = Digest(old), newDigest = Digest(now);
    MemoryFileSystem fs;
    fs.AddDirectory(u"/app");
    fs.AddFile(u"/app/f.bin", old);
    std::unique_ptr<FsWriteFile> out;
    fs.CreateNewFile(u"/delta.zip", out);
    DeltaDescription description;
    description.patches.push_back({u"f.bin", u"f.bin", now.size(), oldDigest, newDigest});
    ZipWriter zip(*out);
    const std::string patch(reinterpret_cast<const char*>(data), size);
    if (!zip.AddFile(kDeltaDescription, description.Text(), false) ||
        !zip.AddFile(kDeltaPatchFolder + std::u16string(u"f.bin"), patch, true) || !zip.Finish())
        std::abort();
    InstallOptions options;
    options.flush = false;
    const bool installed = InstallPackage(fs, u"/delta.zip", u"/app", options).ok();
    const auto& nodes = fs.Nodes();
    if (nodes.size() != 4 || fs.Find(u"/app/f.bin")->data != (installed ? now : old)) std::abort();
    return 0;
}
