// The install engine: all or nothing. Every failure - a refused package, a
// file in use, a fault in the middle of the commit - leaves the destination
// byte for byte as it was, and no work folder behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "FaultyFileSystem.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

using Tree = std::map<std::u16string, std::pair<bool, std::string>>;  // path -> (folder, content)

Tree Snapshot(const MemoryFileSystem& fs) {
    Tree t;
    for (const auto& n : fs.Nodes()) t[n.first] = {n.second.directory, n.second.data};
    return t;
}

bool HasWorkFolder(const MemoryFileSystem& fs) {
    for (const auto& n : fs.Nodes())
        if (n.first.find(u"/.update-staging-") != std::u16string::npos) return true;
    return false;
}

Archive Package() {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "new a", 8));
    a.entries.push_back(Entry::Folder("emptydir/"));
    a.entries.push_back(Entry::File("sub/b.txt", std::string(70000, 'b'), 8));
    a.entries.push_back(Entry::File("sub/deeper/c.bin", "new c", 0));
    a.entries.push_back(Entry::File("empty.txt", "", 0));
    a.entries.push_back(Entry::File("d.txt", "new d", 8));
    return a;
}

// /app holds an older installation: a.txt, sub/b.txt, d.txt and keep.txt.
struct Installation {
    MemoryFileSystem fs;
    Tree before;
    explicit Installation(const Archive& package = Package()) {
        fs.AddDirectory(u"/app");
        fs.AddFile(u"/app/a.txt", "old a");
        fs.AddDirectory(u"/app/sub");
        fs.AddFile(u"/app/sub/b.txt", "old b");
        fs.AddFile(u"/app/d.txt", "old d");
        fs.AddFile(u"/app/keep.txt", "not in the package");
        fs.AddFile(u"/pkg.zip", package.Build());
        before = Snapshot(fs);
    }
    bool Unchanged() const { return Snapshot(fs) == before; }
};

void ExpectInstalled(MemoryFileSystem& fs) {
    ASSERT_NE(fs.Find(u"/app/a.txt"), nullptr);
    EXPECT_EQ(fs.Find(u"/app/a.txt")->data, "new a");
    EXPECT_EQ(fs.Find(u"/app/sub/b.txt")->data, std::string(70000, 'b'));
    EXPECT_EQ(fs.Find(u"/app/sub/deeper/c.bin")->data, "new c");
    EXPECT_EQ(fs.Find(u"/app/empty.txt")->data, "");
    EXPECT_EQ(fs.Find(u"/app/d.txt")->data, "new d");
    EXPECT_EQ(fs.Find(u"/app/keep.txt")->data, "not in the package");
    ASSERT_NE(fs.Find(u"/app/emptydir"), nullptr);
    EXPECT_TRUE(fs.Find(u"/app/emptydir")->directory);
    EXPECT_FALSE(HasWorkFolder(fs));
}

}  // namespace

TEST(Install, ReplacesOldFilesAndAddsNewOnes) {
    Installation app;
    std::uint64_t lastDone = 0, lastTotal = 0;
    InstallOptions options;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_GE(done, lastDone);
        lastDone = done;
        lastTotal = total;
    };
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app", options);
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    EXPECT_TRUE(r.reason.empty());
    ExpectInstalled(app.fs);
    EXPECT_EQ(lastDone, 70000u + 15u);
    EXPECT_EQ(lastTotal, lastDone);
}

TEST(Install, DestinationWithTrailingSeparator) {
    Installation app;
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app/");
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    ExpectInstalled(app.fs);
}

TEST(Install, InstallingTwiceGivesTheSameTree) {
    Installation app;
    ASSERT_TRUE(InstallPackage(app.fs, u"/pkg.zip", u"/app").ok());
    const Tree once = Snapshot(app.fs);
    ASSERT_TRUE(InstallPackage(app.fs, u"/pkg.zip", u"/app").ok());
    EXPECT_EQ(Snapshot(app.fs), once);
}

