// Well-formed documents read by libxml2 (from UTF-8 or UTF-16) and by
// MarkupDocument (from UTF-16) give the same elements: names, order, nesting,
// and the text of leaf elements where the two define text alike.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "MarkupChecks.h"

namespace {

std::u16string FromXml(const xmlChar* s) {
    return s == nullptr ? std::u16string() : Utf8ToUtf16(reinterpret_cast<const char*>(s));
}

// The text of a leaf as the markup engine defines it, from libxml2's nodes:
// text and CDATA in order, with libxml2's line ends; beside other markup,
// white-space-only text is dropped. False where the two cannot be compared:
// a ">" in text beside other markup (the engine's text token ends there).
bool ExpectedLeafText(xmlNodePtr leaf, std::u16string& text) {
    bool markup = false;
    for (xmlNodePtr c = leaf->children; c != nullptr; c = c->next) markup |= c->type != XML_TEXT_NODE;
    text.clear();
    for (xmlNodePtr c = leaf->children; c != nullptr; c = c->next) {
        const std::u16string part = FromXml(c->content);
        if (c->type == XML_CDATA_SECTION_NODE) text += part;
        if (c->type != XML_TEXT_NODE) continue;
        if (markup && part.find(u'>') != std::u16string::npos) return false;
        if (!markup || part.find_first_not_of(u" \t\n") != std::u16string::npos) text += part;
    }
    return true;
}

// libxml2 turns "\r\n" and a lone "\r" into "\n"; the engine keeps them.
std::u16string NormaliseLineEnds(std::u16string s) {
    for (std::size_t at; (at = s.find(u"\r\n")) != std::u16string::npos;) s.erase(at, 1);
    for (char16_t& c : s) c = c == u'\r' ? u'\n' : c;
    return s;
}

void CompareElement(const MarkupDocument& doc, xmlNodePtr peer, std::int32_t index, int& elements, int& texts) {
    ++elements;
    std::u16string name = FromXml(peer->name);
    if (peer->ns != nullptr && peer->ns->prefix != nullptr) name = FromXml(peer->ns->prefix) + u":" + name;
    ASSERT_EQ(doc.TagWord(index), name) << "element " << index;
    std::int32_t child = 0;
    bool leaf = true;
    for (xmlNodePtr c = peer->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        leaf = false;
        child = doc.FindNamedChild(index, child, u"");
        ASSERT_NE(child, 0) << "missing child of element " << index;
        CompareElement(doc, c, child, elements, texts);
        if (testing::Test::HasFatalFailure()) return;
    }
    ASSERT_EQ(doc.FindNamedChild(index, child, u""), 0) << "extra child of element " << index;
    std::u16string expected;
    if (leaf && ExpectedLeafText(peer, expected)) {
        ++texts;
        ASSERT_EQ(NormaliseLineEnds(doc.ElementText(index)), expected) << "text of element " << index;
    }
}

// Returns how many elements and leaf texts were compared.
std::pair<int, int> Compare(const std::string& bytes, const std::u16string& text, const char* encoding = "UTF-8") {
    int elements = 0, texts = 0;
    xmlDocPtr peer = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "document.xml", encoding,
                                   XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    EXPECT_NE(peer, nullptr) << "libxml2 finds the document malformed";
    if (peer == nullptr) return {0, 0};
    MarkupDocument doc;
    const bool ok = doc.Parse(text);
    EXPECT_EQ(markupcheck::Table(doc, ok), "");
    EXPECT_TRUE(ok) << Utf16ToUtf8(doc.ErrorText());
    if (ok) CompareElement(doc, xmlDocGetRootElement(peer), doc.FindNamedChild(0, 0, u""), elements, texts);
    xmlFreeDoc(peer);
    return {elements, texts};
}

}  // namespace

// Random documents with every construct the engine passes over or reads: a
// DOCTYPE whose internal subset holds ">" in quotes, comments and
// instructions; names with prefixes and CJK; attribute values with ">";
// text with references, CDATA, comments and instructions; CRLF line ends.
TEST(MarkupPeer, RandomDocumentsAsLibxml2ReadsThem) {
    std::mt19937 random(20240601);
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const char* const prologs[] = {
        "", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<!-- before the root -->\n<?app x?>\n",
        "<!DOCTYPE 清单 [\n <!ELEMENT 清单 ANY>\n <!ATTLIST Update kind CDATA \"x>y\" note CDATA '\"q\" >'>\n"
        " <!ENTITY company \"Brenvik &#38;#38; > Co\">\n <!ENTITY % param \"ignored\">\n"
        " <!NOTATION png SYSTEM \"image/png\">\n <?dtd-pi data > more?>\n <!-- a comment with > and <tags> -->\n]>\n"};
    const char* const names[] = {"a", "Update", "UpdateInfo", "x:y", "名前", "値", "_u", "data-1", "q.r", "a.b-c_d"};
    const char* const attributes[] = {"", " k=\"v>1\"", " a='&quot;' b=\"&apos;\"", "\tattr = \"1\"\n", " xmlns:x=\"urn:q\""};
    const char* const pieces[] = {"t", " spaced ", "a&amp;b", "&lt;x&gt;", "&#65;&#x1F600;&#20013;", "中文",
                                  "&quot;q&apos;", "line\r\nbreak\rend", "<![CDATA[<b>新</b> ]] > & ]]>",
                                  "<!-- c > -->", "<?pi z > w?>", "   "};
    int total = 0;
    for (int round = 0; round < 80; ++round) {
        std::string xml = prologs[pick(3)];
        std::function<void(int)> element = [&](int depth) {
            const std::string name = names[pick(10)];
            xml += "<" + name + attributes[pick(5)];
            if (depth > 5 || (depth > 0 && pick(5) == 0)) {
                xml += pick(2) != 0 ? "/>" : " />";
                return;
            }
            xml += ">";
            const std::size_t items = depth == 0 ? 4 + pick(6) : pick(5);
            for (std::size_t i = 0; i < items; ++i) {
                if (pick(3) == 0) xml += "\n  ";
                if (pick(2) == 0) element(depth + 1);
                else xml += pieces[pick(12)];
            }
            xml += "</" + name + (pick(4) == 0 ? " >" : ">");
        };
        element(0);
        xml += pick(2) != 0 ? "\n<!-- after the root -->\n" : "";
        SCOPED_TRACE(xml);
        total += Compare(xml, Utf8ToUtf16(xml)).first;
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_GT(total, 1000);
}

// Real documents as their tools wrote them, the last one in UTF-16
// (big-endian, with a byte-order mark and CRLF line ends).
TEST(MarkupPeer, FilesFromRealTools) {
    const struct {
        const char* name;
        int elements;
    } files[] = {{"fontconfig-fonts.conf.xml", 39}, {"weekly-utf-8.xml", 50}, {"wine.appdata.xml", 23},
                 {"weekly-utf-16.xml", 50}};
    for (const auto& f : files) {
        std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/markup/" + f.name, std::ios::binary);
        std::ostringstream read;
        read << in.rdbuf();
        std::string bytes = read.str();
        std::u16string text;
        const bool utf16 = bytes.compare(0, 2, "\xFE\xFF") == 0;
        for (std::size_t i = 2; utf16 && i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) << 8 | static_cast<unsigned char>(bytes[i + 1]));
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        const std::pair<int, int> compared = Compare(bytes, utf16 ? text : Utf8ToUtf16(bytes), utf16 ? nullptr : "UTF-8");
        EXPECT_EQ(compared.first, f.elements) << f.name;
        EXPECT_GT(compared.second, 0) << f.name;
    }
}
