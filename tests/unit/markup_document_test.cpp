// Markup document: the element table and its recovery rules for malformed
// markup, the first message, tags too long for the table, growth, the
// navigation position, element text and character references.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "MarkupChecks.h"

namespace {

template <class Text>
Text Repeat(const Text& piece, std::size_t count) {
    Text out;
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// The elements under parent: tag words, "!" after an element that was never
// ended, children in parentheses: "r(p a! x(y))".
std::string Tree(const MarkupDocument& doc, std::int32_t parent = 0) {
    std::string out;
    for (std::int32_t c = doc.FindNamedChild(parent, 0, u""); c != 0; c = doc.FindNamedChild(parent, c, u"")) {
        const ElementRecord& r = doc.Record(c);
        const bool unended = doc.EndTagLength(c) == 0 && doc.Text()[r.start + r.length - 2] != u'/';
        out += (out.empty() ? "" : " ") + Utf16ToUtf8(doc.TagWord(c)) + (unended ? "!" : "");
        if (r.firstChild != 0) out += "(" + Tree(doc, c) + ")";
    }
    return out;
}

// Parses text, checks every invariant of the table and its navigation, and
// describes the result.
std::string Parsed(MarkupDocument& doc, const std::u16string& text) {
    const bool ok = doc.Parse(text);
    const std::string broken = markupcheck::Table(doc, ok);
    if (!broken.empty()) return broken;
    const std::string tree = Tree(doc), lost = markupcheck::Navigation(doc);
    if (!lost.empty()) return lost;
    const bool ill = (doc.Record(0).flags & DOCUMENT_ILL_FORMED) != 0;
    return std::string(ok ? "ok" : ill ? "ill" : "no") + " " + tree +
           (doc.ErrorText().empty() ? "" : " / " + Utf16ToUtf8(doc.ErrorText()));
}

std::string Parsed(const std::u16string& text) {
    MarkupDocument doc;
    return Parsed(doc, text);
}

}  // namespace

struct DocumentCase {
    const char16_t* text;
    const char* result;  // "ok", "no" (well-formed elements but not one root), "ill"; tree; first message
};

class Document : public testing::TestWithParam<DocumentCase> {};

TEST_P(Document, BuildsThisTableAndMessage) {
    EXPECT_EQ(Parsed(GetParam().text), GetParam().result) << Utf16ToUtf8(GetParam().text);
}

// Well formed, or not one root element; end tags close names that go on
// with one of " =[]" after the end tag's name.
INSTANTIATE_TEST_SUITE_P(Result, Document, testing::Values(
    DocumentCase{u"<a></a>", "ok a"}, DocumentCase{u"<r a='1'><b>x</b><c/>\n<d></d ></r>", "ok r(b c d)"},
    DocumentCase{u"<?xml version='1.0'?>\n<!DOCTYPE a>\n<!-- c --><a>x</a>\n<!-- after -->\n", "ok a"},
    DocumentCase{u"<a[1]>x</a>", "ok a[1]"}, DocumentCase{u"<a=b>x</a>", "ok a"}, DocumentCase{u"<a]>x</a>", "ok a]"},
    DocumentCase{u"<a[1]>x</a[1]>", "ok a[1]"}, DocumentCase{u"<r><a/><b>x</b></r>", "ok r(a b)"},
    DocumentCase{u"", "no  / Empty document"}, DocumentCase{u"  \r\n\t", "no  / No root element"},
    DocumentCase{u"<!-- c --><?pi?>", "no  / No root element"}, DocumentCase{u"just text", "no  / No root element"},
    DocumentCase{u"<a/><b/>", "no a b / Root element has sibling"},
    DocumentCase{u"<a></a>text<b></b>", "no a b / Root element has sibling"}));

// Recovery: an end tag closes the innermost open element of its name, and
// the elements left open inside it end with their start tags, their children
// moving up after them; a stray end tag closes nothing; the end of the text
// closes everything. Only the first element-level message is kept, and a
// document-level one replaces it.
INSTANTIATE_TEST_SUITE_P(Recovery, Document, testing::Values(
    DocumentCase{u"<a><b></a>", "ill a(b!) / End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
    DocumentCase{u"<a><b><c></a>", "ill a(b! c!) / End tag 'a' at offset 10 does not match start tag 'c' at offset 6"},
    DocumentCase{u"<a><b><c/></a>", "ill a(b! c) / End tag 'a' at offset 11 does not match start tag 'b' at offset 3"},
    DocumentCase{u"<r><p/><a><x><y/></x><z/><w/></r>",
                 "ill r(p a! x(y) z w) / End tag 'r' at offset 30 does not match start tag 'a' at offset 7"},
    DocumentCase{u"<r><a><b><x/></r>", "ill r(a! b! x) / End tag 'r' at offset 14 does not match start tag 'b' at offset 6"},
    DocumentCase{u"<a></b></a>", "ill a / No start tag for end tag 'b' at offset 3"},
    DocumentCase{u"<a></A>", "ill a! / No start tag for end tag 'A' at offset 3"},
    DocumentCase{u"<ab>x</a></ab>", "ill ab / No start tag for end tag 'a' at offset 5"},
    DocumentCase{u"<a>x</ab></a>", "ill a / No start tag for end tag 'ab' at offset 4"},
    DocumentCase{u"<a></></a>", "ill a / No start tag for end tag '' at offset 3"},
    DocumentCase{u"<a[1]>x</a[>", "ill a[1]! / No start tag for end tag 'a[' at offset 7"},
    DocumentCase{u"<a.b>x</a>", "ill a.b! / No start tag for end tag 'a' at offset 6"},
    DocumentCase{u"<a>x</a[1]>", "ill a! / No start tag for end tag 'a[1]' at offset 4"},
    DocumentCase{u"<a>", "ill a! / Element 'a' at offset 0 not ended"},
    DocumentCase{u"<a><1></a>", "ill a / Incorrect tag name character at offset 3"},
    DocumentCase{u"<a><!-- x</a>", "ill a! / Comment at offset 3 unterminated"},
    DocumentCase{u"<a></a", "ill a! / Element end tag at offset 3 unterminated"},
    DocumentCase{u"<a></b></c></a>", "ill a / No start tag for end tag 'b' at offset 3"},
    DocumentCase{u"<a><1><b></a>", "ill a(b!) / Incorrect tag name character at offset 3"},
    DocumentCase{u"</a>", "ill  / No root element"}, DocumentCase{u"<a>x<b/>", "ill a! b / Root element has sibling"},
    DocumentCase{u"<r><a><x/>", "ill r! a! x / Root element has sibling"},
    DocumentCase{u"<a></a></b><c/>", "ill a c / Root element has sibling"}));

TEST(DocumentText, EndsAtTheFirstNulAndKeepsItsOwnCopy) {
    MarkupDocument doc;
    std::u16string text(u"<a/>\0<b/>", 9);
    EXPECT_EQ(Parsed(doc, text), "ok a");
    text[1] = u'x';
    EXPECT_EQ(doc.Text(), std::u16string(u"<a/>\0<b/>", 9));
    EXPECT_EQ(Parsed(doc, u"<r>"), "ill r! / Element 'r' at offset 0 not ended");
}

// Recovery costs time in proportion to the text: a long run of unended
// elements, and stray end tags deep in the stack (found not open without a
// walk, names cut at "=[]" the way the end-tag match cuts them).
TEST(DocumentText, LongRunsOfRecoveryTakeLinearTime) {
    const std::size_t count = 100000;
    const std::string brs = Repeat(std::string("br! "), count - 1) + "br!";
    EXPECT_EQ(Parsed(u"<r><p>" + Repeat(std::u16string(u"<br>x"), count) + u"</p>" + Repeat(std::u16string(u"<br>"), count) +
                     u"</r>"),
              "ill r(p(" + brs + ") " + brs + ") / End tag 'p' at offset " + std::to_string(7 + 5 * count) +
                  " does not match start tag 'br' at offset " + std::to_string(1 + 5 * count));
    EXPECT_EQ(Parsed(u"<r>" + Repeat(std::u16string(u"<a>"), count) + Repeat(std::u16string(u"</b>"), count) + u"</r>"),
              "ill r(" + Repeat(std::string("a! "), count - 1) + "a!) / No start tag for end tag 'b' at offset " +
                  std::to_string(3 + 3 * count));
    const struct {
        const char16_t* close;
        bool closesA;
    } cases[] = {{u"</a>", true}, {u"</a[1]>", true}, {u"</a[1>", true}, {u"</a[2]>", false}, {u"</a=>", false}, {u"</c>", false}};
    for (const auto& c : cases) {
        // 70 b, a[1], 70 more b, then a stray </x> that looks past depth 142.
        const std::u16string b70 = Repeat(std::u16string(u"<b>"), 70);
        MarkupDocument doc;
        EXPECT_EQ(Parsed(doc, u"<r>" + b70 + u"<a[1]>" + b70 + u"</x>" + c.close + u"</r>").substr(0, 4), "ill ");
        EXPECT_EQ(doc.ErrorText(), u"No start tag for end tag 'x' at offset 429");
        EXPECT_EQ(doc.EndTagLength(72), c.closesA ? static_cast<std::int32_t>(std::u16string(c.close).size()) : 0)
            << Utf16ToUtf8(c.close);
    }
}

TEST(DocumentText, DeepNestingEndedAndLeftOpen) {
    // The stack of open tags grows at 6, 18, 42 and 90 levels.
    for (std::size_t depth : {1, 5, 6, 7, 17, 18, 19, 41, 42, 43, 90, 91, 1000}) {
        std::u16string open, close;
        for (std::size_t i = 0; i < depth; ++i) {
            open += u"<e" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u">";
            close = u"</e" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u">" + close;
        }
        MarkupDocument doc;
        EXPECT_EQ(Parsed(doc, open + u"t" + close).substr(0, 3), "ok ") << depth;
        EXPECT_EQ(doc.ElementText(static_cast<std::int32_t>(depth)), u"t");
        for (std::int32_t i = 1; i <= static_cast<std::int32_t>(depth); ++i)
            ASSERT_EQ(doc.Record(i).parent, static_cast<std::uint32_t>(i - 1));
        EXPECT_FALSE(doc.Parse(open));
        EXPECT_EQ(markupcheck::Table(doc, false), "");
        EXPECT_EQ(Tree(doc).size(), 4 * depth - 1);  // every element at the top level, unended
    }
}

// The packed table holds a start tag under 1,048,576 code units and an end
// tag under 512; a longer start tag makes no element, a longer end tag
// closes nothing.
TEST(DocumentText, TagsTooLongForTheTable) {
    const struct {
        std::u16string text;
        const char* result;
        const char16_t* secondText;  // of element 2
    } cases[] = {
        {u"<r><a" + std::u16string(1048572, u' ') + u">x</a></r>", "ok r(a)", u"x"},
        {u"<r><a v='" + std::u16string((1 << 20) - 8, u'v') + u"'>x</a><b>y</b></r>",
         "ill r(b) / Element tag at offset 3 too long", u"y"},
        {u"<r><a v='" + std::u16string((1 << 22) - 5, u'v') + u"'>x</a><b>y</b></r>",
         "ill r(b) / Element tag at offset 3 too long", u"y"},
        {u"<r><a" + std::u16string((1 << 20) - 4, u' ') + u"/></r>", "ill r / Element tag at offset 3 too long", u""},
        {u"<r><a>x</a" + std::u16string(507, u' ') + u"></r>", "ok r(a)", u"x"},
        {u"<r><a>x</a" + std::u16string(508, u' ') + u"></r>", "ill r(a!) / Element end tag at offset 7 too long", u""},
        {u"<r><a>x</a" + std::u16string(1 << 20, u' ') + u"></r>", "ill r(a!) / Element end tag at offset 7 too long", u""},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        EXPECT_EQ(Parsed(doc, c.text), c.result) << c.text.size();
        EXPECT_EQ(doc.ElementText(2), c.secondText) << c.text.size();
    }
}

// The table starts at a 64th of the text's length plus 8 records, grows by
// half of those in use, one block of 65,536 at a time, never shrinks, and
// records never move: an index names the same element across block edges.
TEST(DocumentText, TableGrowth) {
    const struct {
        std::size_t elements, filler;
        std::int32_t capacity;
    } cases[] = {{0, 1993, 39}, {20, 0, 28}, {69999, 0, 74877}, {0, 10000000 - 7, 156258}};
    for (const auto& c : cases) {
        MarkupDocument doc;
        ASSERT_TRUE(doc.Parse(u"<r>" + Repeat(std::u16string(u"<a/>"), c.elements) + std::u16string(c.filler, u'x') + u"</r>"));
        EXPECT_EQ(doc.Capacity(), c.capacity);
        EXPECT_EQ(doc.TableBytes(), c.capacity * sizeof(ElementRecord) + 4 * sizeof(ElementRecord*));
        for (std::int32_t i = 2; i < doc.UsedCount(); ++i) ASSERT_EQ(doc.Record(i).start, 3u + 4u * (i - 2)) << i;
        EXPECT_EQ(markupcheck::Table(doc, true), "");
        ASSERT_TRUE(doc.Parse(u"<a/>"));
        EXPECT_EQ(doc.Capacity(), c.capacity);
    }
}

TEST(DocumentText, EveryPrefixOfADocumentKeepsTheTableConsistent) {
    const std::u16string text =
        u"<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"v\">]>\n<r a='x>y'>\n"
        u"<Update><OldVer>1.0</OldVer><NewVer> 2.0 </NewVer><NetUrl>http://a/b?c=1&amp;d=2</NetUrl>"
        u"<UpdateInfo><![CDATA[<b>notes</b>]]></UpdateInfo><!-- c --><IsUpdate>1</IsUpdate></Update>"
        u"<x/><y></y><z a=\"1\"/></r>";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        MarkupDocument doc;
        const bool ok = doc.Parse(text.substr(0, n));
        ASSERT_EQ(markupcheck::Table(doc, ok), "") << n;
        ASSERT_EQ(ok, n == text.size()) << n;
    }
}

// Navigation, as a script: "+name" FindChild (the result, then the
// position parent,current,child), ">" EnterChild, "<" LeaveElement, "=" the
// child's text. The search moves forward only; an empty name takes the next
// child; only the first top-level element is walked.
TEST(DocumentNavigation, Scripts) {
    const struct {
        const char16_t* text;
        const char* script;
        const char* trace;
    } cases[] = {
        {u"<r><Update/><x/><Update><OldVer>1</OldVer></Update></r>", "+Update > +OldVer < +Update > +OldVer = < +Update",
         "2@0,1,2 1,2,0 0@1,2,0 0,1,2 4@0,1,4 1,4,0 5@1,4,5 '1' 0,1,4 0@0,1,4"},
        {u"<r><b/><c/></r>", "+c +b + +", "3@0,1,3 0@0,1,3 0@0,1,3 0@0,1,3"},
        {u"<r><b/><c/></r>", "+ + +", "2@0,1,2 3@0,1,3 0@0,1,3"},
        {u"<r><a><b/></a></r>", "< > +a > +b > +x < < <",
         "0,0,0 0,0,0 2@0,1,2 1,2,0 3@1,2,3 2,3,0 0@2,3,0 1,2,3 0,1,2 0,1,2"},
        {u"<r><a><b/><c/></a></r>", "+a > > +c", "2@0,1,2 1,2,0 2,0,0 0@2,3,0"},
        {u"<a><Update/></a><b><Update/></b>", "+Update +Update", "2@0,1,2 0@0,1,2"},
        {u"no markup", "+Update > < =", "0@0,0,0 0,0,0 0,0,0 ''"},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        doc.Parse(c.text);
        std::string trace;
        for (std::size_t at = 0, next; at < std::strlen(c.script); at = next + 1) {
            next = std::string(c.script).find(' ', at);
            if (next == std::string::npos) next = std::strlen(c.script);
            const std::string step(c.script + at, c.script + next);
            if (step[0] == '+') trace += std::to_string(doc.FindChild(Utf8ToUtf16(step.substr(1)))) + "@";
            if (step == ">") doc.EnterChild();
            if (step == "<") doc.LeaveElement();
            if (step == "=") trace += "'" + Utf16ToUtf8(doc.ChildText()) + "' ";
            else trace += std::to_string(doc.ParentIndex()) + "," + std::to_string(doc.CurrentIndex()) + "," +
                          std::to_string(doc.ChildIndex()) + " ";
        }
        EXPECT_EQ(trace, std::string(c.trace) + " ") << Utf16ToUtf8(c.text);
    }
}

// A name matches a tag word (up to white space or one of "<>=\/?!") that is
// its start, when the name ends there or goes on with one of " =/[]".
TEST(DocumentNavigation, NamesMatchWholeTagWords) {
    const struct {
        const char16_t* tag;
        const char16_t* name;
        bool found;
    } cases[] = {
        {u"Update", u"Update", true}, {u"Update", u"Up", false}, {u"UpdateInfo", u"Update", false},
        {u"Updat", u"Update", false}, {u"update", u"Update", false}, {u"Update a=\"1\"", u"Update", true},
        {u"Update\n", u"Update", true}, {u"a", u"a[1]", true}, {u"a", u"a b", true}, {u"a", u"a=x", true},
        {u"a", u"a/b", true}, {u"a", u"a]", true}, {u"a", u"ab", false}, {u"a", u"a.b", false},
        {u"a=b", u"a", true}, {u"a=b", u"a=b", true}, {u"a[1]", u"a[1]", true}, {u"a[1]", u"a", false},
        {u"a?b", u"a", true}, {u"a!b", u"a", true}, {u"a\\b", u"a", true}, {u"a<b", u"a", true},
        {u"\u540D\u5B57", u"\u540D\u5B57", true}, {u"\u540D\u5B57", u"\u540D", false},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        doc.Parse(u"<r><" + std::u16string(c.tag) + u"/></r>");
        EXPECT_EQ(doc.FindNamedChild(1, 0, c.name) == 2, c.found) << Utf16ToUtf8(c.tag) << " / " << Utf16ToUtf8(c.name);
    }
    MarkupDocument doc;
    doc.Parse(u"<r><a/></r>");
    for (std::int32_t bad : {-1, 0, 3, 99}) EXPECT_EQ(doc.TagWord(bad), u"");
    EXPECT_EQ(doc.FindNamedChild(-5, 0, u"a") + doc.FindNamedChild(1, 77, u"a") + doc.FindNamedChild(1, 2, u"a"), 0);
    EXPECT_EQ(doc.ElementText(-1) + doc.ElementText(0) + doc.ElementText(3), u"");
}

// Element text: text and CDATA of an element without child elements, with
// references decoded in text and comments and instructions dropped.
// References: the five named ones and numeric ones (the ";" within eight
// units of the digits, read as wcstol reads them), above U+FFFF as a pair,
// no character as U+FFFD.
TEST(DocumentNavigation, ElementText) {
    const struct {
        const char16_t* text;
        const char16_t* expected;
    } cases[] = {
        {u"<a> 2.0 </a>", u" 2.0 "}, {u"<a>x<!-- c -->y<?pi y?>z</a>", u"xyz"}, {u"<a> <![CDATA[&lt;]]> </a>", u"&lt;"},
        {u"<a>1<![CDATA[<2>]]>3&lt;4</a>", u"1<2>3<4"}, {u"<a>x > y<!---->&gt;</a>", u"x > y>"},
        {u"<a>line1\r\n line2</a>", u"line1\r\n line2"}, {u"<a></a>", u""}, {u"<a/>", u""}, {u"<a><b>t</b></a>", u""},
        {u"<a>x<b/>y</a>", u""}, {u"<a>x", u""}, {u"<a><b>x</a>", u""}, {u"<a><![C]]></a>", u""},
        {u"<a><![CDATA[]]></a>", u""}, {u"<a><![Cabcdefgh]]></a>", u"fgh"}, {u"<a>x<1y</a>", u"x"},
        {u"<a>a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;</a>", u"a <b> & \"c\" 'd'"},
        {u"<a>&#65;&#x42;&#X43;&#0;&#;&#x;&#65</a>", u"AB&#X43;&#0;&#;&#x;&#65"},
        {u"<a>&#12345678;&#65 ;&# 65;&#+66;&#65abc;&#x0x41;&#x00041;&#0065;</a>", u"&#12345678;AABAAAA"},
        {u"<a>&#abc;&#xFFFF;&#x20AC;&#8364;&nbsp;&LT;&lt&amp;amp;&&lt;a&b</a>", u"&#abc;\uFFFF\u20AC\u20AC&nbsp;&LT;&lt&amp;&<a&b"},
        {u"<a>&#x1F600;&#128512;&#x10000;&#x10FFFF;&#1114111;</a>", u"\U0001F600\U0001F600\U00010000\U0010FFFF\U0010FFFF"},
        {u"<a>&#x110000;&#1234567;&#xFFFFFFF;&#-65;&#x-1;&#xD800;</a>", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\xD800"},
        {u"<a>\u4E2D&lt;\u6587 &#x1F600;</a>", u"\u4E2D<\u6587 \U0001F600"},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        doc.Parse(c.text);
        EXPECT_EQ(doc.ElementText(1), c.expected) << Utf16ToUtf8(c.text);
    }
}

// DecodeEntities on a part of the document text may read a numeric
// reference past the length up to the end of the text (not past a NUL);
// named references must lie wholly inside; the result is never longer.
TEST(DocumentNavigation, DecodingAPartOfTheText) {
    const struct {
        const char16_t* text;
        std::size_t from, length;
        const char16_t* expected;
    } cases[] = {
        {u"x&#65;yz", 1, 2, u"A"}, {u"x&#65;yz", 1, 1, u"A"}, {u"x&lt;yz", 1, 3, u"&lt"}, {u"&#x1F600;", 0, 1, u"\uFFFD"},
        {u"&#x1F600;", 0, 2, u"\U0001F600"}, {u"&#65536;", 0, 1, u"\uFFFD"}, {u"&#", 0, 2, u"&#"}, {u"&#x", 0, 3, u"&#x"},
        {u"&#65", 0, 4, u"&#65"}, {u"&#x4", 0, 4, u"&#x4"}, {u"&", 0, 1, u"&"}, {u"abc", 0, 5, u"abc"},
    };
    for (const auto& c : cases) {
        MarkupDocument doc;
        doc.Parse(c.text);
        EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str() + c.from, static_cast<std::int32_t>(c.length)), c.expected)
            << Utf16ToUtf8(c.text) << " " << c.from << "+" << c.length;
    }
    MarkupDocument doc;
    doc.Parse(std::u16string(u"&#65\0;", 6));
    EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str(), 4), u"&#65");
    // Any other buffer is read only within its length (a read past it is
    // caught by AddressSanitizer in the native build).
    const std::u16string source = u"&#65;&";
    for (std::size_t n = 1; n <= source.size(); ++n) {
        std::unique_ptr<char16_t[]> chars(new char16_t[n]);
        source.copy(chars.get(), n);
        EXPECT_EQ(doc.DecodeEntities(chars.get(), static_cast<std::int32_t>(n)),
                  n >= 5 ? u"A" + source.substr(5, n - 5) : source.substr(0, n));
    }
    EXPECT_EQ(doc.DecodeEntities(nullptr, 5) + doc.DecodeEntities(u"abc", 0) + doc.DecodeEntities(u"abc", -1), u"");
}
