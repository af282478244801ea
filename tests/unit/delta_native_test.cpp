// Delta packages made by update-tool's own code and installed by the engine,
// in memory: every round trip leaves exactly the new files; an installation
// the delta was not made for is refused with nothing changed; a damaged patch
// is refused or rebuilds the right file, never another.
#include <gtest/gtest.h>

#include <map>

#include "BinaryPatch.h"
#include "DeltaCommand.h"
#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipWriter.h"

namespace {

using Tree = std::map<std::u16string, std::string>;  // relative path -> content; empty folders end in '/'

// Bytes that look like code: a few opcodes and addresses, repeated with changes.
std::string Code(std::size_t size, unsigned seed) {
    std::string s;
    for (unsigned x = seed; s.size() < size;) {
        x = x * 1103515245u + 12345u;
        s += static_cast<char>("\x8b\x45\xe8\x48\x89\xc3\x00\xff"[(x >> 16) & 7]);
        if ((x >> 8) % 16 == 0) s += std::string(4, static_cast<char>(x >> 24));
    }
    return s.substr(0, size);
}

// A few bytes changed and some inserted, as a new build moves code.
std::string Edited(std::string s) {
    for (std::size_t at = 100; at < s.size(); at += 997) s[at] = static_cast<char>(s[at] + 1);
    return s.insert(s.size() / 2, "inserted in the middle");
}

void Plant(MemoryFileSystem& fs, const std::u16string& root, const Tree& tree) {
    fs.AddDirectory(root);
    for (const auto& [path, data] : tree) {
        for (std::size_t slash = path.find(u'/'); slash != std::u16string::npos; slash = path.find(u'/', slash + 1))
            fs.AddDirectory(root + u"/" + path.substr(0, slash));
        if (path.back() != u'/') fs.AddFile(root + u"/" + path, data);
    }
}

// The files below `root`, and its empty folders (ending in '/').
Tree Harvest(const MemoryFileSystem& fs, const std::u16string& root) {
    Tree tree;
    const auto& nodes = fs.Nodes();
    for (const auto& [path, node] : nodes) {
        if (path.compare(0, root.size() + 1, root + u"/") != 0) continue;
        const auto next = nodes.lower_bound(path + u"/");
        if (node.directory && next != nodes.end() && next->first.rfind(path + u"/", 0) == 0) continue;
        tree[path.substr(root.size() + 1) + (node.directory ? u"/" : u"")] = node.data;
    }
    return tree;
}

// The delta from `old` to `now`, as update-tool delta writes it.
std::string MakeDelta(const Tree& old, const Tree& now, DeltaCounts* counts = nullptr) {
    MemoryFileSystem fs;
    Plant(fs, u"/old", old);
    Plant(fs, u"/new", now);
    std::unique_ptr<ReleaseTree> trees[2];
    std::u16string why;
    bool refused = false;
    EXPECT_TRUE(ReleaseTree::Open(fs, u"/old", trees[0], why, refused) &&
                ReleaseTree::Open(fs, u"/new", trees[1], why, refused))
        << Utf16ToUtf8(why);
    std::unique_ptr<FsWriteFile> out;
    fs.CreateNewFile(u"/delta.zip", out);
    DeltaCounts seen;
    EXPECT_EQ(BuildDelta(*trees[0], *trees[1], *out, seen, why), DeltaStatus::Built) << Utf16ToUtf8(why);
    if (counts) *counts = seen;
    return fs.Find(u"/delta.zip")->data;
}

// A ZIP archive's entries by name.
std::map<std::u16string, std::string> Entries(const std::string& zip) {
    CZipArchive archive;
    EXPECT_TRUE(archive.Open(MakeMemorySource(zip.data(), zip.size())).ok());
    std::map<std::u16string, std::string> entries;
    for (ZIP_INDEX_TYPE i = 0; i < archive.GetCount(); ++i) {
        ZipStringSink sink;
        EXPECT_TRUE(archive.ExtractFile(i, sink).ok());
        entries[archive.GetEntry(i)->GetFileName()] = sink.text;
    }
    return entries;
}

// /app holds `old`; the delta is installed over it.
struct Install {
    MemoryFileSystem fs;
    InstallResult result;
    Install(const Tree& old, const std::string& delta, const std::function<void(MemoryFileSystem&)>& spoil = {}) {
        Plant(fs, u"/app", old);
        fs.AddFile(u"/delta.zip", delta);
        if (spoil) spoil(fs);
        before = Harvest(fs, u"/app");
        InstallOptions options;
        options.lastFile = u"/app/Qelda.exe";
        result = InstallPackage(fs, u"/delta.zip", u"/app", options);
    }
    Tree before;
};

const std::string kCore = Code(40000, 1), kTool = Code(30000, 2), kReadme = Code(20000, 3);
const Tree kOld = {{u"Qelda.exe", Code(50000, 4)}, {u"lib/core.dll", kCore}, {u"bin/tool.exe", kTool},
                   {u"docs/readme.txt", kReadme}, {u"a.txt", "a 1"}, {u"old.txt", "old"},
                   {u"sub/gone.txt", "gone"}, {u"数据/文件.txt", kReadme + "旧"}, {u"旧.txt", "旧"}};

Tree With(Tree tree, const Tree& changes, std::initializer_list<const char16_t*> removed = {}) {
    for (const auto& [path, data] : changes) tree[path] = data;
    for (const char16_t* path : removed) tree.erase(path);
    return tree;
}

}  // namespace

