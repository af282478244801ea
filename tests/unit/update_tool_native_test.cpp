// The built update-tool program, run on files written here: argument handling,
// exit statuses, decoding of every accepted encoding and refusal of broken
// files, and JSON output checked by parsing it back with Python's json module.
// Also compares the manifest reader with libxml2 on the sample manifests.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ManifestReader.h"

namespace {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class UpdateTool : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/update-tool-test-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir = buf.data();
    }
    void TearDown() override {
        if (!dir.empty()) std::system(("rm -rf " + Quote(dir)).c_str());
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    std::string Write(const std::string& name, const std::string& bytes) {
        WriteBytes(Path(name), bytes);
        return Path(name);
    }

    // Runs the shell command line and collects its status and streams.
    Result Shell(const std::string& command) {
        const std::string out = Path("stdout"), err = Path("stderr");
        const int raw = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = ReadBytes(out);
        r.err = ReadBytes(err);
        return r;
    }

    Result Run(const std::vector<std::string>& args, const std::string& stdinPath = "/dev/null") {
        std::string command = Quote(UPDATE_TOOL_PATH);
        for (const std::string& a : args) command += " " + Quote(a);
        return Shell(command + " <" + Quote(stdinPath));
    }

    // Parses json with Python (strictly: no control characters in strings,
    // valid UTF-8 only) and returns json.dumps of the expression evaluated
    // with the document as d, keys sorted; "PARSE ERROR ..." when it fails.
    std::string Query(const std::string& json, const std::string& expression, bool ascii = false) {
        const std::string file = Write("query.json", json);
        const std::string script =
            "import json,sys\n"
            "try:\n"
            "    d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8'))\n"
            "except Exception as e:\n"
            "    sys.stdout.write('PARSE ERROR ' + str(e)); sys.exit(0)\n"
            "r = json.dumps(eval(sys.argv[2]), sort_keys=True, ensure_ascii=" +
            std::string(ascii ? "True" : "False") +
            ")\n"
            "sys.stdout.buffer.write(r.encode('utf-8'))\n";
        const std::string scriptFile = Write("query.py", script);
        return Shell("python3 " + Quote(scriptFile) + " " + Quote(file) + " " + Quote(expression)).out;
    }

    std::string dir;
};

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- 升级清单 -->\n"
    "<Updates>\n"
    "  <Update><OldVer>1.0</OldVer><NewVer>1.1</NewVer><NetUrl>http://h/a.zip</NetUrl>"
    "<LocalPath>System</LocalPath><UpdateInfo>修复问题\n第二行 \"引号\" \\ 𝄞</UpdateInfo>"
    "<InfoUrl>http://h/log?a=1&amp;b=2</InfoUrl><IsUpdate> 2x</IsUpdate></Update>\n"
    "  <Update><OldVer>0.9</OldVer><NewVer>1.9</NewVer></Update>\n"
    "  <Update><OldVer>0.9</OldVer><NewVer>1.10</NewVer></Update>\n"
    "</Updates>\n";

const std::string kRecord0 =
    "{\"InfoUrl\": \"http://h/log?a=1&b=2\", \"IsUpdate\": 2, \"LocalPath\": \"System\", "
    "\"NetUrl\": \"http://h/a.zip\", \"NewVer\": \"1.1\", \"OldVer\": \"1.0\", "
    "\"UpdateInfo\": \"修复问题\\n第二行 \\\"引号\\\" \\\\ 𝄞\"}";

std::string Utf16Bytes(const std::u16string& text, bool little, bool bom = true) {
    std::string bytes;
    auto put = [&](unsigned unit) {
        const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
        bytes += little ? lo : hi;
        bytes += little ? hi : lo;
    };
    if (bom) put(0xFEFF);
    for (char16_t c : text) put(c);
    return bytes;
}

}  // namespace

TEST_F(UpdateTool, HelpGoesToStandardOutput) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"manifest", "--help"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, 0) << args.back();
        EXPECT_NE(r.out.find("usage: update-tool"), std::string::npos);
        EXPECT_NE(r.out.find("--installed VERSION"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(UpdateTool, UsageErrorsExitWithTwo) {
    const std::string file = Write("m.xml", kManifest);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "no command given"},
        {{"publish"}, "unknown command 'publish'"},
        {{"manifest"}, "no FILE given"},
        {{"manifest", file, file}, "more than one FILE given"},
        {{"manifest", "--xml", file}, "unknown option '--xml'"},
        {{"manifest", file, "--installed"}, "--installed needs a VERSION"},
        {{"manifest", "--installed", "\xFF", file}, "--installed VERSION is not valid UTF-8"},
        {{"manifest", "--json"}, "no FILE given"},
    };
    for (const Case& c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage: update-tool"), std::string::npos) << r.err;
    }
}

