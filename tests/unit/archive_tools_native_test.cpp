// What Info-ZIP zip, 7-Zip, bsdtar and Python's zipfile write installs on disk exactly as unzip (bsdtar for GBK names)
// extracts it, or is refused with nothing written. Native only: it runs the tools.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <set>
#include <sstream>

#include "DiskTree.h"
#include "InstallEngine.h"

namespace fsys = std::filesystem;

namespace {

int Shell(const std::string& command) {
    const int status = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using disktree::Tree;
using disktree::WriteFile;

// Python's zipfile on the current folder: deflated, stored, streamed (descriptors), ZIP64; or one entry named.
const char kPython[] = R"(import os, sys, zipfile
mode = sys.argv[1]
if mode == "zip64": zipfile.ZIP64_LIMIT = zipfile.ZIP_FILECOUNT_LIMIT = 0
method = zipfile.ZIP_DEFLATED if mode in ("deflate", "stream") else zipfile.ZIP_STORED
with zipfile.ZipFile(sys.stdout.buffer if mode == "stream" else sys.argv[2], "w", method) as z:
    for folder, folders, files in [] if mode == "name" else sorted(os.walk(".")):
        for name in sorted(folders + files): z.write(os.path.join(folder, name)[2:])
    if mode == "name": z.writestr(sys.argv[3], "evil")
)";

}  // namespace

struct ToolCase {
    const char* name;
    const char* tool;
    // Run in src (the tree to install) or ../work (target.txt, big.txt, link to
    // target.txt, gbk/ named in GBK bytes); $OUT: the archive, $PY: the writer above.
    const char* command;
    ZipStatus refused;  // Ok: installed as the peer extracts it
    unsigned codePage = 0;  // Info-ZIP zip stores the locale's bytes unflagged (65001 here)
    const char* peerSees = "中文/说明.txt=中文内容\n";
};

class Tools : public testing::TestWithParam<ToolCase> {};

TEST_P(Tools, InstallAsThePeerExtractsOrRefuseWithNothingWritten) {
    const ToolCase& c = GetParam();
    if (Shell(std::string("command -v ") + c.tool + " && command -v unzip && command -v bsdtar") != 0) GTEST_SKIP();
    char name[] = "/tmp/zip-tools-test-XXXXXX";
    const fsys::path temp = mkdtemp(name), src = temp / "src", work = temp / "work", zip = temp / "pkg.zip";
    std::string text, binary(300000, ' ');
    for (std::uint32_t i = 0; i < binary.size(); ++i)
        text += "abcdefgh \n"[i * 7 % 10], binary[i] = static_cast<char>(i * 2654435761u >> 24);
    for (const auto& [path, data] : std::map<fsys::path, std::string>{
             {src / "hello.txt", "hello\n"}, {src / "empty.txt", ""}, {src / "a/b/c/deep.txt", text},
             {src / "random.bin", binary}, {src / "with space.txt", "spaces"}, {src / "中文/说明.txt", "中文内容"},
             {src / "é.txt", "accent"}, {src / "emptydir/.x", ""}, {work / "target.txt", "target"},
             {work / "big.txt", text}, {work / "gbk/\xD6\xD0\xCE\xC4.txt", "one"},          // 中文.txt
             {work / "gbk/\xC4\xBF\xC2\xBC/a.txt", "two"}, {work / "gbk/\xD7\xCA\xC1\xCF\x9C\x5C", "three"},  // 目录, 资料淺
             {temp / "writer.py", kPython}})
        WriteFile(path, data);
    fsys::remove(src / "emptydir/.x");
    fsys::create_symlink("target.txt", work / "link");
    fsys::create_directories(temp / "ours");
    ASSERT_EQ(Shell("cd '" + src.string() + "' && OUT='" + zip.string() + "' PY='" + (temp / "writer.py").string() +
                    "' LC_ALL=C.UTF-8 sh -c '" + c.command + "'"),
              0);
    InstallOptions options;
    if (c.codePage) options.nameDecoder = MakeCodePageDecoder(c.codePage);
    const InstallResult r = InstallPackage(PlatformFileSystem(), Utf8ToUtf16(zip.string()),
                                           Utf8ToUtf16((temp / "ours").string()), options);
    if (c.refused != ZipStatus::Ok) {
        EXPECT_EQ(r.archive.status, c.refused) << Utf16ToUtf8(r.reason);
        EXPECT_EQ(Tree(temp / "ours"), "");
        EXPECT_FALSE(fsys::exists(temp / "evil.txt") || fsys::exists("/tmp/zip-tools-evil.txt"));
    } else {
        ASSERT_EQ(r.status, InstallStatus::Installed) << Utf16ToUtf8(r.reason);
        const std::string peer = c.codePage == 936 ? "bsdtar -x --options hdrcharset=CP936 -f '" + zip.string() + "'"
                                                   : "unzip -q '" + zip.string() + "'";
        const std::string theirs = "'" + (temp / "theirs").string() + "'";
        ASSERT_EQ(Shell("mkdir " + theirs + " && cd " + theirs + " && LC_ALL=C.UTF-8 " + peer), 0);
        EXPECT_EQ(Tree(temp / "ours"), Tree(temp / "theirs"));
        EXPECT_NE(Tree(temp / "theirs").find(c.peerSees), std::string::npos);
    }
    fsys::remove_all(temp);
}

