// The archive reader and install engine against real tools, run inside the
// test: archives written by Info-ZIP zip, 7-Zip, bsdtar and Python's zipfile
// are installed and compared, file by file and byte by byte, with what
// Info-ZIP unzip (or bsdtar, for GBK names) extracts from them. Hostile
// archives written by the same tools are refused with nothing written.
// Native only: it runs the tools through the shell.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "InstallEngine.h"

namespace fsys = std::filesystem;

namespace {

struct TempFolder {
    fsys::path path;
    TempFolder() {
        char name[] = "/tmp/zip-tools-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() {
        std::error_code ec;
        fsys::remove_all(path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
};

std::string Quote(const fsys::path& p) { return "'" + p.string() + "'"; }

int Shell(const std::string& command) {
    const int status = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const char* name) { return Shell(std::string("command -v ") + name) == 0; }

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fsys::path& p, const std::string& data) {
    fsys::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << data;
}

// relative path -> content, "<dir>" for folders.
std::map<std::string, std::string> Tree(const fsys::path& root) {
    std::map<std::string, std::string> t;
    for (auto& e : fsys::recursive_directory_iterator(root))
        t[fsys::relative(e.path(), root).string()] = e.is_directory() ? std::string("<dir>") : ReadFile(e.path());
    return t;
}

std::string Random(std::size_t n, unsigned seed, bool compressible) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(compressible ? "abcdefgh \n"[rng() % 10] : rng() & 0xFF);
    return s;
}

// The tree every archive below holds.
void MakeSource(const fsys::path& src) {
    WriteFile(src / "hello.txt", "hello\n");
    WriteFile(src / "empty.txt", "");
    WriteFile(src / "a" / "b" / "c" / "deep.txt", Random(200000, 1, true));
    WriteFile(src / "random.bin", Random(300000, 2, false));
    WriteFile(src / "with space.txt", "spaces");
    WriteFile(src / "中文" / "说明.txt", "中文内容");
    WriteFile(src / "é.txt", "accent");
    fsys::create_directories(src / "emptydir");
}

InstallResult Install(const fsys::path& zip, const fsys::path& dest, unsigned codePage = 0) {
    InstallOptions options;
    if (codePage) options.nameDecoder = MakeCodePageDecoder(codePage);
    return InstallPackage(PlatformFileSystem(), Utf8ToUtf16(zip.string()), Utf8ToUtf16(dest.string()), options);
}

const char kPythonWriters[] = R"PY(
import io, os, sys, zipfile
mode, src, out = sys.argv[1], sys.argv[2], sys.argv[3]
files = []
for d, dirs, names in os.walk(src):
    dirs.sort()
    rel = os.path.relpath(d, src)
    if rel != '.' and not names and not dirs:
        files.append((rel + '/', None))
    for n in sorted(names):
        p = os.path.join(d, n)
        files.append((os.path.relpath(p, src), open(p, 'rb').read()))
if mode == 'zip64limits':
    zipfile.ZIP64_LIMIT = 1
    zipfile.ZIP_FILECOUNT_LIMIT = 1
class Pipe(io.RawIOBase):
    def __init__(self): self.buf = bytearray()
    def writable(self): return True
    def write(self, b): self.buf += b; return len(b)
    def seekable(self): return False
    def tell(self): return len(self.buf)
target = Pipe() if mode == 'stream' else open(out, 'wb')
method = zipfile.ZIP_STORED if mode == 'stored' else zipfile.ZIP_DEFLATED
with zipfile.ZipFile(target, 'w', method) as z:
    for name, data in files:
        info = zipfile.ZipInfo(name, (2024, 5, 1, 12, 0, 0))
        info.compress_type = method
        if data is None:
            info.external_attr = (0o40755 << 16) | 0x10
            info.compress_type = zipfile.ZIP_STORED
            with z.open(info, 'w', force_zip64=(mode in ('zip64', 'zip64limits'))) as f:
                pass
        else:
            info.external_attr = 0o644 << 16
            with z.open(info, 'w', force_zip64=(mode in ('zip64', 'zip64limits'))) as f:
                f.write(data)
if mode == 'stream':
    open(out, 'wb').write(target.buf)
)PY";

// The paths whose content differs, one per line; empty when the trees agree.
std::string Difference(const std::map<std::string, std::string>& ours,
                       const std::map<std::string, std::string>& theirs) {
    std::string out;
    for (const auto& [path, content] : ours) {
        auto other = theirs.find(path);
        if (other == theirs.end()) out += "only ours: " + path + "\n";
        else if (other->second != content) out += "content differs: " + path + "\n";
    }
    for (const auto& [path, content] : theirs)
        if (!ours.count(path)) out += "only theirs: " + path + "\n";
    return out;
}

}  // namespace

