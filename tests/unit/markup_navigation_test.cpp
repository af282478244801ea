// Markup navigation: the three-level position, child search by name, element
// text and character references.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MarkupDocument.h"

namespace {

std::string Show(const std::u16string& s) {
    std::string out;
    for (char16_t c : s.substr(0, 200)) out += c < 0x80 && c >= 0x20 ? static_cast<char>(c) : '?';
    return out;
}

struct Position {
    std::int32_t parent, current, child;
    bool operator==(const Position& o) const { return parent == o.parent && current == o.current && child == o.child; }
};

std::ostream& operator<<(std::ostream& os, const Position& p) {
    return os << "{" << p.parent << ", " << p.current << ", " << p.child << "}";
}

Position At(const MarkupDocument& doc) {
    return {doc.ParentIndex(), doc.CurrentIndex(), doc.ChildIndex()};
}

// The text of the only element of a document.
std::u16string TextOf(const std::u16string& text) {
    MarkupDocument doc;
    doc.Parse(text);
    return doc.ElementText(1);
}

std::u16string Decode(const std::u16string& chars) {
    MarkupDocument doc;
    return doc.DecodeEntities(chars.c_str(), static_cast<std::int32_t>(chars.size()));
}

}  // namespace

TEST(MarkupNavigation, ManifestWalk) {
    // r=1, Update=2, x=3, Update=4, OldVer=5
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><Update/><x/><Update><OldVer>1</OldVer></Update></r>"));
    EXPECT_EQ(At(doc), (Position{0, 0, 0}));
    EXPECT_EQ(doc.FindChild(u"Update"), 2);
    EXPECT_EQ(At(doc), (Position{0, 1, 2}));
    doc.EnterChild();
    EXPECT_EQ(At(doc), (Position{1, 2, 0}));
    EXPECT_EQ(doc.FindChild(u"OldVer"), 0);  // the empty Update has no children
    EXPECT_EQ(At(doc), (Position{1, 2, 0}));
    doc.LeaveElement();
    EXPECT_EQ(At(doc), (Position{0, 1, 2}));
    EXPECT_EQ(doc.FindChild(u"Update"), 4);
    doc.EnterChild();
    EXPECT_EQ(doc.FindChild(u"OldVer"), 5);
    EXPECT_EQ(doc.ChildText(), u"1");
    EXPECT_EQ(At(doc), (Position{1, 4, 5}));
    doc.LeaveElement();
    EXPECT_EQ(At(doc), (Position{0, 1, 4}));
    EXPECT_EQ(doc.FindChild(u"Update"), 0);
    EXPECT_EQ(At(doc), (Position{0, 1, 4}));
}

TEST(MarkupNavigation, SearchOnlyMovesForward) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><b/><c/></r>"));
    EXPECT_EQ(doc.FindChild(u"c"), 3);
    EXPECT_EQ(doc.FindChild(u"b"), 0);
    EXPECT_EQ(doc.ChildIndex(), 3);
}

TEST(MarkupNavigation, EmptyNameTakesTheNextChild) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><b/><c/></r>"));
    EXPECT_EQ(doc.FindChild(u""), 2);
    EXPECT_EQ(doc.FindChild(u""), 3);
    EXPECT_EQ(doc.FindChild(u""), 0);
    EXPECT_EQ(doc.FindNamedChild(0, 0, u""), 1);
    EXPECT_EQ(doc.FindNamedChild(1, 2, u""), 3);
}

TEST(MarkupNavigation, NamesMatchWholeTagWords) {
    struct {
        const char16_t* text;
        const char16_t* name;
        bool found;
    } cases[] = {
        {u"<r><Update/></r>", u"Update", true},
        {u"<r><Update/></r>", u"Up", false},
        {u"<r><UpdateInfo/></r>", u"Update", false},
        {u"<r><Updat/></r>", u"Update", false},
        {u"<r><update/></r>", u"Update", false},
        {u"<r><NETURL/></r>", u"NetUrl", false},
        {u"<r><Update a=\"1\"/></r>", u"Update", true},
        {u"<r><Update\n/></r>", u"Update", true},
        // The name may go on after the word with one of " =/[]".
        {u"<r><a/></r>", u"a[1]", true},
        {u"<r><a/></r>", u"a b", true},
        {u"<r><a/></r>", u"a=x", true},
        {u"<r><a/></r>", u"a/b", true},
        {u"<r><a/></r>", u"a]", true},
        {u"<r><a/></r>", u"ab", false},
        {u"<r><a/></r>", u"a.b", false},
        // The word ends at "=" and the other delimiters.
        {u"<r><a=b/></r>", u"a", true},
        {u"<r><a=b/></r>", u"a=b", true},
        {u"<r><a[1]/></r>", u"a[1]", true},
        {u"<r><a[1]/></r>", u"a", false},
        {u"<r><a?b/></r>", u"a", true},
        {u"<r><a!b/></r>", u"a", true},
        {u"<r><a\\b/></r>", u"a", true},
        {u"<r><\u540D\u5B57/></r>", u"\u540D\u5B57", true},
        {u"<r><\u540D\u5B57/></r>", u"\u540D", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.text) + " / " + Show(c.name));
        MarkupDocument doc;
        doc.Parse(c.text);
        EXPECT_EQ(doc.FindChild(c.name) != 0, c.found);
    }
}

