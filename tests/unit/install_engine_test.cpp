// The install engine: all or nothing, while it runs and across a crash.
// Every failure leaves the destination byte for byte as it was; a crash at any
// step, followed by recovery, leaves exactly the old or the new installation.
#include <gtest/gtest.h>

#include <map>

#if UPDATE_TOOL_DELTA
#include "DeltaCommand.h"
#endif
#include "InstallEngine.h"
#include "InstallJournal.h"
#include "MemoryFileSystem.h"
#include "PackageName.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

using Tree = std::map<std::u16string, std::string>;  // path -> content; folders end in '/'

#if UPDATE_TOOL_DELTA
// Bytes that no patch can make from other bytes.
std::string Noise(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    return s;
}

// The delta that turns the files of `before` below /app into those of `after`, as update-tool delta makes it.
std::string DeltaBytes(const Tree& before, const Tree& after) {
    MemoryFileSystem fs;
    std::unique_ptr<ReleaseTree> trees[2];
    for (int k = 0; k < 2; ++k) {
        const std::u16string root = k ? u"/new" : u"/old";
        fs.AddDirectory(root);
        for (const auto& [path, data] : k ? after : before) {
            if (path.rfind(u"/app/", 0) != 0 || path == u"/app/") continue;
            const std::u16string at = root + path.substr(4, path.size() - 4 - (path.back() == u'/'));
            path.back() == u'/' ? fs.AddDirectory(at) : fs.AddFile(at, data);
        }
        std::u16string why;
        bool refused = false;
        EXPECT_TRUE(ReleaseTree::Open(fs, root, trees[k], why, refused)) << Utf16ToUtf8(why);
    }
    std::unique_ptr<FsWriteFile> out;
    fs.CreateNewFile(u"/delta.zip", out);
    DeltaCounts counts;
    std::u16string why;
    EXPECT_EQ(BuildDelta(*trees[0], *trees[1], *out, counts, why), DeltaStatus::Built) << Utf16ToUtf8(why);
    EXPECT_EQ(std::vector({counts.patched, counts.whole, counts.removed}), std::vector<std::uint64_t>({2, 2, 2}));
    return fs.Find(u"/delta.zip")->data;
}
#endif

// /app holds version 1: the product's Qelda.exe, the running updater
// Update.exe, data files. The package brings version 2 of most of them and a
// new b.dll; it is downloaded as the updater does, into a download folder under
// the name its URL gives, or as earlier updaters did, into /app itself. Or it
// is a delta: the product and the updater patched, a.txt and a new b.dll whole,
// keep and sub/b.txt removed.
struct App {
    MemoryFileSystem fs;
    Tree before, after;         // after: what a delta makes
    InstallOptions options;
    std::string bytes;          // the package
    std::u16string download;    // its folder, when it has one
    std::u16string package;

