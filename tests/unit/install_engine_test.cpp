// The install engine: all or nothing, while it runs and across a crash.
// Every failure leaves the destination byte for byte as it was; a crash at any
// step, followed by recovery, leaves exactly the old or the new installation.
#include <gtest/gtest.h>

#include <map>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

using Tree = std::map<std::u16string, std::string>;  // path -> content; folders end in '/'

Tree Snapshot(const MemoryFileSystem& fs) {
    Tree t;
    for (const auto& n : fs.Nodes())
        if (n.first != u"/app/pkg.zip") t[n.first + (n.second.directory ? u"/" : u"")] = n.second.data;
    return t;
}

// /app holds version 1: the product's Qelda.exe, the running updater
// Update.exe, data files; the package brings version 2 of most of them.
struct App {
    MemoryFileSystem fs;
    Tree before, after;
    InstallOptions options;

    App() {
        Archive a;
        using Pair = std::pair<std::string, std::string>;
        for (const auto& [name, data] : {Pair{"Qelda.exe", "exe 2"}, Pair{"a.txt", "a 2"}, Pair{"Update.exe", "updater 2"},
                                         Pair{"sub/b.txt", std::string(70000, 'b')}, Pair{"sub/deep/c.bin", "c 2"},
                                         Pair{"empty.txt", ""}})
            a.entries.push_back(Entry::File(name, data, name[0] == 's' ? 0 : 8));
        a.entries.push_back(Entry::Folder("emptydir/"));
        fs.AddDirectory(u"/app");
        fs.AddDirectory(u"/app/sub");
        for (auto [path, data] : {std::pair{u"/app/Qelda.exe", "exe 1"}, {u"/app/a.txt", "a 1"},
                                  {u"/app/Update.exe", "updater 1"}, {u"/app/sub/b.txt", "b 1"}, {u"/app/keep", "k"}})
            fs.AddFile(path, data);
        fs.Find(u"/app/Update.exe")->running = true;
        before = Snapshot(fs);
        fs.AddFile(u"/app/pkg.zip", a.Build());
        options.journalTag = u"2.0";
        options.packageFile = u"/app/pkg.zip";
        options.lastFile = u"/app/QELDA.exe";  // as Windows compares names
        options.selfFile = u"/app/Update.exe";
    }
    Tree Expected() {
        Tree t = before;
        using Pair = std::pair<std::u16string, std::string>;
        for (const auto& [path, data] : {Pair{u"/app/Qelda.exe", "exe 2"}, Pair{u"/app/a.txt", "a 2"},
                                         Pair{u"/app/Update.exe", "updater 2"}, Pair{u"/app/sub/b.txt", std::string(70000, 'b')},
                                         Pair{u"/app/sub/deep/", ""}, Pair{u"/app/sub/deep/c.bin", "c 2"},
                                         Pair{u"/app/empty.txt", ""}, Pair{u"/app/emptydir/", ""}})
            t[path] = data;
        return t;
    }
    InstallResult Install() { return InstallPackage(fs, u"/app/pkg.zip", u"/app/", options); }
    // The next start: the old updater no longer runs; every journal is resolved.
    std::vector<RecoveryOutcome> Recover() {
        for (auto& n : const_cast<std::map<std::u16string, MemoryFileSystem::Node>&>(fs.Nodes())) n.second.running = false;
        std::vector<RecoveryOutcome> outcomes;
        InstallRecovery recovery(fs, u"/app");
        while (recovery.FindNext()) {
            outcomes.push_back(recovery.Resolve().outcome);
            recovery.Finish();
        }
        return outcomes;
    }
};

}  // namespace

TEST(Install, ReplacesAddsKeepsAndLeavesNoWorkFolder) {
    App app;
    std::uint64_t done = 0, total = 0;
    app.options.progress = [&](std::uint64_t d, std::uint64_t t) { done = d, total = t; };
    InstallResult r = app.Install();
    ASSERT_TRUE(r.ok()) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(done, total);
    // The running updater's old file waits for the next start, then goes.
    Tree expected = app.Expected();
    ASSERT_EQ(app.fs.RemovedAtRestart().size(), 1u);
    const std::u16string old = app.fs.RemovedAtRestart()[0];
    EXPECT_EQ(old.rfind(u"/app/.update-old-", 0), 0u);
    expected[old] = "updater 1";
    EXPECT_EQ(Snapshot(app.fs), expected);
    EXPECT_TRUE(app.Recover().empty());
    EXPECT_EQ(Snapshot(app.fs), app.Expected());
}

