// The built update-tool program, run as the publisher runs it: exit statuses
// and messages, every accepted encoding, JSON read back by Python's json
// module, packages and extraction compared with unzip, and the signing
// workflow with the packages checked by unzip, 7z and bsdtar. Also compares
// the manifest reader with libxml2 on the sample manifests.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ManifestReader.h"
#include "ZipBuilder.h"

namespace fsys = std::filesystem;

namespace {

std::string ReadBytes(const fsys::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Data(const std::string& name) { return std::string(UPDATE_TEST_DATA_DIR) + "/" + name; }

std::map<std::string, std::string> Tree(const fsys::path& root) {
    std::map<std::string, std::string> t;
    for (auto& e : fsys::recursive_directory_iterator(root))
        t[fsys::relative(e.path(), root).string()] = e.is_directory() ? "<dir>" : ReadBytes(e.path());
    return t;
}

struct Result {
    int status = -1;
    std::string out, err;
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos || err.find(text) != std::string::npos; }
};

class UpdateTool : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/update-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fsys::remove_all(dir); }

    std::string Write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }
    // The UTF-8 text in files as it is, with a byte-order mark, and in UTF-16 LE and BE (made by iconv).
    std::vector<std::string> WriteInEveryEncoding(const std::string& name, const std::string& utf8) {
        std::vector<std::string> files = {Write(name, utf8), Write("bom-" + name, "\xEF\xBB\xBF" + utf8)};
        for (const char* to : {"LE", "BE"}) {
            EXPECT_EQ(Shell(std::string("iconv -f UTF-8 -t UTF-16") + to + " " + Quote(files[0])).status, 0);
            files.push_back(Write(std::string("utf16") + to + "-" + name,
                                  (to[0] == 'L' ? "\xFF\xFE" : "\xFE\xFF") + ReadBytes(dir / "out")));
        }
        return files;
    }
    Result Shell(const std::string& command) {
        const int raw = std::system((command + " >" + Quote((dir / "out").string()) + " 2>" + Quote((dir / "err").string())).c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadBytes(dir / "out"), ReadBytes(dir / "err")};
    }
    Result Run(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
        std::string command = Quote(UPDATE_TOOL_PATH);
        for (const std::string& a : args) command += " " + Quote(a);
        return Shell("timeout 60 " + command + " <" + Quote(input));
    }
    // json.dumps (keys sorted) of a Python expression over the parsed document d.
    std::string Json(const std::string& json, const std::string& expression) {
        Write("q.json", json);
        return Shell("python3 -c " + Quote("import calendar,json,sys,time; "
                                           "d=json.load(open(sys.argv[1],encoding='utf-8')); "
                                           "sys.stdout.write(json.dumps(eval(sys.argv[2]),sort_keys=True))") +
                     " " + Quote((dir / "q.json").string()) + " " + Quote(expression)).out;
    }

    fsys::path dir;
};

const std::string kManifest =
    "<?xml version=\"1.0\"?>\n<!-- 升级清单 -->\n<Updates>\n"
    "  <Update><OldVer>1.0</OldVer><NewVer>1.1</NewVer><NetUrl>http://h/a.zip</NetUrl><LocalPath>System</LocalPath>"
    "<UpdateInfo>修复问题\n\"引号\" \\ 𝄞 &#1;</UpdateInfo><InfoUrl>http://h/l?a=1&amp;b=2</InfoUrl><IsUpdate> 2x</IsUpdate></Update>\n"
    "  <Update><OldVer>0.9</OldVer><NewVer>1.9</NewVer></Update>\n"
    "  <Update><OldVer>0.9</OldVer><NewVer>1.10</NewVer></Update>\n</Updates>\n";

}  // namespace

