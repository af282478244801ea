// The ZIP reader and the install engine's refusals: archives written by real
// tools (tests/data/archive, made by make-archives.sh), every kind of damage
// and lie built byte by byte, and names that may not be written below the
// destination. A refused package never changes the installation.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

std::string ReadData(const std::string& path) {
    std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct StringSink : ZipSink {
    bool Write(const void* data, std::size_t size, std::u16string&) override {
        text.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string text;
};

// Opens the bytes and extracts every entry: "name=size" (the data checked
// here too against the declared size and CRC-32) or "name=status" (the one
// CheckEntry gave, if any, with nothing written), or what refused the archive.
std::string Listing(const std::string& bytes, unsigned codePage = 0) {
    CZipArchive zip;
    if (codePage != 0) zip.SetNameDecoder(MakeCodePageDecoder(codePage));
    ZipResult r = zip.Open(MakeMemorySource(bytes.data(), bytes.size()));
    std::string out = r ? "" : std::string("open: ") + ZipStatusName(r.status);
    for (ZIP_INDEX_TYPE i = 0; i < zip.GetCount(); ++i) {
        const CZipFileHeader& h = *zip.GetEntry(i);
        const ZipResult check = zip.CheckEntry(i);
        StringSink sink;
        r = zip.ExtractFile(i, sink);
        if (r ? Crc(sink.text) != h.GetCrc() || sink.text.size() != h.GetUncompressedSize()
              : r.entry != i || (!check && (r.status != check.status || !sink.text.empty())))
            return "BROKEN: entry " + std::to_string(i);
        out += (i ? " " : "") + Utf16ToUtf8(h.GetFileName()) + "=" +
               (r ? std::to_string(sink.text.size()) : ZipStatusName(r.status));
    }
    return out;
}

// Installs the named entries (flagged UTF-8; a name ending in a separator is
// a folder, files hold "x") or the given archive over an old installation in
// memory: "installed" and every file and folder then, or why not. A refusal
// must leave the installation exactly as it was.
std::string Installed(const std::vector<std::string>& names, std::string bytes = "") {
    Archive a;
    for (const std::string& name : names) {
        const bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\');
        a.entries.push_back(folder ? Entry::Folder(name) : Entry::File(name, "x"));
        a.entries.back().flags = 0x800;
    }
    MemoryFileSystem fs;
    fs.AddDirectory(u"/app");
    fs.AddFile(u"/app/a.txt", "old a");
    fs.AddFile(u"/pkg.zip", names.empty() ? bytes : a.Build());
    const std::map<std::u16string, MemoryFileSystem::Node> before = fs.Nodes();
    const InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app");
    std::string out = InstallStatusName(r.status);
    auto same = [](const auto& x, const auto& y) { return x.first == y.first && x.second.data == y.second.data; };
    if (!r.ok() && !std::equal(before.begin(), before.end(), fs.Nodes().begin(), fs.Nodes().end(), same))
        return "BROKEN: a refused package changed the installation";
    if (!r.ok() && r.archive.entry != ZipResult::kNoEntry) out += " entry " + std::to_string(r.archive.entry);
    if (!r.ok()) return out + " " + ZipStatusName(r.archive.status);
    for (const auto& [path, node] : fs.Nodes())
        if (path.compare(0, 5, u"/app/") == 0)
            out += " " + Utf16ToUtf8(path.substr(5)) + (node.directory ? "/" : "=" + node.data);
    return out;
}

}  // namespace

// Archives of real tools: stored and deflated entries, data descriptors,
// ZIP64, a self-extractor stub in front, UTF-8 flagged names, GBK names
// (decoded as code page 936, or the default 437), and entries refused.
TEST(ArchiveReader, ToolArchives) {
    const char* tree = "emptydir/=0 empty.txt=0 hello.txt=6 sub/=0 sub/dir/=0 sub/dir/nested.bin=20000";
    const char* streamed = "hello.txt=6 sub/dir/nested.bin=20000 empty.txt=0";
    const std::tuple<const char*, unsigned, const char*> cases[] = {
        {"zip-deflated.zip", 0, tree}, {"zip-stored.zip", 0, tree}, {"zip-stream.zip", 0, tree},
        {"7z-deflated.zip", 0, "empty.txt=0 emptydir/=0 hello.txt=6 sub/=0 sub/dir/=0 sub/dir/nested.bin=20000"},
        {"py-stream.zip", 0, streamed}, {"py-zip64.zip", 0, streamed}, {"prefixed.zip", 0, "hello.txt=6"},
        {"py-utf8.zip", 0, "说明.txt=6 目录/文件.txt=4"},
        {"py-gbk.zip", 936, "说明.txt=6 目录/文件.txt=4 资料淺=2"},  // the last byte of 淺 is 0x5C: still a file
        {"py-gbk.zip", 0, "╦╡├≈.txt=6 ─┐┬╝/╬─╝■.txt=4 ╫╩┴╧£\\=damaged"},
        {"encrypted.zip", 0, "hello.txt=encrypted"}, {"method-bzip2.zip", 0, "sub/dir/nested.bin=unsupported"},
        {"symlink.zip", 0, "target=2 link=unsafe-type escape=unsafe-type"}, {"bomb-zeros.zip", 0, "zeros.bin=67108864"},
    };
    for (const auto& [file, codePage, listing] : cases)
        EXPECT_EQ(Listing(ReadData(std::string("archive/") + file), codePage), listing);
    // Each entry of the bomb is possible for deflate; all together they are
    // more than the archive's size allows.
    EXPECT_EQ(Installed({}, ReadData("archive/bomb-zeros.zip")), "damaged too-large");
}

// Lies in the headers of an archive of x (deflated, 1016 bytes) and n
// (stored), and layouts of real writers that are no lies.
#define LIE(...) [](Archive & a, Entry & e) { __VA_ARGS__; }
TEST(ArchiveReader, Lies) {
    const struct {
        void (*apply)(Archive&, Entry&);
        const char* listing;
        unsigned codePage = 0;
    } cases[] = {
        {LIE(e.centralUncompressed = e.localUncompressed = 9), "x=size-mismatch n=1"},
        {LIE(e.centralUncompressed = e.localUncompressed = 2000), "x=size-mismatch n=1"},
        {LIE(e.centralCompressed = e.localCompressed = RawDeflate(e.data).size() + 3), "x=overlap n=1"},
        {LIE(e.localUncompressed = 4), "x=header-mismatch n=1"}, {LIE(e.localCrc = 1), "x=header-mismatch n=1"},
        {LIE(e.localCrc = e.centralCrc = 7), "x=crc-mismatch n=1"}, {LIE(e.localName = "y"), "x=header-mismatch n=1"},
        {LIE(e.localMethod = 0), "x=header-mismatch n=1"}, {LIE(e.localFlags = 8), "x=header-mismatch n=1"},
        {LIE(e.descriptor = true, e.descriptorCrc = 7), "x=header-mismatch n=1"},
        {LIE(a.entries[1].centralCompressed = a.entries[1].localCompressed = 0), "x=1016 n=size-mismatch"},
        {LIE(e.compressed = std::string(64, '\xFF')), "x=damaged n=1"},
        {LIE(e.compressed = RawDeflate(e.data) + "junk"), "x=size-mismatch n=1"},
        {LIE(e.compressed = RawDeflate(e.data).substr(0, 10)), "x=damaged n=1"},
        {LIE(e.centralUncompressed = e.localUncompressed = 0xF0000000u), "x=too-large n=1"},
        {LIE(a.entries[1] = Entry::Folder("d/"), a.entries[1].data = "d"), "x=1016 d/=damaged"},
        {LIE(a.entries[1] = Entry::Folder("d"), a.entries[1].madeBy = 0x14), "x=1016 d=0"},  // a DOS folder
        {LIE(e.flags = 0x40), "x=encrypted n=1"}, {LIE(e.flags = 0x2000), "x=encrypted n=1"},
        {LIE(a.entries[1].method = 99), "x=1016 n=encrypted"}, {LIE(a.entries[1].method = 14), "x=1016 n=unsupported"},
        {LIE(e.flags = 0x20), "x=unsupported n=1"}, {LIE(e.externalAttributes = 0120777u << 16), "x=unsafe-type n=1"},
        {LIE(e.externalAttributes = 0020644u << 16), "x=unsafe-type n=1"},
        {LIE(e.madeBy = 0x0A14, e.externalAttributes = 0x420), "x=unsafe-type n=1"},  // an NTFS reparse point
        {LIE(e.flags = 0x800, e.name = "\xC0\xAF"), "=unsafe-name n=1"},
        {LIE(e.name = "\x81\x20"), "=unsafe-name n=1", 936},  // a GBK lead byte without its trail byte
        {LIE(e.descriptor = true, a.entries[1].localOffset = 30 + 1 + RawDeflate(e.data).size()), "x=damaged n=damaged"},
        {LIE(a.declaredCount = 3), "open: damaged"}, {LIE(a.declaredCentralSize = 50), "open: damaged"},
        {LIE(a.declaredCentralOffset = 1u << 30), "open: damaged"}, {LIE(a.disk = 1), "open: unsupported"},
        {LIE(a.zip64End = true, a.declaredCentralOffset = 7), "open: damaged"},
        {LIE(e.localOffset = 1u << 20), "open: damaged"}, {LIE(a.entries[1].localOffset = 0), "open: overlap"},
        {LIE(a.entries[1].localOffset = 40), "x=overlap n=damaged"}, {LIE(a.entries.clear()), ""},
        {LIE(a.zip64End = e.zip64 = a.entries[1].zip64 = true), "x=1016 n=1"},
        {LIE(Put(a.comment, {{4, 0x06054b50}, {8, 0}, {8, 0}, {2, 0}}), a.comment += " end"), "x=1016 n=1"},  // in it
        // Info-ZIP's Unicode path field, valid while its CRC matches the stored name.
        {LIE(Put(e.centralExtra, {{2, 0x7075}, {2, 5 + 7}, {1, 1}, {4, Crc("x")}}),
             a.entries[1].centralExtra = e.centralExtra += "新.txt"),
         "新.txt=1016 n=1"},
        // Data descriptors with or without their signature, sizes of 4 or 8 bytes.
        {LIE(for (int i = 0; i < 4; ++i) a.entries.push_back(Entry::File(std::to_string(i), "d" + std::to_string(i)));
             for (int i = 2; i < 6; ++i) a.entries[i].descriptor = true, a.entries[i].descriptorSignature = i % 2,
                                         a.entries[i].zip64 = i >= 4),
         "x=1016 n=1 0=2 1=2 2=2 3=2"},
    };
    for (const auto& c : cases) {
        Archive a;
        a.entries = {Entry::File("x", std::string(1000, 'x') + "tail of the data"), Entry::File("n", "n", 0)};
        c.apply(a, a.entries[0]);
        EXPECT_EQ(Listing(a.Build(), c.codePage), c.listing) << &c - cases;
    }
    Archive one;
    one.entries = {Entry::File("x", "x")};
    EXPECT_EQ(Listing(one.Build() + "trailing bytes"), "x=1");
    for (const std::string junk : {"", "PK", "PK\x03\x04\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"})
        EXPECT_EQ(Listing(junk), "open: not-zip");
}

// Entry counts and indexes are not cut to 16 bits, with ZIP64 or without
// (the end record's count wrapped, as old writers left it).
TEST(ArchiveReader, MoreThan65535Entries) {
    for (bool zip64 : {true, false}) {
        Archive a;
        a.zip64End = zip64;
        a.entries.assign(70000, Entry::File("e", "", 0));
        a.entries.back() = Entry::File("last", "last", 0);
        const std::string listing = Listing(a.Build());
        EXPECT_TRUE(std::count(listing.begin(), listing.end(), ' ') == 69999 && listing.substr(listing.size() - 11) == " e=0 last=4");
    }
}

// Opening by path, and the component's calls around it.
TEST(ArchiveReader, ComponentCalls) {
    const CZipString path = Utf8ToUtf16(UPDATE_TEST_DATA_DIR "/archive/zip-deflated.zip");
    const CZipString script = Utf8ToUtf16(UPDATE_TEST_DATA_DIR "/archive/make-archives.sh");
    EXPECT_TRUE(CZipArchive::IsZipArchive(path) && !CZipArchive::IsZipArchive(script) &&
                !CZipArchive::IsZipArchive(path + u".missing"));
    CZipArchive zip;
    CZipFileHeader header;
    StringSink sink;
    EXPECT_EQ(zip.Open(path, 3).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(path, CZipArchive::zipOpen, 1 << 20).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(path + u".missing").status, ZipStatus::FileError);
    EXPECT_EQ(zip.Open(script).status, ZipStatus::NotZip);
    ASSERT_TRUE(zip.Open(path, CZipArchive::zipOpenReadOnly));
    EXPECT_TRUE(zip.SetAutoFinalize(true) && zip.GetFileInfo(header, 5) && !zip.GetFileInfo(header, 6));
    EXPECT_EQ(zip.ExtractFile(6, sink).status, ZipStatus::BadIndex);
    EXPECT_TRUE(zip.Close() == path && zip.IsClosed() && zip.ExtractFile(0, sink).status == ZipStatus::BadIndex);
}

// Any byte of an archive cut off, changed or removed: the package is either
// installed exactly as it was made or refused with the installation
// untouched. One archive built here, one written by Python's zipfile.
TEST(ArchiveReader, EveryDamageInstallsRightOrNothing) {
    Archive built;
    built.entries = {Entry::File("a.txt", "alpha alpha alpha alpha"), Entry::Folder("d/"),
                     Entry::File("d/s.bin", std::string("stored\0bytes", 12), 0), Entry::File("d/dd.txt", "descriptor")};
    built.entries[3].descriptor = true;
    for (const std::string& whole : {built.Build(), ReadData("../fuzz/seeds/archive/small-stream.zip")}) {
        const std::string good = Installed({}, whole);
        ASSERT_EQ(good.substr(0, 10), "installed ");
        for (std::size_t k = 0; k < whole.size(); ++k) {
            std::string bytes[] = {whole.substr(0, k), whole, whole, whole};
            bytes[1][k] = static_cast<char>(bytes[1][k] ^ 0xFF);
            bytes[2][k] = static_cast<char>(bytes[2][k] ^ 0x01);
            bytes[3].erase(k, 1);
            for (const std::string& damaged : bytes) {
                const std::string result = Installed({}, damaged);
                ASSERT_TRUE(result.compare(0, 9, "installed") ? result.find("BROKEN") == std::string::npos
                                                               : result == good)
                    << "byte " << k << ": " << result;
            }
        }
    }
}

// Entry names: where each may be written ("/" between folders, a trailing
// "/" for a folder entry), alone and in a package; or refused, and then a
// package holding it among good entries is refused whole, nothing written.
// Two entries for one file as Windows compares names (letters folded to upper
// case), or a file that is also a folder, refuse the package too.
TEST(ArchiveReader, EntryNames) {
    const std::u16string a255(255, u'a'), a256(256, u'a');
    const std::pair<const char16_t*, const char*> accepted[] = {
        {u"dir/sub/a.txt", "dir/sub/a.txt"}, {u"dir\\sub\\a.txt", "dir/sub/a.txt"}, {u"dir\\", "dir/"},
        {u".hidden", ".hidden"}, {u"..a", "..a"}, {u"a..b", "a..b"}, {u" lead", " lead"}, {u"说明.txt", "说明.txt"},
        {u"CONSOLE.txt", "CONSOLE.txt"}, {u"COM10", "COM10"}, {u"LPT0.txt", "LPT0.txt"}, {u"nul_x", "nul_x"},
        {u"a&b;c'd$", "a&b;c'd$"}, {u"./a.txt", "a.txt"}, {u"a/./b", "a/b"}, {u".\\a\\", "a/"}, {u"./", "/"},
        {u"a/./", "a/"}, {a255.c_str(), nullptr},
    };
    for (const auto& [name, where] : accepted) {
        EntryPath path;
        std::u16string why;
        ASSERT_TRUE(ParseEntryName(name, path, why)) << Utf16ToUtf8(name);
        const std::string joined = Utf16ToUtf8(JoinSegments(path.segments, path.segments.size(), u'/'));
        EXPECT_EQ(joined + (path.directory ? "/" : ""), where ? where : Utf16ToUtf8(name));
        const std::string installed = Installed({Utf16ToUtf8(name)});
        EXPECT_TRUE(joined.empty() || installed.find(" " + joined + (path.directory ? "/" : "=x")) != std::string::npos)
            << installed;
    }
    for (const std::u16string name : {
             // Outside the destination, or no file at all.
             u"../evil.txt", u"..\\evil.txt", u"a/../../evil.txt", u"a/..", u"..", u"/etc/passwd", u"\\Windows\\x.dll",
             u"\\\\server\\share\\x", u"//server/share/x", u"\\\\?\\C:\\x.txt", u"C:\\Windows\\x.dll", u"C:x.dll",
             u"a/C:/x", u"file.txt:stream", u"file.txt::$DATA", u".", u"a/.", u"a//b", u"", u"/", u"a/b//",
             u".update-staging-1234/x", u".UPDATE-STAGING-x",
             // Names Windows cannot create as given, or opens a device for.
             u"CON", u"con", u"Con.txt", u"aux.tar.gz", u"PRN", u"dir/nul.txt", u"NUL /x", u"COM1", u"com9.log",
             u"LPT1", u"COM\u00B9", u"COM\u00B2", u"LPT\u00B3.txt", u"CONIN$", u"conout$.txt", u"clock$", u"CON .txt",
             u"a<b", u"a>b", u"a\"b", u"a|b", u"a?b", u"a*b", u"tab\there", u"a\u0001b", u"del\u007F", u"dot.",
             u"dir./a", u"space ", u"dir /a", u"...", a256.c_str()}) {
        EntryPath path;
        std::u16string why;
        EXPECT_TRUE(!ParseEntryName(name, path, why) && !why.empty()) << Utf16ToUtf8(name);
        EXPECT_EQ(Installed({"good-before.txt", Utf16ToUtf8(name), "good-after.txt"}), "damaged entry 1 unsafe-name")
            << Utf16ToUtf8(name);
    }
    const std::string clash = "damaged entry 1 damaged";
    const std::pair<std::vector<std::string>, std::string> packages[] = {
        {{"a.txt", "a.txt"}, clash}, {{"a.txt", "A.TXT"}, clash}, {{"dir/a", "DIR\\a"}, clash}, {{"a", "a/b"}, clash},
        {{"a/b", "a"}, clash}, {{"a", "a/"}, clash}, {{"a/", "a"}, clash}, {{"./a", "a"}, clash},
        {{"x/y/z", "X/Y"}, clash}, {{"été", "ÉTÉ"}, clash}, {{"ÿĀĺ", "ŸāĹ"}, clash}, {{"αω", "ΑΩ"}, clash},
        {{"файлё", "ФАЙЛЁ"}, clash}, {{"ａｂ", "ＡＢ"}, clash}, {{"ς", "Σ"}, "installed a.txt=old a Σ=x ς=x"},
        {{"÷", "×"}, "installed a.txt=old a ×=x ÷=x"}, {{"ſ", "S"}, "installed S=x a.txt=old a ſ=x"},
        {{"ı", "I"}, "installed I=x a.txt=old a ı=x"},
        {{"d/", "D/", "d/a", "d/b"}, "installed D/ a.txt=old a d/ d/a=x d/b=x"},
        {{std::string("ok.txt\0../../evil", 17)}, "damaged entry 0 unsafe-name"},
    };
    for (const auto& [names, result] : packages) EXPECT_EQ(Installed(names), result) << names[0];
}
