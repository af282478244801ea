// The ZIP reader and the install engine's refusals: archives written by real
// tools (tests/data/archive, made by make-archives.sh), every kind of damage
// and lie built byte by byte, and names that may not be written below the
// destination. A refused package never changes the installation.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "InstallEngine.h"
#include "MemoryFileSystem.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

std::string ReadData(const std::string& path) {
    std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/" + path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct StringSink : ZipSink {
    bool Write(const void* data, std::size_t size, std::u16string&) override {
        text.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string text;
};

// Opens the bytes and extracts every entry: "name=size" (the data checked
// against the declared size and CRC-32 here too) or "name=status", or the
// status that refused the archive.
std::string Listing(const std::string& bytes, unsigned codePage = 0) {
    CZipArchive zip;
    if (codePage != 0) zip.SetNameDecoder(MakeCodePageDecoder(codePage));
    ZipResult r = zip.Open(MakeMemorySource(bytes.data(), bytes.size()));
    if (!r) return std::string("open: ") + ZipStatusName(r.status);
    std::string out;
    for (ZIP_INDEX_TYPE i = 0; i < zip.GetCount(); ++i) {
        const CZipFileHeader& h = *zip.GetEntry(i);
        const ZipResult check = zip.CheckEntry(i);
        StringSink sink;
        r = zip.ExtractFile(i, sink);
        if (r ? Crc(sink.text) != h.GetCrc() || sink.text.size() != h.GetUncompressedSize() : r.entry != i)
            return "BROKEN: entry " + std::to_string(i);
        if (!check && (r.status != check.status || !sink.text.empty())) return "BROKEN: check of entry " + std::to_string(i);
        out += (i ? " " : "") + Utf16ToUtf8(h.GetFileName()) + "=" + (r ? std::to_string(sink.text.size()) : ZipStatusName(r.status));
    }
    return out;
}

// A package of the named entries (a name ending in a separator is a folder;
// files hold "x"), names flagged UTF-8.
std::string Package(const std::vector<std::string>& names) {
    Archive a;
    for (const std::string& name : names) {
        const bool folder = !name.empty() && (name.back() == '/' || name.back() == '\\');
        a.entries.push_back(folder ? Entry::Folder(name) : Entry::File(name, "x"));
        a.entries.back().flags = 0x800;
    }
    return a.Build();
}

// Installs a package over an old installation held in memory: "installed"
// and every file and folder then, or why not. A refusal must leave the
// installation exactly as it was.
std::string Installed(const std::string& bytes) {
    MemoryFileSystem fs;
    fs.AddDirectory(u"/app");
    fs.AddFile(u"/app/a.txt", "old a");
    fs.AddFile(u"/pkg.zip", bytes);
    const std::map<std::u16string, MemoryFileSystem::Node> before = fs.Nodes();
    const InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app");
    std::string out = InstallStatusName(r.status);
    if (!r.ok()) {
        auto same = [](const auto& x, const auto& y) { return x.first == y.first && x.second.data == y.second.data; };
        if (!std::equal(before.begin(), before.end(), fs.Nodes().begin(), fs.Nodes().end(), same))
            return "BROKEN: a refused package changed the installation";
        const bool entry = r.archive.entry != ZipResult::kNoEntry;
        return out + " " + ZipStatusName(r.archive.status) + (entry ? " entry " + std::to_string(r.archive.entry) : "");
    }
    for (const auto& [path, node] : fs.Nodes())
        if (path.compare(0, 5, u"/app/") == 0) out += " " + Utf16ToUtf8(path.substr(5)) + (node.directory ? "/" : "=" + node.data);
    return out;
}

}  // namespace