// Every failure has its exit status and one line (usage errors also the usage).
TEST_F(UpdateTool, ExitStatusesAndMessages) {
    const std::string manifest = Write("m.xml", kManifest);
    Write("odd16.xml", std::string("\xFF\xFE<\0r", 5));
    Write("bad8.xml", "<r>\xC3\x28</r>");
    Write("nobom16.xml", std::string("<\0r\0/\0>\0", 8));
    ASSERT_EQ(truncate(Write("huge.xml", "").c_str(), (off_t{256} << 20) + 1), 0);
    fsys::create_directory(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* text;
    } cases[] = {
        {{"--help"}, 0, "update-tool sign-manifest --key PRIVATE --valid-days N [--signed-at T] MANIFEST"},
        {{"package", "--help"}, 0, "--public-key KEY"},
        {{}, 2, "no command given"},
        {{"publish"}, 2, "unknown command \"publish\""},
        {{"manifest", manifest, manifest}, 2, "more than one FILE given"},
        {{"manifest", "--installed", "\xFF", manifest}, 2, "--installed VERSION is not valid UTF-8"},
        {{"package", "--codepage", "x", "p.zip"}, 2, "--codepage needs a code page number"},
        {{"package", "--public-key", "ecdsa-p256:AAAA", "p.zip"}, 2, "--public-key needs the text keygen printed"},
        {{"package", "--version", "2.0", "p.zip"}, 2, "--version needs --public-key"},
        {{"package", "--version", "", "p.zip"}, 2, "--version needs a version"},
        {{"extract", "only.zip"}, 2, "ZIP and DIR needed"},
        {{"keygen"}, 2, "one PRIVATE file needed"},
        {{"sign", "p.zip"}, 2, "--key, --version and one ZIP needed"},
        {{"manifest", "--public-key", "ecdsa-p256:AAAA", manifest}, 2, "--public-key needs the text keygen printed"},
        {{"sign-manifest", "--key", "k", manifest}, 2, "--key, --valid-days and one MANIFEST needed"},
        {{"sign-manifest", "--key", "k", "--valid-days", "0", manifest}, 2, "whole number of days from 1 to 36500"},
        {{"sign-manifest", "--key", "k", "--valid-days", "1", "--signed-at", "2026-02-30T00:00:00Z", manifest}, 2,
         "--signed-at needs a UTC time YYYY-MM-DDTHH:MM:SSZ"},
        {{"manifest", (dir / "missing.xml").string()}, 1, "cannot open \""},
        {{"manifest", (dir / "folder").string()}, 1, "Is a directory"},
        {{"manifest", (dir / "fifo").string()}, 1, "not a regular file"},
        {{"package", (dir / "fifo").string()}, 1, "not a file"},
        {{"manifest", (dir / "odd16.xml").string()}, 1, "UTF-16 text has an odd number of bytes (5)"},
        {{"manifest", (dir / "bad8.xml").string()}, 1, "invalid UTF-8 at byte 3"},
        {{"manifest", (dir / "nobom16.xml").string()}, 1, "NUL character at byte 1 (UTF-16 needs a byte-order mark)"},
        {{"manifest", (dir / "huge.xml").string()}, 1, "larger than 256 MiB"},
        {{"package", Data("archive/no-such.zip")}, 1, "cannot open"},
        {{"package", Data("archive/make-archives.sh")}, 3, "not a ZIP archive"},
        {{"package", "--json", Data("archive/make-archives.sh")}, 3, "\"readable\":false,\"installable\":false"},
        {{"package", "--codepage", "2", Data("archive/zip-stored.zip")}, 2, "code page 2 is not available here"},
        {{"sign", "--key", (dir / "none.key").string(), "--version", "2", "p.zip"}, 1, "cannot open"},
    };
    for (const auto& c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.text << "\n" << r.err;
        EXPECT_TRUE(r.Says(c.text)) << c.text << "\n" << r.out << r.err;
        if (c.status == 1) EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        if (c.status == 2) EXPECT_TRUE(r.err.find("usage: update-tool") != std::string::npos) << r.err;
    }
}