TEST_F(UpdateTool, UnreadableInputExitsWithOneAndOneLine) {
    Write("odd16.xml", std::string("\xFF\xFE<\0r\0>", 7));
    Write("bad8.xml", "<r>\xC3\x28</r>");
    Write("overlong.xml", "<r>\xC0\xAF</r>");
    Write("surrogate8.xml", "<r>\xED\xA0\x80</r>");
    Write("truncated8.xml", "<r>\xE4\xB8");
    Write("nobom16.xml", std::string("<\0r\0/\0>\0", 8));
    Write("nul16.xml", Utf16Bytes(std::u16string(u"<r>") + u'\0' + u"</r>", true));
    mkdir(Path("folder").c_str(), 0700);
    struct Case {
        std::string file;
        const char* message;
    } cases[] = {
        {Path("missing.xml"), "cannot open '"},
        {Path("folder"), "Is a directory"},
        {Path("odd16.xml"), "cannot decode: UTF-16 text has an odd number of bytes (7)"},
        {Path("bad8.xml"), "cannot decode: invalid UTF-8 at byte 3"},
        {Path("overlong.xml"), "cannot decode: invalid UTF-8 at byte 3"},
        {Path("surrogate8.xml"), "cannot decode: invalid UTF-8 at byte 3"},
        {Path("truncated8.xml"), "cannot decode: invalid UTF-8 at byte 3"},
        {Path("nobom16.xml"), "cannot decode: NUL character at byte 1 (UTF-16 needs a byte-order mark)"},
        {Path("nul16.xml"), "cannot decode: NUL character at byte 8"},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"--json", "--strict"}) {
            const Result r = Run({"manifest", mode, c.file});
            EXPECT_EQ(r.status, 1) << c.file;
            EXPECT_EQ(r.out, "") << c.file;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        }
    }
}

TEST_F(UpdateTool, RefusesFilesOver256MiB) {
    const std::size_t limit = std::size_t{256} << 20;
    const std::string over = Path("over.xml"), exact = Path("exact.xml");
    ASSERT_EQ(truncate(Write("over.xml", "").c_str(), static_cast<off_t>(limit + 1)), 0);
    Result r = Run({"manifest", over});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("larger than 256 MiB"), std::string::npos) << r.err;
    // Through a pipe the size is found while reading.
    r = Shell("head -c " + std::to_string(limit + 1) + " /dev/zero | " + Quote(UPDATE_TOOL_PATH) + " manifest -");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("standard input: larger than 256 MiB"), std::string::npos) << r.err;
    // Exactly 256 MiB is read, and then refused for its content.
    ASSERT_EQ(truncate(Write("exact.xml", "").c_str(), static_cast<off_t>(limit)), 0);
    r = Run({"manifest", exact});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("NUL character at byte 0"), std::string::npos) << r.err;
}

TEST_F(UpdateTool, EveryEncodingGivesTheSameRecords) {
    const std::string utf8 = Write("utf8.xml", kManifest);
    Write("utf8bom.xml", "\xEF\xBB\xBF" + kManifest);
    // UTF-16 made by iconv, with the byte-order mark put in front.
    ASSERT_EQ(Shell("iconv -f UTF-8 -t UTF-16LE " + Quote(utf8)).status, 0);
    Write("utf16le.xml", "\xFF\xFE" + ReadBytes(Path("stdout")));
    ASSERT_EQ(Shell("iconv -f UTF-8 -t UTF-16BE " + Quote(utf8)).status, 0);
    Write("utf16be.xml", "\xFE\xFF" + ReadBytes(Path("stdout")));
    ASSERT_EQ(Utf16Bytes(Utf8ToUtf16(kManifest), true), ReadBytes(Path("utf16le.xml")));

    const struct {
        const char* file;
        const char* encoding;
        std::size_t bytes;
    } cases[] = {
        {"utf8.xml", "UTF-8, ", kManifest.size()},
        {"utf8bom.xml", "UTF-8 with byte-order mark, ", kManifest.size() + 3},
        {"utf16le.xml", "UTF-16 LE, ", Utf16Bytes(Utf8ToUtf16(kManifest), true).size()},
        {"utf16be.xml", "UTF-16 BE, ", Utf16Bytes(Utf8ToUtf16(kManifest), true).size()},
    };
    for (const auto& c : cases) {
        const Result json = Run({"manifest", "--json", Path(c.file)});
        ASSERT_EQ(json.status, 0) << c.file << json.err;
        EXPECT_EQ(Query(json.out, "d['records'][0]"), kRecord0) << c.file;
        EXPECT_EQ(Query(json.out, "[r['NewVer'] for r in d['records']]"), "[\"1.1\", \"1.9\", \"1.10\"]") << c.file;
        EXPECT_EQ(Query(json.out, "[d['wellFormed'], d['error']]"), "[true, \"\"]") << c.file;

        const Result text = Run({"manifest", Path(c.file)});
        ASSERT_EQ(text.status, 0) << c.file;
        EXPECT_NE(text.out.find(std::string(c.encoding) + std::to_string(c.bytes) + " bytes"), std::string::npos)
            << text.out;
        EXPECT_NE(text.out.find("UpdateInfo  \"修复问题\\n第二行 \\\"引号\\\" \\\\ 𝄞\""), std::string::npos) << text.out;
    }
}

