// The ZIP reader: archives written by real tools (committed in
// tests/data/archive, made by make-archives.sh), and every kind of damage and
// lie built byte by byte.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "InstallEngine.h"
#include "ZipArchive.h"
#include "ZipBuilder.h"

using namespace ziptest;

namespace {

std::string DataPath(const std::string& name) { return std::string(UPDATE_TEST_DATA_DIR) + "/archive/" + name; }

std::string ReadData(const std::string& name) {
    std::ifstream in(DataPath(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class StringSink : public ZipSink {
public:
    bool Write(const void* data, std::size_t size, std::u16string&) override {
        text.append(static_cast<const char*>(data), size);
        return true;
    }
    std::string text;
};

// An archive opened on its own copy of the bytes.
struct Opened {
    explicit Opened(std::string data, std::shared_ptr<const ZipNameDecoder> decoder = nullptr) : bytes(std::move(data)) {
        zip.SetNameDecoder(std::move(decoder));
        result = zip.Open(MakeMemorySource(bytes.data(), bytes.size()));
    }
    std::string bytes;
    CZipArchive zip;
    ZipResult result;
};

// name -> content of every entry, or the first failure.
ZipResult ExtractAll(CZipArchive& zip, std::map<std::u16string, std::string>& out) {
    for (ZIP_INDEX_TYPE i = 0; i < zip.GetCount(); ++i) {
        StringSink sink;
        ZipResult r = zip.ExtractFile(i, sink);
        if (!r) return r;
        CZipFileHeader h;
        zip.GetFileInfo(h, i);
        out[h.GetFileName(true)] = sink.text;
    }
    return ZipResult::Success();
}

const std::uint32_t kNestedCrc = 0x2f99df50;

}  // namespace

// ---------------------------------------------------------------------------
// What real tools write

struct ToolArchive {
    const char* file;
    bool folders;      // has folder entries
    bool descriptors;  // entries carry data descriptors
};

class ToolArchives : public testing::TestWithParam<ToolArchive> {};

TEST_P(ToolArchives, ListAndExtractTheSameTree) {
    const std::string bytes = ReadData(GetParam().file);
    ASSERT_FALSE(bytes.empty()) << GetParam().file;
    Opened a(bytes);
    ASSERT_TRUE(a.result) << Utf16ToUtf8(a.result.ToText());

    std::map<std::u16string, std::string> files;
    ZipResult r = ExtractAll(a.zip, files);
    ASSERT_TRUE(r) << Utf16ToUtf8(r.ToText());
    EXPECT_EQ(files[u"hello.txt"], "hello\n");
    EXPECT_EQ(files.count(u"empty.txt"), 1u);
    EXPECT_EQ(files[u"empty.txt"], "");
    ASSERT_EQ(files[u"sub/dir/nested.bin"].size(), 20000u);
    EXPECT_EQ(Crc(files[u"sub/dir/nested.bin"]), kNestedCrc);

    bool sawFolder = false;
    for (ZIP_INDEX_TYPE i = 0; i < a.zip.GetCount(); ++i) {
        CZipFileHeader h;
        ASSERT_TRUE(a.zip.GetFileInfo(h, i));
        sawFolder |= h.IsDirectory();
        if (h.GetFileName() == u"sub/dir/nested.bin") {
            EXPECT_EQ(h.GetMethod(), CZipFileHeader::deflated);
            EXPECT_EQ(h.GetUncompressedSize(), 20000u);
            EXPECT_LT(h.GetCompressedSize(), 20000u);
            EXPECT_EQ(h.GetCrc(), kNestedCrc);
            EXPECT_EQ(h.HasDataDescriptor(), GetParam().descriptors);
        }
    }
    EXPECT_EQ(sawFolder, GetParam().folders);
}

INSTANTIATE_TEST_SUITE_P(Archive, ToolArchives,
                         testing::Values(ToolArchive{"zip-deflated.zip", true, false},
                                         ToolArchive{"7z-deflated.zip", true, false},
                                         ToolArchive{"zip-stream.zip", true, true},
                                         ToolArchive{"py-stream.zip", false, true},
                                         ToolArchive{"py-zip64.zip", false, false}));

TEST(ToolArchive, StoredEntriesKeepTheirBytes) {
    Opened a(ReadData("zip-stored.zip"));
    ASSERT_TRUE(a.result);
    std::map<std::u16string, std::string> files;
    ASSERT_TRUE(ExtractAll(a.zip, files));
    EXPECT_EQ(Crc(files[u"sub/dir/nested.bin"]), kNestedCrc);
    for (ZIP_INDEX_TYPE i = 0; i < a.zip.GetCount(); ++i) {
        EXPECT_EQ(a.zip.GetEntry(i)->GetMethod(), CZipFileHeader::stored);
        EXPECT_EQ(a.zip.GetEntry(i)->GetCompressedSize(), a.zip.GetEntry(i)->GetUncompressedSize());
    }
}

TEST(ToolArchive, BytesInFrontOfTheArchiveAreSkipped) {
    Opened a(ReadData("prefixed.zip"));
    ASSERT_TRUE(a.result) << Utf16ToUtf8(a.result.ToText());
    std::map<std::u16string, std::string> files;
    ASSERT_TRUE(ExtractAll(a.zip, files));
    EXPECT_EQ(files[u"hello.txt"], "hello\n");
}

TEST(ToolArchive, Utf8FlaggedNames) {
    Opened a(ReadData("py-utf8.zip"));
    ASSERT_TRUE(a.result);
    ASSERT_EQ(a.zip.GetCount(), 2u);
    EXPECT_EQ(a.zip.GetEntry(0)->GetFileName(), u"说明.txt");
    EXPECT_TRUE(a.zip.GetEntry(0)->IsUtf8Name());
    EXPECT_EQ(a.zip.GetEntry(1)->GetFileName(), u"目录/文件.txt");
}

TEST(ToolArchive, GbkNamesDecodeWithCodePage936) {
    auto gbk = MakeCodePageDecoder(936);
    ASSERT_TRUE(gbk);
    Opened a(ReadData("py-gbk.zip"), gbk);
    ASSERT_TRUE(a.result);
    ASSERT_EQ(a.zip.GetCount(), 3u);
    EXPECT_FALSE(a.zip.GetEntry(0)->IsUtf8Name());
    EXPECT_EQ(a.zip.GetEntry(0)->GetFileName(), u"说明.txt");
    EXPECT_EQ(a.zip.GetEntry(1)->GetFileName(), u"目录/文件.txt");
    // The last byte of 淺 in GBK is 0x5C, the backslash: still a file.
    EXPECT_EQ(a.zip.GetEntry(2)->GetFileName(), u"资料淺");
    EXPECT_EQ(a.zip.GetEntry(2)->GetRawFileName().back(), '\\');
    EXPECT_FALSE(a.zip.GetEntry(2)->IsDirectory());
    StringSink sink;
    ASSERT_TRUE(a.zip.ExtractFile(2, sink));
    EXPECT_EQ(sink.text, "5c");
}

TEST(ToolArchive, GbkNamesReadOtherwiseInCodePage437) {
    Opened a(ReadData("py-gbk.zip"), MakeCodePageDecoder(437));
    ASSERT_TRUE(a.result);
    EXPECT_NE(a.zip.GetEntry(0)->GetFileName(), u"说明.txt");
    EXPECT_EQ(a.zip.GetEntry(0)->GetFileName().size(), 8u);  // one character per byte
}

struct RefusedArchive {
    const char* file;
    const char* entry;
    ZipStatus status;
};

class RefusedEntries : public testing::TestWithParam<RefusedArchive> {};

TEST_P(RefusedEntries, CheckAndExtractionRefuse) {
    Opened a(ReadData(GetParam().file));
    ASSERT_TRUE(a.result) << Utf16ToUtf8(a.result.ToText());
    bool found = false;
    for (ZIP_INDEX_TYPE i = 0; i < a.zip.GetCount(); ++i) {
        if (Utf16ToUtf8(a.zip.GetEntry(i)->GetFileName()) != GetParam().entry) continue;
        found = true;
        EXPECT_EQ(a.zip.CheckEntry(i).status, GetParam().status);
        StringSink sink;
        ZipResult r = a.zip.ExtractFile(i, sink);
        EXPECT_EQ(r.status, GetParam().status);
        EXPECT_EQ(r.entry, i);
        EXPECT_TRUE(sink.text.empty());
    }
    EXPECT_TRUE(found);
}

INSTANTIATE_TEST_SUITE_P(Archive, RefusedEntries,
                         testing::Values(RefusedArchive{"encrypted.zip", "hello.txt", ZipStatus::Encrypted},
                                         RefusedArchive{"method-bzip2.zip", "sub/dir/nested.bin", ZipStatus::Unsupported},
                                         RefusedArchive{"symlink.zip", "link", ZipStatus::UnsafeType},
                                         RefusedArchive{"symlink.zip", "escape", ZipStatus::UnsafeType}));

TEST(ToolArchive, SymlinkArchiveStillHoldsItsPlainFile) {
    Opened a(ReadData("symlink.zip"));
    ASSERT_TRUE(a.result);
    StringSink sink;
    ASSERT_EQ(Utf16ToUtf8(a.zip.GetEntry(0)->GetFileName()), "target");
    EXPECT_TRUE(a.zip.ExtractFile(0, sink));
    EXPECT_EQ(sink.text, "x\n");
}

TEST(ToolArchive, ZeroBombPassesTheEntryBoundButNotThePackageGuard) {
    Opened a(ReadData("bomb-zeros.zip"));
    ASSERT_TRUE(a.result);
    EXPECT_TRUE(a.zip.CheckEntry(0));
    PackagePlan plan;
    InstallResult r = CheckPackage(a.zip, plan);
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(r.archive.status, ZipStatus::TooLarge);
}

// ---------------------------------------------------------------------------
// Damage at every byte

namespace {

Archive SmallArchive() {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "alpha alpha alpha alpha", 8));
    a.entries.push_back(Entry::Folder("d/"));
    Entry s = Entry::File("d/s.bin", std::string("stored\0bytes", 12), 0);
    a.entries.push_back(s);
    Entry dd = Entry::File("d/dd.txt", "descriptor follows the data", 8);
    dd.descriptor = true;
    a.entries.push_back(dd);
    return a;
}

}  // namespace

TEST(Damage, EveryTruncationFails) {
    const std::string whole = SmallArchive().Build();
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const std::string cut = whole.substr(0, n);
        Opened a(cut);
        std::map<std::u16string, std::string> files;
        const bool ok = a.result && ExtractAll(a.zip, files);
        EXPECT_FALSE(ok) << "cut at " << n;
    }
}

