// Markup tokenizer: token kinds, lengths, names and messages, and every
// truncation of every construct. Every text here is also read with the block
// search of the element-table pass, which must give the same tokens.
#include <gtest/gtest.h>

#include "MarkupChecks.h"

using markupcheck::Tokens;

TEST(Tokenizer, CutsTextIntoTokens) {
    const struct {
        const char16_t* text;
        const char* tokens;  // as markupcheck::Tokens describes them
    } cases[] = {
        // Text runs: a ">" after the first non-white character ends one, ">" included.
        {u"  <a>", "ws(2) | start(3) a"}, {u" \t\r\n", "ws(4)"}, {u"a&amp;b", "text(7)"}, {u"a>b", "text(2) | text(1)"},
        {u"  a > b", "text(5) | text(2)"}, {u">a>", "text(3)"}, {u"\u4E2D\u6587", "text(2)"}, {u"", ""},
        // Start tags: names run to white space, "/" or ">"; quoted values may hold
        // ">" but count only where a value is expected; "/>" flags an empty element.
        {u"<Update a=\"1\">", "start(14) Update"}, {u"<a b='x>y' c=\"x>y\">", "start(19) a"}, {u"<a <b>", "start(6) a"},
        {u"<a=b>", "start(5) a=b"}, {u"<a[1]>", "start(6) a[1]"}, {u"<a\tb='1'>", "start(9) a"},
        {u"<_x>", "start(4) _x"}, {u"<:x>", "start(4) :x"}, {u"<{x>", "start(4) {x"}, {u"<~>", "start(3) ~"},
        {u"<\u540D\u5B57>", "start(4) 名字"}, {u"<a b ' >", "start(8) a"}, {u"<a b= \"x>\">", "start(11) a"},
        {u"<a b==\">\">", "start(8) a | text(2)"}, {u"<a b=x'>", "start(8) a"},
        {u"<a=\"x>y\">", "start(6) a=\"x | text(3)"}, {u"<a/>", "start(4)/ a"}, {u"<a />", "start(5)/ a"},
        {u"<a\n/>", "start(5)/ a"}, {u"<a b='1'/>", "start(10)/ a"}, {u"<a b=\"\"/>", "start(9)/ a"},
        {u"<a b=1/>", "start(8) a"}, {u"<a b/>", "start(6) a"}, {u"<a/ >", "start(5) a"},
        {u"<a b=\"x/\">", "start(10) a"}, {u"<a //>", "start(6) a"}, {u"<a/><b>", "start(4)/ a | start(3) b"},
        // End tags: the name (in the cursor) runs to white space, "/" or ">"; no quotes.
        {u"</a >", "end(5) a"}, {u"</Update>", "end(9) Update"}, {u"</>", "end(3)"}, {u"</ a>", "end(5)"},
        {u"</a/b>", "end(6) a"}, {u"</a x='>'>", "end(8) a | text(2)"},
        // Comments, CDATA, instructions and declarations end at their own closing;
        // a closing ">" counts only past the opening ("<?>" at offset 0 is open).
        {u"<!---->", "comment(7)"}, {u"<!-->", "comment(5)"}, {u"<!-- a > b -- > -->", "comment(19)"},
        {u"<![CDATA[a<b]]>", "cdata(15)"}, {u"<![CDATA[a]>]]>", "cdata(15)"}, {u"<![C]]>", "cdata(7)"},
        {u"<?xml version=\"1.0\"?>", "pi(21) xml"}, {u"<?pi a>b?>", "pi(10) pi"}, {u"<?x?>", "pi(5) x?"},
        {u"<?a/b?>", "pi(7) a"}, {u" <?>", "ws(1) | pi(3)"},
        {u"<?>", "error(3) Processing instruction at offset 0 unterminated"}, {u"<!ELEMENT r (#PCDATA)>", "decl(22)"},
        {u"<!ENTITY e \"a>b\">", "decl(17)"}, {u"<!ATTLIST a b CDATA 'x>\"y'>", "decl(27)"},
        {u"<!NOTATION n SYSTEM \"'>\">", "decl(25)"},
        // DOCTYPE: nested items are read as markup; an error item that reaches ">"
        // is forgotten when the DOCTYPE ends well, one that meets "<" ends it there,
        // named by the DOCTYPE's "<" or the ">" of the nested item read last.
        {u"<!DOCTYPE r>", "decl(12)"}, {u"<!DTD>", "decl(6)"},
        {u"<!DOCTYPE r [ <!ELEMENT r (#PCDATA)> <!-- c --> ]>", "decl(50)"},
        {u"<!DOCTYPE r [<!ENTITY e \"x>y\">]>", "decl(32)"}, {u"<!DOCTYPE r [<?pi x>y?>]>", "decl(25)"},
        {u"<!DOCTYPE r [<x a='>'>]>", "decl(24)"}, {u"<!DOCTYPE r [</x>]>", "decl(19)"},
        {u"<!DOCTYPE r SYSTEM \"a>b\">", "decl(22) | text(3)"}, {u"<!DOCTYPE r [<![INCLUDE[ x ]]>]>", "decl(32)"},
        {u"<!DOCTYPE r [<!DOCTYPE x>]>", "decl(27)"}, {u"<!DOCTYPE r [<1>]>", "decl(18)"},
        {u"<!DOCTYPE r [<!-x>]>", "decl(20)"},
        {u"<!DOCTYPE r [<1 <a>", "error(16) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<![ <a>", "error(17) Incorrect ! tag at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<!D <a>", "error(17) Incorrect ! tag at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<!- <a>", "error(17) Incorrect comment tag at offset 0 | start(3) a"},
        {u"<!DOCTYPE r [<!-- c --><1 <a>", "error(26) Incorrect tag name character at offset 22 | start(3) a"},
        {u"<!DOCTYPE r [<!ENTITY e 'v'> <!x <a>", "error(33) Incorrect ! tag at offset 27 | start(3) a"},
        {u"<!DOCTYPE r [<a b='", "error(19) Doctype at offset 0 unterminated"},
        {u"<!DOCTYPE r [<1 x", "error(17) Doctype at offset 0 unterminated"},
        {u"<!DOCTYPE r [<1> ]", "error(18) Doctype at offset 0 unterminated"},
        // Malformed markup: an error token through the next ">" or up to the next
        // "<" (quoted values passed over), with a message naming its offset.
        {u"<1a>", "error(4) Incorrect tag name character at offset 0"},
        {u"<`a>", "error(4) Incorrect tag name character at offset 0"},
        {u"<@a>", "error(4) Incorrect tag name character at offset 0"},
        {u"<<a>", "error(1) Incorrect tag name character at offset 0 | start(3) a"},
        {u"<1 a='<>'>", "error(10) Incorrect tag name character at offset 0"},
        {u"<1 a==\"<", "error(7) Incorrect tag name character at offset 0 | error(1) tag at offset 7 unterminated"},
        {u"<!x>", "error(4) Incorrect ! tag at offset 0"},
        {u"<!<a>", "error(2) Incorrect ! tag at offset 0 | start(3) a"},
        {u"<!doctype r>", "error(12) Incorrect ! tag at offset 0"},
        {u"<!-x>", "error(5) Incorrect comment tag at offset 0"}, {u"<![x>", "error(5) Incorrect tag at offset 0"},
        {u"<![cdata[x]]>", "error(13) Incorrect tag at offset 0"}, {u"<", "error(1) tag at offset 0 unterminated"},
        {u"<!-", "error(3) tag at offset 0 unterminated"}, {u"<1 a='>", "error(7) tag at offset 0 unterminated"},
        {u"<r>ab<1x>c<!-- d",
         "start(3) r | text(2) | error(4) Incorrect tag name character at offset 5 | text(1) | error(6) Comment at offset 10 "
         "unterminated"},
        {u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a='1'>\n  <b/>x &amp; y<!--c--><![CDATA[z]]></r>",
         "pi(21) xml | ws(1) | decl(12) | ws(1) | start(9) r | ws(3) | start(4)/ b | text(9) | comment(8) | cdata(13) | "
         "end(4) r"},
    };
    for (const auto& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << Utf16ToUtf8(c.text);
}

TEST(Tokenizer, EndsAtTheFirstNulAndReadsLongTokensWhole) {
    EXPECT_EQ(Tokens(std::u16string(u"<a>x\0<b>", 8)), "start(3) a | text(1)");
    const std::u16string value(300000, u'v');
    EXPECT_EQ(Tokens(u"<a b='" + value + u"'/><!--" + value + u"-->" + value),
              "start(300009)/ a | comment(300007) | text(300000)");
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