// Archives of real tools: stored and deflated entries, data descriptors,
// ZIP64, a self-extractor stub in front, UTF-8 flagged names, GBK names
// (decoded as code page 936, or the default 437), and entries refused.
TEST(ArchiveReader, ToolArchives) {
    const std::string tree = "emptydir/=0 empty.txt=0 hello.txt=6 sub/=0 sub/dir/=0 sub/dir/nested.bin=20000";
    const std::string streamed = "hello.txt=6 sub/dir/nested.bin=20000 empty.txt=0";
    const struct {
        const char* file;
        unsigned codePage;
        std::string listing;
    } cases[] = {
        {"zip-deflated.zip", 0, tree}, {"zip-stored.zip", 0, tree}, {"zip-stream.zip", 0, tree},
        {"7z-deflated.zip", 0, "empty.txt=0 emptydir/=0 hello.txt=6 sub/=0 sub/dir/=0 sub/dir/nested.bin=20000"},
        {"py-stream.zip", 0, streamed}, {"py-zip64.zip", 0, streamed}, {"prefixed.zip", 0, "hello.txt=6"},
        {"py-utf8.zip", 0, "说明.txt=6 目录/文件.txt=4"},
        {"py-gbk.zip", 936, "说明.txt=6 目录/文件.txt=4 资料淺=2"},  // the last byte of 淺 is 0x5C: still a file
        {"py-gbk.zip", 0, "╦╡├≈.txt=6 ─┐┬╝/╬─╝■.txt=4 ╫╩┴╧£\\=damaged"},
        {"encrypted.zip", 0, "hello.txt=encrypted"}, {"method-bzip2.zip", 0, "sub/dir/nested.bin=unsupported"},
        {"symlink.zip", 0, "target=2 link=unsafe-type escape=unsafe-type"}, {"bomb-zeros.zip", 0, "zeros.bin=67108864"},
    };
    for (const auto& c : cases) EXPECT_EQ(Listing(ReadData(std::string("archive/") + c.file), c.codePage), c.listing) << c.file;
    // Each entry of the bomb is possible for deflate; all of them together
    // are more than the archive's size allows.
    EXPECT_EQ(Installed(ReadData("archive/bomb-zeros.zip")), "damaged too-large");
}

struct Lie {
    const char* what;
    void (*apply)(Archive&);
    const char* listing;
    unsigned codePage = 0;
};

class ArchiveLies : public testing::TestWithParam<Lie> {};

TEST_P(ArchiveLies, AreFound) {
    Archive a;
    a.entries = {Entry::File("x.txt", std::string(5000, 'x') + "tail of the data"), Entry::File("n", "n", 0)};
    GetParam().apply(a);
    EXPECT_EQ(Listing(a.Build(), GetParam().codePage), GetParam().listing) << GetParam().what;
}