// Changing or removing any one byte either fails with a status or changes
// nothing that is extracted: no damaged content ever comes out as good.
TEST(Damage, EveryFlippedOrMissingByteIsCaughtOrHarmless) {
    const std::string whole = SmallArchive().Build();
    std::map<std::u16string, std::string> good;
    {
        Opened a(whole);
        ASSERT_TRUE(a.result);
        ASSERT_TRUE(ExtractAll(a.zip, good));
    }
    for (std::size_t k = 0; k < whole.size(); ++k) {
        for (int variant = 0; variant < 3; ++variant) {
            std::string bad = whole;
            if (variant == 0) bad[k] = static_cast<char>(bad[k] ^ 0xFF);
            else if (variant == 1) bad[k] = static_cast<char>(bad[k] ^ 0x01);
            else bad.erase(k, 1);
            Opened a(bad);
            if (!a.result) continue;
            std::map<std::u16string, std::string> files;
            if (!ExtractAll(a.zip, files)) continue;
            // Accepted: then every entry must have come out right. (A flip in a
            // name makes another name with the same content.)
            ASSERT_EQ(files.size(), good.size()) << "byte " << k << " variant " << variant;
            auto g = good.begin();
            for (auto f = files.begin(); f != files.end(); ++f, ++g) {
                if (f->first == g->first) {
                    EXPECT_EQ(f->second, g->second) << "byte " << k << " variant " << variant;
                }
            }
            std::multiset<std::string> contents, goodContents;
            for (auto& f : files) contents.insert(f.second);
            for (auto& f : good) goodContents.insert(f.second);
            EXPECT_EQ(contents, goodContents) << "byte " << k << " variant " << variant;
        }
    }
}

