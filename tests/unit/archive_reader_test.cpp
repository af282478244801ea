// The ZIP reader and the install engine's refusals: archives of real tools (tests/data/archive), every damage and lie
// built byte by byte, and names that may not be written below the destination.
#include <gtest/gtest.h>

#include <cstdio>
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

// Installs the named entries (UTF-8; files hold "x", names ending in a separator are folders) or the archive over an
// old installation in memory: "installed" and every file (content, or size:CRC-32 past 8 bytes) and folder; or why
// not, and then the installation must be exactly as it was.
std::string Installed(const std::vector<std::string>& names, std::string bytes = "", unsigned codePage = 0) {
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
    InstallOptions options;
    if (codePage != 0) options.nameDecoder = MakeCodePageDecoder(codePage);
    const InstallResult r = InstallPackage(fs, u"/pkg.zip", u"/app", options);
    std::string out = InstallStatusName(r.status);
    auto same = [](const auto& x, const auto& y) { return x.first == y.first && x.second.data == y.second.data; };
    if (!r.ok() && !std::equal(before.begin(), before.end(), fs.Nodes().begin(), fs.Nodes().end(), same))
        return "BROKEN: a refused package changed the installation";
    const std::string at = r.archive.entry != ZipResult::kNoEntry ? "@" + std::to_string(r.archive.entry) : "";
    if (!r.ok()) return out + " " + ZipStatusName(r.archive.status) + at;
    for (const auto& [path, node] : fs.Nodes()) {
        char size[32];
        std::snprintf(size, sizeof size, "%zu:%08x", node.data.size(), Crc(node.data));
        if (path.compare(0, 5, u"/app/") == 0)
            out += " " + Utf16ToUtf8(path.substr(5)) +
                   (node.directory ? "/" : "=" + (node.data.size() > 8 ? size : node.data));
    }
    return out;
}

}  // namespace

// Real tools' archives that no other test reads: a stub in front, names in UTF-8 or GBK (code page 936, or the
// default 437), and entries refused.
TEST(ArchiveReader, ToolArchives) {
    const std::string old = "installed a.txt=old a", names = old + " 目录/ 目录/文件.txt=data 说明.txt=中文";
    const std::tuple<const char*, unsigned, std::string> cases[] = {
        {"prefixed.zip", 0, old + " hello.txt=hello\n"}, {"py-utf8.zip", 0, names},
        {"py-gbk.zip", 936, names + " 资料淺=5c"},         // the last byte of 淺 is 0x5C
        {"py-gbk.zip", 0, "damaged damaged@2"},            // in code page 437 a backslash: a folder with data
        {"encrypted.zip", 0, "damaged encrypted@0"}, {"method-bzip2.zip", 0, "damaged unsupported@0"},
        {"symlink.zip", 0, "damaged unsafe-type@1"}, {"bomb-zeros.zip", 0, "damaged too-large"},
    };
    for (const auto& [file, codePage, installed] : cases)
        EXPECT_EQ(Installed({}, ReadData(std::string("archive/") + file), codePage), installed) << file;
}