// Lies in the headers of entry 0, and what real writers do that is no lie.
INSTANTIATE_TEST_SUITE_P(Entry, ArchiveLies, testing::Values(
    Lie{"uncompressed size smaller", [](Archive& a) { a.entries[0].centralUncompressed = a.entries[0].localUncompressed = 100; }, "x.txt=size-mismatch n=1"},
    Lie{"uncompressed size larger", [](Archive& a) { a.entries[0].centralUncompressed = a.entries[0].localUncompressed = 6000; }, "x.txt=size-mismatch n=1"},
    Lie{"compressed size smaller", [](Archive& a) { a.entries[0].centralCompressed = a.entries[0].localCompressed = 10; }, "x.txt=damaged n=1"},
    Lie{"compressed size into the next entry", [](Archive& a) { a.entries[0].centralCompressed = a.entries[0].localCompressed = RawDeflate(a.entries[0].data).size() + 3; }, "x.txt=overlap n=1"},
    Lie{"local uncompressed size", [](Archive& a) { a.entries[0].localUncompressed = 4; }, "x.txt=header-mismatch n=1"},
    Lie{"local compressed size", [](Archive& a) { a.entries[0].localCompressed = 4; }, "x.txt=header-mismatch n=1"},
    Lie{"central uncompressed size", [](Archive& a) { a.entries[0].centralUncompressed = 5001; }, "x.txt=header-mismatch n=1"},
    Lie{"local CRC", [](Archive& a) { a.entries[0].localCrc = 1; }, "x.txt=header-mismatch n=1"},
    Lie{"CRC everywhere", [](Archive& a) { a.entries[0].localCrc = a.entries[0].centralCrc = 0x12345678; }, "x.txt=crc-mismatch n=1"},
    Lie{"local name", [](Archive& a) { a.entries[0].localName = "y.txt"; }, "x.txt=header-mismatch n=1"},
    Lie{"local method", [](Archive& a) { a.entries[0].localMethod = 0; }, "x.txt=header-mismatch n=1"},
    Lie{"descriptor flag only local", [](Archive& a) { a.entries[0].localFlags = 8; }, "x.txt=header-mismatch n=1"},
    Lie{"descriptor CRC", [](Archive& a) { a.entries[0].descriptor = true; a.entries[0].descriptorCrc = 7; }, "x.txt=header-mismatch n=1"},
    Lie{"stored sizes differ", [](Archive& a) { a.entries[1].centralCompressed = a.entries[1].localCompressed = 0; }, "x.txt=5016 n=size-mismatch"},
    Lie{"not deflate data", [](Archive& a) { a.entries[0].compressed = std::string(64, '\xFF'); }, "x.txt=damaged n=1"},
    Lie{"deflate stream ends early", [](Archive& a) { a.entries[0].compressed = RawDeflate(a.entries[0].data) + "junk"; }, "x.txt=size-mismatch n=1"},
    Lie{"deflate stream goes on", [](Archive& a) { a.entries[0].compressed = RawDeflate(a.entries[0].data).substr(0, 20); }, "x.txt=damaged n=1"},
    Lie{"size beyond deflate's reach", [](Archive& a) { a.entries[0].centralUncompressed = a.entries[0].localUncompressed = 0xF0000000u; }, "x.txt=too-large n=1"},
    Lie{"folder with data", [](Archive& a) { a.entries[1] = Entry::Folder("d/"); a.entries[1].data = "d"; }, "x.txt=5016 d/=damaged"},
    Lie{"encrypted", [](Archive& a) { a.entries[0].flags = 1; }, "x.txt=encrypted n=1"},
    Lie{"strongly encrypted", [](Archive& a) { a.entries[0].flags = 0x40; }, "x.txt=encrypted n=1"},
    Lie{"masked headers", [](Archive& a) { a.entries[0].flags = 0x2000; }, "x.txt=encrypted n=1"},
    Lie{"AES", [](Archive& a) { a.entries[1].method = 99; }, "x.txt=5016 n=encrypted"},
    Lie{"LZMA", [](Archive& a) { a.entries[1].method = 14; }, "x.txt=5016 n=unsupported"},
    Lie{"patch data", [](Archive& a) { a.entries[0].flags = 0x20; }, "x.txt=unsupported n=1"},
    Lie{"symbolic link", [](Archive& a) { a.entries[0].externalAttributes = 0120777u << 16; }, "x.txt=unsafe-type n=1"},
    Lie{"named pipe", [](Archive& a) { a.entries[0].externalAttributes = 0010644u << 16; }, "x.txt=unsafe-type n=1"},
    Lie{"device", [](Archive& a) { a.entries[0].externalAttributes = 0020644u << 16; }, "x.txt=unsafe-type n=1"},
    Lie{"socket", [](Archive& a) { a.entries[0].externalAttributes = 0140755u << 16; }, "x.txt=unsafe-type n=1"},
    Lie{"Windows reparse point", [](Archive& a) { a.entries[0].madeBy = 0x0A14; a.entries[0].externalAttributes = 0x420; }, "x.txt=unsafe-type n=1"},
    Lie{"folder by its attributes", [](Archive& a) { a.entries[1] = Entry::Folder("d"); a.entries[1].madeBy = 0x0014; }, "x.txt=5016 d=0"},
    Lie{"invalid UTF-8 name", [](Archive& a) { a.entries[0].flags = 0x800; a.entries[0].name = "\xC0\xAF"; }, "=unsafe-name n=1"},
    Lie{"GBK lead byte without its trail", [](Archive& a) { a.entries[0].name = "\x81\x20"; }, "=unsafe-name n=1", 936},
    Lie{"Unicode path field", [](Archive& a) {
            Put(a.entries[0].centralExtra, {{2, 0x7075}, {2, 5 + 7}, {1, 1}, {4, Crc("x.txt")}});
            a.entries[0].centralExtra += "新.txt";
            a.entries[1].centralExtra = a.entries[0].centralExtra;  // for another name: ignored
        }, "新.txt=5016 n=1"},
    Lie{"descriptors of four layouts", [](Archive& a) {
            a.entries.clear();
            for (int i = 0; i < 4; ++i) {
                a.entries.push_back(Entry::File(std::to_string(i), "descriptor " + std::to_string(i)));
                a.entries[i].descriptor = true;
                a.entries[i].descriptorSignature = i % 2 != 0;
                a.entries[i].zip64 = i >= 2;
            }
        }, "0=12 1=12 2=12 3=12"}));

