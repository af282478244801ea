// Markup document: the element table, its growth, the recovery rules for
// malformed markup, the messages, and tags too long for the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MarkupDocument.h"

namespace {

std::string Show(const std::u16string& s) {
    std::string out;
    for (char16_t c : s.substr(0, 200)) out += c < 0x80 && c >= 0x20 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Repeat(const std::u16string& piece, std::size_t count) {
    std::u16string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// Checks every invariant of the table against the text.
void ExpectConsistent(const MarkupDocument& doc) {
    const std::int32_t used = doc.UsedCount();
    const std::uint32_t textLength = static_cast<std::uint32_t>(doc.Text().size());
    ASSERT_GE(used, 1);
    ASSERT_LE(used, doc.Capacity());
    const ElementRecord& root = doc.Record(0);
    EXPECT_EQ(root.start, 0u);
    EXPECT_EQ(root.length, textLength);
    EXPECT_EQ(root.parent, 0u);
    EXPECT_EQ(root.flags & ~DOCUMENT_ILL_FORMED, 0u);
    std::vector<int> seen(static_cast<std::size_t>(used), 0);
    for (std::int32_t i = 0; i < used; ++i) {
        const ElementRecord& r = doc.Record(i);
        if (i > 0) {
            EXPECT_EQ(r.flags, 0u) << i;
            EXPECT_LT(r.start, textLength) << i;
            EXPECT_EQ(doc.Text()[r.start], u'<') << i;
            if (i > 1) {
                EXPECT_GT(r.start, doc.Record(i - 1).start) << i;  // indexes follow start tags
            }
            const std::uint32_t startTag = static_cast<std::uint32_t>(doc.StartTagLength(i));
            const std::uint32_t endTag = static_cast<std::uint32_t>(doc.EndTagLength(i));
            EXPECT_GE(startTag, 3u) << i;
            EXPECT_LE(r.start + r.length, textLength) << i;
            EXPECT_EQ(doc.Text()[r.start + startTag - 1], u'>') << i;
            if (endTag == 0) {
                EXPECT_EQ(r.length, startTag) << i;
            } else {
                EXPECT_EQ(doc.Text().substr(r.start + startTag + (r.length - startTag - endTag), 2), u"</") << i;
                EXPECT_EQ(doc.Text()[r.start + r.length - 1], u'>') << i;
                EXPECT_GE(r.length, startTag + endTag) << i;
            }
            EXPECT_LT(r.parent, static_cast<std::uint32_t>(i)) << i;
        }
        std::uint32_t child = r.firstChild;
        if (child == 0) continue;
        const std::uint32_t last = doc.Record(static_cast<std::int32_t>(child)).prevSibling;
        std::uint32_t previous = 0;
        std::int32_t guard = 0;
        while (child != 0 && guard++ <= used) {
            ASSERT_LT(child, static_cast<std::uint32_t>(used));
            const ElementRecord& c = doc.Record(static_cast<std::int32_t>(child));
            EXPECT_EQ(c.parent, static_cast<std::uint32_t>(i)) << child;
            if (previous != 0) {
                EXPECT_EQ(c.prevSibling, previous) << child;
            }
            ++seen[child];
            previous = child;
            child = c.nextSibling;
        }
        EXPECT_EQ(previous, last) << "last-child link of " << i;
    }
    for (std::int32_t i = 1; i < used; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], 1) << "element " << i;
}

std::vector<std::int32_t> Children(const MarkupDocument& doc, std::int32_t parent) {
    std::vector<std::int32_t> out;
    for (std::uint32_t c = doc.Record(parent).firstChild; c != 0; c = doc.Record(static_cast<std::int32_t>(c)).nextSibling)
        out.push_back(static_cast<std::int32_t>(c));
    return out;
}

std::u16string Utf16Decimal(int value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

bool IllFormed(const MarkupDocument& doc) {
    return (doc.Record(0).flags & DOCUMENT_ILL_FORMED) != 0;
}

}  // namespace

TEST(MarkupDocumentState, NewDocumentIsAnEmptyParse) {
    MarkupDocument doc;
    EXPECT_EQ(doc.UsedCount(), 1);
    EXPECT_EQ(doc.Capacity(), 8);
    EXPECT_EQ(doc.TableBytes(), 8 * sizeof(ElementRecord) + 4 * sizeof(ElementRecord*));
    EXPECT_EQ(doc.ErrorText(), u"Empty document");
    EXPECT_EQ(doc.Text(), u"");
    EXPECT_EQ(doc.Record(0).flags, 0u);
    EXPECT_EQ(doc.Record(0).firstChild, 0u);
    EXPECT_EQ(doc.ParentIndex(), 0);
    EXPECT_EQ(doc.CurrentIndex(), 0);
    EXPECT_EQ(doc.ChildIndex(), 0);
}

TEST(MarkupDocumentState, ParseKeepsItsOwnCopyAndResetsPosition) {
    MarkupDocument doc;
    std::u16string source = u"<r><a/><b/></r>";
    ASSERT_TRUE(doc.Parse(source));
    EXPECT_NE(doc.FindChild(u"b"), 0);
    EXPECT_NE(doc.CurrentIndex(), 0);
    source[1] = u'x';
    EXPECT_EQ(doc.Text(), u"<r><a/><b/></r>");
    EXPECT_FALSE(doc.Parse(u"<r>"));
    EXPECT_EQ(doc.ParentIndex(), 0);
    EXPECT_EQ(doc.CurrentIndex(), 0);
    EXPECT_EQ(doc.ChildIndex(), 0);
    EXPECT_EQ(doc.ErrorText(), u"Element 'r' at offset 0 not ended");
    ASSERT_TRUE(doc.Parse(u"<r/>"));
    EXPECT_EQ(doc.ErrorText(), u"");
    EXPECT_FALSE(IllFormed(doc));
}

TEST(MarkupDocumentMessages, ResultAndFirstMessage) {
    struct {
        const char16_t* text;
        bool wellFormed;
        bool illFormedFlag;
        const char16_t* message;
    } cases[] = {
        {u"<a></a>", true, false, u""},
        {u"<a/>", true, false, u""},
        {u"<?xml version='1.0'?>\n<!DOCTYPE a>\n<!-- c --><a>x</a>\n<!-- after -->\n", true, false, u""},
        {u"<a[1]>x</a>", true, false, u""},
        {u"<a=b>x</a>", true, false, u""},
        {u"<a b='1'>x</a >", true, false, u""},
        {u"", false, false, u"Empty document"},
        {u"  \r\n\t", false, false, u"No root element"},
        {u"<!-- only a comment -->", false, false, u"No root element"},
        {u"just text", false, false, u"No root element"},
        {u"<?pi?><!DOCTYPE x>", false, false, u"No root element"},
        {u"<a/><b/>", false, false, u"Root element has sibling"},
        {u"<a></a>text<b></b>", false, false, u"Root element has sibling"},
        {u"<a><b></a>", false, true, u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
        {u"<a><b><c></a>", false, true, u"End tag 'a' at offset 10 does not match start tag 'c' at offset 6"},
        {u"<a></b></a>", false, true, u"No start tag for end tag 'b' at offset 3"},
        {u"<a></A>", false, true, u"No start tag for end tag 'A' at offset 3"},
        {u"<ab>x</a></ab>", false, true, u"No start tag for end tag 'a' at offset 5"},
        {u"<a>x</ab></a>", false, true, u"No start tag for end tag 'ab' at offset 4"},
        {u"<a></></a>", false, true, u"No start tag for end tag '' at offset 3"},
        {u"<a>", false, true, u"Element 'a' at offset 0 not ended"},
        {u"<a>x<b/>", false, true, u"Root element has sibling"},
        {u"<a>x", false, true, u"Element 'a' at offset 0 not ended"},
        {u"<a><1></a>", false, true, u"Incorrect tag name character at offset 3"},
        {u"<a><!x></a>", false, true, u"Incorrect ! tag at offset 3"},
        {u"<a><!-x></a>", false, true, u"Incorrect comment tag at offset 3"},
        {u"<a><![x></a>", false, true, u"Incorrect tag at offset 3"},
        {u"<a><!-- x</a>", false, true, u"Comment at offset 3 unterminated"},
        {u"<a><![CDATA[x</a>", false, true, u"CDATA Section at offset 3 unterminated"},
        {u"<a><?pi x</a>", false, true, u"Processing instruction at offset 3 unterminated"},
        {u"<a></a", false, true, u"Element end tag at offset 3 unterminated"},
        {u"<a><b c='x", false, true, u"Element tag at offset 3 unterminated"},
        {u"<a/><!DOCTYPE a [<!ENTITY e 'x'>", false, true, u"Doctype at offset 4 unterminated"},
        // The document-level messages replace element-level ones.
        {u"</a>", false, true, u"No root element"},
        {u"<1>", false, true, u"No root element"},
        {u"<a><b>", false, true, u"Root element has sibling"},
        {u"<a></a></b><c/>", false, true, u"Root element has sibling"},
        // Only the first element-level message is kept.
        {u"<a></b></c></a>", false, true, u"No start tag for end tag 'b' at offset 3"},
        {u"<a><1><b></a>", false, true, u"Incorrect tag name character at offset 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.text));
        MarkupDocument doc;
        EXPECT_EQ(doc.Parse(c.text), c.wellFormed);
        EXPECT_EQ(IllFormed(doc), c.illFormedFlag);
        EXPECT_EQ(doc.ErrorText(), c.message);
        ExpectConsistent(doc);
    }
}

TEST(MarkupDocumentTable, RecordsOfWellFormedElements) {
    MarkupDocument doc;
    const std::u16string text = u"<r a='1'><b>x</b><c/>\n<d></d ></r>";
    ASSERT_TRUE(doc.Parse(text));
    ASSERT_EQ(doc.UsedCount(), 5);
    const ElementRecord& r = doc.Record(1);
    EXPECT_EQ(r.start, 0u);
    EXPECT_EQ(r.length, text.size());
    EXPECT_EQ(doc.StartTagLength(1), 9);
    EXPECT_EQ(doc.EndTagLength(1), 4);
    EXPECT_EQ(r.parent, 0u);
    EXPECT_EQ(doc.Record(0).firstChild, 1u);
    EXPECT_EQ(r.prevSibling, 1u);  // an only child names itself
    EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2, 3, 4}));
    EXPECT_EQ(doc.Record(2).prevSibling, 4u);  // first child: the last child
    EXPECT_EQ(doc.Record(3).prevSibling, 2u);
    EXPECT_EQ(doc.Record(4).prevSibling, 3u);
    EXPECT_EQ(doc.Record(2).start, 9u);
    EXPECT_EQ(doc.Record(2).length, 8u);
    EXPECT_EQ(doc.StartTagLength(2), 3);
    EXPECT_EQ(doc.EndTagLength(2), 4);
    EXPECT_EQ(doc.Record(3).length, 4u);  // <c/>
    EXPECT_EQ(doc.StartTagLength(3), 4);
    EXPECT_EQ(doc.EndTagLength(3), 0);
    EXPECT_EQ(doc.EndTagLength(4), 5);  // </d >
    EXPECT_EQ(doc.Record(4).length, 8u);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, InnerElementLeftOpenAtMismatch) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<a><b></a>"));
    ASSERT_EQ(doc.UsedCount(), 3);
    EXPECT_EQ(doc.Record(1).length, 10u);
    EXPECT_EQ(doc.EndTagLength(1), 4);
    EXPECT_EQ(doc.Record(2).start, 3u);
    EXPECT_EQ(doc.Record(2).length, 3u);  // unended: the start tag alone
    EXPECT_EQ(doc.EndTagLength(2), 0);
    EXPECT_EQ(doc.Record(2).parent, 1u);
    EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2}));
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, ChildrenOfAnUnendedElementMoveUp) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<a><b><c/></a>"));
    // c follows b under a; b has no child; a's last-child link names c.
    EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2, 3}));
    EXPECT_EQ(doc.Record(2).firstChild, 0u);
    EXPECT_EQ(doc.Record(2).prevSibling, 3u);
    EXPECT_EQ(doc.Record(3).parent, 1u);
    EXPECT_EQ(doc.Record(3).prevSibling, 2u);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, MovedChildrenKeepTheirOrderAndSubtrees) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<r><p/><a><x><y/></x><z/><w/></r>"));
    // r: p a x z w; y stays inside x.
    EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2, 3, 4, 6, 7}));
    EXPECT_EQ(Children(doc, 4), (std::vector<std::int32_t>{5}));
    EXPECT_EQ(doc.Record(2).prevSibling, 7u);
    EXPECT_EQ(doc.Record(3).firstChild, 0u);
    EXPECT_EQ(doc.ErrorText(), u"End tag 'r' at offset 30 does not match start tag 'a' at offset 7");
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, SeveralLevelsCloseInnermostFirst) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<r><a><b><x/></r>"));
    // b unended: x moves to a; a unended: b and x move to r.
    EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2, 3, 4}));
    EXPECT_EQ(doc.ErrorText(), u"End tag 'r' at offset 14 does not match start tag 'b' at offset 6");
    for (std::int32_t i : {2, 3}) {
        EXPECT_EQ(doc.Record(i).length, 3u);
        EXPECT_EQ(doc.Record(i).firstChild, 0u);
    }
    EXPECT_EQ(doc.Record(1).length, 17u);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, EndOfTextClosesEverything) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<r><a><x/>"));
    EXPECT_EQ(Children(doc, 0), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(doc.ErrorText(), u"Root element has sibling");
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, StrayEndTagIsIgnored) {
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<a></b></a>"));
    EXPECT_EQ(doc.UsedCount(), 2);
    EXPECT_EQ(doc.Record(1).length, 11u);
    EXPECT_EQ(doc.EndTagLength(1), 4);
}

