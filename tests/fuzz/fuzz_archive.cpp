// Arbitrary bytes as an update package: opened, listed, verified and
// installed into a file system in memory. Besides crashes, leaks and undefined
// behaviour, it stops on a broken promise of the install engine: a package
// that is not installed must leave the destination exactly as it was.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        CZipArchive zip;
        if (zip.Open(MakeMemorySource(data, size))) {
            for (ZIP_INDEX_TYPE i = 0; i < zip.GetCount(); ++i) {
                CZipFileHeader header;
                zip.GetFileInfo(header, i);
                (void)header.GetFileName(true);
                (void)zip.CheckEntry(i);
            }
            InstallOptions options;
            (void)VerifyPackage(zip, options);
        }
    }

    MemoryFileSystem fs;
    fs.SetCapacity(64u << 20);
    fs.AddDirectory(u"/app");
    fs.AddFile(u"/app/hello.txt", "old hello");
    fs.AddDirectory(u"/app/sub");
    fs.AddFile(u"/app/sub/s.bin", "old s");
    fs.AddFile(u"/app/empty.txt", "old empty");
    // Some runs see a file held open by the product.
    if (size != 0 && (data[size - 1] & 1)) fs.Find(u"/app/empty.txt")->inUse = true;
    fs.AddFile(u"/pkg.zip", std::string(reinterpret_cast<const char*>(data), size));
    const auto before = fs.Nodes();

    InstallOptions options;
    options.flush = false;
    options.limits.maxTotalSize = 32u << 20;
    InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app", options);
    if (!r.ok()) {
        const auto& after = fs.Nodes();
        if (after.size() != before.size()) std::abort();
        for (auto a = after.begin(), b = before.begin(); a != after.end(); ++a, ++b)
            if (a->first != b->first || a->second.data != b->second.data || a->second.directory != b->second.directory)
                std::abort();
    }
    return 0;
}