// ---------------------------------------------------------------------------
// Lies in the headers

struct Lie {
    const char* what;
    void (*apply)(Entry&);
    ZipStatus status;
};

class Lies : public testing::TestWithParam<Lie> {};

TEST_P(Lies, AreFoundOnExtraction) {
    Archive a;
    Entry e = Entry::File("x.txt", std::string(5000, 'x') + "tail of the data", 8);
    GetParam().apply(e);
    a.entries.push_back(e);
    a.entries.push_back(Entry::File("next.txt", "the entry after", 8));
    const std::string bytes = a.Build();
    Opened z(bytes);
    ZipResult r = z.result;
    if (r) {
        StringSink sink;
        r = z.zip.ExtractFile(0, sink);
        EXPECT_LE(sink.text.size(), e.centralUncompressed.value_or(e.data.size()));
    }
    EXPECT_EQ(r.status, GetParam().status) << GetParam().what << ": " << Utf16ToUtf8(r.ToText());
}

INSTANTIATE_TEST_SUITE_P(
    Header, Lies,
    testing::Values(
        Lie{"uncompressed size smaller everywhere",
            [](Entry& e) { e.centralUncompressed = e.localUncompressed = 100; }, ZipStatus::SizeMismatch},
        Lie{"uncompressed size larger everywhere",
            [](Entry& e) { e.centralUncompressed = e.localUncompressed = 6000; }, ZipStatus::SizeMismatch},
        Lie{"compressed size smaller everywhere",
            [](Entry& e) { e.centralCompressed = e.localCompressed = 10; }, ZipStatus::Damaged},
        Lie{"compressed size larger everywhere",
            [](Entry& e) { e.centralCompressed = e.localCompressed = RawDeflate(e.data).size() + 3; },
            ZipStatus::Overlap},
        Lie{"local uncompressed size differs", [](Entry& e) { e.localUncompressed = 4; }, ZipStatus::HeaderMismatch},
        Lie{"local compressed size differs", [](Entry& e) { e.localCompressed = 4; }, ZipStatus::HeaderMismatch},
        Lie{"central sizes differ from the local header",
            [](Entry& e) { e.centralUncompressed = 5001; }, ZipStatus::HeaderMismatch},
        Lie{"local CRC differs", [](Entry& e) { e.localCrc = 1; }, ZipStatus::HeaderMismatch},
        Lie{"CRC wrong everywhere", [](Entry& e) { e.localCrc = e.centralCrc = 0x12345678; }, ZipStatus::CrcMismatch},
        Lie{"local name differs", [](Entry& e) { e.localName = "y.txt"; }, ZipStatus::HeaderMismatch},
        Lie{"local method differs", [](Entry& e) { e.localMethod = 0; }, ZipStatus::HeaderMismatch},
        Lie{"descriptor flag only in the local header", [](Entry& e) { e.localFlags = 8; }, ZipStatus::HeaderMismatch},
        Lie{"descriptor CRC differs",
            [](Entry& e) {
                e.descriptor = true;
                e.descriptorCrc = 7;
            },
            ZipStatus::HeaderMismatch},
        Lie{"stored sizes differ",
            [](Entry& e) {
                e.method = 0;
                e.centralCompressed = e.localCompressed = 4000;
            },
            ZipStatus::SizeMismatch},
        Lie{"data that is not deflate",
            [](Entry& e) { e.compressed = std::string(64, '\xFF'); }, ZipStatus::Damaged},
        Lie{"deflate stream with bytes after its end",
            [](Entry& e) { e.compressed = RawDeflate(e.data) + "junk"; }, ZipStatus::SizeMismatch},
        Lie{"size beyond what deflate can reach",
            [](Entry& e) { e.centralUncompressed = e.localUncompressed = 0xF0000000u; }, ZipStatus::TooLarge},
        Lie{"local header offset beyond the entries",
            [](Entry& e) { e.localOffset = 1u << 20; }, ZipStatus::Damaged},
        Lie{"local header offset into the data",
            [](Entry& e) { e.localOffset = 40; }, ZipStatus::Damaged},
        Lie{"encrypted", [](Entry& e) { e.flags = 1; }, ZipStatus::Encrypted},
        Lie{"strongly encrypted", [](Entry& e) { e.flags = 0x41; }, ZipStatus::Encrypted},
        Lie{"AES (method 99)", [](Entry& e) { e.method = 99; e.compressed = e.data; }, ZipStatus::Encrypted},
        Lie{"LZMA (method 14)", [](Entry& e) { e.method = 14; e.compressed = e.data; }, ZipStatus::Unsupported},
        Lie{"patch data", [](Entry& e) { e.flags = 0x20; }, ZipStatus::Unsupported},
        Lie{"symbolic link", [](Entry& e) { e.externalAttributes = 0120777u << 16; }, ZipStatus::UnsafeType},
        Lie{"named pipe", [](Entry& e) { e.externalAttributes = 0010644u << 16; }, ZipStatus::UnsafeType},
        Lie{"device", [](Entry& e) { e.externalAttributes = 0020644u << 16; }, ZipStatus::UnsafeType},
        Lie{"socket", [](Entry& e) { e.externalAttributes = 0140755u << 16; }, ZipStatus::UnsafeType},
        Lie{"Windows reparse point",
            [](Entry& e) {
                e.madeBy = 0x000A | (10 << 8);
                e.externalAttributes = 0x420;
            },
            ZipStatus::UnsafeType},
        Lie{"name flagged UTF-8 that is not", [](Entry& e) { e.flags = 0x800; e.name = "\xC0\xAF.txt"; e.localName = e.name; },
            ZipStatus::UnsafeName}));

