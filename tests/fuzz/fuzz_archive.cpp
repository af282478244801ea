// Any bytes as a package: opened, checked, verified, installed in memory over an old installation (some runs with a
// file held open). A package that is not installed must change nothing.
#include <algorithm>
#include <cstdlib>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CZipArchive zip;
    if (zip.Open(MakeMemorySource(data, size))) {
        for (ZIP_INDEX_TYPE i = 0; i < zip.GetCount(); ++i) (void)zip.CheckEntry(i);
        (void)VerifyPackage(zip);
    }
    MemoryFileSystem fs;
    fs.SetCapacity(64u << 20);
    fs.AddDirectory(u"/app");
    fs.AddDirectory(u"/app/sub");
    for (const char16_t* file : {u"/app/hello.txt", u"/app/sub/s.bin", u"/app/empty.txt"}) fs.AddFile(file, "old");
    fs.Find(u"/app/empty.txt")->inUse = size != 0 && (data[size - 1] & 1) != 0;
    fs.AddFile(u"/pkg.zip", std::string(reinterpret_cast<const char*>(data), size));
    const std::map<std::u16string, MemoryFileSystem::Node> before = fs.Nodes();
    InstallOptions options;
    options.flush = false;
    options.limits.maxTotalSize = 32u << 20;
    auto same = [](const auto& a, const auto& b) {
        return a.first == b.first && a.second.data == b.second.data && a.second.directory == b.second.directory;
    };
    if (!InstallPackage(fs, u"/pkg.zip", u"/app", options).ok() &&
        !std::equal(before.begin(), before.end(), fs.Nodes().begin(), fs.Nodes().end(), same))
        std::abort();
    return 0;
}