// UTF-8 with and without its mark, UTF-16 either way (made by iconv), a file
// and standard input: the same records, as valid JSON with the documented members.
TEST_F(UpdateTool, ManifestInEveryEncoding) {
    const std::vector<std::string> files = WriteInEveryEncoding("升级清单.xml", kManifest);
    const std::string& utf8 = files[0];
    const std::string expected = Run({"manifest", "--json", utf8}).out;
    EXPECT_EQ(Json(expected, "[sorted(d), list(d['records'][0]), d['records'][0]['UpdateInfo'], d['records'][0]['IsUpdate']]"),
              "[[\"error\", \"records\", \"wellFormed\"], [\"OldVer\", \"NewVer\", \"NetUrl\", \"LocalPath\", \"UpdateInfo\", "
              "\"InfoUrl\", \"IsUpdate\"], \"\\u4fee\\u590d\\u95ee\\u9898\\n\\\"\\u5f15\\u53f7\\\" \\\\ \\ud834\\udd1e \\u0001\", 2]");
    for (std::size_t i = 1; i < files.size(); ++i)
        EXPECT_EQ(Run({"manifest", "--json", files[i]}).out, expected) << files[i];
    EXPECT_EQ(Run({"manifest", "--json", "-"}, utf8).out, expected);
    // Standard input is read from where it stands.
    Write("after.xml", "\xFF" + kManifest);
    const std::string tool = Quote(UPDATE_TOOL_PATH);
    EXPECT_EQ(Shell("{ dd bs=1 count=1 of=/dev/null 2>/dev/null; " + tool + " manifest --json -; } <" +
                    Quote((dir / "after.xml").string())).out,
              expected);
    EXPECT_TRUE(Run({"manifest", "-"}, utf8).Says("manifest:    standard input (UTF-8, "));
}

// The decision, as the updater takes it, in words and in JSON; --strict fails
// a manifest that is broken or holds no record; the element table.
TEST_F(UpdateTool, ManifestReport) {
    const std::string file = Write("m.xml", kManifest);
    for (auto [installed, expected, line] :
         {std::tuple{"0.9", "[\"1.9\", true]", "selected:    #1 (its OldVer equals the installed version)"},
          {"1.5", "[\"1.9\", true]", "offer:       yes (\"1.5\" sorts before \"1.9\")"},
          {"1.9", "[\"1.9\", false]", "offer:       no"}}) {
        EXPECT_EQ(Json(Run({"manifest", "--json", "--installed", installed, file}).out, "[d['selected']['NewVer'], d['offer']]"), expected);
        EXPECT_TRUE(Run({"manifest", "--installed=" + std::string(installed), file}).Says(line)) << line;
    }
    for (auto [body, status, text] : {std::tuple{"<r><Update><OldVer>1<NewVer>2</NewVer></Update></r>", 3,
                                                 "well formed: no: \"End tag 'Update' at offset 39 does not match "
                                                 "start tag 'OldVer' at offset 11\""},
                                      {"<r><Notice/></r>", 3, "records:     0"},
                                      {"", 3, "Empty document"}}) {
        const std::string path = Write("s.xml", body);
        EXPECT_EQ(Run({"manifest", path}).status, 0);
        const Result r = Run({"manifest", "--strict", path});
        EXPECT_EQ(r.status, status);
        EXPECT_TRUE(r.Says(text)) << r.out;
    }
    const std::string elements = Write("e.xml", "<r><a/>x<b>t</b></r>");
    EXPECT_EQ(Json(Run({"manifest", "--json", "--elements", elements}).out,
                   "[[e['name'], e['start'], e['length'], e['startTagLength'], e['endTagLength'], e['parent'], "
                   "e['firstChild'], e['nextSibling'], e['prevSibling']] for e in d['elements']]"),
              "[[\"r\", 0, 20, 3, 4, 0, 2, 0, 1], [\"a\", 3, 4, 4, 0, 1, 0, 3, 3], [\"b\", 8, 8, 3, 4, 1, 0, 0, 2]]");
    EXPECT_TRUE(Run({"manifest", "--elements", elements}).Says("  #1 \"r\" start 0 length 20 tags 3/4 parent 0 first 2 next 0 prev 1\n"));
}