TEST(MarkupDocumentRecovery, EndTagNameMatchesThroughDelimiters) {
    struct {
        const char16_t* text;
        bool wellFormed;
    } cases[] = {
        {u"<a[1]>x</a>", true}, {u"<a=b>x</a>", true},  {u"<a]>x</a>", true}, {u"<a[1]>x</a[1]>", true},
        {u"<a[1]>x</a[>", false}, {u"<ab>x</a>", false}, {u"<a.b>x</a>", false}, {u"<a>x</a[1]>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.text));
        MarkupDocument doc;
        EXPECT_EQ(doc.Parse(c.text), c.wellFormed);
        ExpectConsistent(doc);
    }
}

// A run of unended elements is closed in time proportional to its length
// (a paragraph of 200,000 <br> tags).
TEST(MarkupDocumentRecovery, LongRunsOfUnendedElements) {
    const std::size_t count = 200000;
    const std::u16string text = u"<r><p>" + Repeat(u"<br>x", count) + u"</p>" + Repeat(u"<br>", count) + u"</r>";
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(text));
    EXPECT_EQ(doc.UsedCount(), static_cast<std::int32_t>(2 * count + 3));
    const std::vector<std::int32_t> inP = Children(doc, 2);
    ASSERT_EQ(inP.size(), count);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(inP[i], static_cast<std::int32_t>(3 + i));
    EXPECT_EQ(Children(doc, 1).size(), count + 1);
    ExpectConsistent(doc);
}