// Refusals and faults before the commit: nothing changes, no work folder stays.
TEST(Install, RefusalsChangeNothing) {
    struct Case {
        const char* what;
        std::function<void(App&)> spoil;
        InstallStatus status;
    } cases[] = {
        {"CRC of the last entry", [](App& a) {
             Archive z;
             z.entries.push_back(Entry::File("a.txt", "x"));
             z.entries.push_back(Entry::File("b.txt", "y"));
             z.entries.back().centralCrc = z.entries.back().localCrc = 0xDEADBEEF;
             a.fs.Find(u"/app/pkg.zip")->data = z.Build();
         }, InstallStatus::Damaged},
        {"not a ZIP", [](App& a) { a.fs.Find(u"/app/pkg.zip")->data = "<html>404</html>"; }, InstallStatus::Damaged},
        {"no package", [](App& a) { a.fs.RemoveFile(u"/app/pkg.zip"); }, InstallStatus::IoError},
        {"disk full", [](App& a) { a.fs.SetCapacity(100000); }, InstallStatus::IoError},
        {"flush fails", [](App& a) {
             a.fs.SetFault([](FsOp op, const std::u16string&) {
                 return op == FsOp::Flush ? FsResult::Fail(FsCode::Other, u"flush") : FsResult::Success();
             });
         }, InstallStatus::IoError},
        {"journal cannot be written", [](App& a) {
             a.fs.SetFault([](FsOp op, const std::u16string& p) {
                 return op == FsOp::Create && p.size() > 8 && p.substr(p.size() - 8) == u"/journal"
                            ? FsResult::Fail(FsCode::NoSpace, u"full") : FsResult::Success();
             });
         }, InstallStatus::IoError},
    };
    for (const Case& c : cases) {
        App app;
        c.spoil(app);
        const Tree start = Snapshot(app.fs);
        EXPECT_EQ(app.Install().status, c.status) << c.what;
        EXPECT_EQ(Snapshot(app.fs), start) << c.what;
    }
    App app;
    EXPECT_EQ(InstallPackage(app.fs, u"/app/pkg.zip", u"").status, InstallStatus::IoError);
    EXPECT_EQ(InstallPackage(app.fs, u"/app/pkg.zip", u"/nowhere").status, InstallStatus::IoError);
}

// A file held open or read-only stops the commit with its path and nothing
// changed; once it is free, the commit is simply called again.
TEST(Install, FileInUseIsReportedAndTheCommitRetried) {
    for (const char16_t* busy : {u"/app/a.txt", u"/app/sub/b.txt", u"/app/Qelda.exe"}) {
        for (bool readOnly : {false, true}) {
            App app;
            PackageInstaller installer(app.fs, u"/app", app.options);
            ASSERT_TRUE(installer.Prepare(u"/app/pkg.zip").ok());
            MemoryFileSystem::Node* node = app.fs.Find(busy);
            (readOnly ? node->readOnly : node->inUse) = true;
            const Tree staged = Snapshot(app.fs);
            InstallResult r = installer.Commit();
            EXPECT_EQ(r.status, InstallStatus::InUse);
            EXPECT_EQ(r.path, busy);
            EXPECT_EQ(Snapshot(app.fs), staged);
            node->readOnly = node->inUse = false;
            ASSERT_TRUE(installer.Commit().ok());
            ASSERT_TRUE(installer.Finish().ok());
            app.Recover();
            EXPECT_EQ(Snapshot(app.fs), app.Expected());
        }
    }
}

