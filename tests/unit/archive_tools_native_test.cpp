// The archive reader and install engine against real tools, run inside the
// test: what Info-ZIP zip, 7-Zip, bsdtar and Python's zipfile write is
// installed on the disk and compared, file by file, with what Info-ZIP unzip
// (or bsdtar, for GBK names) extracts; what they write that may not be
// installed is refused with nothing written. Native only: it runs the tools.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "InstallEngine.h"
#include "ZipBuilder.h"

namespace fsys = std::filesystem;

namespace {

struct TempFolder {
    fsys::path path;
    TempFolder() {
        char name[] = "/tmp/zip-tools-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() { fsys::remove_all(path); }
};

int Shell(const std::string& command) {
    const int status = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) { return Shell("command -v " + name) == 0; }

void WriteFile(const fsys::path& p, const std::string& data) {
    fsys::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

// Every path below root, "/" after folders, "=" and the content after files.
std::string Tree(const fsys::path& root) {
    std::map<std::string, std::string> t;
    for (auto& e : fsys::recursive_directory_iterator(root)) {
        std::ostringstream content;
        if (!e.is_directory()) content << std::ifstream(e.path(), std::ios::binary).rdbuf();
        t[fsys::relative(e.path(), root).string()] = e.is_directory() ? "/" : "=" + content.str();
    }
    std::string out;
    for (const auto& [path, what] : t) out += path + what + "\n";
    return out;
}

std::string Random(std::size_t n, unsigned seed, const char* alphabet) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = alphabet ? alphabet[rng() % 10] : static_cast<char>(rng());
    return s;
}

InstallResult Install(const fsys::path& zip, const fsys::path& dest, unsigned codePage = 0) {
    InstallOptions options;
    if (codePage) options.nameDecoder = MakeCodePageDecoder(codePage);
    return InstallPackage(PlatformFileSystem(), Utf8ToUtf16(zip.string()), Utf8ToUtf16(dest.string()), options);
}

// Python's zipfile on the current folder: seekable or streamed to a pipe (data
// descriptors), stored or deflated, or ZIP64 everywhere (extra fields and end record).
const char kPython[] = R"(import os, sys, zipfile
mode = sys.argv[1]
if mode == "zip64": zipfile.ZIP64_LIMIT = zipfile.ZIP_FILECOUNT_LIMIT = 1
method = zipfile.ZIP_STORED if mode == "stored" else zipfile.ZIP_DEFLATED
with zipfile.ZipFile(sys.stdout.buffer if mode == "stream" else sys.argv[2], "w", method) as z:
    for folder, folders, files in sorted(os.walk(".")):
        for name in sorted(folders + files):
            path = os.path.join(folder, name)[2:]
            info = zipfile.ZipInfo.from_file(path)
            info.compress_type = method
            if info.is_dir(): z.write(path)
            else:
                with open(path, "rb") as f, z.open(info, "w", force_zip64=mode == "zip64") as out: out.write(f.read())
)";

}  // namespace

struct Writer {
    const char* name;
    const char* tool;
    const char* command;  // run in the source folder; $OUT is the archive, $PY the Python writer
    // Info-ZIP zip on Linux stores names in the locale's bytes (UTF-8 here)
    // without the UTF-8 flag; they are read with code page 65001 then.
    unsigned codePage = 0;
};

class ToolWriters : public testing::TestWithParam<Writer> {};