// Stray end tags deep in the stack are each answered without walking it: a
// run of them takes time in proportion to its length.
TEST(MarkupDocumentRecovery, LongRunsOfStrayEndTagsDeepInTheStack) {
    const std::size_t depth = 200000;
    const std::u16string text = u"<r>" + Repeat(u"<a>", depth) + Repeat(u"</b>", depth) + u"</r>";
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(text));
    EXPECT_EQ(doc.ErrorText(), u"No start tag for end tag 'b' at offset " +
                                   Utf16Decimal(static_cast<int>(3 + 3 * depth)));
    EXPECT_EQ(doc.Record(1).length, text.size());
    EXPECT_EQ(Children(doc, 1).size(), depth);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentRecovery, DeepStackStillFindsNamesWithDelimiters) {
    struct {
        const char16_t* close;
        bool closesA;
    } cases[] = {{u"</a>", true}, {u"</a[1]>", true}, {u"</a[1>", true}, {u"</a[2]>", false}, {u"</a=>", false},
                 {u"</c>", false}, {u"</x>", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.close));
        // 70 b, then a[1], then 70 more b: the stray </x> looks past the innermost at depth 142.
        const std::u16string text = u"<r>" + Repeat(u"<b>", 70) + u"<a[1]>" + Repeat(u"<b>", 70) + u"</x>" +
                                    c.close + u"</r>";
        MarkupDocument doc;
        EXPECT_FALSE(doc.Parse(text));
        EXPECT_EQ(doc.ErrorText(), u"No start tag for end tag 'x' at offset 429");
        const std::int32_t a = 72;
        ASSERT_EQ(doc.TagWord(a), u"a[1]");
        if (c.closesA) {
            EXPECT_EQ(doc.EndTagLength(a), static_cast<std::int32_t>(std::u16string(c.close).size()));
            // The 70 inner b move up under a, after the first of them.
            EXPECT_EQ(Children(doc, a).size(), 70u);
        } else {
            EXPECT_EQ(doc.EndTagLength(a), 0);
        }
        ExpectConsistent(doc);
    }
}

