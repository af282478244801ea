// Symbolic links where the install engine expects its own files and folders,
// made for real in a temporary folder: the installation or the recovery stops
// with a reason naming the link, and nothing the link leads to is touched.
// Native only: it makes POSIX links and a FIFO.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>

#include "DiskTree.h"
#include "InstallEngine.h"
#include "ZipBuilder.h"

namespace fsys = std::filesystem;

namespace {

using disktree::Tree;
using disktree::WriteFile;

// root/app holds an installation, root/outside what links lead to, root/pkg.zip a package for app.
struct Scene {
    fsys::path root = fsys::temp_directory_path() / ("links-" + std::to_string(::getpid()));

    Scene() {
        fsys::remove_all(root);
        WriteFile(root / "app/a.txt", "a 1");
        WriteFile(root / "app/sub/b.txt", "b 1");
        WriteFile(root / "outside/victim.txt", "victim");
        WriteFile(root / "outside/inner/x", "x");
        ziptest::Archive a;
        for (const char* name : {"a.txt", "sub/b.txt", "sub/deep/c.bin"})
            a.entries.push_back(ziptest::Entry::File(name, "2"));
        WriteFile(root / "pkg.zip", a.Build());
    }
    ~Scene() { fsys::remove_all(root); }
    std::u16string Path(const std::string& relative) const { return Utf8ToUtf16((root / relative).string()); }
};

}  // namespace

TEST(InstallLinks, RefusedWithNothingBeyondTouched) {
    const struct {
        const char* what;
        const char* link;    // made in place of what was there
        const char* target;  // what it leads to, below root
        bool recover;        // recovery at the next start instead of an installation
        bool refused;        // or removed as a link
    } cases[] = {
        {"the destination", "app", "outside", false, true},
        {"a folder on a target's way", "app/sub", "outside", false, true},
        {"a target", "app/a.txt", "outside/victim.txt", false, true},
        {"the folder recovered", "app", "outside", true, true},
        {"a work folder", "app/.update-staging-1", "outside", true, true},
        {"a download folder", "app/.update-download-1", "outside", true, true},
        {"in a work folder", "app/.update-staging-2/o0", "outside/victim.txt", true, false},
        {"in a download folder", "app/.update-download-2/d", "outside", true, false},
    };
    for (const auto& c : cases) {
        Scene scene;
        fsys::remove_all(scene.root / c.link);
        fsys::create_directories((scene.root / c.link).parent_path());
        fsys::create_symlink(scene.root / c.target, scene.root / c.link);
        const std::string outside = Tree(scene.root / "outside");
        const std::string app = Tree(scene.root / "app");
        std::u16string reason;
        bool refused = false;
        if (c.recover) {
            InstallRecovery recovery(PlatformFileSystem(), scene.Path("app"));
            while (!refused && recovery.FindNext()) {
                const RecoveryResult r = recovery.Resolve();
                refused = r.outcome == RecoveryOutcome::Failed;
                reason = r.reason;
            }
        } else {
            const InstallResult r = InstallPackage(PlatformFileSystem(), scene.Path("pkg.zip"), scene.Path("app"));
            refused = r.status == InstallStatus::IoError;
            reason = r.reason;
            EXPECT_EQ(Tree(scene.root / "app"), app) << c.what;
        }
        EXPECT_EQ(refused, c.refused) << c.what << ": " << Utf16ToUtf8(reason);
        EXPECT_EQ(Tree(scene.root / "outside"), outside) << c.what;
        EXPECT_EQ(reason.find(scene.Path(c.link)) != std::u16string::npos, c.refused) << c.what;
        EXPECT_EQ(fsys::exists(fsys::symlink_status(scene.root / c.link)), c.refused) << c.what;
    }
}

// The package is held as a regular file only: never a link, never a FIFO (which would block the open).
TEST(InstallLinks, PackageHeldOnlyAsAFile) {
    Scene scene;
    fsys::create_symlink(scene.root / "pkg.zip", scene.root / "link.zip");
    ASSERT_EQ(mkfifo((scene.root / "fifo.zip").c_str(), 0600), 0);
    for (const auto& [name, ok] : {std::pair{"pkg.zip", true}, {"link.zip", false}, {"fifo.zip", false}}) {
        std::unique_ptr<FsReadFile> file;
        EXPECT_EQ(PlatformFileSystem().OpenExclusive(scene.Path(name), file).ok(), ok) << name;
        EXPECT_EQ(file != nullptr, ok) << name;
    }
}