// The order that keeps the product startable: staged files are flushed, then
// the journal is written, all before the first change to the installation,
// and the product's executable (entry 0, staged as n0) is placed after every
// other file, in one step.
TEST(Install, JournalFirstProductLast) {
    App app;
    std::vector<std::pair<FsOp, std::u16string>> calls;
    app.fs.SetFault([&](FsOp op, const std::u16string& p) {
        calls.push_back({op, p});
        return FsResult::Success();
    });
    ASSERT_TRUE(app.Install().ok());
    auto first = [&](auto match) {
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (match(calls[i].first, calls[i].second)) return i;
        return calls.size();
    };
    auto staged = [](const std::u16string& p, const char16_t* name) {
        return p.find(u"/.update-staging-") != std::u16string::npos && p.substr(p.rfind(u'/')) == name;
    };
    const std::size_t flush = first([](FsOp op, auto&) { return op == FsOp::Flush; });
    const std::size_t journal = first([&](FsOp op, auto& p) { return op == FsOp::Create && staged(p, u"/journal"); });
    const std::size_t change = first([](FsOp op, auto& p) {
        return (op == FsOp::Rename || op == FsOp::Replace) && p.find(u"/.update-") == std::u16string::npos;
    });
    const std::size_t product = first([&](FsOp op, auto& p) { return op == FsOp::Replace && staged(p, u"/n0"); });
    EXPECT_LT(flush, journal);
    EXPECT_LT(journal, change);
    ASSERT_LT(product, calls.size());
    for (std::size_t i = product; i < calls.size(); ++i)
        EXPECT_FALSE(calls[i].first == FsOp::Rename && staged(calls[i].second.substr(0, calls[i].second.size() - 1), u"/n"))
            << Utf16ToUtf8(calls[i].second);
}

// A crash after every single step of an installation: the file system freezes
// (nothing the engine does afterwards, undo included, reaches the disk), and
// the next start recovers; so does a start after a crash at every step of
// that recovery. Always: the old or the new installation byte for byte, the
// new one exactly when recovery says Completed, the product's executable
// never missing.
TEST(Install, CrashAtEveryStepThenRecovery) {
    bool exeThere = true;
    auto freezeAfter = [&](App& app, int at, int& steps) {
        steps = 0;
        app.fs.SetFault([&app, &exeThere, &steps, at](FsOp op, const std::u16string&) {
            exeThere = exeThere && app.fs.Find(u"/app/Qelda.exe");
            const bool changes = op != FsOp::Stat && op != FsOp::Open && op != FsOp::List && op != FsOp::Check;
            return changes && ++steps >= at ? FsResult::Fail(FsCode::Other, u"crashed") : FsResult::Success();
        });
    };
    for (int crashAt = 1;; ++crashAt) {
        App app;
        int steps = 0;
        freezeAfter(app, crashAt, steps);
        const bool installed = app.Install().ok();
        const int installSteps = steps;
        app.fs.SetFault(nullptr);
        const MemoryFileSystem crashed = app.fs;
        const std::vector<RecoveryOutcome> outcomes = app.Recover();
        const Tree result = Snapshot(app.fs);
        const bool isNew = result == app.Expected();
        EXPECT_TRUE(isNew || result == app.before) << "crash at step " << crashAt;
        EXPECT_EQ(isNew, outcomes.empty() ? installed : outcomes.back() == RecoveryOutcome::Completed) << crashAt;
        EXPECT_EQ(app.fs.Find(u"/app/pkg.zip") == nullptr, !outcomes.empty()) << "recovery removes the package";
        for (int recoveryCrash = 1;; ++recoveryCrash) {
            app.fs = crashed;
            freezeAfter(app, recoveryCrash, steps);
            app.Recover();
            const int recoverySteps = steps;
            app.fs.SetFault(nullptr);
            app.Recover();
            EXPECT_EQ(Snapshot(app.fs), result) << "crash at step " << crashAt << ", then at " << recoveryCrash;
            if (recoverySteps < recoveryCrash) break;
        }
        EXPECT_TRUE(exeThere) << "crash at step " << crashAt;
        if (installSteps < crashAt) break;
    }
}

TEST(Verify, ExtractsEverythingIntoNothing) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "a"));
    a.entries.push_back(Entry::File("b.txt", std::string(70000, 'b')));
    const std::string good = a.Build();
    a.entries[1].compressed = RawDeflate(std::string(69999, 'b') + "c");  // same size, other CRC
    const std::string bad = a.Build();
    for (const std::string* bytes : {&good, &bad}) {
        CZipArchive zip;
        ASSERT_TRUE(zip.Open(MakeMemorySource(bytes->data(), bytes->size())).ok());
        EXPECT_EQ(VerifyPackage(zip).ok(), bytes == &good);
    }
}