// package lists and judges as the updater would; extract installs like unzip,
// or refuses and leaves the folder as it was.
TEST_F(UpdateTool, PackageAndExtract) {
    for (auto [file, options, status, text] :
         {std::tuple{"zip-deflated.zip", "", 0, "deflate       20000       10063"},
          {"symlink.zip", "", 3, "verdict: refused: \"entry 1 \\\"link\\\": entry is a link or special file\""},
          {"encrypted.zip", "", 3, "entry is encrypted"},
          {"bomb-zeros.zip", "", 3, "bytes in all, more than"},
          {"symlink.zip", "--json", 3, "\"installable\":false,\"status\":\"unsafe-type\""},
          {"py-gbk.zip", "--json --codepage 936", 0, "\"name\":\"目录/文件.txt\""}}) {
        const Result r = Shell(Quote(UPDATE_TOOL_PATH) + " package " + options + " " + Quote(Data(std::string("archive/") + file)));
        EXPECT_EQ(r.status, status) << file;
        EXPECT_TRUE(r.Says(text)) << file << "\n" << r.out;
    }
    const std::string zip = Data("archive/zip-stream.zip");
    ASSERT_EQ(Run({"extract", zip, (dir / "ours").string()}).status, 0);
    ASSERT_EQ(Shell("unzip -q " + Quote(zip) + " -d " + Quote((dir / "theirs").string())).status, 0);
    EXPECT_EQ(Tree(dir / "ours"), Tree(dir / "theirs"));

    fsys::create_directory(dir / "app");
    std::ofstream(dir / "app/hello.txt") << "old";
    const auto before = Tree(dir / "app");
    Result r = Run({"extract", Data("archive/encrypted.zip"), (dir / "app").string()});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.Says("refused: \"entry 0 \\\"hello.txt\\\": entry is encrypted\""));
    chmod((dir / "app/hello.txt").c_str(), 0444);
    r = Run({"extract", Data("archive/zip-deflated.zip"), (dir / "app").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.Says("file in use: \"" + (dir / "app/hello.txt").string() + "\""));
    EXPECT_EQ(Tree(dir / "app"), before);
    EXPECT_EQ(Run({"extract", Data("archive/symlink.zip"), (dir / "fresh").string()}).status, 3);
    EXPECT_FALSE(fsys::exists(dir / "fresh"));  // made for the extraction, removed again
}

// keygen, sign, package --public-key as the README tells the publisher; the
// signed package still reads cleanly with unzip, 7z and bsdtar.
TEST_F(UpdateTool, SigningWorkflow) {
    const std::string key = (dir / "publisher.key").string(), zip = Write("p.zip", ReadBytes(Data("archive/zip-stream.zip")));
    const Result made = Run({"keygen", key});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string publicKey = made.out.substr(0, made.out.size() - 1);
    EXPECT_EQ(made.out.find('\n'), made.out.size() - 1);
    struct stat info;
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string secret = ReadBytes(key);
    EXPECT_EQ(Run({"keygen", key}).status, 1);  // never over an existing key
    EXPECT_EQ(ReadBytes(key), secret);
    // A private key whose public half nobody saw is not kept.
    const std::string unseen = (dir / "unseen.key").string();
    EXPECT_EQ(Shell("(" + Quote(UPDATE_TOOL_PATH) + " keygen " + Quote(unseen) + " >/dev/full)").status, 1);
    EXPECT_FALSE(fsys::exists(dir / "unseen.key"));

    EXPECT_EQ(Run({"package", "--public-key", publicKey, zip}).status, 3);  // not signed yet
    ASSERT_EQ(Run({"sign", "--key", key, "--version", "2.0", zip}).status, 0);
    const Result valid = Run({"package", "--public-key", publicKey, "--version", "2.0", "--json", zip});
    EXPECT_EQ(valid.status, 0) << valid.out;
    EXPECT_EQ(Json(valid.out, "[d['installable'], d['signed'], d['signatureVersion']]"), "[true, true, \"2.0\"]");
    EXPECT_TRUE(Run({"package", "--public-key", publicKey, zip}).Says("signature: valid for \"Qelda\" \"2.0\""));
    EXPECT_EQ(Run({"package", "--public-key", publicKey, "--version", "2.1", zip}).status, 3);
    std::string otherKey = Run({"keygen", (dir / "other.key").string()}).out;
    otherKey.pop_back();
    EXPECT_EQ(Run({"package", "--public-key", otherKey + "," + publicKey, zip}).status, 0);
    for (const char* check : {"unzip -tq ", "7z t ", "bsdtar -tf "})
        EXPECT_EQ(Shell(check + Quote(zip)).status, 0) << check;

    // Refused and left as they were: a damaged package, and one whose comment hides a second end record that the
    // signature block would make the last one.
    const std::size_t blockSize = ReadBytes(zip).size() - ReadBytes(zip).rfind("-----BEGIN");
    ziptest::Archive hidden, twoFaced;
    hidden.entries = {ziptest::Entry::File("evil.dll", "evil")};
    hidden.comment = std::string(blockSize, ' ');
    twoFaced.entries = {ziptest::Entry::File("Qelda.exe", "good")};
    twoFaced.comment = hidden.Build().substr(0, hidden.Build().size() - blockSize);
    for (auto [bytes, text] : {std::pair{ReadBytes(Data("archive/encrypted.zip")), "entry is encrypted"},
                               {twoFaced.Build(), "end record"}}) {
        const std::string refused = Write("refused.zip", bytes);
        const Result r = Run({"sign", "--key", key, "--version", "2.0", refused});
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_TRUE(r.Says(text)) << r.err;
        EXPECT_EQ(ReadBytes(refused), bytes);
    }
}