    explicit App(const std::u16string& name = u"qelda-2.0.zip", bool earlier = false, bool delta = false) {
        Archive a;
        using Pair = std::pair<std::string, std::string>;
        for (const auto& [name, data] : {Pair{"Qelda.exe", "exe 2"}, Pair{"a.txt", "a 2"}, Pair{"Update.exe", "updater 2"},
                                         Pair{"sub/b.txt", std::string(70000, 'b')}, Pair{"sub/deep/c.bin", "c 2"},
                                         Pair{"empty.txt", ""}, Pair{"b.dll", "dll 2"}})
            a.entries.push_back(Entry::File(name, data, name[0] == 's' ? 0 : 8));
        a.entries.push_back(Entry::Folder("emptydir/"));
        fs.AddDirectory(u"/app");
        fs.AddDirectory(u"/app/sub");
        for (auto [path, data] : {std::pair{u"/app/Qelda.exe", "exe 1"}, {u"/app/a.txt", "a 1"},
                                  {u"/app/Update.exe", "updater 1"}, {u"/app/sub/b.txt", "b 1"}, {u"/app/keep", "k"}})
            fs.AddFile(path, data);
        fs.Find(u"/app/Update.exe")->running = true;
        bytes = a.Build();
#if UPDATE_TOOL_DELTA
        if (delta) {
            fs.Find(u"/app/Qelda.exe")->data = Noise(20000, 1);
            fs.Find(u"/app/Update.exe")->data = Noise(9000, 2);
            before = after = Snapshot();
            after.erase(u"/app/keep");
            after.erase(u"/app/sub/b.txt");
            after[u"/app/Qelda.exe"].replace(5000, 3, "exe 2");
            after[u"/app/Update.exe"].insert(100, "updater 2");
            after[u"/app/a.txt"] = "a 2";
            after[u"/app/b.dll"] = "dll 2";
            static const std::string made = DeltaBytes(before, after);
            bytes = made;
        }
#endif
        before = Snapshot();
        if (!earlier) MakeDownloadFolder(fs, u"/app", download);
        package = earlier ? u"/app/" + name : download + u"/" + PackageFileNameFromUrl(u"http://host/" + name);
        fs.AddFile(package, bytes);
        options.journalTag = u"2.0";
        options.lastFile = u"/app/QELDA.exe";  // as Windows compares names
        options.selfFile = u"/app/Update.exe";
    }
    // Every node but a package that earlier updaters left in /app.
    Tree Snapshot() const {
        Tree t;
        for (const auto& [path, node] : fs.Nodes())
            if (node.data != bytes) t[path + (node.directory ? u"/" : u"")] = node.data;
        return t;
    }
    Tree Expected() const {
        if (!after.empty()) return after;
        Tree t = before;
        using Pair = std::pair<std::u16string, std::string>;
        for (const auto& [path, data] :
             {Pair{u"/app/Qelda.exe", "exe 2"}, Pair{u"/app/a.txt", "a 2"}, Pair{u"/app/Update.exe", "updater 2"},
              Pair{u"/app/sub/b.txt", std::string(70000, 'b')}, Pair{u"/app/sub/deep/", ""},
              Pair{u"/app/sub/deep/c.bin", "c 2"}, Pair{u"/app/empty.txt", ""}, Pair{u"/app/emptydir/", ""},
              Pair{u"/app/b.dll", "dll 2"}})
            t[path] = data;
        return t;
    }
    // As the updater does: the download folder goes whatever the result.
    InstallResult Install() {
        InstallResult r = InstallPackage(fs, package, u"/app/", options);
        if (!download.empty()) RemoveDownloadFolder(fs, download);
        return r;
    }
    // The next start: the old updater no longer runs; every journal is
    // resolved, as the updater does, until one answers InUse or Failed.
    std::vector<RecoveryResult> Recover() {
        for (auto& n : const_cast<std::map<std::u16string, MemoryFileSystem::Node>&>(fs.Nodes())) n.second.running = false;
        std::vector<RecoveryResult> results;
        InstallRecovery recovery(fs, u"/app");
        while (recovery.FindNext()) {
            results.push_back(recovery.Resolve());
            if (results.back().outcome == RecoveryOutcome::InUse || results.back().outcome == RecoveryOutcome::Failed)
                break;
            recovery.Finish();
        }
        return results;
    }
    // Freezes the file system after the first `at` changes (nothing the engine
    // does afterwards, undo included, reaches the disk) or from the first call
    // that `crash` picks; counts the changes in `steps`.
    void FreezeAfter(int at, int& steps, std::function<bool(FsOp, const std::u16string&)> crash = nullptr) {
        steps = 0;
        fs.SetFault([this, &steps, at, crash, frozen = false](FsOp op, const std::u16string& path) mutable {
            exeThere = exeThere && fs.Find(u"/app/Qelda.exe");
            const bool changes = op != FsOp::Stat && op != FsOp::Open && op != FsOp::List && op != FsOp::Check;
            steps += changes;
            frozen = frozen || (crash ? crash(op, path) : changes && steps >= at);
            return frozen && changes ? FsResult::Fail(FsCode::Other, u"crashed") : FsResult::Success();
        });
    }
    bool exeThere = true;  // the product's executable, at every call
    std::u16string JournalPath() const {
        for (const auto& [path, node] : fs.Nodes())
            if (path.size() > 8 && path.compare(path.size() - 8, 8, u"/journal") == 0) return path;
        return {};
    }
};