struct Writer {
    const char* name;
    const char* tool;
    const char* command;  // run inside the source folder; $OUT is the archive
    // Info-ZIP zip on Linux stores names in the locale's bytes (UTF-8 here)
    // without the UTF-8 flag; they are read with code page 65001 then.
    unsigned codePage = 0;
};

class ToolWriters : public testing::TestWithParam<Writer> {};

TEST_P(ToolWriters, InstallAsUnzipExtracts) {
    if (!HaveTool(GetParam().tool) || !HaveTool("unzip")) GTEST_SKIP() << GetParam().tool << " not installed";
    TempFolder temp;
    const fsys::path src = temp.path / "src", zip = temp.path / "pkg.zip";
    MakeSource(src);
    WriteFile(temp.path / "writers.py", kPythonWriters);
    const std::string command = "cd " + Quote(src) + " && OUT=" + Quote(zip) + " PY=" +
                                Quote(temp.path / "writers.py") + " SRC=" + Quote(src) + " LC_ALL=C.UTF-8 sh -c '" +
                                GetParam().command + "'";
    ASSERT_EQ(Shell(command), 0) << command;

    const fsys::path ours = temp.path / "ours", theirs = temp.path / "theirs";
    fsys::create_directories(ours);
    InstallResult r = Install(zip, ours, GetParam().codePage);
    ASSERT_EQ(r.status, InstallStatus::Installed) << GetParam().name << ": " << Utf16ToUtf8(r.reason);
    ASSERT_EQ(Shell("LC_ALL=C.UTF-8 unzip -q " + Quote(zip) + " -d " + Quote(theirs)), 0);
    const auto expected = Tree(theirs);
    EXPECT_EQ(Difference(Tree(ours), expected), "") << GetParam().name;
    EXPECT_EQ(expected.at("random.bin"), ReadFile(src / "random.bin"));
    EXPECT_EQ(expected.count("中文/说明.txt"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolWriters,
    testing::Values(Writer{"zip_deflate", "zip", "zip -q -r -X \"$OUT\" .", 65001},
                    Writer{"zip_stored", "zip", "zip -q -r -X -0 \"$OUT\" .", 65001},
                    Writer{"zip_best", "zip", "zip -q -r -X -9 \"$OUT\" .", 65001},
                    Writer{"zip_streamed_with_descriptors", "zip", "zip -q -r -X - . | cat > \"$OUT\"", 65001},
                    Writer{"zip_forced_zip64", "zip", "zip -q -r -X -fz \"$OUT\" .", 65001},
                    Writer{"sevenzip_deflate", "7z", "7z a -tzip -mx=9 \"$OUT\" * >/dev/null"},
                    Writer{"sevenzip_stored", "7z", "7z a -tzip -mx=0 \"$OUT\" * >/dev/null"},
                    Writer{"bsdtar_dot_names", "bsdtar", "bsdtar -cf \"$OUT\" --format zip ."},
                    Writer{"python_deflate", "python3", "python3 \"$PY\" deflate \"$SRC\" \"$OUT\""},
                    Writer{"python_stored", "python3", "python3 \"$PY\" stored \"$SRC\" \"$OUT\""},
                    Writer{"python_streamed", "python3", "python3 \"$PY\" stream \"$SRC\" \"$OUT\""},
                    Writer{"python_zip64_fields", "python3", "python3 \"$PY\" zip64 \"$SRC\" \"$OUT\""},
                    Writer{"python_zip64_end_record", "python3", "python3 \"$PY\" zip64limits \"$SRC\" \"$OUT\""}),
    [](const testing::TestParamInfo<Writer>& info) { return std::string(info.param.name); });

TEST(ToolArchives, MoreThan65535EntriesFromPython) {
    if (!HaveTool("python3")) GTEST_SKIP();
    TempFolder temp;
    const fsys::path zip = temp.path / "many.zip";
    ASSERT_EQ(Shell("python3 -c \"import zipfile\nz = zipfile.ZipFile('" + zip.string() +
                    "', 'w')\nfor i in range(70000): z.writestr('d%d/f%05d' % (i // 1000, i), str(i))\nz.close()\""),
              0);
    CZipArchive archive;
    ASSERT_TRUE(archive.Open(Utf8ToUtf16(zip.string())));
    ASSERT_EQ(archive.GetCount(), 70000u);
    EXPECT_EQ(archive.GetEntry(69999)->GetFileName(), u"d69/f69999");
    EXPECT_TRUE(VerifyPackage(archive).ok());
    archive.Close();

    const fsys::path dest = temp.path / "dest";
    fsys::create_directories(dest);
    InstallResult r = Install(zip, dest);
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(ReadFile(dest / "d69" / "f69999"), "69999");
    EXPECT_EQ(ReadFile(dest / "d0" / "f00000"), "0");
}

// Names in GBK without the UTF-8 flag, from Info-ZIP zip on files whose names
// are GBK bytes, compared with bsdtar reading them as CP936.
TEST(ToolArchives, GbkNamesAsBsdtarReadsThem) {
    if (!HaveTool("zip") || !HaveTool("bsdtar")) GTEST_SKIP();
    TempFolder temp;
    const fsys::path src = temp.path / "src";
    fsys::create_directories(src);
    const std::string gbkName = "\xD6\xD0\xCE\xC4.txt";        // 中文.txt
    const std::string gbkFolder = "\xC4\xBF\xC2\xBC";          // 目录
    const std::string gbkBackslash = "\xD7\xCA\xC1\xCF\x9C\x5C";  // 资料淺, ends in 0x5C
    WriteFile(src / gbkName, "one");
    WriteFile(src / gbkFolder / "a.txt", "two");
    WriteFile(src / gbkBackslash, "three");
    const fsys::path zip = temp.path / "gbk.zip";
    ASSERT_EQ(Shell("cd " + Quote(src) + " && LC_ALL=C zip -q -r -X " + Quote(zip) + " ."), 0);

    const fsys::path ours = temp.path / "ours", theirs = temp.path / "theirs";
    fsys::create_directories(ours);
    fsys::create_directories(theirs);
    InstallResult r = Install(zip, ours, 936);
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    ASSERT_EQ(Shell("cd " + Quote(theirs) + " && LC_ALL=C.UTF-8 bsdtar -x --options hdrcharset=CP936 -f " + Quote(zip)),
              0);
    const auto expected = Tree(theirs);
    EXPECT_EQ(Difference(Tree(ours), expected), "");
    EXPECT_EQ(expected.count("中文.txt"), 1u);
    EXPECT_EQ(expected.count("目录/a.txt"), 1u);
    EXPECT_EQ(expected.count("资料淺"), 1u);
}

// ---------------------------------------------------------------------------
// Hostile archives from the same tools

struct Hostile {
    const char* name;
    const char* tool;
    const char* command;  // run in a folder holding target.txt, link -> target.txt; $OUT is the archive
    ZipStatus status;
};

class HostileTools : public testing::TestWithParam<Hostile> {};

TEST_P(HostileTools, AreRefusedWithNothingWritten) {
    if (!HaveTool(GetParam().tool)) GTEST_SKIP();
    TempFolder temp;
    const fsys::path work = temp.path / "work", zip = temp.path / "pkg.zip", dest = temp.path / "dest";
    WriteFile(work / "target.txt", "target");
    WriteFile(work / "big.txt", Random(100000, 3, true));  // large enough that 7-Zip compresses it
    fsys::create_symlink("target.txt", work / "link");
    fsys::create_symlink("/etc/passwd", work / "abs-link");
    WriteFile(dest / "installed.txt", "old");
    const auto before = Tree(dest);
    ASSERT_EQ(Shell("cd " + Quote(work) + " && OUT=" + Quote(zip) + " sh -c '" + GetParam().command + "'"), 0)
        << GetParam().name;
    InstallResult r = Install(zip, dest);
    EXPECT_EQ(r.status, InstallStatus::Damaged) << GetParam().name;
    EXPECT_EQ(r.archive.status, GetParam().status) << GetParam().name << ": " << Utf16ToUtf8(r.reason);
    EXPECT_EQ(Difference(Tree(dest), before), "") << GetParam().name;
    EXPECT_FALSE(fsys::exists(temp.path / "evil.txt"));
    EXPECT_FALSE(fsys::exists("/tmp/zip-tools-evil.txt"));
}

#define PY_NAME(n) "python3 -c \"import zipfile; z = zipfile.ZipFile(\\\"$OUT\\\", \\\"w\\\"); z.writestr(\\\"ok.txt\\\", \\\"ok\\\"); z.writestr(" n ", \\\"evil\\\"); z.close()\""

INSTANTIATE_TEST_SUITE_P(
    Tools, HostileTools,
    testing::Values(
        Hostile{"encrypted", "zip", "zip -q -X -P secret \"$OUT\" target.txt", ZipStatus::Encrypted},
        Hostile{"symlink", "zip", "zip -q -X -y \"$OUT\" target.txt link", ZipStatus::UnsafeType},
        Hostile{"absolute_symlink", "zip", "zip -q -X -y \"$OUT\" abs-link", ZipStatus::UnsafeType},
        Hostile{"bzip2", "7z", "7z a -tzip -mm=BZip2 \"$OUT\" big.txt >/dev/null", ZipStatus::Unsupported},
        Hostile{"lzma", "7z", "7z a -tzip -mm=LZMA \"$OUT\" big.txt >/dev/null", ZipStatus::Unsupported},
        Hostile{"aes", "7z", "7z a -tzip -psecret -mem=AES256 \"$OUT\" target.txt >/dev/null", ZipStatus::Encrypted},
        Hostile{"dot_dot", "python3", PY_NAME("\\\"../evil.txt\\\""), ZipStatus::UnsafeName},
        Hostile{"dot_dot_inside", "python3", PY_NAME("\\\"a/../../evil.txt\\\""), ZipStatus::UnsafeName},
        Hostile{"backslash_dot_dot", "python3", PY_NAME("\\\"..\\\\\\\\evil.txt\\\""), ZipStatus::UnsafeName},
        Hostile{"absolute", "python3", PY_NAME("zipfile.ZipInfo(\\\"/tmp/zip-tools-evil.txt\\\")"), ZipStatus::UnsafeName},
        Hostile{"drive", "python3", PY_NAME("\\\"C:/evil.txt\\\""), ZipStatus::UnsafeName},
        Hostile{"stream", "python3", PY_NAME("\\\"ok.txt:hidden\\\""), ZipStatus::UnsafeName},
        Hostile{"device", "python3", PY_NAME("\\\"lpt1.txt\\\""), ZipStatus::UnsafeName}),
    [](const testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// A real tool's small archive, cut at every length and with every byte
// changed: whatever is installed is exactly the original content, and
// whatever is refused leaves the destination as it was.
TEST(ToolArchives, EveryDamageOfAPythonArchiveInstallsRightOrNothing) {
    if (!HaveTool("python3")) GTEST_SKIP();
    TempFolder temp;
    const fsys::path zip = temp.path / "small.zip";
    ASSERT_EQ(Shell("python3 -c \"import zipfile\nz = zipfile.ZipFile('" + zip.string() +
                    "', 'w', zipfile.ZIP_DEFLATED)\nz.writestr('a.txt', 'alpha ' * 20)\nz.writestr('d/', '')\n"
                    "z.writestr(zipfile.ZipInfo('d/s.bin'), 'stored')\nz.close()\""),
              0);
    const std::string whole = ReadFile(zip);
    const fsys::path dest = temp.path / "dest";
    WriteFile(dest / "a.txt", "old a");
    const auto before = Tree(dest);
    std::map<std::string, std::string> good = before;
    good["a.txt"] = std::string();
    for (int i = 0; i < 20; ++i) good["a.txt"] += "alpha ";
    good["d"] = "<dir>";
    good["d/s.bin"] = "stored";

    const fsys::path bad = temp.path / "bad.zip";
    for (std::size_t k = 0; k < whole.size(); ++k) {
        for (int variant = 0; variant < 2; ++variant) {
            std::string bytes = variant == 0 ? whole.substr(0, k) : whole;
            if (variant == 1) bytes[k] = static_cast<char>(bytes[k] ^ 0x5A);
            WriteFile(bad, bytes);
            InstallResult r = Install(bad, dest);
            const auto after = Tree(dest);
            if (r.ok()) {
                EXPECT_EQ(Difference(after, good), "") << "byte " << k << " variant " << variant;
                // Put the old installation back for the next round.
                fsys::remove_all(dest);
                WriteFile(dest / "a.txt", "old a");
            } else {
                EXPECT_EQ(Difference(after, before), "")
                    << "byte " << k << " variant " << variant << ": " << Utf16ToUtf8(r.reason);
            }
        }
    }
}

// Root may write to read-only files; the engine goes by the mode bits, as the
// deletion on Windows goes by the read-only attribute.
TEST(ToolArchives, ReadOnlyInstalledFileIsInUse) {
    if (!HaveTool("zip")) GTEST_SKIP();
    TempFolder temp;
    const fsys::path dest = temp.path / "dest", zip = temp.path / "pkg.zip";
    WriteFile(dest / "hello.txt", "old");
    chmod((dest / "hello.txt").c_str(), 0444);
    ASSERT_EQ(Shell("cd " + Quote(temp.path) + " && mkdir src && printf new > src/hello.txt && cd src && zip -q " +
                    Quote(zip) + " hello.txt"),
              0);
    InstallResult r = Install(zip, dest);
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(r.path, Utf8ToUtf16((dest / "hello.txt").string()));
    EXPECT_EQ(ReadFile(dest / "hello.txt"), "old");
    chmod((dest / "hello.txt").c_str(), 0644);
}