TEST(MarkupDocumentRecovery, EveryPrefixOfADocumentKeepsTheTableConsistent) {
    const std::u16string text =
        u"<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"v\">]>\n<r a='x>y'>\n"
        u"<Update><OldVer>1.0</OldVer><NewVer> 2.0 </NewVer><NetUrl>http://a/b?c=1&amp;d=2</NetUrl>"
        u"<UpdateInfo><![CDATA[<b>notes</b>]]></UpdateInfo><!-- c --><IsUpdate>1</IsUpdate></Update>"
        u"<x/><y></y><z a=\"1\"/></r>";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE(n);
        MarkupDocument doc;
        const bool ok = doc.Parse(text.substr(0, n));
        EXPECT_EQ(ok, n == text.size());
        EXPECT_EQ(ok, doc.ErrorText().empty());
        ExpectConsistent(doc);
        if (::testing::Test::HasFailure()) break;
    }
}

TEST(MarkupDocumentTable, InitialSizeFromTextLength) {
    MarkupDocument doc;
    std::u16string text = u"<r>" + std::u16string(1993, u'x') + u"</r>";
    ASSERT_EQ(text.size(), 2000u);
    ASSERT_TRUE(doc.Parse(text));
    EXPECT_EQ(doc.Capacity(), 39);
    EXPECT_EQ(doc.TableBytes(), 39 * sizeof(ElementRecord) + 4 * sizeof(ElementRecord*));
}