// Lies in an archive of x (deflated, 1016 bytes) and n (stored): sizes, CRCs, data, encryption (flags, AES), methods,
// patch data, links, devices, reparse points, names, a missing descriptor, end records, offsets; and real layouts.
#define LIE(...) [](Archive & a, Entry & e) { __VA_ARGS__; }
TEST(ArchiveReader, Lies) {
    const std::string x = "1016:52d7a7d1", fine = "installed a.txt=old a n=n x=" + x;
    const struct {
        void (*apply)(Archive&, Entry&);
        std::string installed;
        unsigned codePage = 0;
    } cases[] = {
        {LIE(e.centralUncompressed = e.localUncompressed = 9), "damaged size-mismatch@0"},
        {LIE(e.centralUncompressed = e.localUncompressed = 2000), "damaged size-mismatch@0"},
        {LIE(e.centralCompressed = e.localCompressed = RawDeflate(e.data).size() + 3), "damaged overlap@0"},
        {LIE(e.localCrc = 1), "damaged header-mismatch@0"},
        {LIE(e.descriptor = true, e.descriptorCrc = 7), "damaged header-mismatch@0"},
        {LIE(e.localCrc = e.centralCrc = 7), "damaged crc-mismatch@0"},
        {LIE(a.entries[1].centralCompressed = a.entries[1].localCompressed = 0), "damaged size-mismatch@1"},
        {LIE(e.compressed = std::string(64, '\xFF')), "damaged damaged@0"},
        {LIE(e.compressed = RawDeflate(e.data) + "junk"), "damaged size-mismatch@0"},
        {LIE(e.compressed = RawDeflate(e.data).substr(0, 10)), "damaged damaged@0"},
        {LIE(e.centralUncompressed = e.localUncompressed = 0xF0000000u), "damaged too-large@0"},
        {LIE(a.entries[1] = Entry::Folder("n/"), a.entries[1].data = "d"), "damaged damaged@1"},
        {LIE(a.entries[1] = Entry::Folder("n"), a.entries[1].madeBy = 0x14), "installed a.txt=old a n/ x=" + x},
        {LIE(e.flags = 0x40), "damaged encrypted@0"}, {LIE(e.flags = 0x2000), "damaged encrypted@0"},
        {LIE(a.entries[1].method = 99), "damaged encrypted@1"}, {LIE(e.flags = 0x20), "damaged unsupported@0"},
        {LIE(a.entries[1].method = 14), "damaged unsupported@1"},
        {LIE(e.externalAttributes = 0120777u << 16), "damaged unsafe-type@0"},
        {LIE(e.externalAttributes = 0020644u << 16), "damaged unsafe-type@0"},
        {LIE(e.madeBy = 0x0A14, e.externalAttributes = 0x420), "damaged unsafe-type@0"},
        {LIE(e.flags = 0x800, e.name = "\xC0\xAF"), "damaged unsafe-name@0"},
        {LIE(e.name = "\x81\x20"), "damaged unsafe-name@0", 936},
        {LIE(e.descriptor = true, a.entries[1].localOffset = 31 + RawDeflate(e.data).size()), "damaged damaged@0"},
        {LIE(a.declaredCount = 3), "damaged damaged"}, {LIE(a.declaredCentralSize = 50), "damaged damaged@1"},
        {LIE(a.declaredCentralOffset = 1u << 30), "damaged damaged"}, {LIE(a.disk = 1), "damaged unsupported"},
        {LIE(a.zip64End = true, a.declaredCentralOffset = 7), "damaged damaged"},
        {LIE(e.localOffset = 1u << 20), "damaged damaged@0"}, {LIE(a.entries[1].localOffset = 0), "damaged overlap@1"},
        {LIE(a.entries[1].localOffset = 40), "damaged overlap@0"}, {LIE(a.entries.clear()), "installed a.txt=old a"},
        {LIE(a.zip64End = e.zip64 = a.entries[1].zip64 = true), fine},
        {LIE(Put(a.comment, {{4, 0x06054b50}, {8, 0}, {8, 0}, {2, 0}}), a.comment += " end"), fine},  // in the comment
        // Two end records that can each be read as the last: the comment's reaches the end of the file, or the
        // start of the signature block after it.
        {LIE(Put(a.comment, {{4, 0x06054b50}, {8, 0}, {8, 0}, {2, 0}})), "damaged damaged"},
        {LIE(Put(a.comment, {{4, 0x06054b50}, {8, 0}, {8, 0}, {2, 0}}),
             a.comment += "-----BEGIN QELDA PACKAGE SIGNATURE-----\nversion: 2.0\n"), "damaged damaged"},
        // Info-ZIP's Unicode path field, valid while its CRC matches the stored name.
        {LIE(Put(e.centralExtra, {{2, 0x7075}, {2, 5 + 4}, {1, 1}, {4, Crc("x")}}),
             a.entries[1].centralExtra = e.centralExtra += "新x"),
         "installed a.txt=old a n=n 新x=" + x},
        // Counts and indexes are not cut to 16 bits, with ZIP64 or without (the count wrapped, as old writers left it).
        {LIE(for (int i = 2; i < 70000; ++i) a.entries.push_back(Entry::File(std::to_string(i), "", 0));
             a.entries.back().name = "bad:name"), "damaged unsafe-name@69999"},
        {LIE(for (int i = 2; i < 70000; ++i) a.entries.push_back(Entry::File(std::to_string(i), "", 0));
             a.entries.back().name = "bad:name", a.zip64End = true), "damaged unsafe-name@69999"},
        // Data descriptors with or without their signature, sizes of 4 or 8 bytes.
        {LIE(for (int i = 0; i < 4; ++i) a.entries.push_back(Entry::File(std::to_string(i), std::to_string(i)));
             for (int i = 2; i < 6; ++i) a.entries[i].descriptor = true, a.entries[i].descriptorSignature = i % 2,
                                         a.entries[i].zip64 = i >= 4),
         "installed 0=0 1=1 2=2 3=3 a.txt=old a n=n x=" + x},
    };
    for (const auto& c : cases) {
        Archive a;
        a.entries = {Entry::File("x", std::string(1000, 'x') + "tail of the data"), Entry::File("n", "n", 0)};
        c.apply(a, a.entries[0]);
        const std::string trailing = &c == cases ? "bytes after the end record" : "";
        EXPECT_EQ(Installed({}, a.Build() + trailing, c.codePage), c.installed) << &c - cases;
    }
    for (const std::string junk : {"", "PK", "PK\x03\x04\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"})
        EXPECT_EQ(Installed({}, junk), "damaged not-zip");
}