TEST(Lies, FolderEntryWithDataIsDamaged) {
    Archive a;
    Entry e = Entry::Folder("d/");
    e.data = "data";
    a.entries.push_back(e);
    Opened z(a.Build());
    ASSERT_TRUE(z.result);
    EXPECT_EQ(z.zip.CheckEntry(0).status, ZipStatus::Damaged);
}

TEST(Lies, EntriesSharingALocalHeaderAreRefusedOnOpen) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "one", 0));
    Entry b = Entry::File("b.txt", "two", 0);
    b.localOffset = 0;
    a.entries.push_back(b);
    Opened z(a.Build());
    EXPECT_EQ(z.result.status, ZipStatus::Overlap);
}

// An entry whose data reaches over the next entry's header (the overlapping
// "zip bomb" layout, where every entry re-reads the same compressed data).
TEST(Lies, DataReachingIntoTheNextEntryIsRefused) {
    Archive a;
    a.entries.push_back(Entry::File("a.bin", std::string(100000, 'a'), 8));
    a.entries.push_back(Entry::File("b.bin", std::string(100000, 'a'), 8));
    Layout layout;
    std::string bytes = a.Build(&layout);
    // Entry 0 claims its data runs to the end of entry 1.
    const std::uint32_t longer = static_cast<std::uint32_t>(layout.centralStart - layout.data[0]);
    Set32(bytes, layout.central[0] + 20, longer);
    Set32(bytes, layout.local[0] + 18, longer);
    Opened z(bytes);
    ASSERT_TRUE(z.result);
    StringSink sink;
    EXPECT_EQ(z.zip.ExtractFile(0, sink).status, ZipStatus::Overlap);
    EXPECT_TRUE(z.zip.ExtractFile(1, sink));
}

