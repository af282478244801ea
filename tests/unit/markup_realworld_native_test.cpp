// Well-formed documents read by libxml2 (from UTF-8) and by MarkupDocument
// (from UTF-16) give the same elements: names, order, nesting, and the text
// of leaf elements where the two define text alike.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CString.h"
#include "MarkupDocument.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::u16string FromXmlChars(const xmlChar* s) {
    return s == nullptr ? std::u16string() : Utf8ToUtf16(reinterpret_cast<const char*>(s));
}

// libxml2 turns every "\r\n" and lone "\r" into "\n"; the markup engine
// leaves the text as it stands.
std::u16string NormaliseLineEnds(const std::u16string& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == u'\r') {
            out += u'\n';
            if (i + 1 < s.size() && s[i + 1] == u'\n') ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool WhiteOnly(const std::u16string& s) {
    for (char16_t c : s)
        if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') return false;
    return true;
}

std::vector<xmlNodePtr> ElementChildren(xmlNodePtr node) {
    std::vector<xmlNodePtr> out;
    for (xmlNodePtr c = node->children; c != nullptr; c = c->next)
        if (c->type == XML_ELEMENT_NODE) out.push_back(c);
    return out;
}

std::u16string QualifiedName(xmlNodePtr node) {
    std::u16string name = FromXmlChars(node->name);
    if (node->ns != nullptr && node->ns->prefix != nullptr) name = FromXmlChars(node->ns->prefix) + u":" + name;
    return name;
}

// The text of a leaf as the markup engine defines it, from libxml2's nodes:
// text and CDATA in order; when comments, instructions or CDATA stand in the
// content, text nodes of white space only are dropped. Returns false where
// the two cannot be compared: a reference to a DTD entity (libxml2 knows the
// DTD, the engine does not), or a ">" in text beside other markup (the
// engine's text token ends at ">" and a white-space run after it is dropped).
bool ExpectedLeafText(xmlNodePtr leaf, std::u16string& text) {
    bool markup = false;
    for (xmlNodePtr c = leaf->children; c != nullptr; c = c->next) {
        if (c->type == XML_ENTITY_REF_NODE) return false;
        if (c->type != XML_TEXT_NODE) markup = true;
    }
    text.clear();
    for (xmlNodePtr c = leaf->children; c != nullptr; c = c->next) {
        if (c->type == XML_TEXT_NODE) {
            const std::u16string part = FromXmlChars(c->content);
            if (markup && part.find(u'>') != std::u16string::npos) return false;
            if (!markup || !WhiteOnly(part)) text += part;
        } else if (c->type == XML_CDATA_SECTION_NODE) {
            text += FromXmlChars(c->content);
        }
    }
    return true;
}

struct Comparison {
    std::int64_t elements = 0;
    std::int64_t textsCompared = 0;
};

void CompareElement(const MarkupDocument& doc, xmlNodePtr peer, std::int32_t index, Comparison& stats) {
    ++stats.elements;
    ASSERT_EQ(doc.TagWord(index), QualifiedName(peer)) << "element " << index;
    const std::vector<xmlNodePtr> children = ElementChildren(peer);
    std::int32_t child = 0;
    for (xmlNodePtr c : children) {
        child = doc.FindNamedChild(index, child, u"");
        ASSERT_NE(child, 0) << "missing child of element " << index;
        ASSERT_EQ(static_cast<std::int32_t>(doc.Record(child).parent), index);
        CompareElement(doc, c, child, stats);
        if (::testing::Test::HasFatalFailure()) return;
    }
    ASSERT_EQ(doc.FindNamedChild(index, child, u""), 0) << "extra child of element " << index;
    if (children.empty()) {
        std::u16string expected;
        if (ExpectedLeafText(peer, expected)) {
            ++stats.textsCompared;
            ASSERT_EQ(NormaliseLineEnds(doc.ElementText(index)), expected) << "text of element " << index;
        }
    }
}

// Parses the UTF-8 form with libxml2 and the UTF-16 form with the engine and
// compares the element trees.
Comparison Compare(const std::string& utf8, const std::u16string& utf16, const char* encoding = "UTF-8") {
    Comparison stats;
    xmlDocPtr peer = xmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), "document.xml", encoding,
                                   XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    EXPECT_NE(peer, nullptr) << "libxml2 finds the document malformed";
    if (peer == nullptr) return stats;
    MarkupDocument doc;
    EXPECT_TRUE(doc.Parse(utf16)) << Utf16ToUtf8(doc.ErrorText());
    EXPECT_EQ(doc.ErrorText(), u"");
    const std::int32_t root = doc.FindNamedChild(0, 0, u"");
    EXPECT_NE(root, 0);
    if (root != 0) CompareElement(doc, xmlDocGetRootElement(peer), root, stats);
    xmlFreeDoc(peer);
    return stats;
}