// sign-manifest and manifest --public-key as the README tells the publisher: in every encoding, Python and xmllint
// read the signed manifest as the unsigned one; only a valid signature by a key given exits 0, with its times; a
// manifest refused is left byte for byte.
TEST_F(UpdateTool, ManifestSigningWorkflow) {
    const std::string key = Data("signing/publisher.key"), python =
        "import sys, xml.etree.ElementTree as E\n"
        "r = [[[[f.tag, f.text] for f in u] for u in E.parse(p).getroot().iter('Update')] for p in sys.argv[1:]]\n"
        "print(r[0] == r[1] != [])";
    std::string publicKey = ReadBytes(Data("signing/publisher.pub"));
    std::string otherKey = Run({"keygen", (dir / "other.key").string()}).out, manifest = kManifest;
    publicKey.resize(publicKey.find_first_of("\r\n"));
    otherKey.pop_back();
    manifest.erase(manifest.find(" &#1;"), 5);  // no XML parser but ours reads it
    const std::string signedFile = (dir / "signed.xml").string();
    for (const std::string& file : WriteInEveryEncoding("m.xml", manifest)) {
        Write("signed.xml", ReadBytes(file));
        ASSERT_EQ(Run({"sign-manifest", "--key", key, "--valid-days", "1", signedFile}).status, 0) << file;
        EXPECT_EQ(Shell("python3 -c " + Quote(python) + " " + Quote(file) + " " + Quote(signedFile)).out, "True\n");
        EXPECT_EQ(Shell("xmllint --noout " + Quote(signedFile)).status, 0) << file;
        EXPECT_EQ(Run({"manifest", "--public-key", publicKey, signedFile}).status, 0) << file;
    }
    const std::string json = Run({"manifest", "--json", "--public-key", otherKey + "," + publicKey, signedFile}).out;
    EXPECT_EQ(Json(json, "[d['signature']['status'], d['signature']['reason'], abs(time.time() - calendar.timegm("
                         "time.strptime(d['signature']['signedAt'], '%Y-%m-%dT%H:%M:%SZ'))) < 300]"),
              "[\"valid\", null, true]");
    EXPECT_EQ(Run({"manifest", "--public-key", otherKey, signedFile}).status, 3);
    using Row = std::pair<const char*, const char*>;
    for (auto [signedAt, text] : {Row{nullptr, "missing: \"the manifest is not signed\"\n"},
                                  {"2001-01-01T00:00:00Z", "expired: \"expired at 2001-01-02T00:00:00Z\"\n"
                                                           "signed at:   2001-01-01T00:00:00Z\n"
                                                           "expires:     2001-01-02T00:00:00Z\n"},
                                  {"2999-01-01T00:00:00Z", "not-yet-valid: \"signed at 2999-01-01T00:00:00Z, more"}}) {
        const std::string file = Write("row.xml", manifest);
        EXPECT_TRUE(!signedAt ||
                    Run({"sign-manifest", "--key", key, "--valid-days", "1", "--signed-at", signedAt, file}).status == 0);
        const Result r = Run({"manifest", "--public-key", publicKey, file});
        EXPECT_EQ(r.status, 3) << text;
        EXPECT_TRUE(r.Says(std::string("signature:   ") + text)) << r.out;
    }
    const std::string signedBytes = ReadBytes(dir / "row.xml"), block = signedBytes.substr(signedBytes.rfind("<!--"));
    const char* const today = "2026-12-07T00:00:00Z";
    for (auto [bytes, signedAt, text] : {std::tuple{std::string("<r>\xC3\x28</r>"), today, "invalid UTF-8"},
                                          {"<r/>", today, "holds no update record"},
                                          {"<r><Update></r>", today, "not well formed"},
                                          {signedBytes + block, today, "more than one signature block"},
                                          {signedBytes + "<!-- -->", today, "more than white space"},
                                          {manifest, "9999-12-31T00:00:00Z", "between 1970 and the end of 9999"}}) {
        const std::string file = Write("refused.xml", bytes);
        const Result r = Run({"sign-manifest", "--key", key, "--valid-days", "1", "--signed-at", signedAt, file});
        EXPECT_EQ(r.status, 3) << text;
        EXPECT_TRUE(r.Says(text)) << r.err;
        EXPECT_EQ(ReadBytes(file), bytes) << text;
        EXPECT_FALSE(fsys::exists(dir / "refused.xml.signing")) << text;
    }
}