TEST(MarkupDocumentTable, GrowsByHalfOfTheRecordsInUse) {
    // 87 code units: 9 records to start with; 22 in use grow it 9 -> 13 -> 19 -> 28.
    const std::u16string text = u"<r>" + Repeat(u"<a/>", 20) + u"</r>";
    ASSERT_EQ(text.size(), 87u);
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(text));
    EXPECT_EQ(doc.UsedCount(), 22);
    EXPECT_EQ(doc.Capacity(), 28);
    // The table never shrinks.
    ASSERT_TRUE(doc.Parse(u"<a/>"));
    EXPECT_EQ(doc.Capacity(), 28);
    EXPECT_EQ(doc.UsedCount(), 2);
}

TEST(MarkupDocumentTable, SeventyThousandElementsSpanTwoBlocks) {
    const std::u16string text = u"<r>" + Repeat(u"<a/>", 69999) + u"</r>";
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(text));
    EXPECT_EQ(doc.UsedCount(), 70001);
    // 4383 grown by half: ... 33279, 49918, 74877 (block 0 full, block 1 of 9341).
    EXPECT_EQ(doc.Capacity(), 74877);
    EXPECT_EQ(doc.TableBytes(), 74877 * sizeof(ElementRecord) + 4 * sizeof(ElementRecord*));
    for (std::int32_t i : {2, 65535, 65536, 65537, 70000}) {
        EXPECT_EQ(doc.Record(i).start, static_cast<std::uint32_t>(3 + 4 * (i - 2))) << i;
        EXPECT_EQ(doc.Record(i).parent, 1u);
        EXPECT_EQ(doc.Record(i).length, 4u);
    }
    EXPECT_EQ(doc.Record(65536).prevSibling, 65535u);
    EXPECT_EQ(doc.Record(65535).nextSibling, 65536u);
    EXPECT_EQ(doc.Record(2).prevSibling, 70000u);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentTable, LargeTextGrowsOneBlockAtATime) {
    // 10,000,000 code units want 156,258 records: blocks 0 and 1 full, block 2 partly.
    const std::u16string text = u"<r>" + std::u16string(10000000 - 7, u'x') + u"</r>";
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(text));
    EXPECT_EQ(doc.Capacity(), 156258);
    EXPECT_EQ(doc.TableBytes(), 156258 * sizeof(ElementRecord) + 4 * sizeof(ElementRecord*));
    EXPECT_EQ(doc.Record(1).length, 10000000u);
}