TEST_F(UpdateTool, StandardInputAndUnicodeFileNames) {
    const std::string file = Write("升级清单.xml", kManifest);
    const Result viaStdin = Run({"manifest", "--json", "-"}, file);
    const Result viaName = Run({"manifest", "--json", file});
    EXPECT_EQ(viaStdin.status, 0);
    EXPECT_EQ(viaStdin.out, viaName.out);
    EXPECT_EQ(Query(viaName.out, "len(d['records'])"), "3");
    const Result text = Run({"manifest", "-"}, file);
    EXPECT_NE(text.out.find("manifest:    standard input (UTF-8"), std::string::npos) << text.out;
    // "--" ends the options, so a file may be named like one.
    Write("--json", kManifest);
    const Result dashed = Shell("cd " + Quote(dir) + " && " + Quote(UPDATE_TOOL_PATH) + " manifest -- --json");
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_NE(dashed.out.find("records:     3"), std::string::npos);
}

TEST_F(UpdateTool, JsonHasExactlyTheDocumentedMembers) {
    const std::string file = Write("m.xml", kManifest);
    Result r = Run({"manifest", "--json", file});
    EXPECT_EQ(Query(r.out, "sorted(d.keys())"), "[\"error\", \"records\", \"wellFormed\"]");
    EXPECT_EQ(Query(r.out, "list(d['records'][1].keys())"),
              "[\"OldVer\", \"NewVer\", \"NetUrl\", \"LocalPath\", \"UpdateInfo\", \"InfoUrl\", \"IsUpdate\"]");
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one object on one line";

    r = Run({"manifest", "--json", "--installed", "1.0", "--elements", file});
    EXPECT_EQ(Query(r.out, "sorted(d.keys())"),
              "[\"elements\", \"error\", \"installed\", \"offer\", \"records\", \"selected\", \"wellFormed\"]");
    EXPECT_EQ(Query(r.out, "sorted(d['elements'][0].keys())"),
              "[\"endTagLength\", \"firstChild\", \"index\", \"length\", \"name\", \"nextSibling\", \"parent\", "
              "\"prevSibling\", \"start\", \"startTagLength\"]");
}

TEST_F(UpdateTool, SelectionAndOfferFollowTheUpdater) {
    const std::string file = Write("m.xml", kManifest);
    struct Case {
        const char* installed;
        const char* selectedNewVer;  // null: nothing selected
        bool offer;
    } cases[] = {
        {"1.0", "1.1", true},    // exact OldVer match
        {"0.9", "1.9", true},    // first exact match, although 1.10 is also listed
        {"1.5", "1.9", true},    // no match: greatest NewVer in text order is 1.9
        {"1.9", "1.9", false},   // equal: nothing offered
        {"2.0", "1.9", false},
        {"", "1.9", true},       // empty installed version sorts before everything
    };
    for (const Case& c : cases) {
        const Result r = Run({"manifest", "--json", "--installed", c.installed, file});
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(Query(r.out, "[d['installed'], d['selected']['NewVer'], d['offer']]"),
                  std::string("[\"") + c.installed + "\", \"" + c.selectedNewVer + "\", " +
                      (c.offer ? "true" : "false") + "]")
            << c.installed;
        const Result text = Run({"manifest", "--installed=" + std::string(c.installed), file});
        EXPECT_NE(text.out.find(std::string("offer:       ") + (c.offer ? "yes" : "no")), std::string::npos)
            << text.out;
    }
    const Result exact = Run({"manifest", "--installed", "0.9", file});
    EXPECT_NE(exact.out.find("selected:    #1 (its OldVer equals the installed version)"), std::string::npos);
    EXPECT_NE(exact.out.find("offer:       yes (\"0.9\" sorts before \"1.9\")"), std::string::npos);

    const std::string empty = Write("empty.xml", "<Updates/>");
    const Result none = Run({"manifest", "--json", "--installed", "1.0", empty});
    EXPECT_EQ(Query(none.out, "[d['selected'], d['offer'], d['records']]"), "[null, false, []]");
    const Result noneText = Run({"manifest", "--installed", "1.0", empty});
    EXPECT_NE(noneText.out.find("selected:    none"), std::string::npos) << noneText.out;
}