Comparison CompareUtf8(const std::string& utf8) {
    std::string body = utf8;
    if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
    return Compare(body, Utf8ToUtf16(body));
}

std::string Path(const char* name) {
    return std::string(UPDATE_TEST_DATA_DIR) + "/markup/" + name;
}

// A document with every construct the engine passes over or reads.
const char kRichDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
    "<!DOCTYPE 清单 [\n"
    "  <!ELEMENT 清单 ANY>\n"
    "  <!ATTLIST Update kind CDATA \"x>y\" note CDATA '\"quoted\" >'>\n"
    "  <!ENTITY company \"Brenvik &#38;#38; > Co\">\n"
    "  <!ENTITY unused '<never \"referenced\">'>\n"
    "  <!ENTITY % param \"ignored\">\n"
    "  <!NOTATION png SYSTEM \"image/png\">\n"
    "  <?dtd-instruction data > more?>\n"
    "  <!-- a comment with > and <tags> inside -->\n"
    "]>\n"
    "<!-- before the root -->\n"
    "<?app instruction?>\n"
    "<清单 xmlns:q=\"urn:qelda\" version='2'>\n"
    "  <Update kind=\"full\" note='a > b'>\n"
    "    <OldVer>1.0</OldVer>\n"
    "    <NewVer> 2.0 </NewVer>\n"
    "    <NetUrl>http://update.brenvik.com/q.zip?a=1&amp;b=2</NetUrl>\n"
    "    <LocalPath/>\n"
    "    <UpdateInfo><![CDATA[<b>新版本</b> ]] > & ]]></UpdateInfo>\n"
    "    <InfoUrl>x<!-- hidden -->y<?pi z?>w</InfoUrl>\n"
    "    <IsUpdate >1</IsUpdate >\n"
    "  </Update>\n"
    "  <q:Item q:attr=\"v\">名前 &lt;中文&gt; &#x1F600; &#128512; &#20013;&#x6587;</q:Item>\n"
    "  <Mixed>a<![CDATA[b]]>c</Mixed>\n"
    "  <Spaces>   </Spaces>\n"
    "  <Empty></Empty>\n"
    "  <Quoted a=\"&quot;\" b='&apos;'>&quot;&apos;</Quoted>\n"
    "  <Entity>&company;</Entity>\n"
    "  <Tab\tattr = \"1\"\n/>\n"
    "  <a.b-c_d>dotted</a.b-c_d>\n"
    "  <日本語><名前>山田</名前><年齢>30</年齢></日本語>\n"
    "</清单>\n"
    "<!-- after the root -->\n";

}  // namespace

TEST(MarkupRealWorld, RichGeneratedDocument) {
    const Comparison stats = CompareUtf8(kRichDocument);
    EXPECT_EQ(stats.elements, 20);
    EXPECT_EQ(stats.textsCompared, 16);  // all leaves but the DTD entity
}

TEST(MarkupRealWorld, ThousandLevelsDeep) {
    std::string xml;
    for (int i = 0; i < 1000; ++i) xml += "<level" + std::to_string(i % 7) + " depth='" + std::to_string(i) + "'>";
    xml += "bottom &amp; 底";
    for (int i = 999; i >= 0; --i) xml += "</level" + std::to_string(i % 7) + ">";
    const Comparison stats = CompareUtf8(xml);
    EXPECT_EQ(stats.elements, 1000);
    EXPECT_EQ(stats.textsCompared, 1);
}

TEST(MarkupRealWorld, SeventyThousandElements) {
    std::string xml = "<records>\n";
    for (int i = 0; i < 10000; ++i) {
        xml += "  <record id=\"" + std::to_string(i) + "\"><name>名" + std::to_string(i) + "</name><value>" +
               std::to_string(i * 7) + "</value><flag/><!-- c --><note><![CDATA[<" + std::to_string(i) +
               ">]]></note><more a='1'><x>t</x></more></record>\n";
    }
    xml += "</records>\n";
    const Comparison stats = CompareUtf8(xml);
    EXPECT_EQ(stats.elements, 70001);
    EXPECT_EQ(stats.textsCompared, 50000);
}