TEST(Lies, DescriptorLayoutsInUseAreAllRead) {
    for (int layout = 0; layout < 4; ++layout) {
        Archive a;
        Entry e = Entry::File("x.txt", "descriptor data", 8);
        e.descriptor = true;
        e.descriptorSignature = (layout & 1) != 0;
        e.zip64 = (layout & 2) != 0;
        a.entries.push_back(e);
        a.entries.push_back(Entry::File("y.txt", "after", 8));
        Opened z(a.Build());
        ASSERT_TRUE(z.result) << layout;
        std::map<std::u16string, std::string> files;
        ZipResult r = ExtractAll(z.zip, files);
        EXPECT_TRUE(r) << layout << " " << Utf16ToUtf8(r.ToText());
        EXPECT_EQ(files[u"x.txt"], "descriptor data");
    }
}

TEST(Lies, MissingDescriptorIsDamaged) {
    Archive a;
    Entry e = Entry::File("x.txt", "descriptor data", 8);
    e.descriptor = true;
    a.entries.push_back(e);
    Layout layout;
    std::string bytes = a.Build(&layout);
    // Cut the 16 descriptor bytes out, and move the directory's offset back.
    bytes.erase(layout.centralStart - 16, 16);
    Set32(bytes, bytes.size() - 6, static_cast<std::uint32_t>(layout.centralStart - 16));
    Opened z(bytes);
    ASSERT_TRUE(z.result) << Utf16ToUtf8(z.result.ToText());
    StringSink sink;
    EXPECT_EQ(z.zip.ExtractFile(0, sink).status, ZipStatus::Damaged);
}