// Lies of the end records, and what real writers do that is no lie.
INSTANTIATE_TEST_SUITE_P(End, ArchiveLies, testing::Values(
    Lie{"count too high", [](Archive& a) { a.declaredCount = 3; }, "open: damaged"},
    Lie{"count too low", [](Archive& a) { a.declaredCount = 1; }, "open: damaged"},
    Lie{"directory too small", [](Archive& a) { a.declaredCentralSize = 50; }, "open: damaged"},
    Lie{"directory beyond the file", [](Archive& a) { a.declaredCentralOffset = 1u << 30; }, "open: damaged"},
    Lie{"ZIP64 directory offset", [](Archive& a) { a.zip64End = true; a.declaredCentralOffset = 7; }, "open: damaged"},
    Lie{"spanned", [](Archive& a) { a.disk = 1; }, "open: unsupported"},
    Lie{"local header beyond the entries", [](Archive& a) { a.entries[0].localOffset = 1u << 20; }, "open: damaged"},
    Lie{"local header inside the data", [](Archive& a) { a.entries[1].localOffset = 40; }, "x.txt=overlap n=damaged"},
    Lie{"shared local header", [](Archive& a) { a.entries[1].localOffset = 0; }, "open: overlap"},
    Lie{"no entries", [](Archive& a) { a.entries.clear(); }, ""},
    Lie{"ZIP64 everywhere", [](Archive& a) { a.zip64End = a.entries[0].zip64 = a.entries[1].zip64 = true; }, "x.txt=5016 n=1"},
    Lie{"comment holding an end record", [](Archive& a) {
            a.comment = "note ";
            Put(a.comment, {{4, 0x06054b50}, {8, 0}, {8, 0}, {2, 0}});
            a.comment += " end";
        }, "x.txt=5016 n=1"}));

TEST(ArchiveReader, MissingDescriptorTrailingBytesAndNoArchive) {
    Archive a;
    a.entries = {Entry::File("x.txt", "descriptor data")};
    a.entries[0].descriptor = true;
    std::string bytes = a.Build();
    EXPECT_EQ(Listing(bytes + "trailing"), "x.txt=15");
    std::size_t central = 0;
    for (int i = 4; i > 0; --i) central = central << 8 | static_cast<unsigned char>(bytes[bytes.size() - 7 + i]);
    bytes.erase(central - 16, 16);  // the descriptor, and the directory's offset moved back
    Set(bytes, bytes.size() - 6, 4, central - 16);
    EXPECT_EQ(Listing(bytes), "x.txt=damaged");
    for (const std::string& junk : {std::string(), std::string("PK"), std::string(1000, 'x'), "PK\x03\x04" + std::string(100, '\0')})
        EXPECT_EQ(Listing(junk), "open: not-zip");
}

// Entry counts and indexes are not cut to 16 bits, with or without ZIP64
// (without, the end record's count wraps, as old writers left it).
TEST(ArchiveReader, MoreThan65535Entries) {
    for (bool zip64 : {true, false}) {
        Archive a;
        a.zip64End = zip64;
        a.entries.assign(70000, Entry::File("e", "", 0));
        a.entries.back() = Entry::File("last", "last", 0);
        const std::string bytes = a.Build();
        CZipArchive zip;
        ASSERT_TRUE(zip.Open(MakeMemorySource(bytes.data(), bytes.size())));
        ASSERT_EQ(zip.GetCount(), 70000u);
        StringSink sink;
        EXPECT_TRUE(zip.ExtractFile(69999, sink));
        EXPECT_EQ(sink.text, "last");
    }
}

