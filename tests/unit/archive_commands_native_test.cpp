// update-tool package and update-tool extract, run as the publisher runs
// them. Native only; skipped while the tool does not know the commands.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "CString.h"

namespace fsys = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Data(const char* name) { return std::string(UPDATE_TEST_DATA_DIR) + "/archive/" + name; }

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempFolder {
    fsys::path path;
    TempFolder() {
        char name[] = "/tmp/zip-command-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() {
        std::error_code ec;
        fsys::remove_all(path, ec);
    }
};

Outcome Tool(const std::string& arguments) {
    TempFolder temp;
    const std::string errFile = (temp.path / "err").string();
    Outcome o;
    FILE* pipe = popen((std::string(UPDATE_TOOL_PATH) + " " + arguments + " 2>" + Quote(errFile)).c_str(), "r");
    if (!pipe) return o;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) o.out.append(buffer, n);
    const int status = pclose(pipe);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.err = ReadFile(errFile);
    return o;
}

std::map<std::string, std::string> Tree(const fsys::path& root) {
    std::map<std::string, std::string> t;
    for (auto& e : fsys::recursive_directory_iterator(root))
        t[fsys::relative(e.path(), root).string()] = e.is_directory() ? std::string("<dir>") : ReadFile(e.path());
    return t;
}

class ArchiveCommands : public testing::Test {
protected:
    void SetUp() override {
        if (Tool("package --help").status != 0) GTEST_SKIP() << "update-tool has no package command yet";
    }
};

}  // namespace

TEST_F(ArchiveCommands, PackageListsEntriesAndSaysInstallable) {
    Outcome o = Tool("package " + Quote(Data("zip-deflated.zip")));
    EXPECT_EQ(o.status, 0) << o.err;
    for (const char* line : {"\"emptydir/\"  (folder)", "\"empty.txt\"", "\"sub/dir/nested.bin\"",
                             "deflate       20000       10063", "verdict: installable"})
        EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;
}

TEST_F(ArchiveCommands, PackageRefusalsSayWhy) {
    struct Case {
        const char* file;
        const char* options;
        int status;
        const char* text;
    } cases[] = {
        {"symlink.zip", "", 3, "verdict: refused: entry 1 \"link\": entry is a link or special file"},
        {"encrypted.zip", "", 3, "entry is encrypted"},
        {"method-bzip2.zip", "", 3, "compression method 12 is not supported"},
        {"bomb-zeros.zip", "", 3, "bytes in all, more than"},
        {"symlink.zip", "--json", 3, "\"installable\":false,\"status\":\"unsafe-type\""},
        {"zip-stored.zip", "--json", 0, "\"installable\":true,\"status\":\"installable\",\"reason\":null"},
        {"py-gbk.zip", "--json --codepage 936", 0, "\"name\":\"目录/文件.txt\""},
    };
    for (const Case& c : cases) {
        Outcome o = Tool(std::string("package ") + c.options + " " + Quote(Data(c.file)));
        EXPECT_EQ(o.status, c.status) << c.file << " " << c.options << "\n" << o.out << o.err;
        EXPECT_NE(o.out.find(c.text), std::string::npos) << c.file << "\n" << o.out;
    }
}

TEST_F(ArchiveCommands, UnreadablePackagesAndUsage) {
    Outcome o = Tool("package " + Quote(Data("make-archives.sh")));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("not a ZIP archive"), std::string::npos) << o.err;
    o = Tool("package " + Quote(Data("no-such.zip")));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(Tool("package").status, 2);
    EXPECT_EQ(Tool("package --codepage x " + Quote(Data("zip-stored.zip"))).status, 2);
    EXPECT_EQ(Tool("extract " + Quote(Data("zip-stored.zip"))).status, 2);
    EXPECT_EQ(Tool("extract --json a b").status, 2);
}

TEST_F(ArchiveCommands, ExtractInstallsLikeUnzip) {
    TempFolder temp;
    const fsys::path ours = temp.path / "new-folder", theirs = temp.path / "theirs";
    Outcome o = Tool("extract " + Quote(Data("zip-stream.zip")) + " " + Quote(ours.string()));
    ASSERT_EQ(o.status, 0) << o.err;
    ASSERT_EQ(std::system(("unzip -q " + Quote(Data("zip-stream.zip")) + " -d " + Quote(theirs.string())).c_str()), 0);
    EXPECT_EQ(Tree(ours), Tree(theirs));
}

TEST_F(ArchiveCommands, ExtractRefusesAndLeavesTheFolderAlone) {
    TempFolder temp;
    const fsys::path dest = temp.path / "app";
    fsys::create_directories(dest);
    std::ofstream(dest / "hello.txt") << "old";
    const auto before = Tree(dest);

    Outcome o = Tool("extract " + Quote(Data("encrypted.zip")) + " " + Quote(dest.string()));
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.err.find("refused: entry 0 \"hello.txt\": entry is encrypted"), std::string::npos) << o.err;
    EXPECT_EQ(Tree(dest), before);

    chmod((dest / "hello.txt").c_str(), 0444);
    o = Tool("extract " + Quote(Data("zip-deflated.zip")) + " " + Quote(dest.string()));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("file in use: " + (dest / "hello.txt").string()), std::string::npos) << o.err;
    EXPECT_EQ(Tree(dest), before);
    chmod((dest / "hello.txt").c_str(), 0644);

    // A folder the command created is removed again when nothing is installed.
    const fsys::path fresh = temp.path / "fresh";
    EXPECT_EQ(Tool("extract " + Quote(Data("symlink.zip")) + " " + Quote(fresh.string())).status, 3);
    EXPECT_FALSE(fsys::exists(fresh));
}