TEST(Install, AnExistingFolderNamedByAFileEntryIsLeftAlone) {
    Installation app;
    app.fs.AddDirectory(u"/app/d.txt.dir");
    Archive a = Package();
    a.entries.push_back(Entry::File("d.txt.dir", "would replace a folder", 0));
    app.fs.RemoveFile(u"/pkg.zip");
    app.fs.AddFile(u"/pkg.zip", a.Build());
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    ExpectInstalled(app.fs);
    EXPECT_TRUE(app.fs.Find(u"/app/d.txt.dir")->directory);
}

// ---------------------------------------------------------------------------
// Refusals before anything is touched

TEST(Install, DamagedDataIsFoundWhileStagingAndNothingChanges) {
    Archive a = Package();
    a.entries.back().centralCrc = a.entries.back().localCrc = 0xDEADBEEF;  // the last entry
    Installation app(a);
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(r.archive.status, ZipStatus::CrcMismatch);
    EXPECT_NE(r.reason.find(u"d.txt"), std::u16string::npos);
    EXPECT_TRUE(app.Unchanged());
}

struct BadPackage {
    const char* what;
    std::string bytes;
    InstallStatus status;
};

TEST(Install, UnreadablePackagesChangeNothing) {
    Archive encrypted = Package();
    encrypted.entries[2].flags = 1;
    Archive method = Package();
    method.entries[3].method = 12;
    const BadPackage cases[] = {
        {"not a ZIP archive", std::string(5000, 'x'), InstallStatus::Damaged},
        {"truncated", Package().Build().substr(0, 200), InstallStatus::Damaged},
        {"encrypted entry", encrypted.Build(), InstallStatus::Damaged},
        {"bzip2 entry", method.Build(), InstallStatus::Damaged},
    };
    for (const BadPackage& c : cases) {
        Installation app;
        app.fs.RemoveFile(u"/pkg.zip");
        app.fs.AddFile(u"/pkg.zip", c.bytes);
        const Tree before = Snapshot(app.fs);
        InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_FALSE(r.reason.empty()) << c.what;
        EXPECT_EQ(Snapshot(app.fs), before) << c.what;
    }
}

TEST(Install, MissingPackageOrDestinationIsAnIoError) {
    Installation app;
    EXPECT_EQ(InstallPackage(app.fs, u"/nothing.zip", u"/app").status, InstallStatus::IoError);
    EXPECT_EQ(InstallPackage(app.fs, u"/pkg.zip", u"/nowhere").status, InstallStatus::IoError);
    EXPECT_EQ(InstallPackage(app.fs, u"/pkg.zip", u"/app/a.txt").status, InstallStatus::IoError);
    // The original joined an empty folder with "\" and wrote to the drive's root.
    EXPECT_EQ(InstallPackage(app.fs, u"/pkg.zip", u"").status, InstallStatus::IoError);
    EXPECT_TRUE(app.Unchanged());
}

TEST(Install, DiskFullWhileStagingChangesNothing) {
    Installation app;
    app.fs.SetCapacity(1000);  // far less than the 70000-byte entry
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_TRUE(app.Unchanged());
}

TEST(Install, StagedFilesAreFlushedOnceBeforeTheCommit) {
    Installation app;
    std::vector<FsOp> order;
    FaultyFileSystem faulty(app.fs, [&](FsOp op, const std::u16string&, const std::u16string&) {
        if (op == FsOp::FlushFiles || op == FsOp::MoveAside) order.push_back(op);
        return FsResult::Success();
    });
    ASSERT_TRUE(InstallPackage(faulty, u"/pkg.zip", u"/app").ok());
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), FsOp::FlushFiles);
    EXPECT_EQ(std::count(order.begin(), order.end(), FsOp::FlushFiles), 1);

    Installation again;
    FaultyFileSystem failing(again.fs, [](FsOp op, const std::u16string&, const std::u16string&) {
        return op == FsOp::FlushFiles ? FsResult::Fail(FsCode::Other, u"disk gone") : FsResult::Success();
    });
    InstallResult r = InstallPackage(failing, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_TRUE(again.Unchanged());

    Installation unsynced;
    InstallOptions options;
    options.flush = false;
    FaultyFileSystem counting(unsynced.fs);
    ASSERT_TRUE(InstallPackage(counting, u"/pkg.zip", u"/app", options).ok());
    for (const auto& call : counting.Calls()) EXPECT_NE(call.op, FsOp::FlushFiles);
}

// ---------------------------------------------------------------------------
// Files in use

TEST(Install, FileInUseStopsTheCommitWithItsPathAndChangesNothing) {
    Installation app;
    app.fs.Find(u"/app/d.txt")->inUse = true;  // the last target: the others were moved aside first
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(r.path, u"/app/d.txt");
    EXPECT_TRUE(app.Unchanged());

    // The user closed the product and pressed OK: the same call again.
    app.fs.Find(u"/app/d.txt")->inUse = false;
    r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    ExpectInstalled(app.fs);
}

TEST(Install, ReadOnlyFileCountsAsInUse) {
    Installation app;
    app.fs.Find(u"/app/sub/b.txt")->readOnly = true;
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(r.path, u"/app/sub/b.txt");
    EXPECT_TRUE(app.Unchanged());
}

TEST(Install, MoveAsideRefusedForOnePath) {
    for (const char16_t* target : {u"/app/a.txt", u"/app/sub/b.txt", u"/app/d.txt"}) {
        Installation app;
        FaultyFileSystem faulty(app.fs, [&](FsOp op, const std::u16string& path, const std::u16string&) {
            if (op == FsOp::MoveAside && path == target) return FsResult::Fail(FsCode::InUse, u"held open");
            return FsResult::Success();
        });
        InstallResult r = InstallPackage(faulty, u"/pkg.zip", u"/app");
        EXPECT_EQ(r.status, InstallStatus::InUse);
        EXPECT_EQ(r.path, target);
        EXPECT_TRUE(app.Unchanged()) << Utf16ToUtf8(target);
    }
}

TEST(Install, MoveAsideFailingOtherwiseIsAnIoError) {
    Installation app;
    FaultyFileSystem faulty(app.fs, [](FsOp op, const std::u16string& path, const std::u16string&) {
        if (op == FsOp::MoveAside && path == u"/app/d.txt") return FsResult::Fail(FsCode::Other, u"device error");
        return FsResult::Success();
    });
    InstallResult r = InstallPackage(faulty, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_TRUE(app.Unchanged());
}

// ---------------------------------------------------------------------------
// Faults in the middle of the commit

// Fails the n-th call of one operation during the commit, for every n the
// commit makes: each time the destination must come back unchanged.
TEST(Install, EveryFaultDuringTheCommitIsUndone) {
    for (FsOp failing : {FsOp::Rename, FsOp::MakeDirectory, FsOp::Stat, FsOp::MoveAside}) {
        for (int n = 0;; ++n) {
            Installation app;
            int seen = 0;
            bool committing = false, cleaning = false, injected = false;
            FaultyFileSystem faulty(app.fs, [&](FsOp op, const std::u16string& path, const std::u16string&) {
                // The commit starts with the first move aside and ends when
                // the clean-up starts removing things.
                if (op == FsOp::MoveAside) committing = true;
                if (op == FsOp::RemoveFile || op == FsOp::RemoveEmptyDirectory) cleaning = true;
                if (committing && !cleaning && op == failing && !injected && seen++ == n) {
                    injected = true;
                    return FsResult::Fail(FsCode::Other, u"injected fault at " + path);
                }
                return FsResult::Success();
            });
            InstallResult r = InstallPackage(faulty, u"/pkg.zip", u"/app");
            if (!injected) {
                ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
                ExpectInstalled(app.fs);
                break;
            }
            EXPECT_EQ(r.status, InstallStatus::IoError) << static_cast<int>(failing) << " #" << n;
            EXPECT_TRUE(app.Unchanged()) << static_cast<int>(failing) << " #" << n << ": " << Utf16ToUtf8(r.reason);
            EXPECT_FALSE(HasWorkFolder(app.fs)) << static_cast<int>(failing) << " #" << n;
        }
    }
}

TEST(Install, AFileWhereAFolderMustGoIsUndone) {
    Archive a = Package();
    a.entries.push_back(Entry::File("keep.txt/inner.txt", "x", 0));
    Installation app(a);
    InstallResult r = InstallPackage(app.fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_NE(r.reason.find(u"keep.txt"), std::u16string::npos);
    EXPECT_TRUE(app.Unchanged());
}

// When even the undo fails, the old files must not be lost: they stay in the
// work folder and the reason says where.
TEST(Install, FailedUndoKeepsTheOldFiles) {
    Installation app;
    // Staged files are named n<index> in the work folder, old files o<index>.
    FaultyFileSystem faulty(app.fs, [&](FsOp op, const std::u16string& path, const std::u16string& to) {
        if (op == FsOp::Rename && to == u"/app/d.txt" && path.find(u"/n") != std::u16string::npos)
            return FsResult::Fail(FsCode::Other, u"place fails");
        // Putting a.txt back fails too.
        if (op == FsOp::Rename && to == u"/app/a.txt" && path.find(u"/o") != std::u16string::npos)
            return FsResult::Fail(FsCode::Other, u"restore fails");
        return FsResult::Success();
    });
    InstallResult r = InstallPackage(faulty, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_NE(r.reason.find(u"kept in /app/.update-staging-"), std::u16string::npos) << Utf16ToUtf8(r.reason);
    bool oldA = false;
    for (const auto& n : app.fs.Nodes())
        if (n.first.find(u"/.update-staging-") != std::u16string::npos && n.second.data == "old a") oldA = true;
    EXPECT_TRUE(oldA);
    EXPECT_EQ(app.fs.Find(u"/app/sub/b.txt")->data, "old b");
    EXPECT_EQ(app.fs.Find(u"/app/d.txt")->data, "old d");
}

TEST(Install, WorkFolderIsHiddenAndInsideTheDestination) {
    Installation app;
    std::u16string work;
    bool hidden = false;
    FaultyFileSystem faulty(app.fs, [&](FsOp op, const std::u16string& path, const std::u16string&) {
        if (op == FsOp::MakeDirectory && work.empty()) work = path;
        if (op == FsOp::CreateNewFile && !work.empty()) hidden = app.fs.Find(work) && app.fs.Find(work)->hidden;
        return FsResult::Success();
    });
    ASSERT_TRUE(InstallPackage(faulty, u"/pkg.zip", u"/app").ok());
    EXPECT_EQ(work.rfind(u"/app/.update-staging-", 0), 0u);
    EXPECT_TRUE(hidden);
}

// ---------------------------------------------------------------------------
// Checking without installing

TEST(Verify, ExtractsEverythingIntoNothing) {
    const std::string good = Package().Build();
    CZipArchive zip;
    ASSERT_TRUE(zip.Open(MakeMemorySource(good.data(), good.size())));
    EXPECT_TRUE(VerifyPackage(zip).ok());

    Archive a = Package();
    a.entries[2].compressed = RawDeflate(std::string(69999, 'b') + "c");  // same size, other CRC
    const std::string bad = a.Build();
    ASSERT_TRUE(zip.Open(MakeMemorySource(bad.data(), bad.size())));
    InstallResult r = VerifyPackage(zip);
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(r.archive.status, ZipStatus::CrcMismatch);
    EXPECT_EQ(r.archive.entry, 2u);
}

// ---------------------------------------------------------------------------
// The platform's own file system, in a temporary folder

namespace {

namespace fsys = std::filesystem;

struct TempFolder {
    fsys::path path;
    TempFolder() {
        static int counter = 0;
        path = fsys::temp_directory_path() /
               ("zip-install-test-" + std::to_string(reinterpret_cast<std::uintptr_t>(this) & 0xFFFFFF) + "-" +
                std::to_string(++counter));
        fsys::remove_all(path);
        fsys::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        for (auto& e : fsys::recursive_directory_iterator(path, ec))
            fsys::permissions(e.path(), fsys::perms::owner_write, fsys::perm_options::add, ec);
        fsys::remove_all(path, ec);
    }
    std::u16string U(const fsys::path& p) const { return p.u16string(); }
};

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fsys::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary);
    out << data;
}

std::map<std::string, std::string> Walk(const fsys::path& root) {
    std::map<std::string, std::string> t;
    for (auto& e : fsys::recursive_directory_iterator(root)) {
        const std::string rel = fsys::relative(e.path(), root).generic_string();
        t[rel] = e.is_directory() ? std::string("<dir>") : ReadFile(e.path());
    }
    return t;
}

}  // namespace

class PlatformInstall : public testing::Test {
protected:
    void SetUp() override {
        dest = temp.path / "app";
        fsys::create_directories(dest / "sub");
        WriteFile(dest / "a.txt", "old a");
        WriteFile(dest / "sub" / "b.txt", "old b");
        WriteFile(dest / "d.txt", "old d");
        package = temp.path / "pkg.zip";
        WriteFile(package, Package().Build());
        before = Walk(dest);
    }
    TempFolder temp;
    fsys::path dest, package;
    std::map<std::string, std::string> before;
};

TEST_F(PlatformInstall, Installs) {
    InstallResult r = InstallPackage(PlatformFileSystem(), temp.U(package), temp.U(dest));
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    auto after = Walk(dest);
    EXPECT_EQ(after["a.txt"], "new a");
    EXPECT_EQ(after["sub/b.txt"], std::string(70000, 'b'));
    EXPECT_EQ(after["sub/deeper/c.bin"], "new c");
    EXPECT_EQ(after["empty.txt"], "");
    EXPECT_EQ(after["emptydir"], "<dir>");
    EXPECT_EQ(after.size(), 8u);  // no work folder left
}

TEST_F(PlatformInstall, ReadOnlyFileIsInUseAndNothingChanges) {
    fsys::permissions(dest / "d.txt", fsys::perms::owner_write | fsys::perms::group_write | fsys::perms::others_write,
                      fsys::perm_options::remove);
    InstallResult r = InstallPackage(PlatformFileSystem(), temp.U(package), temp.U(dest));
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(r.path, temp.U(dest / "d.txt"));
    EXPECT_EQ(Walk(dest), before);
}

TEST_F(PlatformInstall, DamagedPackageChangesNothing) {
    Archive a = Package();
    a.entries[3].centralCrc = a.entries[3].localCrc = 1;
    WriteFile(package, a.Build());
    InstallResult r = InstallPackage(PlatformFileSystem(), temp.U(package), temp.U(dest));
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(Walk(dest), before);
}

TEST_F(PlatformInstall, FaultDuringTheCommitIsUndone) {
    bool injected = false;
    FaultyFileSystem faulty(PlatformFileSystem(), [&](FsOp op, const std::u16string&, const std::u16string& to) {
        if (op == FsOp::Rename && to == temp.U(dest / "d.txt") && !injected) {
            injected = true;  // placing the new d.txt; putting the old one back works
            return FsResult::Fail(FsCode::Other, u"injected");
        }
        return FsResult::Success();
    });
    InstallResult r = InstallPackage(faulty, temp.U(package), temp.U(dest));
    EXPECT_EQ(r.status, InstallStatus::IoError);
    EXPECT_EQ(Walk(dest), before);
}

TEST_F(PlatformInstall, ToolArchivesInstall) {
    for (const char* file : {"zip-deflated.zip", "7z-deflated.zip", "zip-stream.zip", "py-zip64.zip"}) {
        const std::string source = std::string(UPDATE_TEST_DATA_DIR) + "/archive/" + file;
        InstallResult r = InstallPackage(PlatformFileSystem(), Utf8ToUtf16(source), temp.U(dest));
        ASSERT_EQ(r.status, InstallStatus::Installed) << file << ": " << Utf16ToUtf8(r.reason);
        auto after = Walk(dest);
        EXPECT_EQ(after["hello.txt"], "hello\n") << file;
        EXPECT_EQ(Crc(after["sub/dir/nested.bin"]), 0x2f99df50u) << file;
    }
}

TEST_F(PlatformInstall, GbkNamesBecomeUnicodeFileNames) {
    InstallOptions options;
    options.nameDecoder = MakeCodePageDecoder(936);
    const std::string source = std::string(UPDATE_TEST_DATA_DIR) + "/archive/py-gbk.zip";
    InstallResult r = InstallPackage(PlatformFileSystem(), Utf8ToUtf16(source), temp.U(dest), options);
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(ReadFile(dest / fsys::path(u"说明.txt")), "中文");
    EXPECT_EQ(ReadFile(dest / fsys::path(u"目录") / fsys::path(u"文件.txt")), "data");
    EXPECT_EQ(ReadFile(dest / fsys::path(u"资料淺")), "5c");
}