// Opening by path, and the component's calls around it.
TEST(ArchiveReader, ComponentCalls) {
    const CZipString path = Utf8ToUtf16(UPDATE_TEST_DATA_DIR "/archive/zip-deflated.zip");
    const CZipString script = Utf8ToUtf16(UPDATE_TEST_DATA_DIR "/archive/make-archives.sh");
    const CZipString missing = Utf8ToUtf16(UPDATE_TEST_DATA_DIR "/archive/no-such-file.zip");
    EXPECT_TRUE(CZipArchive::IsZipArchive(path));
    EXPECT_FALSE(CZipArchive::IsZipArchive(script) || CZipArchive::IsZipArchive(missing));
    CZipArchive zip;
    EXPECT_EQ(zip.Open(path, 3).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(path, CZipArchive::zipOpen, 1 << 20).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(missing).status, ZipStatus::FileError);
    EXPECT_EQ(zip.Open(script).status, ZipStatus::NotZip);
    ASSERT_TRUE(zip.Open(path, CZipArchive::zipOpenReadOnly));
    EXPECT_TRUE(zip.SetAutoFinalize(true));
    CZipFileHeader header;
    EXPECT_TRUE(zip.GetFileInfo(header, 5) && !zip.GetFileInfo(header, 6));
    StringSink sink;
    EXPECT_EQ(zip.ExtractFile(6, sink).status, ZipStatus::BadIndex);
    EXPECT_EQ(zip.Close(), path);
    EXPECT_TRUE(zip.IsClosed());
    EXPECT_EQ(zip.ExtractFile(0, sink).status, ZipStatus::BadIndex);
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
        const std::string good = Installed(whole);
        ASSERT_EQ(good.substr(0, 10), "installed ");
        for (std::size_t k = 0; k < whole.size(); ++k) {
            std::string bytes[] = {whole.substr(0, k), whole, whole, whole};
            bytes[1][k] = static_cast<char>(bytes[1][k] ^ 0xFF);
            bytes[2][k] = static_cast<char>(bytes[2][k] ^ 0x01);
            bytes[3].erase(k, 1);
            for (int v = 0; v < 4; ++v) {
                const std::string result = Installed(bytes[v]);
                if (result.compare(0, 9, "installed") == 0) ASSERT_EQ(result, good) << "byte " << k << " variant " << v;
                ASSERT_EQ(result.find("BROKEN"), std::string::npos) << result << " byte " << k << " variant " << v;
            }
        }
    }
}

// Entry names: where each may be written ("/" between folders, a trailing
// "/" for a folder entry), or null when it may not, alone or beside good
// entries in a package (which is then refused whole, nothing written).
TEST(ArchiveReader, EntryNames) {
    const struct {
        const char16_t* name;
        const char* path;
    } cases[] = {
        {u"a.txt", "a.txt"}, {u"dir/sub/a.txt", "dir/sub/a.txt"}, {u"dir\\sub\\a.txt", "dir/sub/a.txt"}, {u"dir/", "dir/"},
        {u"dir\\", "dir/"}, {u"a/b/", "a/b/"}, {u".hidden", ".hidden"}, {u"..a", "..a"}, {u"a..b", "a..b"},
        {u" lead", " lead"}, {u"说明.txt", "说明.txt"}, {u"CONSOLE.txt", "CONSOLE.txt"}, {u"COM10", "COM10"},
        {u"LPT0.txt", "LPT0.txt"}, {u"nul_x", "nul_x"}, {u"$name", "$name"}, {u"a&b;c'd", "a&b;c'd"},
        {u"./a.txt", "a.txt"}, {u"a/./b", "a/b"}, {u".\\a\\", "a/"}, {u"./", "/"}, {u"a/./", "a/"},
        // Outside the destination, or no file at all.
        {u"../evil.txt", nullptr}, {u"..\\evil.txt", nullptr}, {u"a/../../evil.txt", nullptr}, {u"a/..", nullptr},
        {u"..", nullptr}, {u"/etc/passwd", nullptr}, {u"\\Windows\\evil.dll", nullptr}, {u"\\\\server\\share\\x", nullptr},
        {u"//server/share/x", nullptr}, {u"\\\\?\\C:\\x.txt", nullptr}, {u"C:\\Windows\\evil.dll", nullptr},
        {u"C:evil.dll", nullptr}, {u"a/C:/x", nullptr}, {u"file.txt:stream", nullptr}, {u"file.txt::$DATA", nullptr},
        {u".", nullptr}, {u"a/.", nullptr}, {u"a//b", nullptr}, {u"", nullptr}, {u"/", nullptr}, {u"a/b//", nullptr},
        {u".update-staging-1234/x", nullptr}, {u".UPDATE-STAGING-x", nullptr},
        // Names Windows cannot create as given, or opens a device for.
        {u"CON", nullptr}, {u"con", nullptr}, {u"Con.txt", nullptr}, {u"aux.tar.gz", nullptr}, {u"PRN", nullptr},
        {u"dir/nul.txt", nullptr}, {u"NUL /x", nullptr}, {u"COM1", nullptr}, {u"com9.log", nullptr}, {u"LPT1", nullptr},
        {u"COM\u00B9", nullptr}, {u"COM\u00B2", nullptr}, {u"LPT\u00B3.txt", nullptr}, {u"CONIN$", nullptr},
        {u"conout$.txt", nullptr}, {u"clock$", nullptr}, {u"CON .txt", nullptr}, {u"a<b", nullptr}, {u"a>b", nullptr},
        {u"a\"b", nullptr}, {u"a|b", nullptr}, {u"a?b", nullptr}, {u"a*b", nullptr}, {u"tab\there", nullptr},
        {u"a\u0001b", nullptr}, {u"del\u007F", nullptr}, {u"dot.", nullptr}, {u"dir./a", nullptr}, {u"space ", nullptr},
        {u"dir /a", nullptr}, {u"...", nullptr},
    };
    for (const auto& c : cases) {
        const std::u16string name = c.name;
        EntryPath path;
        std::u16string why;
        const bool accepted = ParseEntryName(name, path, why);
        const std::string joined = Utf16ToUtf8(JoinSegments(path.segments, path.segments.size(), u'/'));
        EXPECT_EQ(accepted ? joined + (path.directory ? "/" : "") : "refused", c.path ? c.path : "refused")
            << Utf16ToUtf8(name);
        EXPECT_EQ(why.empty(), accepted) << Utf16ToUtf8(name);
        const std::string package = Installed(Package({"good-before.txt", Utf16ToUtf8(name), "good-after.txt"}));
        if (!accepted) EXPECT_EQ(package, "damaged unsafe-name entry 1") << Utf16ToUtf8(name);
        else if (!path.segments.empty()) EXPECT_NE(package.find(" " + joined + (path.directory ? "/" : "=x")), std::string::npos) << package;
    }
    EntryPath path;
    std::u16string why;
    EXPECT_TRUE(ParseEntryName(std::u16string(255, u'a'), path, why));
    EXPECT_FALSE(ParseEntryName(u"d/" + std::u16string(256, u'a') + u"/x", path, why));
}

