// Markup tokenizer: token kinds, lengths, names and messages, and every
// truncation of every construct. Every text here is also read with the block
// search of the element-table pass, which must give the same tokens.
#include <gtest/gtest.h>

#include "MarkupChecks.h"

using markupcheck::Tokens;

TEST(Tokenizer, CutsTextIntoTokens) {
    const std::pair<const char16_t*, const char*> cases[] = {
        // Text runs: a ">" after the first non-white character ends one, ">" included.
        {u"  <a>", "ws(2) | start(3) a"}, {u"a>b", "text(2) | text(1)"}, {u">a>", "text(3)"},
        // Start tags: names run to white space, "/" or ">"; quoted values may hold
        // ">" but count only where a value is expected; "/>" flags an empty element.
        {u"<a b='x>y' c=\"x>y\">", "start(19) a"}, {u"<_x>", "start(4) _x"}, {u"<:x><{x>", "start(4) :x | start(4) {x"},
        {u"<a b ' >", "start(8) a"}, {u"<a b==\">\">", "start(8) a | text(2)"}, {u"<a=\"x>y\">", "start(6) a=\"x | text(3)"},
        {u"<a b=''/><a b/><a/ >", "start(9)/ a | start(6) a | start(5) a"},
        // End tags: the name (in the cursor) runs to white space, "/" or ">"; no quotes.
        {u"</>", "end(3)"}, {u"</a/b x='>'>", "end(10) a | text(2)"},
        // Comments, CDATA, instructions and declarations end at their own closing;
        // a closing ">" counts only past the opening ("<?>" at offset 0 is open).
        {u"<!--><![C]]>", "comment(5) | cdata(7)"}, {u"<?>", "error(3) Processing instruction at offset 0 unterminated"},
        {u" <?>", "ws(1) | pi(3)"}, {u"<!ENTITY e \"a>b\"><?x?>", "decl(17) | pi(5) x?"},
        // DOCTYPE: nested items are read as markup; an error item that reaches ">"
        // is forgotten when the DOCTYPE ends well, one that meets "<" ends it there,
        // named by the DOCTYPE's "<" or the ">" of the nested item read last.
        {u"<!DOCTYPE r [<x a='>'></x><1>]>", "decl(31)"}, {u"<!DOCTYPE r SYSTEM \"a>b\">", "decl(22) | text(3)"},
        {u"<!DOCTYPE r [<1 <a>", "error(16) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<!-- c --><1 <a>", "error(26) Incorrect tag name character at offset 22 | start(3) a"},
        // Malformed markup: an error token through the next ">" or up to the next
        // "<" (quoted values passed over), with a message naming its offset.
        {u"<`a>", "error(4) Incorrect tag name character at offset 0"},
        {u"<<a>", "error(1) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<1 a='<>'>", "error(10) Incorrect tag name character at offset 0"},
        {u"<1 a==\"<", "error(7) Incorrect tag name character at offset 0 | error(1) tag at offset 7 unterminated"},
        {u"<!<a>", "error(2) Incorrect ! tag at offset 0 | start(3) a"},
        {u"<![cdata[x]]>", "error(13) Incorrect tag at offset 0"},
        {u"<r>ab<1x>c<!-- d", "start(3) r | text(2) | error(4) Incorrect tag name character at offset 5 | text(1) | "
                              "error(6) Comment at offset 10 unterminated"},
        {u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a='1'>\n  <b/>x &amp; y<!--c--><![CDATA[z]]></r>",
         "pi(21) xml | ws(1) | decl(12) | ws(1) | start(9) r | ws(3) | start(4)/ b | text(9) | comment(8) | cdata(13) | "
         "end(4) r"},
    };
    for (const auto& [text, tokens] : cases) EXPECT_EQ(Tokens(text), tokens) << Utf16ToUtf8(text);
}

// Every proper prefix of a construct, after any lead, is one unterminated
// error token: a "tag" before the characters that decide the kind, named by
// the kind after them.
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
        {u"<!NOTATION n PUBLIC 'p'>", "decl(24)", 3, "Doctype"}, {u"<!bad>", "error(6) Incorrect ! tag at offset 0", 1, "tag"},
        {u"<1bad x='>'>", "error(12) Incorrect tag name character at offset 0", 1, "tag"},
    };
    for (const auto& c : constructs) {
        const std::u16string whole = c.text;
        for (const char16_t* leadText : {u"", u"<r>\n", u"text", u"       "}) {
            const std::u16string lead = leadText;
            const std::string at = std::to_string(lead.size());
            const std::string before = lead.empty() ? "" : Tokens(lead) + " | ";
            for (std::size_t n = 1; n < whole.size(); ++n) {
                const std::string what = n < c.decided ? "tag" : c.what;
                ASSERT_EQ(Tokens(lead + whole.substr(0, n)),
                          before + "error(" + std::to_string(n) + ") " + what + " at offset " + at + " unterminated")
                    << Utf16ToUtf8(lead + whole.substr(0, n));
            }
            std::string expected = before + c.whole;
            if (!lead.empty()) {
                const std::size_t offset = expected.rfind(" at offset 0");
                if (offset != std::string::npos) expected.replace(offset, 12, " at offset " + at);
            }
            EXPECT_EQ(Tokens(lead + whole), expected) << Utf16ToUtf8(lead + whole);
        }
    }
}