// Random well-formed documents: names from a pool with CJK and prefixes,
// text with references, comments, CDATA and instructions between elements.
TEST(MarkupRealWorld, RandomDocuments) {
    std::mt19937 random(20240601);
    const char* const names[] = {"a", "Update", "UpdateInfo", "x:y", "名前", "値", "_u", "data-1", "NewVer", "q.r"};
    const char* const texts[] = {"t", " spaced ", "a&amp;b", "&lt;x&gt;", "&#65;&#x1F600;", "中文", "&quot;q&apos;",
                                 "line\nbreak", "1.2.3"};
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    std::int64_t totalElements = 0;
    for (int round = 0; round < 60; ++round) {
        std::string xml;
        if (pick(2) != 0) xml += "<?xml version=\"1.0\"?>\n";
        if (pick(3) == 0) xml += "<!DOCTYPE r [<!ELEMENT r ANY><!-- subset -->]>\n";
        std::function<void(int)> element = [&](int depth) {
            const std::string name = names[pick(10)];
            xml += "<" + name;
            if (pick(3) == 0) xml += " k=\"v>" + std::to_string(pick(100)) + "\"";
            if (depth > 5 || (depth > 0 && pick(5) == 0)) {
                xml += pick(2) != 0 ? "/>" : " />";
                return;
            }
            xml += ">";
            const std::size_t items = depth == 0 ? 4 + pick(6) : pick(5);
            if (items == 0 || (depth > 0 && pick(4) == 0)) {
                xml += texts[pick(9)];
            } else {
                for (std::size_t i = 0; i < items; ++i) {
                    switch (pick(6)) {
                    case 0: xml += "<!-- c" + std::to_string(i) + " -->"; break;
                    case 1: xml += "<?pi " + std::to_string(i) + "?>"; break;
                    case 2: xml += "\n  "; break;
                    default: element(depth + 1); break;
                    }
                }
            }
            xml += "</" + name + ">";
        };
        element(0);
        SCOPED_TRACE(xml);
        totalElements += CompareUtf8(xml).elements;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(totalElements, 500);
}

// Real documents as their tools wrote them.
TEST(MarkupRealWorld, FilesFromRealTools) {
    struct {
        const char* name;
        std::int64_t elements;
    } files[] = {
        {"fontconfig-fonts.conf.xml", 39},   // fontconfig's fonts.conf: DOCTYPE, comments
        {"weekly-utf-8.xml", 50},            // Japanese names and text
        {"wine.appdata.xml", 23},            // AppStream metadata
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const std::string bytes = ReadFile(Path(f.name));
        ASSERT_FALSE(bytes.empty());
        const Comparison stats = CompareUtf8(bytes);
        EXPECT_EQ(stats.elements, f.elements);
        EXPECT_GT(stats.textsCompared, 0);
    }
}

// The same document saved as UTF-16 (big-endian, CRLF line ends).
TEST(MarkupRealWorld, Utf16FileWithCrLf) {
    const std::string bytes = ReadFile(Path("weekly-utf-16.xml"));
    ASSERT_GE(bytes.size(), 2u);
    std::u16string text;
    const bool bigEndian = static_cast<unsigned char>(bytes[0]) == 0xFE;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const unsigned hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        const unsigned lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        text += static_cast<char16_t>(hi << 8 | lo);
    }
    ASSERT_NE(text.find(u"\r\n"), std::u16string::npos);
    const Comparison stats = Compare(bytes, text, nullptr);
    EXPECT_EQ(stats.elements, 50);
}

// Offsets are 32-bit: a text of 2^31 code units cannot be described and is
// refused whole. Needs 4 GiB of memory and about half a minute under the
// sanitizers, so it runs only with UPDATE_SLOW_TESTS=1 in the environment.
TEST(MarkupLimits, TextBeyondThirtyTwoBitOffsetsIsRefused) {
    const char* slow = std::getenv("UPDATE_SLOW_TESTS");
    if (slow == nullptr || std::string(slow) != "1") GTEST_SKIP() << "set UPDATE_SLOW_TESTS=1 to run";
    const std::size_t size = std::size_t(1) << 31;
    std::u16string huge;
    try {
        huge.reserve(size);
    } catch (const std::bad_alloc&) {
        GTEST_SKIP() << "no memory for a 4 GiB text";
    }
    // Whole blocks at a time: filling unit by unit takes long in a debug build.
    const std::u16string block = u"<a>" + std::u16string((std::size_t(1) << 20) - 3, u'x');
    while (huge.size() < size) huge += block;
    ASSERT_EQ(huge.size(), size);
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(huge));
    huge.clear();
    huge.shrink_to_fit();
    EXPECT_EQ(doc.ErrorText(), u"Document too long");
    EXPECT_NE(doc.Record(0).flags & DOCUMENT_ILL_FORMED, 0u);
    EXPECT_EQ(doc.Text(), u"");
    EXPECT_EQ(doc.UsedCount(), 1);
    EXPECT_EQ(doc.Record(0).length, 0u);
    EXPECT_EQ(doc.FindChild(u"a"), 0);
    // The document is usable afterwards.
    EXPECT_TRUE(doc.Parse(u"<a/>"));
}