// Two entries for one file as Windows compares names (letters folded to
// upper case), or a file that is also a folder: the package is refused.
TEST(ArchiveReader, NameClashes) {
    const struct {
        std::vector<std::string> names;
        const char* result;
    } cases[] = {
        {{"a.txt", "a.txt"}, "damaged damaged entry 1"}, {{"a.txt", "A.TXT"}, "damaged damaged entry 1"},
        {{"dir/a", "DIR\\a"}, "damaged damaged entry 1"}, {{"a", "a/b"}, "damaged damaged entry 1"},
        {{"a/b", "a"}, "damaged damaged entry 1"}, {{"a", "a/"}, "damaged damaged entry 1"}, {{"a/", "a"}, "damaged damaged entry 1"},
        {{"./a", "a"}, "damaged damaged entry 1"}, {{"x/y/z", "X/Y"}, "damaged damaged entry 1"},
        {{"été", "ÉTÉ"}, "damaged damaged entry 1"}, {{"ÿĀĺ", "ŸāĹ"}, "damaged damaged entry 1"}, {{"αω", "ΑΩ"}, "damaged damaged entry 1"},
        {{"файлё", "ФАЙЛЁ"}, "damaged damaged entry 1"}, {{"ａｂ", "ＡＢ"}, "damaged damaged entry 1"},
        {{"ς", "Σ"}, "installed a.txt=old a Σ=x ς=x"}, {{"÷", "×"}, "installed a.txt=old a ×=x ÷=x"},
        {{"ſ", "S"}, "installed S=x a.txt=old a ſ=x"}, {{"ı", "I"}, "installed I=x a.txt=old a ı=x"},
        {{"d/", "D/", "d/a", "d/b"}, "installed D/ a.txt=old a d/ d/a=x d/b=x"},
        {{"./", "./d/", "./d/a.txt"}, "installed a.txt=old a d/ d/a.txt=x"},
        {{std::string("ok.txt\0../../evil", 17)}, "damaged unsafe-name entry 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Installed(Package(c.names)), c.result) << c.names[0] << " " << c.names.back();
}