INSTANTIATE_TEST_SUITE_P(Archive, Tools, testing::Values(
    ToolCase{"zip_deflate", "zip", "zip -q -r -X \"$OUT\" .", ZipStatus::Ok, 65001},
    ToolCase{"zip_streamed_with_descriptors", "zip", "zip -q -r -X - . | cat > \"$OUT\"", ZipStatus::Ok, 65001},
    ToolCase{"zip_forced_zip64", "zip", "zip -q -r -X -fz \"$OUT\" .", ZipStatus::Ok, 65001},
    ToolCase{"zip_gbk_names", "zip", "cd ../work/gbk && LC_ALL=C zip -q -r -X \"$OUT\" .", ZipStatus::Ok, 936,
             "中文.txt=one\n目录/\n目录/a.txt=two\n资料淺=three\n"},
    ToolCase{"sevenzip_deflate", "7z", "7z a -tzip -mx=9 \"$OUT\" *", ZipStatus::Ok},
    ToolCase{"bsdtar_dot_names", "bsdtar", "bsdtar -cf \"$OUT\" --format zip .", ZipStatus::Ok},
    ToolCase{"python_deflate", "python3", "python3 \"$PY\" deflate \"$OUT\"", ZipStatus::Ok},
    ToolCase{"python_stored", "python3", "python3 \"$PY\" stored \"$OUT\"", ZipStatus::Ok},
    ToolCase{"python_streamed", "python3", "python3 \"$PY\" stream | cat > \"$OUT\"", ZipStatus::Ok},
    ToolCase{"python_zip64", "python3", "python3 \"$PY\" zip64 \"$OUT\"", ZipStatus::Ok},
    ToolCase{"encrypted", "zip", "cd ../work && zip -q -X -P secret \"$OUT\" target.txt", ZipStatus::Encrypted},
    ToolCase{"symlink", "zip", "cd ../work && zip -q -X -y \"$OUT\" target.txt link", ZipStatus::UnsafeType},
    ToolCase{"bzip2", "7z", "cd ../work && 7z a -tzip -mm=BZip2 \"$OUT\" big.txt", ZipStatus::Unsupported},
    ToolCase{"aes", "7z", "cd ../work && 7z a -tzip -psecret -mem=AES256 \"$OUT\" target.txt", ZipStatus::Encrypted},
    ToolCase{"dot_dot", "python3", "python3 \"$PY\" name \"$OUT\" ../evil.txt", ZipStatus::UnsafeName},
    ToolCase{"absolute", "python3", "python3 \"$PY\" name \"$OUT\" /tmp/zip-tools-evil.txt", ZipStatus::UnsafeName}),
    [](const testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });
