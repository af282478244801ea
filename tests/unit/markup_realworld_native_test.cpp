// Well-formed documents read by libxml2 and MarkupDocument give the same elements: names, order, nesting, and the
// text of leaf elements where the two define text alike.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include "MarkupChecks.h"

namespace {

std::u16string FromXml(const xmlChar* s) { return s ? Utf8ToUtf16(reinterpret_cast<const char*>(s)) : u""; }

// Compares element index with libxml2's node and subtree; returns the elements compared. A leaf's text: its text and
// CDATA (white space alone beside other markup dropped), unless ">" stands beside other markup (the engine's text token
// ends there) or a DTD entity (the engine knows no DTD); the engine keeps "\r", which libxml2 turns into "\n".
int CompareElement(const MarkupDocument& doc, xmlNodePtr peer, std::int32_t index) {
    std::u16string name = FromXml(peer->name), text, ours = doc.ElementText(index);
    if (peer->ns != nullptr && peer->ns->prefix != nullptr) name = FromXml(peer->ns->prefix) + u":" + name;
    EXPECT_EQ(doc.TagWord(index), name) << "element " << index;
    int elements = 1;
    bool markup = false, comparable = true;
    std::int32_t child = 0;
    for (xmlNodePtr c = peer->children; c != nullptr; c = c->next) markup |= c->type != XML_TEXT_NODE;
    for (xmlNodePtr c = peer->children; c != nullptr && !testing::Test::HasFailure(); c = c->next) {
        const std::u16string part = FromXml(c->content);
        if (c->type == XML_CDATA_SECTION_NODE) text += part;
        if (c->type == XML_TEXT_NODE && (!markup || part.find_first_not_of(u" \t\n") != part.npos)) text += part;
        comparable &= c->type != XML_ENTITY_REF_NODE &&
                      (!markup || c->type != XML_TEXT_NODE || part.find(u'>') == std::u16string::npos);
        if (c->type != XML_ELEMENT_NODE) continue;
        child = doc.FindNamedChild(index, child, u"");
        EXPECT_NE(child, 0) << "missing child of element " << index;
        elements += child != 0 ? CompareElement(doc, c, child) : 0;
        comparable = false;
    }
    EXPECT_EQ(doc.FindNamedChild(index, child, u""), 0) << "extra child of element " << index;
    for (std::size_t at; (at = ours.find(u"\r\n")) != std::u16string::npos;) ours.erase(at, 1);
    for (char16_t& c : ours) c = c == u'\r' ? u'\n' : c;
    if (comparable) EXPECT_EQ(ours, text) << "text of element " << index;
    return elements;
}

int Compare(const std::string& bytes, const std::u16string& text, const char* encoding = "UTF-8") {
    xmlDocPtr peer = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "document.xml", encoding,
                                   XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    MarkupDocument doc;
    const bool ok = doc.Parse(text);
    EXPECT_EQ(markupcheck::Document(doc, ok), "");
    EXPECT_TRUE(peer != nullptr && ok) << Utf16ToUtf8(doc.ErrorText());
    const int elements = peer && ok ? CompareElement(doc, xmlDocGetRootElement(peer), doc.FindNamedChild(0, 0, {})) : 0;
    xmlFreeDoc(peer);
    return elements;
}

}  // namespace

// Real documents (the last in UTF-16 big-endian with a byte-order mark and CRLF), then random ones with every construct
// the engine passes over or reads, and one a thousand levels deep.
TEST(MarkupPeer, DocumentsAsLibxml2ReadsThem) {
    const std::pair<const char*, int> files[] = {
        {"fontconfig-fonts.conf.xml", 39}, {"weekly-utf-8.xml", 50}, {"wine.appdata.xml", 23},
        {"weekly-utf-16.xml", 50}};
    for (const auto& [name, elements] : files) {
        std::ifstream in(std::string(UPDATE_TEST_DATA_DIR) + "/markup/" + name, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        std::u16string text;
        const bool utf16 = bytes.compare(0, 2, "\xFE\xFF") == 0;
        for (std::size_t i = 2; utf16 && i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(std::uint8_t(bytes[i]) << 8 | std::uint8_t(bytes[i + 1]));
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        EXPECT_EQ(Compare(bytes, utf16 ? text : Utf8ToUtf16(bytes), utf16 ? nullptr : "UTF-8"), elements) << name;
    }
    std::mt19937 random(20240601);
    auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const char* const prologs[] = {
        "", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<!-- before the root -->\n<?app x?>\n",
        "<!DOCTYPE 清单 [\n <!ELEMENT 清单 ANY>\n <!ATTLIST Update kind CDATA \"x>y\" note CDATA '\"q\" >'>\n"
        " <!ENTITY company \"Brenvik &#38;#38; > Co\">\n <!ENTITY % param \"ignored\">\n"
        " <!NOTATION png SYSTEM \"image/png\">\n <?dtd-pi data > more?>\n <!-- a comment with > and <tags> -->\n]>\n"};
    const char* const names[] = {"a", "Update", "UpdateInfo", "x:y", "名前", "値", "_u", "data-1", "q.r", "a.b-c_d"};
    const char* const attributes[] = {"", " k=\"v>1\"", " a='&quot;' b=\"&apos;\"", "\tc = '1'\n", " xmlns:x='urn:q'"};
    const char* const pieces[] = {"t", " spaced ", "a&amp;b", "&lt;x&gt;", "&#65;&#x1F600;&#20013;", "中文",
                                  "&quot;q&apos;", "line\r\nbreak\rend", "<![CDATA[<b>新</b> ]] > & ]]>",
                                  "<!-- c > -->", "<?pi z > w?>", "   "};
    int total = 0;
    for (int round = 0; round <= 80 && !testing::Test::HasFailure(); ++round) {
        std::string xml = prologs[pick(3)];
        std::function<void(int)> element = [&](int depth) {
            const std::string name = round == 80 ? "level" + std::to_string(depth % 7) : names[pick(10)];
            xml += "<" + name + attributes[pick(5)];
            if (round < 80 && (depth > 5 || (depth > 0 && pick(5) == 0))) {
                xml += pick(2) != 0 ? "/>" : " />";
                return;
            }
            xml += ">";
            const std::size_t items = round == 80 ? depth < 1000 : depth == 0 ? 4 + pick(6) : pick(5);
            for (std::size_t i = 0; i < items; ++i) {
                if (pick(3) == 0) xml += "\n  ";
                if (round == 80 || pick(2) == 0) element(depth + 1);
                else xml += pieces[pick(12)];
            }
            xml += "</" + name + (pick(4) == 0 ? " >" : ">");
        };
        element(0);
        xml += pick(2) != 0 ? "\n<!-- after the root -->\n" : "";
        total += Compare(xml, Utf8ToUtf16(xml));
        EXPECT_FALSE(testing::Test::HasFailure()) << xml.substr(0, 2000);
    }
    EXPECT_GT(total, 2000);
}