TEST_F(UpdateTool, StrictExitsWithThreeForBrokenOrEmptyManifests) {
    const std::string ok = Write("ok.xml", kManifest);
    const std::string broken = Write("broken.xml", "<r><Update><OldVer>1.0<NewVer>2</NewVer></Update></r>");
    const std::string noRecords = Write("none.xml", "<r><Notice/></r>");
    const std::string emptyFile = Write("empty.xml", "");
    const std::string twoRoots = Write("two.xml", "<r><Update/></r><s/>");
    struct Case {
        std::string file;
        int strict;
        const char* error;
    } cases[] = {
        {ok, 0, ""},
        {broken, 3, "End tag 'Update' at offset 41 does not match start tag 'OldVer' at offset 11"},
        {noRecords, 3, ""},
        {emptyFile, 3, "Empty document"},
        {twoRoots, 3, "Root element has sibling"},
    };
    for (const Case& c : cases) {
        const Result plain = Run({"manifest", "--json", c.file});
        EXPECT_EQ(plain.status, 0) << c.file;
        EXPECT_EQ(Query(plain.out, "d['error']"), "\"" + std::string(c.error) + "\"") << c.file;
        const Result strict = Run({"manifest", "--strict", "--json", c.file});
        EXPECT_EQ(strict.status, c.strict) << c.file;
        EXPECT_EQ(strict.out, plain.out) << "the report is printed either way";
    }
    const Result text = Run({"manifest", broken});
    EXPECT_NE(text.out.find("well formed: no: End tag 'Update' at offset 41"), std::string::npos) << text.out;
    // The unclosed field is empty, the fields after it are still read.
    EXPECT_NE(text.out.find("OldVer      \"\"\n      NewVer      \"2\""), std::string::npos) << text.out;
}

TEST_F(UpdateTool, ElementTableRows) {
    // <r><a/>x<b>t</b></r>: r 0..19, a 3..6, b 8..15.
    const std::string file = Write("e.xml", "<r><a/>x<b>t</b></r>");
    const Result r = Run({"manifest", "--json", "--elements", file});
    EXPECT_EQ(Query(r.out, "[[e['index'], e['name'], e['start'], e['length'], e['startTagLength'], "
                           "e['endTagLength'], e['parent'], e['firstChild'], e['nextSibling'], e['prevSibling']] "
                           "for e in d['elements']]"),
              "[[1, \"r\", 0, 20, 3, 4, 0, 2, 0, 1], [2, \"a\", 3, 4, 4, 0, 1, 0, 3, 3], "
              "[3, \"b\", 8, 8, 3, 4, 1, 0, 0, 2]]");
    const Result text = Run({"manifest", "--elements", file});
    EXPECT_NE(text.out.find("elements:    3\n  #1 \"r\" start 0 length 20 tags 3/4 parent 0 first 2 next 0 prev 1\n"),
              std::string::npos)
        << text.out;
}