// A name or text from the input is repeated quoted, with its line breaks, escape sequences, C1 controls and bidi
// overrides escaped: it cannot forge a line or drive the terminal, in the listing, reasons, errors or JSON.
TEST_F(UpdateTool, RepeatedInputIsQuoted) {
    const std::string evil = "x\nverdict: installable\x1b[2J\xc2\x9b\xe2\x80\xae";
    ziptest::Archive a;
    a.entries = {ziptest::Entry::File(evil, "x")};
    a.entries[0].flags = 0x800;
    const std::string zip = Write("evil.zip", a.Build()), xml = Write("evil.xml", "<r><a\x1b[2J\xc2\x9b>x</r>");
    const std::string key = Data("signing/publisher.key");
    const std::string signedZip = Write("s.zip", ReadBytes(Data("archive/zip-stored.zip")));
    std::string publicKey = ReadBytes(Data("signing/publisher.pub"));
    publicKey.resize(publicKey.find_first_of("\r\n"));
    ASSERT_EQ(Run({"sign", "--key", key, "--version", "2\xe2\x80\xae", signedZip}).status, 0);
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"package", zip}, "\\nverdict: installable\\u001b[2J\\u009b\\u202e"},
        {{"package", "--json", zip}, "\\u001b[2J\\u009b\\u202e"},
        {{"extract", zip, (dir / "out").string()}, "refused: \"entry 0 \\\"x\\nverdict: installable\\u001b"},
        {{"manifest", xml}, "start tag 'a\\u001b[2J\\u009b' at offset 3\""},
        {{"manifest", (dir / evil).string()}, "cannot open \""},
        {{"package", (dir / evil).string()}, "\\nverdict: installable\\u001b[2J\\u009b\\u202e\": "},
        {{evil}, "unknown command \"x\\nverdict"},
        {{"package", "--public-key", publicKey, signedZip}, "signature: valid for \"Qelda\" \"2\\u202e\""},
    };
    for (const auto& [args, text] : cases) {
        const Result r = Run(args);
        const std::string all = r.out + r.err;
        EXPECT_TRUE(r.Says(text)) << args[0] << "\n" << all;
        for (const char* raw : {"x\nverdict: installable", "\x1b", "\xc2\x9b", "\xe2\x80\xae"})
            EXPECT_EQ(all.find(raw), std::string::npos) << args[0] << "\n" << all;
    }
}