// Crashed as the first new file was to be renamed into place: past the commit
// point, so recovery completes.
App CrashedAfterCommitPoint(const std::u16string& tag = u"2.0") {
    App app;
    app.options.journalTag = tag;
    int steps = 0;
    app.FreezeAfter(0, steps, [](FsOp op, const std::u16string& p) {
        return op == FsOp::Rename && p.find(u"/.update-staging-") != std::u16string::npos &&
               p.compare(p.rfind(u'/'), 2, u"/n") == 0;
    });
    EXPECT_FALSE(app.Install().ok());
    app.fs.SetFault(nullptr);
    return app;
}

}  // namespace

// Staged from the package as the updater holds it, with one handle from the
// signature check on. The running updater's old file waits for the next start;
// so do old files that cannot be deleted, and the result says so.
TEST(Install, ReplacesAddsKeepsAndLeavesNoWorkFolder) {
    for (bool oldFilesHeld : {false, true}) {
        App app;
        std::uint64_t done = 0, total = 0;
        app.options.progress = [&](std::uint64_t d, std::uint64_t t) { return done = d, total = t, true; };
        if (oldFilesHeld)
            app.fs.SetFault([](FsOp op, const std::u16string& p) {
                return op == FsOp::Remove && p.find(u"/.update-staging-") != p.npos && p.find(u"/o") != p.npos
                           ? FsResult::Fail(FsCode::InUse, u"held") : FsResult::Success();
            });
        std::unique_ptr<FsReadFile> held;
        ASSERT_TRUE(app.fs.OpenExclusive(app.package, held).ok());
        CZipArchive archive;
        ASSERT_TRUE(archive.Open(*held).ok());
        PackageInstaller installer(app.fs, u"/app", app.options);
        ASSERT_TRUE(installer.Prepare(archive).ok());
        archive.Close();
        held.reset();
        ASSERT_TRUE(installer.Commit().ok());
        const InstallResult r = installer.Finish();
        EXPECT_TRUE(r.ok());
        EXPECT_EQ(r.reason.find(u"old files could not be deleted") != std::u16string::npos, oldFilesHeld);
        RemoveDownloadFolder(app.fs, app.download);
        app.fs.SetFault(nullptr);
        EXPECT_EQ(done, total);
        ASSERT_EQ(app.fs.RemovedAtRestart().size(), 1u);
        const std::u16string old = app.fs.RemovedAtRestart()[0];
        EXPECT_EQ(old.rfind(u"/app/.update-old-", 0), 0u);
        Tree expected = app.Expected();
        expected[old] = "updater 1";
        EXPECT_TRUE(oldFilesHeld || app.Snapshot() == expected);
        EXPECT_TRUE(app.Recover().empty());
        EXPECT_EQ(app.Snapshot(), app.Expected());
    }
}

// Refusals, faults and a cancel before the commit: nothing installed changes,
// no work folder stays.
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
             a.fs.Find(a.package)->data = z.Build();
         }, InstallStatus::Damaged},
        {"not a ZIP", [](App& a) { a.fs.Find(a.package)->data = "<html>404</html>"; }, InstallStatus::Damaged},
        {"no package", [](App& a) { a.fs.RemoveFile(a.package); }, InstallStatus::IoError},
        {"disk full", [](App& a) { a.fs.SetCapacity(100000); }, InstallStatus::IoError},
        {"flush fails", [](App& a) {
             a.fs.SetFault([](FsOp op, const std::u16string&) {
                 return op == FsOp::Flush ? FsResult::Fail(FsCode::Other, u"flush") : FsResult::Success();
             });
         }, InstallStatus::IoError},
        {"journal cannot be written", [](App& a) {
             a.fs.SetFault([](FsOp op, const std::u16string& p) {
                 return op == FsOp::Create && p.size() > 12 && p.substr(p.size() - 12) == u"/journal.new"
                            ? FsResult::Fail(FsCode::NoSpace, u"full") : FsResult::Success();
             });
         }, InstallStatus::IoError},
        {"a link in a target's place", [](App& a) {
             a.fs.RemoveFile(u"/app/a.txt");
             a.fs.AddLink(u"/app/a.txt");
             a.before[u"/app/a.txt"] = "";
         }, InstallStatus::IoError},
        {"cancelled after an entry", [](App& a) { a.options.progress = [](auto, auto) { return false; }; },
         InstallStatus::Cancelled},
        {"cancelled within a large entry", [](App& a) {
             Archive z;
             z.entries.push_back(Entry::File("big.bin", std::string(9 << 20, 'x'), 0));
             a.fs.Find(a.package)->data = z.Build();
             a.options.progress = [](std::uint64_t done, std::uint64_t total) {
                 EXPECT_LT(done, total) << "seen only after the entry";
                 return false;
             };
         }, InstallStatus::Cancelled},
    };
    for (const Case& c : cases) {
        App app;
        c.spoil(app);
        EXPECT_EQ(app.Install().status, c.status) << c.what;
        EXPECT_EQ(app.Snapshot(), app.before) << c.what;
    }
    App app;
    EXPECT_EQ(InstallPackage(app.fs, app.package, u"").status, InstallStatus::IoError);
    EXPECT_EQ(InstallPackage(app.fs, app.package, u"/nowhere").status, InstallStatus::IoError);
}