TEST_F(UpdateTool, TextsAreValidJsonWhateverTheyHold) {
    // Control characters by reference, a lone surrogate by UTF-16, and
    // U+2028 which JavaScript does not accept raw.
    std::u16string doc = u"<r><Update><OldVer>&#1;&#31;\t&#127;</OldVer><NewVer>";
    doc += static_cast<char16_t>(0xD800);
    doc += u"x";
    doc += static_cast<char16_t>(0xDC00);
    doc += u"</NewVer><NetUrl>\u2028\u2029</NetUrl><LocalPath>&#xD83D;&#xDE00;</LocalPath></Update></r>";
    const std::string file = Write("c.xml", Utf16Bytes(doc, true));
    const Result r = Run({"manifest", "--json", file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Query(r.out, "[ord(c) for c in d['records'][0]['OldVer']]"), "[1, 31, 9, 127]");
    EXPECT_EQ(Query(r.out, "d['records'][0]['NewVer']", true), "\"\\ud800x\\udc00\"");
    EXPECT_EQ(Query(r.out, "d['records'][0]['NetUrl']", true), "\"\\u2028\\u2029\"");
    // Two references that form a pair make one character.
    EXPECT_EQ(Query(r.out, "d['records'][0]['LocalPath']", true), "\"\\ud83d\\ude00\"");
    EXPECT_NE(r.out.find("\"NewVer\":\"\\ud800x\\udc00\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"LocalPath\":\"\xF0\x9F\x98\x80\""), std::string::npos) << r.out;

    const Result text = Run({"manifest", file});
    EXPECT_NE(text.out.find("OldVer      \"\\u0001\\u001f\\t\\u007f\""), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("NewVer      \"\\ud800x\\udc00\""), std::string::npos) << text.out;
}

TEST_F(UpdateTool, SampleManifests) {
    const std::string dataDir = std::string(UPDATE_TEST_DATA_DIR) + "/manifests/";
    Result r = Run({"manifest", "--strict", "--json", "--installed", "1.2.0", dataDir + "qelda-updates.xml"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Query(r.out, "[d['wellFormed'], len(d['records']), d['selected']['NetUrl'], d['offer']]"),
              "[true, 3, \"http://update.brenvik.com/client/packages/qelda-1.2.0-to-1.3.0.zip\", true]");
    r = Run({"manifest", "--strict", "--installed", "1.0", dataDir + "qelda-minimal.xml"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("UpdateInfo  \"修复了若干已知问题。\""), std::string::npos) << r.out;
    r = Run({"manifest", "--strict", dataDir + "qelda-none.xml"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("well formed: yes\nrecords:     0\n"), std::string::npos) << r.out;
}

// libxml2 as a peer: for well-formed manifests, reading the fields by the same
// forward-only rule over libxml2's tree gives the same records.
namespace {

std::u16string NodeText(xmlNode* node) {
    for (xmlNode* c = node->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return u"";
    xmlChar* content = xmlNodeGetContent(node);
    std::u16string text = Utf8ToUtf16(reinterpret_cast<const char*>(content));
    xmlFree(content);
    return text;
}

std::vector<std::vector<std::u16string>> PeerRecords(const std::string& path) {
    std::vector<std::vector<std::u16string>> records;
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (doc == nullptr) return records;
    static const char* const names[] = {"OldVer", "NewVer", "NetUrl", "LocalPath", "UpdateInfo", "InfoUrl", "IsUpdate"};
    for (xmlNode* u = xmlDocGetRootElement(doc)->children; u; u = u->next) {
        if (u->type != XML_ELEMENT_NODE || xmlStrcmp(u->name, BAD_CAST "Update") != 0) continue;
        std::vector<std::u16string> fields;
        xmlNode* from = u->children;
        for (const char* name : names) {
            xmlNode* found = nullptr;
            for (xmlNode* c = from; c && !found; c = c->next)
                if (c->type == XML_ELEMENT_NODE && xmlStrcmp(c->name, BAD_CAST name) == 0) found = c;
            fields.push_back(found ? NodeText(found) : u"");
            if (found) from = found->next;
        }
        records.push_back(fields);
    }
    xmlFreeDoc(doc);
    return records;
}

}  // namespace

TEST(SampleManifestsPeer, ReadLikeLibxml2) {
    for (const char* name : {"qelda-updates.xml", "qelda-minimal.xml", "qelda-none.xml"}) {
        const std::string path = std::string(UPDATE_TEST_DATA_DIR) + "/manifests/" + name;
        const auto peer = PeerRecords(path);
        UpdateInfoArray ours;
        ReadManifest(Utf8ToUtf16(ReadBytes(path)), ours);
        ASSERT_EQ(static_cast<std::size_t>(ours.GetCount()), peer.size()) << name;
        for (std::size_t i = 0; i < peer.size(); ++i) {
            const UPDATE_INFO& r = ours[static_cast<std::ptrdiff_t>(i)];
            const std::u16string mine[] = {r.OldVer, r.NewVer, r.NetUrl, r.LocalPath, r.UpdateInfo, r.InfoUrl};
            for (int f = 0; f < 6; ++f) EXPECT_EQ(Utf16ToUtf8(mine[f]), Utf16ToUtf8(peer[i][f])) << name << " " << i;
            EXPECT_EQ(r.IsUpdate, WideTextToInt(peer[i][6])) << name;
        }
    }
}