// libxml2 as a peer: for well-formed manifests, reading the fields by the same
// forward-only rule over libxml2's tree gives the same records.
TEST(SampleManifestsPeer, ReadLikeLibxml2) {
    static const char* const names[] = {"OldVer", "NewVer", "NetUrl", "LocalPath", "UpdateInfo", "InfoUrl", "IsUpdate"};
    for (const char* name : {"qelda-updates.xml", "qelda-minimal.xml", "qelda-none.xml"}) {
        const std::string path = Data(std::string("manifests/") + name);
        xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
        ASSERT_NE(doc, nullptr);
        UpdateInfoArray ours;
        ReadManifest(Utf8ToUtf16(ReadBytes(path)), ours);
        std::ptrdiff_t i = 0;
        for (xmlNode* u = xmlDocGetRootElement(doc)->children; u; u = u->next) {
            if (u->type != XML_ELEMENT_NODE || xmlStrcmp(u->name, BAD_CAST "Update") != 0) continue;
            ASSERT_LT(i, ours.GetCount()) << name;
            const UPDATE_INFO& r = ours[i++];
            const std::u16string mine[] = {r.OldVer, r.NewVer, r.NetUrl, r.LocalPath, r.UpdateInfo, r.InfoUrl};
            xmlNode* from = u->children;
            for (int f = 0; f < 7; ++f) {
                xmlNode* found = from;
                while (found && (found->type != XML_ELEMENT_NODE || xmlStrcmp(found->name, BAD_CAST names[f]) != 0)) found = found->next;
                xmlChar* content = found ? xmlNodeGetContent(found) : nullptr;
                const std::u16string peer = content ? Utf8ToUtf16(reinterpret_cast<const char*>(content)) : u"";
                xmlFree(content);
                if (f < 6) EXPECT_EQ(Utf16ToUtf8(mine[f]), Utf16ToUtf8(peer)) << name << " " << names[f];
                else EXPECT_EQ(r.IsUpdate, WideTextToInt(peer)) << name;
                if (found) from = found->next;
            }
        }
        EXPECT_EQ(i, ours.GetCount()) << name;
        xmlFreeDoc(doc);
    }
}

// delta as the publisher runs it, from a folder and from a zip-made package:
// every ZIP tool reads the result, package describes it, sign signs it, and
// extract turns a copy of OLD into NEW; over other files it refuses with the
// folder unchanged.
TEST_F(UpdateTool, DeltaWorkflow) {
    for (const char* name : {"old", "new", "app"}) fsys::create_directories(dir / name / "sub");
    std::string code;
    for (unsigned x = 1; code.size() < 60000;) code += static_cast<char>((x = x * 1103515245u + 12345u) >> 28);
    Write("old/Qelda.exe", code), Write("old/sub/gone.txt", "gone"), Write("old/same.txt", "same");
    Write("new/Qelda.exe", code.substr(0, 30000) + "new code" + code.substr(30000)), Write("new/same.txt", "same");
    Write("new/sub/数据.txt", "新");
    ASSERT_EQ(Shell("cd " + Quote((dir / "old").string()) + " && zip -qr ../old.zip .").status, 0);
    const std::string delta = (dir / "delta.zip").string(), key = (dir / "k").string();
    const Result made = Run({"delta", (dir / "old.zip").string(), (dir / "new").string(), delta});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(made.Says("1 patched, 1 stored whole, 1 removed, 1 unchanged")) << made.out;
    EXPECT_EQ(Run({"delta", (dir / "old").string(), (dir / "new").string(), delta}).out, made.out);
    std::string publicKey = Run({"keygen", key}).out;
    publicKey.pop_back();
    ASSERT_EQ(Run({"sign", "--key", key, "--version", "2.0", delta}).status, 0);
    const Result described = Run({"package", "--json", "--public-key", publicKey, delta});
    EXPECT_EQ(described.status, 0) << described.out;
    EXPECT_EQ(Json(described.out, "[d['signed'], [p['path'] for p in d['delta']['patched']], d['delta']['removed'], "
                                  "d['delta']['wholeFiles']]"),
              "[true, [\"Qelda.exe\"], [\"sub/gone.txt\"], 1]");
    for (const char* check : {"unzip -tq ", "7z t ", "bsdtar -tf "})
        EXPECT_EQ(Shell(check + Quote(delta)).status, 0) << check;

    fsys::copy(dir / "old", dir / "app", fsys::copy_options::recursive | fsys::copy_options::overwrite_existing);
    ASSERT_EQ(Run({"extract", delta, (dir / "app").string()}).status, 0);
    std::map<std::string, std::string> expected = Tree(dir / "new");
    EXPECT_EQ(Tree(dir / "app"), expected);
    // Installed again, over files that are now NEW's: refused, nothing changed.
    const Result again = Run({"extract", delta, (dir / "app").string()});
    EXPECT_EQ(again.status, 3);
    EXPECT_TRUE(again.Says("differs from the file the delta was made for")) << again.err;
    EXPECT_EQ(Tree(dir / "app"), expected);
}