TEST(MarkupDocumentTable, DeepNestingKeepsEveryOpenTag) {
    for (int depth : {1, 5, 6, 7, 17, 18, 19, 41, 42, 43, 90, 91, 1000}) {
        SCOPED_TRACE(depth);
        std::u16string text;
        for (int i = 0; i < depth; ++i) text += u"<e" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u">";
        text += u"t";
        for (int i = depth - 1; i >= 0; --i) text += u"</e" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u">";
        MarkupDocument doc;
        ASSERT_TRUE(doc.Parse(text)) << Show(doc.ErrorText());
        ASSERT_EQ(doc.UsedCount(), depth + 1);
        for (std::int32_t i = 1; i <= depth; ++i) {
            EXPECT_EQ(doc.Record(i).parent, static_cast<std::uint32_t>(i - 1));
            EXPECT_EQ(doc.Record(i).start, static_cast<std::uint32_t>(4 * (i - 1)));
            EXPECT_EQ(doc.Record(i).length, text.size() - 9u * (i - 1));
        }
        EXPECT_EQ(doc.ElementText(depth), u"t");
        ExpectConsistent(doc);
    }
}

TEST(MarkupDocumentTable, DeepNestingLeftOpen) {
    for (int depth : {6, 18, 42, 1000}) {
        SCOPED_TRACE(depth);
        const std::u16string text = Repeat(u"<e>", static_cast<std::size_t>(depth));
        MarkupDocument doc;
        EXPECT_FALSE(doc.Parse(text));
        // The outermost is the first top-level element; the rest follow it.
        EXPECT_EQ(Children(doc, 0).size(), static_cast<std::size_t>(depth));
        EXPECT_EQ(doc.ErrorText(), depth > 1 ? u"Root element has sibling" : u"");
        ExpectConsistent(doc);
    }
}

// tagLengths holds a start tag shorter than 1,048,576 code units and an end
// tag shorter than 512. Longer tags are malformed markup: no element is made
// from such a start tag, and such an end tag closes nothing.
TEST(MarkupDocumentLongTags, LongestStartTagIsKept) {
    const std::u16string tag = u"<a" + std::u16string(1048572, u' ') + u">";
    ASSERT_EQ(tag.size(), 1048575u);
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r>" + tag + u"x</a></r>"));
    ASSERT_EQ(doc.UsedCount(), 3);
    EXPECT_EQ(doc.StartTagLength(2), 1048575);
    EXPECT_EQ(doc.EndTagLength(2), 4);
    EXPECT_EQ(doc.Record(2).length, 1048575u + 5u);
    EXPECT_EQ(doc.ElementText(2), u"x");
    ExpectConsistent(doc);
}