TEST_P(ToolWriters, InstallAsUnzipExtracts) {
    if (!HaveTool(GetParam().tool) || !HaveTool("unzip")) GTEST_SKIP() << GetParam().tool << " not installed";
    TempFolder temp;
    const fsys::path src = temp.path / "src", zip = temp.path / "pkg.zip", ours = temp.path / "ours";
    WriteFile(src / "hello.txt", "hello\n");
    WriteFile(src / "empty.txt", "");
    WriteFile(src / "a" / "b" / "c" / "deep.txt", Random(200000, 1, "abcdefgh \n"));
    WriteFile(src / "random.bin", Random(300000, 2, nullptr));
    WriteFile(src / "with space.txt", "spaces");
    WriteFile(src / "中文" / "说明.txt", "中文内容");
    WriteFile(src / "é.txt", "accent");
    fsys::create_directories(src / "emptydir");
    WriteFile(temp.path / "writer.py", kPython);
    ASSERT_EQ(Shell("cd '" + src.string() + "' && OUT='" + zip.string() + "' PY='" + (temp.path / "writer.py").string() +
                    "' LC_ALL=C.UTF-8 sh -c '" + GetParam().command + "'"),
              0);
    fsys::create_directories(ours);
    const InstallResult r = Install(zip, ours, GetParam().codePage);
    ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
    ASSERT_EQ(Shell("LC_ALL=C.UTF-8 unzip -q '" + zip.string() + "' -d '" + (temp.path / "theirs").string() + "'"), 0);
    const std::string theirs = Tree(temp.path / "theirs");
    EXPECT_EQ(Tree(ours), theirs);
    EXPECT_NE(theirs.find("中文/说明.txt=中文内容\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolWriters, testing::Values(
    Writer{"zip_deflate", "zip", "zip -q -r -X \"$OUT\" .", 65001},
    Writer{"zip_stored", "zip", "zip -q -r -X -0 \"$OUT\" .", 65001},
    Writer{"zip_best", "zip", "zip -q -r -X -9 \"$OUT\" .", 65001},
    Writer{"zip_streamed_with_descriptors", "zip", "zip -q -r -X - . | cat > \"$OUT\"", 65001},
    Writer{"zip_forced_zip64", "zip", "zip -q -r -X -fz \"$OUT\" .", 65001},
    Writer{"sevenzip_deflate", "7z", "7z a -tzip -mx=9 \"$OUT\" * >/dev/null"},
    Writer{"sevenzip_stored", "7z", "7z a -tzip -mx=0 \"$OUT\" * >/dev/null"},
    Writer{"bsdtar_dot_names", "bsdtar", "bsdtar -cf \"$OUT\" --format zip ."},
    Writer{"python_deflate", "python3", "python3 \"$PY\" deflate \"$OUT\""},
    Writer{"python_stored", "python3", "python3 \"$PY\" stored \"$OUT\""},
    Writer{"python_streamed", "python3", "python3 \"$PY\" stream | cat > \"$OUT\""},
    Writer{"python_zip64", "python3", "python3 \"$PY\" zip64 \"$OUT\""}),
    [](const testing::TestParamInfo<Writer>& info) { return std::string(info.param.name); });

// Names in GBK without the UTF-8 flag, from Info-ZIP zip on files whose names
// are GBK bytes, as bsdtar reads them as CP936 (the last name ends in 0x5C).
TEST(ToolArchives, GbkNamesAsBsdtarReadsThem) {
    if (!HaveTool("zip") || !HaveTool("bsdtar")) GTEST_SKIP();
    TempFolder temp;
    const fsys::path src = temp.path / "src", zip = temp.path / "gbk.zip", ours = temp.path / "ours";
    WriteFile(src / "\xD6\xD0\xCE\xC4.txt", "one");                 // 中文.txt
    WriteFile(src / "\xC4\xBF\xC2\xBC" / "a.txt", "two");           // 目录/a.txt
    WriteFile(src / "\xD7\xCA\xC1\xCF\x9C\x5C", "three");          // 资料淺
    ASSERT_EQ(Shell("cd '" + src.string() + "' && LC_ALL=C zip -q -r -X '" + zip.string() + "' ."), 0);
    fsys::create_directories(ours);
    fsys::create_directories(temp.path / "theirs");
    ASSERT_EQ(Install(zip, ours, 936).status, InstallStatus::Installed);
    ASSERT_EQ(Shell("cd '" + (temp.path / "theirs").string() +
                    "' && LC_ALL=C.UTF-8 bsdtar -x --options hdrcharset=CP936 -f '" + zip.string() + "'"),
              0);
    const std::string theirs = Tree(temp.path / "theirs");
    EXPECT_EQ(Tree(ours), theirs);
    EXPECT_EQ(theirs, "中文.txt=one\n目录/\n目录/a.txt=two\n资料淺=three\n");
}

struct Hostile {
    const char* name;
    const char* tool;
    const char* command;  // run in a folder with target.txt, big.txt, link -> target.txt, abs-link -> /etc/passwd
    ZipStatus status;
};

class HostileTools : public testing::TestWithParam<Hostile> {};

TEST_P(HostileTools, AreRefusedWithNothingWritten) {
    if (!HaveTool(GetParam().tool)) GTEST_SKIP();
    TempFolder temp;
    const fsys::path work = temp.path / "work", zip = temp.path / "pkg.zip", dest = temp.path / "dest";
    WriteFile(work / "target.txt", "target");
    WriteFile(work / "big.txt", Random(100000, 3, "abcdefgh \n"));  // large enough that 7-Zip compresses it
    fsys::create_symlink("target.txt", work / "link");
    fsys::create_symlink("/etc/passwd", work / "abs-link");
    WriteFile(dest / "installed.txt", "old");
    ASSERT_EQ(Shell("cd '" + work.string() + "' && OUT='" + zip.string() + "' sh -c '" + GetParam().command + "'"), 0);
    const InstallResult r = Install(zip, dest);
    EXPECT_EQ(r.status, InstallStatus::Damaged);
    EXPECT_EQ(r.archive.status, GetParam().status) << Utf16ToUtf8(r.reason);
    EXPECT_EQ(Tree(dest), "installed.txt=old\n");
    EXPECT_FALSE(fsys::exists(temp.path / "evil.txt") || fsys::exists("/tmp/zip-tools-evil.txt"));
}

#define PY_NAME(n) "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], \\\"w\\\"); " \
                   "z.writestr(\\\"ok.txt\\\", \\\"ok\\\"); z.writestr(sys.argv[2], \\\"evil\\\"); z.close()\" \"$OUT\" " n

INSTANTIATE_TEST_SUITE_P(Tools, HostileTools, testing::Values(
    Hostile{"encrypted", "zip", "zip -q -X -P secret \"$OUT\" target.txt", ZipStatus::Encrypted},
    Hostile{"symlink", "zip", "zip -q -X -y \"$OUT\" target.txt link", ZipStatus::UnsafeType},
    Hostile{"absolute_symlink", "zip", "zip -q -X -y \"$OUT\" abs-link", ZipStatus::UnsafeType},
    Hostile{"bzip2", "7z", "7z a -tzip -mm=BZip2 \"$OUT\" big.txt >/dev/null", ZipStatus::Unsupported},
    Hostile{"lzma", "7z", "7z a -tzip -mm=LZMA \"$OUT\" big.txt >/dev/null", ZipStatus::Unsupported},
    Hostile{"aes", "7z", "7z a -tzip -psecret -mem=AES256 \"$OUT\" target.txt >/dev/null", ZipStatus::Encrypted},
    Hostile{"dot_dot", "python3", PY_NAME("../evil.txt"), ZipStatus::UnsafeName},
    Hostile{"absolute", "python3", PY_NAME("/tmp/zip-tools-evil.txt"), ZipStatus::UnsafeName},
    Hostile{"drive", "python3", PY_NAME("C:/evil.txt"), ZipStatus::UnsafeName}),
    [](const testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// The engine goes by the mode bits (root may write read-only files), as the
// deletion on Windows goes by the read-only attribute: such a file is in use.
TEST(ToolArchives, ReadOnlyInstalledFileIsInUse) {
    TempFolder temp;
    const fsys::path dest = temp.path / "dest", zip = temp.path / "pkg.zip";
    WriteFile(dest / "hello.txt", "old");
    chmod((dest / "hello.txt").c_str(), 0444);
    ziptest::Archive a;
    a.entries = {ziptest::Entry::File("hello.txt", "new")};
    WriteFile(zip, a.Build());
    const InstallResult r = Install(zip, dest);
    EXPECT_EQ(r.status, InstallStatus::InUse);
    EXPECT_EQ(r.path, Utf8ToUtf16((dest / "hello.txt").string()));
    EXPECT_EQ(Tree(dest), "hello.txt=old\n");
}