TEST(MarkupNavigation, TagWords) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><Update a=\"1\"/><a=b/><a[1]/><a?b/><\u540D x='1'/><a\\b/><a<b/></r>"));
    EXPECT_EQ(doc.TagWord(1), u"r");
    EXPECT_EQ(doc.TagWord(2), u"Update");
    EXPECT_EQ(doc.TagWord(3), u"a");
    EXPECT_EQ(doc.TagWord(4), u"a[1]");
    EXPECT_EQ(doc.TagWord(5), u"a");
    EXPECT_EQ(doc.TagWord(6), u"\u540D");
    EXPECT_EQ(doc.TagWord(7), u"a");
    EXPECT_EQ(doc.TagWord(8), u"a");
    EXPECT_EQ(doc.TagWord(0), u"");
    EXPECT_EQ(doc.TagWord(99), u"");
    EXPECT_EQ(doc.TagWord(-1), u"");
}

TEST(MarkupNavigation, NoElementsLeavesThePositionAlone) {
    MarkupDocument doc;
    doc.Parse(u"no markup");
    EXPECT_EQ(doc.FindChild(u"Update"), 0);
    EXPECT_EQ(At(doc), (Position{0, 0, 0}));
    doc.EnterChild();
    doc.LeaveElement();
    EXPECT_EQ(At(doc), (Position{0, 0, 0}));
    EXPECT_EQ(doc.ChildText(), u"");
}

TEST(MarkupNavigation, EnterAndLeaveAtTheEdges) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><a><b/></a></r>"));
    doc.LeaveElement();  // no parent: nothing
    EXPECT_EQ(At(doc), (Position{0, 0, 0}));
    doc.EnterChild();  // no current element: nothing
    EXPECT_EQ(At(doc), (Position{0, 0, 0}));
    ASSERT_EQ(doc.FindChild(u"a"), 2);
    doc.EnterChild();
    ASSERT_EQ(doc.FindChild(u"b"), 3);
    doc.EnterChild();
    EXPECT_EQ(At(doc), (Position{2, 3, 0}));
    EXPECT_EQ(doc.FindChild(u"x"), 0);
    doc.LeaveElement();
    EXPECT_EQ(At(doc), (Position{1, 2, 3}));
    doc.LeaveElement();
    EXPECT_EQ(At(doc), (Position{0, 1, 2}));
    doc.LeaveElement();  // parent 0: stays
    EXPECT_EQ(At(doc), (Position{0, 1, 2}));
}

TEST(MarkupNavigation, EnterWithoutChildThenFindTakesTheFirstChild) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><a><b/><c/></a></r>"));
    ASSERT_EQ(doc.FindChild(u"a"), 2);
    doc.EnterChild();
    doc.EnterChild();  // no child position: the current element becomes none
    EXPECT_EQ(At(doc), (Position{2, 0, 0}));
    // FindChild first makes the parent's first child current, then searches its children.
    EXPECT_EQ(doc.FindChild(u"c"), 0);
    EXPECT_EQ(At(doc), (Position{2, 3, 0}));
}

TEST(MarkupNavigation, OnlyTheFirstTopLevelElementIsWalked) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<a><Update/></a><b><Update/></b>"));
    EXPECT_EQ(doc.FindChild(u"Update"), 2);
    EXPECT_EQ(doc.FindChild(u"Update"), 0);
}