// Each round trip: the delta holds only what changed, a patch where it is
// smaller, and leaves exactly the new files (folders NEW lacks stay).
TEST(Delta, RoundTrips) {
    const struct {
        const char* name;
        Tree now;
        DeltaCounts counts;  // patched, whole, removed, unchanged
    } rows[] = {
        {"identical", kOld, {0, 0, 0, 9}},
        {"changed", With(kOld, {{u"lib/core.dll", Edited(kCore)}}), {1, 0, 0, 8}},
        {"changed small, stored whole", With(kOld, {{u"a.txt", "a 2"}}), {0, 1, 0, 8}},
        {"new bytes first", With(kOld, {{u"lib/core.dll", "\x01\x02\x03 new bytes first" + kCore}}), {1, 0, 0, 8}},
        {"new", With(kOld, {{u"plugins/new.dll", Code(9000, 5)}}), {0, 1, 0, 9}},
        {"removed", With(kOld, {}, {u"old.txt", u"sub/gone.txt"}), {0, 0, 2, 7}},
        {"renamed", With(kOld, {{u"manual/readme.txt", kReadme}}, {u"docs/readme.txt"}), {1, 0, 1, 8}},
        {"moved and changed", With(kOld, {{u"tools/tool.exe", Edited(kTool)}}, {u"bin/tool.exe"}), {1, 0, 1, 8}},
        {"emptied and empty", With(kOld, {{u"a.txt", ""}, {u"empty.txt", ""}, {u"cache/", ""}}), {0, 2, 0, 8}},
        {"non-ASCII names",
         With(kOld, {{u"数据/文件.txt", kReadme + "新"}, {u"Ünïcode/é.bin", "é"}}, {u"旧.txt"}), {1, 1, 1, 7}},
        {"everything at once",
         With(kOld, {{u"Qelda.exe", Edited(kOld.at(u"Qelda.exe"))}, {u"lib/core.dll", Edited(kCore)}, {u"n", "n"}},
              {u"old.txt"}),
         {2, 1, 1, 6}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeltaCounts counts;
        const std::string delta = MakeDelta(kOld, row.now, &counts);
        EXPECT_EQ(std::vector({counts.patched, counts.whole, counts.removed, counts.unchanged}),
                  std::vector({row.counts.patched, row.counts.whole, row.counts.removed, row.counts.unchanged}));
        Install app(kOld, delta);
        ASSERT_TRUE(app.result.ok()) << Utf16ToUtf8(app.result.reason);
        Tree files = Harvest(app.fs, u"/app");
        for (auto it = files.begin(); it != files.end();)
            it = it->first.back() == u'/' && !row.now.count(it->first) ? files.erase(it) : std::next(it);
        EXPECT_EQ(files, row.now);
    }
}

// An installation the delta was not made for changes nothing: BaseMismatch
// names the file, so that the updater can fetch the full package. A file to
// remove that is gone already is no mismatch.
TEST(Delta, OtherInstallationsChangeNothing) {
    const Tree now = With(kOld, {{u"lib/core.dll", Edited(kCore)}, {u"plugins/new.dll", "new"}}, {u"old.txt"});
    const std::string delta = MakeDelta(kOld, now);
    using Spoil = std::function<void(MemoryFileSystem&)>;
    const struct {
        const char* name;
        Spoil spoil;
        InstallStatus status;
        const char16_t* path;
    } rows[] = {
        {"base edited", [](MemoryFileSystem& fs) { fs.Find(u"/app/lib/core.dll")->data[7] ^= 1; },
         InstallStatus::BaseMismatch, u"/app/lib/core.dll"},
        {"base cut short", [](MemoryFileSystem& fs) { fs.Find(u"/app/lib/core.dll")->data.resize(100); },
         InstallStatus::BaseMismatch, u"/app/lib/core.dll"},
        {"base missing", [](MemoryFileSystem& fs) { fs.RemoveFile(u"/app/lib/core.dll"); },
         InstallStatus::BaseMismatch, u"/app/lib/core.dll"},
        {"base of another version", [](MemoryFileSystem& fs) { fs.Find(u"/app/lib/core.dll")->data = Code(40000, 9); },
         InstallStatus::BaseMismatch, u"/app/lib/core.dll"},
        {"base a folder",
         [](MemoryFileSystem& fs) { fs.RemoveFile(u"/app/lib/core.dll"), fs.AddDirectory(u"/app/lib/core.dll"); },
         InstallStatus::BaseMismatch, u"/app/lib/core.dll"},
        {"a folder for a new file", [](MemoryFileSystem& fs) { fs.AddDirectory(u"/app/plugins/new.dll"); },
         InstallStatus::BaseMismatch, u"/app/plugins/new.dll"},
        {"a folder for a removed file",
         [](MemoryFileSystem& fs) { fs.RemoveFile(u"/app/old.txt"), fs.AddDirectory(u"/app/old.txt"); },
         InstallStatus::BaseMismatch, u"/app/old.txt"},
        {"base a link",
         [](MemoryFileSystem& fs) { fs.RemoveFile(u"/app/lib/core.dll"), fs.AddLink(u"/app/lib/core.dll"); },
         InstallStatus::IoError, u"/app/lib/core.dll"},
        {"removed file gone already", [](MemoryFileSystem& fs) { fs.RemoveFile(u"/app/old.txt"); },
         InstallStatus::Installed, u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Install app(kOld, delta, [&](MemoryFileSystem& fs) {
            fs.AddDirectory(u"/app/plugins");
            row.spoil(fs);
        });
        EXPECT_EQ(app.result.status, row.status) << Utf16ToUtf8(app.result.reason);
        EXPECT_EQ(app.result.path, row.path);
        if (!app.result.ok()) EXPECT_EQ(Harvest(app.fs, u"/app"), app.before);
        else EXPECT_EQ(Harvest(app.fs, u"/app"), now);
    }
    // Nor does a delta that would remove the product's executable.
    Install product(kOld, MakeDelta(kOld, With(kOld, {}, {u"Qelda.exe"})));
    EXPECT_EQ(product.result.status, InstallStatus::Damaged);
    EXPECT_EQ(Harvest(product.fs, u"/app"), product.before);
    // Nor a Cancel while the files to patch are read, before any patch is.
    DeltaDescription description;
    description.patches.push_back({u"big.bin", u"big.bin", 1, {}, {}});
    const std::string big(5 << 20, 'b');
    MemoryFileSystem fs;
    std::unique_ptr<FsWriteFile> out;
    fs.CreateNewFile(u"/delta.zip", out);
    ZipWriter zip(*out);
    zip.AddFile(kDeltaDescription, description.Text(), false);
    zip.AddFile(kDeltaPatchFolder + std::u16string(u"big.bin"), "no patch", true);
    zip.Finish();
    Plant(fs, u"/app", {{u"big.bin", big}});
    InstallOptions options;
    options.progress = [](std::uint64_t, std::uint64_t) { return false; };
    EXPECT_EQ(InstallPackage(fs, u"/delta.zip", u"/app", options).status, InstallStatus::Cancelled);
    EXPECT_EQ(Harvest(fs, u"/app"), Tree({{u"big.bin", big}}));
}

// Every byte of a patch and of the description changed in turn, the package
// otherwise sound (CRC-32 and all): the installation is refused with the old
// files in place, or makes the new ones; never other files.
TEST(Delta, DamagedPatchesAreRefusedOrExact) {
    const Tree old = {{u"f.bin", Code(3000, 6)}}, now = {{u"f.bin", Edited(Code(3000, 6))}};
    const std::u16string patch = kDeltaPatchFolder + std::u16string(u"f.bin");
    std::map<std::u16string, std::string> entries = Entries(MakeDelta(old, now));
    ASSERT_GT(entries.at(patch).size(), kPatchHeaderSize);
    // The package with entry `name` changed at `at` (nothing past its end), installed.
    auto install = [&](const std::u16string& name, std::size_t at, char flip) {
        MemoryFileSystem fs;
        std::unique_ptr<FsWriteFile> out;
        fs.CreateNewFile(u"/delta.zip", out);
        ZipWriter writer(*out);
        for (auto [entry, data] : entries) {
            if (entry == name && at < data.size()) data[at] ^= flip;
            writer.AddFile(entry, data, false);
        }
        writer.Finish();
        return std::make_unique<Install>(old, fs.Find(u"/delta.zip")->data);
    };
    ASSERT_TRUE(install(u"", 0, 0)->result.ok());
    // A sound patch that makes another file of the same size.
    std::string otherFile = now.at(u"f.bin");
    otherFile[5] ^= 1;
    std::swap(entries[patch], Entries(MakeDelta(old, {{u"f.bin", otherFile}})).at(patch));
    EXPECT_EQ(install(u"", 0, 0)->result.status, InstallStatus::Damaged);
    std::swap(entries[patch], Entries(MakeDelta(old, now)).at(patch));
    for (const std::u16string& name : {patch, std::u16string(kDeltaDescription)}) {
        for (std::size_t at = 0; at < entries.at(name).size(); ++at) {
            for (char flip : {'\x01', '\x80'}) {
                const auto app = install(name, at, flip);
                const Tree result = Harvest(app->fs, u"/app");
                const InstallStatus status = app->result.status;
                EXPECT_TRUE(app->result.ok() ? result == now
                                             : result == old && (status == InstallStatus::Damaged ||
                                                                 status == InstallStatus::BaseMismatch))
                    << Utf16ToUtf8(name) << " byte " << at << " ^ " << int(flip) << ": "
                    << Utf16ToUtf8(app->result.reason);
            }
        }
    }
}