// Any byte cut off, changed or removed: the package installs exactly as made, or nothing changes (built here and
// by Python's zipfile).
TEST(ArchiveReader, EveryDamageInstallsRightOrNothing) {
    Archive built;
    built.entries = {Entry::File("a.txt", "alpha alpha alpha alpha"), Entry::Folder("d/"),
                     Entry::File("d/s.bin", std::string("stored\0b", 8), 0), Entry::File("d/dd.txt", "descriptor")};
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

// Entry names: where each is written, or refused with the whole package; so are two entries for one file (as Windows
// folds names) or a file that is also a folder.
TEST(ArchiveReader, EntryNames) {
    const std::string a255(255, 'a'), a256(256, 'a'), old = "installed a.txt=old a";
    for (const std::string name : {
             // Outside the destination, or no file at all.
             "../evil.txt", "..\\evil.txt", "a/../../evil.txt", "a/..", "..", "/etc/passwd", "\\Windows\\x.dll",
             "\\\\server\\share\\x", "//server/share/x", "\\\\?\\C:\\x.txt", "C:\\Windows\\x.dll", "C:x.dll",
             "a/C:/x", "file.txt:stream", "file.txt::$DATA", ".", "a/.", "a//b", "", "/", "a/b//",
             ".update-staging-1234/x", ".UPDATE-STAGING-x", ".update-download-1/pkg.zip", "sub/.update-old-1",
             // Names Windows cannot create as given, or opens a device for.
             "CON", "con", "Con.txt", "aux.tar.gz", "PRN", "dir/nul.txt", "NUL /x", "COM1", "com9.log", "LPT1", "COM¹",
             "COM²", "LPT³.txt", "CONIN$", "conout$.txt", "clock$", "CON .txt", "a<b", "a>b", "a\"b", "a|b", "a?b",
             "a*b", "tab\there", "a\x01" "b", "del\x7F", "dot.", "dir./a", "space ", "dir /a", "...", a256.c_str(),
             // Short (8.3) aliases: another name for some long-named file.
             "UPDATE~1/x", "QELDA~1.EXE", "_upd~xma", "a/PROGRA~2/b.dll"})
        EXPECT_EQ(Installed({"good-before.txt", name, "good-after.txt"}), "damaged unsafe-name@1") << name;
    const std::string clash = "damaged damaged@1";
    const std::pair<std::vector<std::string>, std::string> packages[] = {
        {{".hidden", "..a", "a..b", " lead", "CONSOLE.txt", "COM10", "LPT0.txt", "nul_x", "a&b;c'd$", "说明.txt",
          "backup~1.dat.old", "notes~version2.txt"},
         "installed  lead=x ..a=x .hidden=x COM10=x CONSOLE.txt=x LPT0.txt=x a&b;c'd$=x a..b=x a.txt=old a "
         "backup~1.dat.old=x notes~version2.txt=x nul_x=x 说明.txt=x"},
        {{"dir\\sub\\a.txt", "./b.txt", "c/./d", ".\\e\\", "./", "f/./"},
         old + " b.txt=x c/ c/d=x dir/ dir/sub/ dir/sub/a.txt=x e/ f/"},
        {{a255}, old + " " + a255 + "=x"}, {{"d/", "D/", "d/a", "d/b"}, "installed D/ a.txt=old a d/ d/a=x d/b=x"},
        {{"a.txt", "a.txt"}, clash}, {{"a.txt", "A.TXT"}, clash}, {{"dir/a", "DIR\\a"}, clash}, {{"a", "a/b"}, clash},
        {{"a/b", "a"}, clash}, {{"a", "a/"}, clash}, {{"a/", "a"}, clash}, {{"./a", "a"}, clash},
        {{"x/y/z", "X/Y"}, clash}, {{"été", "ÉTÉ"}, clash}, {{"ÿĀĺ", "ŸāĹ"}, clash}, {{"αω", "ΑΩ"}, clash},
        {{"файлё", "ФАЙЛЁ"}, clash}, {{"ａｂ", "ＡＢ"}, clash}, {{"ς", "Σ"}, old + " Σ=x ς=x"},
        {{"÷", "×"}, old + " ×=x ÷=x"},
        {{"ſ", "S"}, "installed S=x a.txt=old a ſ=x"}, {{"ı", "I"}, "installed I=x a.txt=old a ı=x"},
        {{std::string("ok.txt\0../../evil", 17)}, "damaged unsafe-name@0"},
    };
    for (const auto& [names, result] : packages) EXPECT_EQ(Installed(names), result) << names[0];
}