TEST(MarkupDocumentLongTags, StartTagOfOneMebibyteIsRefused) {
    for (std::size_t size : {std::size_t(1) << 20, (std::size_t(1) << 20) + 1, (std::size_t(1) << 21) + 7,
                             (std::size_t(1) << 22) + 3}) {
        SCOPED_TRACE(size);
        // A long attribute value, the way a real tag grows.
        const std::u16string tag = u"<a v='" + std::u16string(size - 8, u'v') + u"'>";
        ASSERT_EQ(tag.size(), size);
        MarkupDocument doc;
        EXPECT_FALSE(doc.Parse(u"<r>" + tag + u"x</a><b>y</b></r>"));
        EXPECT_TRUE(IllFormed(doc));
        EXPECT_EQ(doc.ErrorText(), u"Element tag at offset 3 too long");
        // r and b only; the stray </a> is ignored.
        ASSERT_EQ(doc.UsedCount(), 3);
        EXPECT_EQ(Children(doc, 1), (std::vector<std::int32_t>{2}));
        EXPECT_EQ(doc.Record(2).start, static_cast<std::uint32_t>(3 + size + 5));
        EXPECT_EQ(doc.ElementText(2), u"y");
        ExpectConsistent(doc);
    }
}

TEST(MarkupDocumentLongTags, EmptyElementOfOneMebibyteIsRefused) {
    const std::u16string tag = u"<a" + std::u16string((1u << 20) - 4, u' ') + u"/>";
    MarkupDocument doc;
    EXPECT_FALSE(doc.Parse(u"<r>" + tag + u"</r>"));
    EXPECT_EQ(doc.ErrorText(), u"Element tag at offset 3 too long");
    EXPECT_EQ(doc.UsedCount(), 2);
    ExpectConsistent(doc);
}

TEST(MarkupDocumentLongTags, LongestEndTagIsKept) {
    const std::u16string endTag = u"</a" + std::u16string(507, u' ') + u">";
    ASSERT_EQ(endTag.size(), 511u);
    MarkupDocument doc;
    ASSERT_TRUE(doc.Parse(u"<r><a>x" + endTag + u"</r>"));
    EXPECT_EQ(doc.EndTagLength(2), 511);
    EXPECT_EQ(doc.Record(2).length, 3u + 1u + 511u);
    EXPECT_EQ(doc.ElementText(2), u"x");
    ExpectConsistent(doc);
}

TEST(MarkupDocumentLongTags, EndTagOf512IsRefused) {
    for (std::size_t size : {std::size_t(512), std::size_t(513), std::size_t(1024), std::size_t(1) << 20}) {
        SCOPED_TRACE(size);
        const std::u16string endTag = u"</a" + std::u16string(size - 4, u' ') + u">";
        MarkupDocument doc;
        EXPECT_FALSE(doc.Parse(u"<r><a>x" + endTag + u"</r>"));
        EXPECT_TRUE(IllFormed(doc));
        EXPECT_EQ(doc.ErrorText(), u"Element end tag at offset 7 too long");
        // a stays unended: its text is empty and </r> closes r.
        EXPECT_EQ(doc.Record(2).length, 3u);
        EXPECT_EQ(doc.EndTagLength(2), 0);
        EXPECT_EQ(doc.ElementText(2), u"");
        EXPECT_EQ(doc.Record(1).length, 3u + 1u + 3u + size + 4u);
        ExpectConsistent(doc);
    }
}

TEST(MarkupDocumentText, EmbeddedNulEndsTheMarkup) {
    const std::u16string text(u"<a/>\0<b/>", 9);
    MarkupDocument doc;
    EXPECT_TRUE(doc.Parse(text));
    EXPECT_EQ(doc.UsedCount(), 2);
    EXPECT_EQ(doc.Record(0).length, 9u);
    ExpectConsistent(doc);
}