TEST(MarkupNavigation, FindNamedChildGuardsItsIndexes) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><a/></r>"));
    EXPECT_EQ(doc.FindNamedChild(1, 0, u"a"), 2);
    EXPECT_EQ(doc.FindNamedChild(1, 2, u"a"), 0);
    EXPECT_EQ(doc.FindNamedChild(-5, 0, u"a"), 0);
    EXPECT_EQ(doc.FindNamedChild(1, 77, u"a"), 0);
    EXPECT_EQ(doc.ElementText(-1), u"");
    EXPECT_EQ(doc.ElementText(3), u"");
}

TEST(MarkupElementText, Cases) {
    struct {
        const char16_t* text;
        const char16_t* expected;
    } cases[] = {
        {u"<a>plain</a>", u"plain"},
        {u"<a> x </a>", u" x "},
        {u"<a> 2.0 </a>", u" 2.0 "},
        {u"<a>a&amp;b</a>", u"a&b"},
        {u"<a>x<!-- c -->y</a>", u"xy"},
        {u"<a> <![CDATA[&lt;]]> </a>", u"&lt;"},
        {u"<a><![CDATA[x<y]]></a>", u"x<y"},
        {u"<a>1<![CDATA[<2>]]>3&lt;4</a>", u"1<2>3<4"},
        {u"<a>x<?pi y?>z</a>", u"xz"},
        {u"<a>x > y</a>", u"x > y"},
        {u"<a>x > y<!---->&gt;</a>", u"x > y>"},
        {u"<a>line1\r\n line2</a>", u"line1\r\n line2"},
        {u"<a>\u4E2D\u6587 &#x1F600;</a>", u"\u4E2D\u6587 \U0001F600"},
        {u"<a></a>", u""},
        {u"<a/>", u""},
        {u"<a>  </a>", u"  "},
        {u"<a><b>t</b></a>", u""},
        {u"<a>x<b/>y</a>", u""},
        {u"<a>x", u""},                  // unended
        {u"<a><b>x</a>", u""},           // a has the unended b as child
        {u"<a><![C]]></a>", u""},        // shorter than an opening and a closing
        {u"<a><![CDATA]]></a>", u""},
        {u"<a><![CDATA[]]></a>", u""},
        {u"<a><![Cabcdefgh]]></a>", u"fgh"},
        {u"<a>x<1y</a>", u"x"},          // error tokens add nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.text));
        EXPECT_EQ(TextOf(c.text), c.expected);
    }
}

TEST(MarkupElementText, OfTheInnerElement) {
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<a><b>t</b></a>"));
    EXPECT_EQ(doc.ElementText(1), u"");
    EXPECT_EQ(doc.ElementText(2), u"t");
}

// Index 0 means none, also when the document has no element at all.
TEST(MarkupElementText, NoneForTheDocumentNode) {
    MarkupDocument doc;
    doc.Parse(u"x &lt; y");
    EXPECT_EQ(doc.ElementText(0), u"");
    doc.Parse(u"");
    EXPECT_EQ(doc.ElementText(0), u"");
}

TEST(MarkupDecodeEntities, NamedAndNumericReferences) {
    struct {
        const char16_t* chars;
        const char16_t* expected;
    } cases[] = {
        {u"a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;", u"a <b> & \"c\" 'd'"},
        {u"&#65;&#x42;&#X43;", u"AB&#X43;"},
        {u"&#0;", u"&#0;"},
        {u"&#;", u"&#;"},
        {u"&#x;", u"&#x;"},
        {u"&#12345678;", u"&#12345678;"},  // the ";" is past the eight units from the digits
        {u"&#65", u"&#65"},
        {u"&#65 ;", u"A"},
        {u"&# 65;", u"A"},
        {u"&#+66;", u"B"},
        {u"&#65abc;", u"A"},  // conversion stops at the first non-digit
        {u"&#x0x41;", u"A"},
        {u"&#x00041;", u"A"},
        {u"&#0065;", u"A"},
        {u"&#abc;", u"&#abc;"},
        {u"&#xFFFF;", u"\uFFFF"},
        {u"&#x20AC;&#8364;", u"\u20AC\u20AC"},
        {u"&nbsp;", u"&nbsp;"},
        {u"&LT;", u"&LT;"},
        {u"&lt", u"&lt"},
        {u"&amp;amp;", u"&amp;"},
        {u"&&lt;", u"&<"},
        {u"&", u"&"},
        {u"a&b", u"a&b"},
        {u"\u4E2D&lt;\u6587", u"\u4E2D<\u6587"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.chars));
        EXPECT_EQ(Decode(c.chars), c.expected);
    }
}