TEST(Names, UnicodePathFieldIsUsedWhenItsCrcMatches) {
    const std::string raw = "old.txt";
    std::string field;
    Put16(field, 0x7075);
    const std::string utf8 = "新.txt";
    Put16(field, static_cast<std::uint32_t>(5 + utf8.size()));
    field += '\x01';
    Put32(field, Crc(raw));
    field += utf8;
    Archive a;
    Entry e = Entry::File(raw, "x", 0);
    e.centralExtra = field;
    a.entries.push_back(e);
    Entry stale = Entry::File("other.txt", "y", 0);
    stale.centralExtra = field;  // CRC of another name: ignored
    a.entries.push_back(stale);
    Opened z(a.Build());
    ASSERT_TRUE(z.result);
    EXPECT_EQ(z.zip.GetEntry(0)->GetFileName(), u"新.txt");
    EXPECT_EQ(z.zip.GetEntry(1)->GetFileName(), u"other.txt");
}

TEST(Names, DecoderFailureMakesTheNameUnsafe) {
    Archive a;
    a.entries.push_back(Entry::File("\x81\x20.txt", "x", 0));  // a lead byte without its trail byte
    Opened z(a.Build(), MakeCodePageDecoder(936));
    ASSERT_TRUE(z.result);
    EXPECT_FALSE(z.zip.GetEntry(0)->IsNameDecoded());
    EXPECT_EQ(z.zip.CheckEntry(0).status, ZipStatus::UnsafeName);
}

// ---------------------------------------------------------------------------
// The end records

TEST(EndRecord, EmptyArchiveHasNoEntries) {
    Archive a;
    Opened z(a.Build());
    ASSERT_TRUE(z.result);
    EXPECT_EQ(z.zip.GetCount(), 0u);
}

TEST(EndRecord, NotAnArchive) {
    for (const std::string& bytes : {std::string(), std::string("PK"), std::string(1000, 'x'),
                                     std::string("PK\x03\x04") + std::string(100, '\0')}) {
        Opened z(bytes);
        EXPECT_EQ(z.result.status, ZipStatus::NotZip);
        EXPECT_EQ(z.zip.GetCount(), 0u);
    }
}

TEST(EndRecord, CommentHoldingASignatureDoesNotMislead) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "one", 8));
    std::string fake;
    Put32(fake, 0x06054b50);
    fake += std::string(16, '\0');
    Put16(fake, 0);
    a.comment = "note " + fake + " end";
    Opened z(a.Build());
    ASSERT_TRUE(z.result) << Utf16ToUtf8(z.result.ToText());
    EXPECT_EQ(z.zip.GetCount(), 1u);
}

TEST(EndRecord, BytesAfterTheRecordAreTolerated) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "one", 8));
    Opened z(a.Build() + "trailing");
    ASSERT_TRUE(z.result);
    EXPECT_EQ(z.zip.GetCount(), 1u);
}

struct EndLie {
    const char* what;
    void (*apply)(Archive&);
    ZipStatus status;
};

class EndLies : public testing::TestWithParam<EndLie> {};

TEST_P(EndLies, AreRefusedOnOpen) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "one", 8));
    a.entries.push_back(Entry::File("b.txt", "two", 8));
    GetParam().apply(a);
    Opened z(a.Build());
    EXPECT_EQ(z.result.status, GetParam().status) << GetParam().what << ": " << Utf16ToUtf8(z.result.ToText());
    EXPECT_EQ(z.zip.GetCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Archive, EndLies,
    testing::Values(EndLie{"count too high", [](Archive& a) { a.declaredCount = 3; }, ZipStatus::Damaged},
                    EndLie{"count too low", [](Archive& a) { a.declaredCount = 1; }, ZipStatus::Damaged},
                    EndLie{"directory size too small", [](Archive& a) { a.declaredCentralSize = 50; }, ZipStatus::Damaged},
                    EndLie{"directory beyond the file",
                           [](Archive& a) { a.declaredCentralOffset = 1u << 30; }, ZipStatus::Damaged},
                    EndLie{"ZIP64 directory offset wrong",
                           [](Archive& a) {
                               a.zip64End = true;
                               a.declaredCentralOffset = 7;
                           },
                           ZipStatus::Damaged}));

