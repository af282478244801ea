// Entry names: which names may be written below the destination folder, and
// that a package holding any other is refused with nothing written.
#include <gtest/gtest.h>

#include "EntryName.h"
#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

struct NameCase {
    const char16_t* name;
    bool accepted;
    const char16_t* joined;  // segments joined with '/', for accepted names
    bool directory;
};

NameCase Refused(const char16_t* name) { return NameCase{name, false, u"", false}; }

std::string Show(const char16_t* s) { return Utf16ToUtf8(s); }

}  // namespace

class EntryNames : public testing::TestWithParam<NameCase> {};

TEST_P(EntryNames, ParseAsExpected) {
    const NameCase& c = GetParam();
    EntryPath path;
    std::u16string why;
    const bool ok = ParseEntryName(c.name, path, why);
    ASSERT_EQ(ok, c.accepted) << Show(c.name) << ": " << Utf16ToUtf8(why);
    if (ok) {
        EXPECT_EQ(JoinSegments(path.segments, path.segments.size(), u'/'), c.joined) << Show(c.name);
        EXPECT_EQ(path.directory, c.directory) << Show(c.name);
    } else {
        EXPECT_FALSE(why.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, EntryNames,
    testing::Values(NameCase{u"a.txt", true, u"a.txt", false}, NameCase{u"dir/sub/a.txt", true, u"dir/sub/a.txt", false},
                    NameCase{u"dir\\sub\\a.txt", true, u"dir/sub/a.txt", false},
                    NameCase{u"dir/", true, u"dir", true}, NameCase{u"dir\\", true, u"dir", true},
                    NameCase{u"a/b/", true, u"a/b", true}, NameCase{u".hidden", true, u".hidden", false},
                    NameCase{u"..a", true, u"..a", false}, NameCase{u"a..b", true, u"a..b", false},
                    NameCase{u" lead", true, u" lead", false}, NameCase{u"说明.txt", true, u"说明.txt", false},
                    NameCase{u"CONSOLE.txt", true, u"CONSOLE.txt", false}, NameCase{u"COM10", true, u"COM10", false},
                    NameCase{u"LPT0.txt", true, u"LPT0.txt", false}, NameCase{u"nul_x", true, u"nul_x", false},
                    NameCase{u"$name", true, u"$name", false}, NameCase{u"a&b;c'd", true, u"a&b;c'd", false},
                    NameCase{u"./a.txt", true, u"a.txt", false}, NameCase{u"a/./b", true, u"a/b", false},
                    NameCase{u".\\a\\", true, u"a", true}, NameCase{u"./", true, u"", true},
                    NameCase{u"a/./", true, u"a", true}));

INSTANTIATE_TEST_SUITE_P(
    Traversal, EntryNames,
    testing::Values(Refused(u"../evil.txt"), Refused(u"..\\evil.txt"), Refused(u"a/../../evil.txt"),
                    Refused(u"a\\..\\..\\evil.txt"), Refused(u"a/.."), Refused(u".."),
                    Refused(u"/etc/passwd"), Refused(u"\\Windows\\evil.dll"),
                    Refused(u"\\\\server\\share\\x.txt"), Refused(u"//server/share/x.txt"),
                    Refused(u"\\\\?\\C:\\x.txt"), Refused(u"C:\\Windows\\evil.dll"),
                    Refused(u"C:evil.dll"), Refused(u"c:/x"), Refused(u"a/C:/x"),
                    Refused(u"file.txt:stream"), Refused(u"file.txt::$DATA"), Refused(u"."),
                    Refused(u"a/."), Refused(u"a//b"), Refused(u""), Refused(u"/"),
                    Refused(u"a/b//")));

INSTANTIATE_TEST_SUITE_P(
    WindowsNames, EntryNames,
    testing::Values(Refused(u"CON"), Refused(u"con"), Refused(u"Con.txt"),
                    Refused(u"aux.tar.gz"), Refused(u"PRN"), Refused(u"NUL"),
                    Refused(u"dir/nul.txt"), Refused(u"NUL /x"), Refused(u"COM1"),
                    Refused(u"com9.log"), Refused(u"LPT1"), Refused(u"lpt9.txt"),
                    Refused(u"COM\u00B9"), Refused(u"LPT\u00B3.txt"), Refused(u"CONIN$"),
                    Refused(u"conout$.txt"), Refused(u"CON .txt"), Refused(u"a<b"),
                    Refused(u"a>b"), Refused(u"a\"b"), Refused(u"a|b"), Refused(u"a?b"),
                    Refused(u"a*b"), Refused(u"tab\there"), Refused(u"a\u0001b"),
                    Refused(u"bell\u0007"), Refused(u"dot."), Refused(u"dir./a"),
                    Refused(u"space "), Refused(u"dir /a"), Refused(u"..."),
                    Refused(u".update-staging-1234/x"), Refused(u".UPDATE-STAGING-x")));

TEST(EntryNames, SegmentLengthLimit) {
    EntryPath path;
    std::u16string why;
    EXPECT_TRUE(ParseEntryName(std::u16string(255, u'a'), path, why));
    EXPECT_FALSE(ParseEntryName(std::u16string(256, u'a'), path, why));
    EXPECT_FALSE(ParseEntryName(u"d/" + std::u16string(256, u'a') + u"/x", path, why));
}

TEST(EntryNames, FoldingMatchesWindowsForCommonLetters) {
    EXPECT_EQ(FoldForComparison(u"Readme.TXT"), FoldForComparison(u"README.txt"));
    EXPECT_EQ(FoldForComparison(u"\u00E9t\u00E9"), FoldForComparison(u"\u00C9T\u00C9"));
    EXPECT_EQ(FoldForComparison(u"\u0444\u0430\u0439\u043B"), FoldForComparison(u"\u0424\u0410\u0419\u041B"));
    EXPECT_EQ(FoldForComparison(u"\u03B1"), FoldForComparison(u"\u0391"));
    EXPECT_NE(FoldForComparison(u"a"), FoldForComparison(u"b"));
    EXPECT_EQ(FoldForComparison(u"中文"), u"中文");
}

// A package with one bad name among good ones is refused whole: not even the
// good entries before it are written.
class HostileNames : public testing::TestWithParam<const char*> {};

TEST_P(HostileNames, RefuseThePackageAndTouchNothing) {
    Archive a;
    a.entries.push_back(Entry::File("good-before.txt", "fine", 8));
    a.entries.push_back(Entry::File(GetParam(), "payload", 8));
    a.entries.push_back(Entry::File("good-after.txt", "fine", 8));
    const std::string bytes = a.Build();

    MemoryFileSystem fs;
    ASSERT_TRUE(fs.AddDirectory(u"/app"));
    ASSERT_TRUE(fs.AddFile(u"/app/good-before.txt", "old"));
    ASSERT_TRUE(fs.AddFile(u"/pkg.zip", bytes));
    const auto before = fs.Nodes();

    InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::Damaged) << GetParam();
    EXPECT_EQ(r.archive.status, ZipStatus::UnsafeName) << GetParam();
    EXPECT_EQ(r.archive.entry, 1u);
    EXPECT_FALSE(r.reason.empty());
    ASSERT_EQ(fs.Nodes().size(), before.size());
    for (auto n = fs.Nodes().begin(), b = before.begin(); n != fs.Nodes().end(); ++n, ++b) {
        EXPECT_EQ(n->first, b->first);
        EXPECT_EQ(n->second.data, b->second.data);
    }
}

INSTANTIATE_TEST_SUITE_P(Package, HostileNames,
                         testing::Values("../evil.txt", "..\\evil.txt", "a/../../evil.txt", "/abs.txt", "\\abs.txt",
                                         "C:/evil.txt", "C:evil.txt", "\\\\server\\share\\x", "x.txt:ads", "CON",
                                         "aux.txt", "dir/COM1.log", "LPT9", "a<b", "a|b", "a?b", "a*b", "a\"b",
                                         "trailing.", "trailing ", "dir./x", "a//b", "x/."));

TEST(HostileNames, EmbeddedNulIsRefused) {
    Archive a;
    a.entries.push_back(Entry::File(std::string("ok.txt\0../../evil", 17), "payload", 0));
    MemoryFileSystem fs;
    ASSERT_TRUE(fs.AddDirectory(u"/app"));
    ASSERT_TRUE(fs.AddFile(u"/pkg.zip", a.Build()));
    InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app");
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(fs.Find(u"/app/ok.txt"), nullptr);
}

struct Clash {
    const char* first;
    const char* second;
};

class NameClashes : public testing::TestWithParam<Clash> {};

// Two entries for one file (as Windows compares names), or a file that is
// also a folder: which one should win is unknowable, so the package is refused.
TEST_P(NameClashes, RefuseThePackage) {
    Archive a;
    const std::string first = GetParam().first, second = GetParam().second;
    a.entries.push_back(first.back() == '/' ? Entry::Folder(first) : Entry::File(first, "one", 0));
    a.entries.push_back(second.back() == '/' ? Entry::Folder(second) : Entry::File(second, "two", 0));
    const std::string bytes = a.Build();
    CZipArchive zip;
    ASSERT_TRUE(zip.Open(MakeMemorySource(bytes.data(), bytes.size())));
    PackagePlan plan;
    InstallResult r = CheckPackage(zip, plan);
    EXPECT_EQ(r.status, InstallStatus::Damaged) << GetParam().first << " / " << GetParam().second;
    EXPECT_EQ(r.archive.entry, 1u);
}

INSTANTIATE_TEST_SUITE_P(Package, NameClashes,
                         testing::Values(Clash{"a.txt", "a.txt"}, Clash{"a.txt", "A.TXT"}, Clash{"dir/a", "DIR\\a"},
                                         Clash{"a", "a/b"}, Clash{"a/b", "a"}, Clash{"a", "a/"}, Clash{"a/", "a"}, Clash{"./a", "a"},
                                         Clash{"x/y/z", "X/Y"}));

TEST(NameClashes, RepeatedFoldersAndSharedParentsAreFine) {
    Archive a;
    a.entries.push_back(Entry::Folder("d/"));
    a.entries.push_back(Entry::Folder("D/"));
    a.entries.push_back(Entry::File("d/a", "1", 0));
    a.entries.push_back(Entry::File("D/b", "2", 0));
    const std::string bytes = a.Build();
    CZipArchive zip;
    ASSERT_TRUE(zip.Open(MakeMemorySource(bytes.data(), bytes.size())));
    PackagePlan plan;
    EXPECT_TRUE(CheckPackage(zip, plan).ok());
    EXPECT_EQ(plan.items.size(), 4u);
    EXPECT_EQ(plan.totalSize, 2u);
}

TEST(NameClashes, DotFolderEntriesNameTheDestination) {
    Archive a;
    a.entries.push_back(Entry::Folder("./"));
    a.entries.push_back(Entry::Folder("./d/"));
    a.entries.push_back(Entry::File("./d/a.txt", "1", 0));
    MemoryFileSystem fs;
    ASSERT_TRUE(fs.AddDirectory(u"/app"));
    ASSERT_TRUE(fs.AddFile(u"/pkg.zip", a.Build()));
    InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app");
    ASSERT_TRUE(r.ok()) << Utf16ToUtf8(r.reason);
    ASSERT_NE(fs.Find(u"/app/d/a.txt"), nullptr);
    EXPECT_EQ(fs.Find(u"/app/d/a.txt")->data, "1");
}