// A file held open or read-only stops the commit with its path and nothing
// changed; once it is free, the commit is simply called again.
TEST(Install, FileInUseIsReportedAndTheCommitRetried) {
    for (const char16_t* busy : {u"/app/a.txt", u"/app/sub/b.txt", u"/app/Qelda.exe"}) {
        for (bool readOnly : {false, true}) {
            App app;
            PackageInstaller installer(app.fs, u"/app", app.options);
            ASSERT_TRUE(installer.Prepare(app.package).ok());
            MemoryFileSystem::Node* node = app.fs.Find(busy);
            (readOnly ? node->readOnly : node->inUse) = true;
            const Tree staged = app.Snapshot();
            InstallResult r = installer.Commit();
            EXPECT_EQ(r.status, InstallStatus::InUse);
            EXPECT_EQ(r.path, busy);
            EXPECT_EQ(app.Snapshot(), staged);
            node->readOnly = node->inUse = false;
            ASSERT_TRUE(installer.Commit().ok());
            ASSERT_TRUE(installer.Finish().ok());
            app.Recover();
            EXPECT_EQ(app.Snapshot(), app.Expected());
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
    const std::size_t journal = first([&](FsOp op, auto& p) { return op == FsOp::Rename && staged(p, u"/journal.new"); });
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

// A crash after every single step of an installation: the next start
// recovers; so does a start after a crash at every step of that recovery.
// Always: the old or the new installation byte for byte, the new one exactly
// when recovery says Completed, the product's executable never missing, no
// download folder left. Whatever the package's name: the engine's own names, a
// device, a file of the package; and as an earlier updater left it, in the
// destination and named in the journal. With old files kept by a second name,
// and renamed aside where the file system has no hard links.
TEST(Install, CrashAtEveryStepThenRecovery) {
    const struct {
        const char* what;
        const char16_t* name;
        bool earlier;  // saved in /app and named by the journal, as earlier updaters did
        bool delta = false;
        bool hardLinks = true;
    } packages[] = {
        {"plain", u"qelda-2.0.zip", false},
        {"plain, no hard links", u"qelda-2.0.zip", false, false, false},
#if UPDATE_TOOL_DELTA
        {"a delta with removals", u"qelda-1.0-2.0.zip", false, true},
#endif
        {"an updater's old file", u".update-old-1.zip", false},
        {"a device", u"CLOCK$.zip", false},
        {"a file of the package", u"b.dll", false},
        {"the product", u"Qelda.exe", false},
        {"earlier: plain", u"pkg.zip", true},
        {"earlier: an updater's old file", u".update-old-1.zip", true},
        {"earlier: a file of the package", u"b.dll", true},
    };
    for (const auto& p : packages) {
        for (int crashAt = 1;; ++crashAt) {
            const std::string where = std::string(p.what) + ", crash at step " + std::to_string(crashAt);
            App app(p.name, p.earlier, p.delta);
            app.fs.hardLinks = p.hardLinks;
            int steps = 0;
            app.FreezeAfter(crashAt, steps);
            const bool installed = app.Install().ok();
            const int installSteps = steps;
            app.fs.SetFault(nullptr);
            if (p.earlier && !app.JournalPath().empty()) {
                std::string& journal = app.fs.Find(app.JournalPath())->data;
                const std::size_t after = journal.find("\nbackups ") != std::string::npos ? journal.find("\nbackups ")
                                                                                           : journal.find("\ntag ");
                if (journal.size() > 4 && journal.compare(journal.size() - 4, 4, "end\n") == 0)
                    journal.insert(journal.find('\n', after + 1) + 1, "package " + Utf16ToUtf8(p.name) + "\n");
            }
            const MemoryFileSystem crashed = app.fs;
            const std::vector<RecoveryResult> results = app.Recover();
            const Tree result = app.Snapshot();
            const bool isNew = result == app.Expected();
            EXPECT_TRUE(isNew || result == app.before) << where;
            EXPECT_EQ(isNew, results.empty() ? installed : results.back().outcome == RecoveryOutcome::Completed)
                << where;
            EXPECT_FALSE(p.earlier && !results.empty() && app.package == u"/app/pkg.zip" && app.fs.Find(app.package))
                << where << ": the journal's package stays";
            for (int recoveryCrash = 1;; ++recoveryCrash) {
                app.fs = crashed;
                app.FreezeAfter(recoveryCrash, steps);
                app.Recover();
                const int recoverySteps = steps;
                app.fs.SetFault(nullptr);
                app.Recover();
                EXPECT_EQ(app.Snapshot(), result) << where << ", then at " << recoveryCrash;
                if (recoverySteps < recoveryCrash) break;
            }
            EXPECT_TRUE(app.exeThere) << where;
            if (installSteps < crashAt) break;
        }
    }
}

// What recovery reports instead of resolving, and how it goes on once the
// cause is gone: nothing is deleted while a journal cannot be read.
TEST(Recovery, ReportsAndResumes) {
    const struct {
        const char* what;
        std::function<void(App&)> spoil, mend;  // mend null: the report stays
        RecoveryOutcome outcome;
        const char16_t* reason;
    } cases[] = {
        {"journal damaged between its header and end",
         [](App& a) { a.fs.Find(a.JournalPath())->data = "qelda-update-journal 1\ntag 2.0\nfile x\nend\n"; }, nullptr,
         RecoveryOutcome::Failed, u"line 3: unknown record"},
        {"journal of a later format",
         [](App& a) { a.fs.Find(a.JournalPath())->data = "qelda-update-journal 9\nanything\nend\n"; }, nullptr,
         RecoveryOutcome::Failed, u"written by a later updater"},
        {"the product still running", [](App& a) { a.fs.Find(u"/app/Qelda.exe")->inUse = true; },
         [](App& a) { a.fs.Find(u"/app/Qelda.exe")->inUse = false; }, RecoveryOutcome::InUse, u"/app/Qelda.exe"},
        {"the disk refusing",
         [](App& a) {
             a.fs.SetFault([](FsOp op, const std::u16string&) {
                 return op == FsOp::Replace || op == FsOp::Rename ? FsResult::Fail(FsCode::AccessDenied, u"refused")
                                                                  : FsResult::Success();
             });
         },
         [](App& a) { a.fs.SetFault(nullptr); }, RecoveryOutcome::Failed, u"refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        App app = CrashedAfterCommitPoint();
        c.spoil(app);
        const Tree crashed = app.Snapshot();
        std::vector<RecoveryResult> results = app.Recover();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].outcome, c.outcome);
        EXPECT_NE(results[0].reason.find(c.reason), std::u16string::npos) << Utf16ToUtf8(results[0].reason);
        if (!c.mend) {
            EXPECT_EQ(app.Snapshot(), crashed);
            continue;
        }
        c.mend(app);
        results = app.Recover();
        ASSERT_FALSE(results.empty());
        EXPECT_EQ(results.back().outcome, RecoveryOutcome::Completed);
        EXPECT_EQ(app.Snapshot(), app.Expected());
    }
}

// A journal published whole, then damaged in its last line (a power loss that
// zero-fills a file's tail, one flipped byte, the line lost) after the old
// files were moved aside into its work folder, the only copies: recovery
// reports it and keeps every file, rather than taking it for a journal whose
// commit never began and deleting its folder.
TEST(Recovery, AJournalDamagedAfterTheCommitPointKeepsTheBackups) {
    const std::pair<const char*, std::function<void(std::string&)>> cases[] = {
        {"zeros after the end line", [](std::string& j) { j.append(512, '\0'); }},
        {"a flipped byte in the end line", [](std::string& j) { j[j.size() - 2] = 'x'; }},
        {"the end line lost", [](std::string& j) { j.resize(j.size() - 4); }},
    };
    for (const auto& [what, spoil] : cases) {
        App app = CrashedAfterCommitPoint();
        spoil(app.fs.Find(app.JournalPath())->data);
        const Tree crashed = app.Snapshot();
        const std::vector<RecoveryResult> results = app.Recover();
        EXPECT_TRUE(results.size() == 1 && results[0].outcome == RecoveryOutcome::Failed) << what;
        EXPECT_EQ(app.Snapshot(), crashed) << what;
    }
}

// Every journal the engine writes reads back as written: recovery hands back
// the tag exactly, whatever UTF-16 the manifest gave. Earlier updaters'
// journals read too. A journal cut short is incomplete; a complete one that
// does not read is malformed.
TEST(Journal, ReadsBackAsWritten) {
    for (const std::u16string& tag : {std::u16string(u"a\\nb\\\\c\\u0041"), std::u16string(u"line\nbreak\r\t\x7F"),
                                      std::u16string(u"\xDC00\xD800 \xD83D\xDE00"), std::u16string(u"nul\0x", 5),
                                      std::u16string()}) {
        App app = CrashedAfterCommitPoint(tag);
        const std::vector<RecoveryResult> results = app.Recover();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].tag, tag) << Utf16ToUtf8(tag);
    }
    MemoryFileSystem fs;
    const std::string earlier = "qelda-update-journal 1\ntag 2.0 \\\\ beta\\n\npackage pkg.zip\nfolder sub/deep\n"
                                "file 0 n 1 - a b.txt\nfile 2 s 1 .update-old-0123456789ab Update.exe\n"
                                "file 1 l 0 - Qelda.exe\nend\n";
    const std::pair<std::string, Journal::Read> texts[] = {
        {earlier, Journal::Read::Parsed},
        {earlier.substr(0, earlier.size() - 1), Journal::Read::Incomplete},
        {"qelda-update-journal 1\ntag 1\nfile 0 n 1 - a\nfile 1 n 1 - A\nend\n", Journal::Read::Malformed},
    };
    for (const auto& [text, expected] : texts) {
        Journal read(fs, u"/app", u"/app/.update-staging-1");
        std::u16string why;
        EXPECT_EQ(read.Parse(text, why), expected) << text;
    }
    Journal read(fs, u"/app", u"/app/.update-staging-1");
    std::u16string why;
    ASSERT_EQ(read.Parse(earlier, why), Journal::Read::Parsed);
    EXPECT_EQ(read.tag, u"2.0 \\ beta\n");
    EXPECT_EQ(read.package, u"pkg.zip");
    EXPECT_EQ(read.files[1].backup, u"/app/.update-old-0123456789ab");
    // A package name the file-name rule refuses is not the journal's to delete.
    ASSERT_EQ(read.Parse("qelda-update-journal 1\ntag 1\npackage CLOCK$.zip\nend\n", why), Journal::Read::Parsed);
    EXPECT_EQ(read.package, u"");
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

// Without a progress callback, an entry of whole 4 MiB steps stages like any other.
TEST(Install, LargeEntryWithoutProgress) {
    MemoryFileSystem fs;
    fs.AddDirectory(u"/app");
    Archive z;
    z.entries.push_back(Entry::File("big.bin", std::string(8 << 20, 'x'), 0));
    fs.AddFile(u"/pkg.zip", z.Build());
    EXPECT_TRUE(InstallPackage(fs, u"/pkg.zip", u"/app").ok());
}