// References above U+FFFF become surrogate pairs; values that are no
// character (above U+10FFFF, or negative through wcstol's sign) become U+FFFD.
TEST(MarkupDecodeEntities, ValuesOutsideTheBasicPlane) {
    struct {
        const char16_t* chars;
        const char16_t* expected;
    } cases[] = {
        {u"&#x1F600;", u"\U0001F600"},
        {u"&#128512;", u"\U0001F600"},
        {u"&#x10000;", u"\U00010000"},
        {u"&#x10FFFF;", u"\U0010FFFF"},
        {u"&#1114111;", u"\U0010FFFF"},
        {u"&#x110000;", u"\uFFFD"},
        {u"&#1234567;", u"\uFFFD"},  // seven digits still decode
        {u"&#xFFFFFFF;", u"\uFFFD"},
        {u"&#-65;", u"\uFFFD"},
        {u"&#x-1;", u"\uFFFD"},
        {u"&#xD800;", u"\xD800"},  // values up to U+FFFF stay one code unit
        {u"x&#x1F600;y", u"x\U0001F600y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.chars));
        EXPECT_EQ(Decode(c.chars), c.expected);
    }
}

TEST(MarkupDecodeEntities, NeverLongerThanTheInput) {
    const std::u16string inputs[] = {u"&#x1F600;", u"&#65536;", u"&#x10000;&#x10000;", u"&lt;", u"&#1;", u"abc"};
    for (const std::u16string& input : inputs) {
        for (std::size_t n = 0; n <= input.size(); ++n) {
            MarkupDocument doc;
            // The input inside a document, so that references may run past n.
            doc.Parse(input);
            const std::u16string out = doc.DecodeEntities(doc.Text().c_str(), static_cast<std::int32_t>(n));
            EXPECT_LE(out.size(), n) << Show(input) << " " << n;
        }
    }
}

TEST(MarkupDecodeEntities, NumericReferenceMayRunPastTheLengthInsideTheText) {
    MarkupDocument doc;
    doc.Parse(u"x&#65;yz");
    const char16_t* text = doc.Text().c_str();
    // The ";" lies beyond the two units given: the reference is still decoded and reading stops.
    EXPECT_EQ(doc.DecodeEntities(text + 1, 2), u"A");
    EXPECT_EQ(doc.DecodeEntities(text + 1, 1), u"A");
    // Named references must lie wholly inside.
    doc.Parse(u"x&lt;yz");
    EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str() + 1, 3), u"&lt");
    // A surrogate pair that would not fit becomes U+FFFD.
    doc.Parse(u"&#x1F600;");
    EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str(), 1), u"\uFFFD");
}

TEST(MarkupDecodeEntities, SearchStopsAtTheEndOfTheText) {
    for (const char16_t* tail : {u"&#", u"&#6", u"&#65", u"&#x", u"&#x4", u"&"}) {
        MarkupDocument doc;
        doc.Parse(tail);
        const std::u16string& text = doc.Text();
        EXPECT_EQ(doc.DecodeEntities(text.c_str(), static_cast<std::int32_t>(text.size())), text);
        EXPECT_EQ(doc.DecodeEntities(text.c_str() + text.size() - 1, 1), text.substr(text.size() - 1));
    }
    // A NUL inside the text ends the search too.
    MarkupDocument doc;
    doc.Parse(std::u16string(u"&#65\0;", 6));
    EXPECT_EQ(doc.DecodeEntities(doc.Text().c_str(), 4), u"&#65");
}

TEST(MarkupDecodeEntities, OtherBuffersAreReadOnlyWithinTheirLength) {
    // A heap block of exactly the given length: a read past it is caught by
    // AddressSanitizer in the native build.
    const std::u16string source = u"&#65;&";
    for (std::size_t n = 1; n <= source.size(); ++n) {
        std::unique_ptr<char16_t[]> chars(new char16_t[n]);
        source.copy(chars.get(), n);
        MarkupDocument doc;
        const std::u16string out = doc.DecodeEntities(chars.get(), static_cast<std::int32_t>(n));
        EXPECT_EQ(out, n >= 5 ? u"A" + source.substr(5, n - 5) : source.substr(0, n)) << n;
    }
    MarkupDocument doc;
    EXPECT_EQ(doc.DecodeEntities(nullptr, 5), u"");
    EXPECT_EQ(doc.DecodeEntities(u"abc", 0), u"");
    EXPECT_EQ(doc.DecodeEntities(u"abc", -1), u"");
}