TEST(EndRecord, SpannedArchivesAreUnsupported) {
    Archive a;
    a.entries.push_back(Entry::File("a.txt", "one", 8));
    Layout layout;
    std::string bytes = a.Build(&layout);
    Set16(bytes, layout.end + 4, 1);  // this disk
    Opened z(bytes);
    EXPECT_EQ(z.result.status, ZipStatus::Unsupported);
}

TEST(EndRecord, Zip64RecordsAndExtraFields) {
    Archive a;
    for (int i = 0; i < 3; ++i) {
        Entry e = Entry::File("f" + std::to_string(i), std::string(1000 + i, 'z'), i == 1 ? 0 : 8);
        e.zip64 = true;
        a.entries.push_back(e);
    }
    a.zip64End = true;
    Opened z(a.Build());
    ASSERT_TRUE(z.result) << Utf16ToUtf8(z.result.ToText());
    std::map<std::u16string, std::string> files;
    ASSERT_TRUE(ExtractAll(z.zip, files));
    EXPECT_EQ(files[u"f2"], std::string(1002, 'z'));
}

// Entry counts and indexes are not cut to 16 bits.
TEST(EndRecord, MoreThan65535Entries) {
    for (bool zip64 : {true, false}) {
        Archive a;
        a.zip64End = zip64;
        const std::size_t count = 70000;
        a.entries.reserve(count);
        for (std::size_t i = 0; i < count; ++i) a.entries.push_back(Entry::File("e" + std::to_string(i), "", 0));
        a.entries.back().data = "last";
        // Without ZIP64 the count is cut to 16 bits, as old writers did.
        Opened z(a.Build());
        ASSERT_TRUE(z.result) << zip64 << " " << Utf16ToUtf8(z.result.ToText());
        ASSERT_EQ(z.zip.GetCount(), count);
        EXPECT_EQ(z.zip.GetEntry(count - 1)->GetFileName(), u"e69999");
        StringSink sink;
        ASSERT_TRUE(z.zip.ExtractFile(count - 1, sink));
        EXPECT_EQ(sink.text, "last");
    }
}

// ---------------------------------------------------------------------------
// The component's calls

TEST(ComponentCalls, IsZipArchiveLooksForTheEndRecord) {
    EXPECT_TRUE(CZipArchive::IsZipArchive(Utf8ToUtf16(DataPath("zip-deflated.zip"))));
    EXPECT_FALSE(CZipArchive::IsZipArchive(Utf8ToUtf16(DataPath("make-archives.sh"))));
    EXPECT_FALSE(CZipArchive::IsZipArchive(Utf8ToUtf16(DataPath("no-such-file.zip"))));
}

TEST(ComponentCalls, OpenByPathReadsAndCloseGivesThePathBack) {
    CZipArchive* zip = new CZipArchive;
    const CZipString path = Utf8ToUtf16(DataPath("zip-deflated.zip"));
    ASSERT_TRUE(zip->Open(path, CZipArchive::zipOpen, 0));
    EXPECT_TRUE(zip->SetAutoFinalize(true));
    EXPECT_EQ(zip->GetCount(), 6u);
    CZipFileHeader header;
    EXPECT_FALSE(zip->GetFileInfo(header, 6));
    StringSink sink;
    EXPECT_EQ(zip->ExtractFile(6, sink).status, ZipStatus::BadIndex);
    EXPECT_EQ(zip->Close(0, false), path);
    EXPECT_TRUE(zip->IsClosed());
    EXPECT_EQ(zip->GetCount(), 0u);
    delete zip;
}

TEST(ComponentCalls, OpenRefusesWhatItCannotDo) {
    CZipArchive zip;
    const CZipString path = Utf8ToUtf16(DataPath("zip-deflated.zip"));
    EXPECT_EQ(zip.Open(path, 3, 0).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(path, CZipArchive::zipOpen, 1 << 20).status, ZipStatus::Unsupported);
    EXPECT_EQ(zip.Open(Utf8ToUtf16(DataPath("no-such-file.zip"))).status, ZipStatus::FileError);
    EXPECT_EQ(zip.Open(Utf8ToUtf16(DataPath("make-archives.sh"))).status, ZipStatus::NotZip);
}
