// Markup: tokens and every truncation of every construct; the element table, its recovery rules and messages; the
// name search, element text and references. Every text and parse is also checked against markupcheck.
#include <gtest/gtest.h>

#include <memory>

#include "MarkupChecks.h"

namespace {

template <class Text>
Text Repeat(const Text& piece, std::size_t count) {
    Text out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// The elements under parent: tag word, "!" when never ended, a leaf's text, children: "r(p a! x('t'))".
std::string Tree(const MarkupDocument& doc, std::int32_t parent = 0) {
    std::string out;
    for (std::int32_t c = doc.FindNamedChild(parent, 0, u""); c != 0; c = doc.FindNamedChild(parent, c, u"")) {
        const ElementRecord& r = doc.Record(c);
        const bool unended = doc.EndTagLength(c) == 0 && doc.Text()[r.start + r.length - 2] != u'/';
        const std::string text = Utf16ToUtf8(doc.ElementText(c));
        out += (out.empty() ? "" : " ") + Utf16ToUtf8(doc.TagWord(c)) + (unended ? "!" : "") +
               (text.empty() ? "" : "'" + text + "'") + (r.firstChild != 0 ? "(" + Tree(doc, c) + ")" : "");
    }
    return out;
}

// "ok", "no" (well-formed elements, not one root) or "ill", the tree, the first message; or what broke.
std::string Parsed(const std::u16string& text, MarkupDocument* into = nullptr) {
    MarkupDocument own;
    MarkupDocument& doc = into != nullptr ? *into : own;
    const bool ok = doc.Parse(text);
    const std::string tree = Tree(doc), broken = markupcheck::Document(doc, ok);
    const char* result = ok ? "ok " : (doc.Record(0).flags & DOCUMENT_ILL_FORMED) != 0 ? "ill " : "no ";
    return !broken.empty() ? broken : result + tree + (ok ? "" : " / " + Utf16ToUtf8(doc.ErrorText()));
}

}  // namespace

TEST(Tokenizer, CutsTextIntoTokens) {
    const std::pair<const char16_t*, const char*> cases[] = {
        // Text runs: a ">" after the first non-white character ends one, ">" included.
        {u"  <a>", "ws(2) | start(3) a"}, {u"a>b", "text(2) | text(1)"}, {u">a>", "text(3)"},
        // Start tags: quoted values (only where expected) may hold ">"; "/>" after a value or space: an empty element.
        {u"<_x><:x><{x>", "start(4) _x | start(4) :x | start(4) {x"},
        {u"<a b ' >", "start(8) a"}, {u"<a b==\">\">", "start(8) a | text(2)"},
        {u"<a=\"x>y\">", "start(6) a=\"x | text(3)"},
        {u"<a b=''/><a b/><a/ >", "start(9)/ a | start(6) a | start(5) a"},
        // End tags: the name (in the cursor) runs to white space, "/" or ">"; no quotes.
        {u"</>", "end(3)"}, {u"</a/b x='>'>", "end(10) a | text(2)"},
        // Other markup ends at its own closing, past the opening ("<?>" at offset 0 is open).
        {u"<!--><![C]]>", "comment(5) | cdata(7)"},
        {u"<?>", "error(3) Processing instruction at offset 0 unterminated"},
        {u" <?>", "ws(1) | pi(3)"}, {u"<!ENTITY e \"a>b\"><?x?>", "decl(17) | pi(5) x?"},
        // DOCTYPE: an error item reaching ">" is forgotten, one meeting "<" ends it (named by the last ">").
        {u"<!DOCTYPE r [<x a='>'></x><1>]>", "decl(31)"}, {u"<!DOCTYPE r SYSTEM \"a>b\">", "decl(22) | text(3)"},
        {u"<!DOCTYPE r [<1 <a>", "error(16) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<!-- c --><1 <a>", "error(26) Incorrect tag name character at offset 22 | start(3) a"},
        // Malformed: an error token through the next ">" or up to the next "<", quoted values passed over.
        {u"<`a>", "error(4) Incorrect tag name character at offset 0"},
        {u"<<a>", "error(1) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<1 a==\"<", "error(7) Incorrect tag name character at offset 0 | error(1) tag at offset 7 unterminated"},
        {u"<![cdata[x]]>", "error(13) Incorrect tag at offset 0"},
        {u"<r>ab<1x>c<!-- d", "start(3) r | text(2) | error(4) Incorrect tag name character at offset 5 | text(1) | "
                              "error(6) Comment at offset 10 unterminated"},
        {u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a='1'>\n  <b/>x &amp; y<!--c--><![CDATA[z]]></r>",
         "pi(21) xml | ws(1) | decl(12) | ws(1) | start(9) r | ws(3) | start(4)/ b | text(9) | comment(8) | "
         "cdata(13) | end(4) r"},
    };
    for (const auto& [text, tokens] : cases) EXPECT_EQ(markupcheck::Tokens(text), tokens) << Utf16ToUtf8(text);
}

// Every proper prefix of a construct, after any lead, is one unterminated error token, named by its kind once known.
TEST(Tokenizer, EveryTruncationOfEveryConstruct) {
    const struct {
        const char16_t* text;
        const char* whole;   // the construct's own token
        std::size_t decided;  // prefix length from which the kind is known
        const char* what;
    } constructs[] = {
        {u"<a>", "start(3) a", 2, "Element tag"}, {u"<abc def='g>h' i=\"j\" k=l/>", "start(26) abc", 2, "Element tag"},
        {u"<\u540D x='\u503C'>", "start(9) 名", 2, "Element tag"}, {u"</abc >", "end(7) abc", 2, "Element end tag"},
        {u"<?xml version=\"1.0\" encoding='UTF-8'?>", "pi(38) xml", 2, "Processing instruction"},
        {u"<!-- a -- b -->", "comment(15)", 4, "Comment"}, {u"<![CDATA[ <a> ]] ]]>", "cdata(20)", 4, "CDATA Section"},
        {u"<!DOCTYPE r SYSTEM 'r.dtd' [ <!ENTITY e \"<>\"> <!ATTLIST r a CDATA '>'> <?p ?> <!-- -> --> <x y='>'/> ]>",
         "decl(103)", 3, "Doctype"},
        {u"<!ENTITY e '>\"'>", "decl(16)", 3, "Doctype"}, {u"<!ATTLIST a b CDATA \">'\">", "decl(25)", 3, "Doctype"},
        {u"<!NOTATION n PUBLIC 'p'>", "decl(24)", 3, "Doctype"},
        {u"<!bad>", "error(6) Incorrect ! tag at offset 0", 1, "tag"},
        {u"<1bad x='>'>", "error(12) Incorrect tag name character at offset 0", 1, "tag"},
    };
    for (const auto& c : constructs) {
        const std::u16string whole = c.text;
        EXPECT_EQ(markupcheck::Tokens(whole), c.whole);
        for (const std::u16string lead : {u"", u"<r>\n", u"text", u"       "}) {
            const std::string before = lead.empty() ? "" : markupcheck::Tokens(lead) + " | ";
            for (std::size_t n = 1; n < whole.size(); ++n)
                ASSERT_EQ(markupcheck::Tokens(lead + whole.substr(0, n)),
                          before + "error(" + std::to_string(n) + ") " + (n < c.decided ? "tag" : c.what) +
                              " at offset " + std::to_string(lead.size()) + " unterminated")
                    << Utf16ToUtf8(lead + whole.substr(0, n));
        }
    }
}

// Recovery: an end tag closes the innermost open element of its name (which may go on with one of " =[]"), elements
// left open inside end with their start tags, their children moving up; a stray end tag closes nothing; the text's
// end (or a NUL) closes all. The first element-level message is kept unless a document-level one replaces it.
TEST(MarkupDocument, TablesAndMessages) {
    const std::size_t n = 100000;
    const std::string brs = Repeat(std::string("br! "), n - 1) + "br!";
    const std::pair<std::u16string, std::string> cases[] = {
        {u"<r a='1'><b>x</b><c/>\n<d></d ></r>", "ok r(b'x' c d)"}, {u"<a[1]>x</a[1]>", "ok a[1]'x'"},
        {u"<?xml version='1.0'?>\n<!DOCTYPE a>\n<!-- c --><a>x</a>\n<!-- after -->\n", "ok a'x'"},
        {u"<a=b>x</a>", "ok a'x'"}, {u"<a]>x</a>", "ok a]'x'"}, {u"<r><a/><b>x</b></r>", "ok r(a b'x')"},
        {u"", "no  / Empty document"}, {u"<!-- c --><?pi?> \r\n\t", "no  / No root element"},
        {u"<a></a>text<b/>", "no a b / Root element has sibling"}, {std::u16string(u"<a/>\0<b/>", 9), "ok a"},
        {u"<a><b></a>", "ill a(b!) / End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
        {u"<a><b><c></a>", "ill a(b! c!) / End tag 'a' at offset 10 does not match start tag 'c' at offset 6"},
        {u"<r><p/><a><x><y/></x><z/><w/></r>",
         "ill r(p a! x(y) z w) / End tag 'r' at offset 30 does not match start tag 'a' at offset 7"},
        {u"<r><a><b><x/></r>", "ill r(a! b! x) / End tag 'r' at offset 14 does not match start tag 'b' at offset 6"},
        {u"<a></b></a>", "ill a / No start tag for end tag 'b' at offset 3"},
        {u"<a></A>", "ill a! / No start tag for end tag 'A' at offset 3"},
        {u"<ab>x</a></ab>", "ill ab'x' / No start tag for end tag 'a' at offset 5"},
        {u"<a>x</ab></a>", "ill a'x' / No start tag for end tag 'ab' at offset 4"},
        {u"<a></></a>", "ill a / No start tag for end tag '' at offset 3"},
        {u"<a[1]>x</a[>", "ill a[1]! / No start tag for end tag 'a[' at offset 7"},
        {u"<a>x</a[1]>", "ill a! / No start tag for end tag 'a[1]' at offset 4"},
        {u"<a>", "ill a! / Element 'a' at offset 0 not ended"},
        {u"<a>x<1y</a>", "ill a'x' / Incorrect tag name character at offset 4"},
        {u"<a></b><1><c></a>", "ill a(c!) / No start tag for end tag 'b' at offset 3"},
        {u"</a>", "ill  / No root element"}, {u"<a>x<b/>", "ill a! b / Root element has sibling"},
        {u"<r><a><x/>", "ill r! a! x / Root element has sibling"},
        {u"<a></a></b><c/>", "ill a c / Root element has sibling"},
        {u"<a>x<!-- c -->y<?pi y?>z</a>", "ok a'xyz'"}, {u"<a> <![CDATA[&lt;]]> </a>", "ok a'&lt;'"},
        {u"<a>1<![CDATA[<2>]]>3&lt;4</a>", "ok a'1<2>3<4'"}, {u"<a>x > y<!---->&gt;</a>", "ok a'x > y>'"},
        {u"<a>line1\r\n line2</a>", "ok a'line1\r\n line2'"}, {u"<a>x<b/>y</a>", "ok a(b)"},
        {u"<a><![C]]><![CDATA[]]><![Cabcdefgh]]></a>", "ok a'fgh'"},
        {u"<a>&#65;&#x42;&#X43;&#0;&#;&#x;&#65</a>", "ok a'AB&#X43;&#0;&#;&#x;&#65'"},
        {u"<a>&#12345678;&#65 ;&# 65;&#+66;&#65abc;&#x0x41;&#x00041;&#0065;</a>", "ok a'&#12345678;AABAAAA'"},
        {u"<a>&#abc;&#x20AC;&#8364;&nbsp;&LT;&lt&amp;amp;&&lt;a&b &quot;&apos;</a>",
         "ok a'&#abc;€€&nbsp;&LT;&lt&amp;&<a&b \"''"},
        {u"<a>&#x1F600;&#128512;&#x10FFFF;&#x110000;&#1234567;&#-65;&#x-1;</a>",
         "ok a'😀😀\U0010FFFF\uFFFD\uFFFD\uFFFD\uFFFD'"},
        // Long runs of recovery take time in proportion to their length.
        {u"<r><p>" + Repeat(std::u16string(u"<br>x"), n) + u"</p>" + Repeat(std::u16string(u"<br>"), n) + u"</r>",
         "ill r(p(" + brs + ") " + brs + ") / End tag 'p' at offset " + std::to_string(7 + 5 * n) +
             " does not match start tag 'br' at offset " + std::to_string(1 + 5 * n)},
        {u"<r>" + Repeat(std::u16string(u"<a>"), n) + Repeat(std::u16string(u"</b>"), n) + u"</r>",
         "ill r(" + Repeat(std::string("a! "), n - 1) + "a!) / No start tag for end tag 'b' at offset " +
             std::to_string(3 + 3 * n)},
        // Start tags under 1,048,576 code units, end tags under 512: longer ones make or close nothing.
        {u"<r><a" + std::u16string(1048572, u' ') + u">x</a></r>", "ok r(a'x')"},
        {u"<r><a v='" + std::u16string((1 << 20) - 8, u'v') + u"'>x</a><b>y</b></r>",
         "ill r(b'y') / Element tag at offset 3 too long"},
        {u"<r><a v='" + std::u16string((1 << 23) - 5, u'v') + u"'/><b>y</b></r>",
         "ill r(b'y') / Element tag at offset 3 too long"},
        {u"<r><a>x</a" + std::u16string(507, u' ') + u"></r>", "ok r(a'x')"},
        {u"<r><a>x</a" + std::u16string(508, u' ') + u"></r>", "ill r(a!) / Element end tag at offset 7 too long"},
        {u"<r><a>x</a" + std::u16string(1 << 20, u' ') + u"></r>", "ill r(a!) / Element end tag at offset 7 too long"},
    };
    for (const auto& [text, result] : cases) EXPECT_EQ(Parsed(text), result) << Utf16ToUtf8(text.substr(0, 100));
    // Deep stray end tags are found not open without a walk (names cut at "=[]" as the match cuts them).
    const std::u16string b70 = Repeat(std::u16string(u"<b>"), 70);
    const std::pair<std::u16string, bool> closes[] = {
        {u"</a>", true}, {u"</a[1>", true}, {u"</a[2]>", false}, {u"</c>", false}};
    for (const auto& [close, closesA] : closes) {
        MarkupDocument doc;
        EXPECT_EQ(Parsed(u"<r>" + b70 + u"<a[1]>" + b70 + u"</x>" + close + u"</r>", &doc).substr(0, 4), "ill ");
        EXPECT_EQ(doc.ErrorText(), u"No start tag for end tag 'x' at offset 429");
        EXPECT_EQ(doc.EndTagLength(72), closesA ? static_cast<std::int32_t>(close.size()) : 0) << Utf16ToUtf8(close);
    }
    // Every prefix of a document keeps every invariant; only the whole is well formed.
    const std::u16string text =
        u"<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"v\">]>\n<r a='x>y'>\n"
        u"<Update><OldVer>1.0</OldVer><NewVer> 2.0 </NewVer><NetUrl>http://a/b?c=1&amp;d=2</NetUrl>"
        u"<UpdateInfo><![CDATA[<b>notes</b>]]></UpdateInfo><!-- c --><IsUpdate>1</IsUpdate></Update><x/><y></y></r>";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const std::string result = Parsed(text.substr(0, n));
        ASSERT_TRUE(result.find("BROKEN") == std::string::npos && (result.rfind("ok ", 0) == 0) == (n == text.size()))
            << n << " " << result;
    }
}

// A name matches a tag word (up to white space or one of "<>=\/?!") that starts it and ends it or one of " =/[]".
TEST(MarkupDocument, NamesMatchWholeTagWords) {
    const std::tuple<const char16_t*, const char16_t*, bool> cases[] = {
        {u"Update", u"Update", true}, {u"Update", u"Up", false}, {u"UpdateInfo", u"Update", false},
        {u"update", u"Update", false}, {u"Update a=\"1\"", u"Update", true}, {u"a", u"a[1]", true},
        {u"a", u"a b", true}, {u"a", u"a=x", true}, {u"a", u"a/b", true}, {u"a", u"a]", true}, {u"a", u"ab", false},
        {u"a", u"a.b", false}, {u"a=b", u"a", true}, {u"a[1]", u"a[1]", true}, {u"a[1]", u"a", false},
        {u"a?b", u"a", true}, {u"a!b", u"a", true}, {u"a\\b", u"a", true}, {u"a<b", u"a", true}, {u"名字", u"名", false},
    };
    MarkupDocument doc;
    for (const auto& [tag, name, found] : cases) {
        doc.Parse(u"<r><" + std::u16string(tag) + u"/></r>");
        EXPECT_EQ(doc.FindNamedChild(1, 0, name) == 2, found) << Utf16ToUtf8(tag) << " / " << Utf16ToUtf8(name);
    }
    EXPECT_EQ(doc.TagWord(-1) + doc.TagWord(3) + doc.ElementText(-1) + doc.ElementText(3), u"");
    doc.LeaveElement(), doc.EnterChild();  // at the top, before any search: nothing moves
    EXPECT_TRUE(doc.ParentIndex() + doc.CurrentIndex() == 0 && doc.TableBytes() >= 8 * sizeof(ElementRecord));
    EXPECT_EQ(doc.FindNamedChild(-5, 0, u"a") + doc.FindNamedChild(1, 77, u"a") + doc.FindNamedChild(1, 2, u""), 0);
}

// Decoding part of the text may read a numeric reference past the length (up to a NUL), never makes it longer;
// other buffers are read only within their length (AddressSanitizer would see).
TEST(MarkupDocument, DecodingAPartOfTheText) {
    const std::tuple<std::u16string, std::size_t, std::int32_t, const char16_t*> cases[] = {
        {u"x&#65;yz", 1, 2, u"A"}, {u"x&#65;yz", 1, 1, u"A"}, {u"x&lt;yz", 1, 3, u"&lt"}, {u"&#x1F600;", 0, 1, u"�"},
        {u"&#x1F600;", 0, 2, u"😀"}, {u"&#65536;", 0, 1, u"\uFFFD"}, {u"&#", 0, 2, u"&#"}, {u"&#x", 0, 3, u"&#x"},
        {u"&#x4", 0, 4, u"&#x4"}, {u"abc", 0, 5, u"abc"}, {std::u16string(u"&#65\0;", 6), 0, 4, u"&#65"},
    };
    MarkupDocument doc;
    for (const auto& [text, from, length, expected] : cases) {
        doc.Parse(text);
        EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str() + from, length), expected) << Utf16ToUtf8(text) << " " << from;
    }
    const std::u16string source = u"&#65;&";
    for (std::size_t n = 1; n <= source.size(); ++n) {
        const std::unique_ptr<char16_t[]> chars(new char16_t[n]);
        source.copy(chars.get(), n);
        EXPECT_EQ(doc.DecodeEntities(chars.get(), static_cast<std::int32_t>(n)),
                  n >= 5 ? u"A" + source.substr(5, n - 5) : source.substr(0, n));
    }
    EXPECT_EQ(doc.DecodeEntities(nullptr, 5) + doc.DecodeEntities(u"abc", 0) + doc.DecodeEntities(u"abc", -1), u"");
}
