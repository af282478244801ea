// Markup tokenizer: token kinds, lengths, names and messages, and every
// truncation of every construct.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TokenReader.h"
#include "Tokenizer.h"

namespace {

struct Token {
    std::int32_t kind;
    std::int32_t start;
    std::int32_t length;
    std::uint32_t flags;
    std::u16string text;
};

// Reads the whole text, checking on the way that the tokens tile it.
std::vector<Token> Tokens(const std::u16string& text, std::int32_t from = 0) {
    std::vector<Token> out;
    TokenCursor cursor;
    cursor.text = text.c_str();
    cursor.position = from;
    MarkupToken token;
    for (int guard = 0; guard < 10000; ++guard) {
        const std::int32_t before = cursor.position;
        token.text.clear();
        const std::int32_t kind = NextToken(cursor, token);
        EXPECT_EQ(kind, token.kind);
        EXPECT_EQ(token.start, before);
        if (kind == TOKEN_END_OF_TEXT) {
            EXPECT_EQ(token.length, 0);
            EXPECT_EQ(cursor.position, before);
            EXPECT_EQ(before, static_cast<std::int32_t>(text.size()));
            return out;
        }
        EXPECT_GE(token.length, 1);
        EXPECT_EQ(cursor.position, token.start + token.length);
        EXPECT_LE(cursor.position, static_cast<std::int32_t>(text.size()));
        out.push_back({kind, token.start, token.length, token.flags, token.text});
    }
    ADD_FAILURE() << "no end of text";
    return out;
}

Token First(const std::u16string& text) {
    const std::vector<Token> tokens = Tokens(text);
    if (tokens.empty()) return {TOKEN_END_OF_TEXT, 0, 0, 0, u""};
    return tokens.front();
}

std::string Show(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

struct Case {
    const char16_t* input;
    std::int32_t kind;
    std::int32_t length;
    const char16_t* text;  // name or message; nullptr: not looked at
    std::uint32_t flags;
};

void CheckFirstTokens(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.input));
        const Token t = First(c.input);
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.start, 0);
        EXPECT_EQ(t.length, c.length);
        EXPECT_EQ(t.flags, c.flags);
        if (c.text != nullptr) {
            EXPECT_EQ(t.text, c.text);
        }
    }
}

}  // namespace

TEST(TokenizerText, WhiteSpaceAndCharacterData) {
    CheckFirstTokens({
        {u"  <a>", TOKEN_WHITESPACE, 2, u"", 0},
        {u"  x<a>", TOKEN_TEXT, 3, u"", 0},
        {u" \t\r\n", TOKEN_WHITESPACE, 4, u"", 0},
        {u"abc", TOKEN_TEXT, 3, u"", 0},
        {u"a&amp;b<", TOKEN_TEXT, 7, u"", 0},
        // A ">" after the first non-white character ends the text, ">" included.
        {u"a>b", TOKEN_TEXT, 2, u"", 0},
        {u"  a > b", TOKEN_TEXT, 5, u"", 0},
        // The first non-white character itself does not.
        {u">a>", TOKEN_TEXT, 3, u"", 0},
        {u" >x<", TOKEN_TEXT, 3, u"", 0},
        {u"\u4E2D\u6587<", TOKEN_TEXT, 2, u"", 0},
    });
}

TEST(TokenizerText, EndOfText) {
    EXPECT_TRUE(Tokens(u"").empty());
    const std::u16string text = u"<a/>";
    TokenCursor cursor;
    cursor.text = text.c_str();
    cursor.position = 4;
    MarkupToken token;
    token.length = 99;
    EXPECT_EQ(NextToken(cursor, token), TOKEN_END_OF_TEXT);
    EXPECT_EQ(token.start, 4);
    EXPECT_EQ(token.length, 0);
    EXPECT_EQ(cursor.position, 4);
    // Again: the cursor stays on the NUL.
    EXPECT_EQ(NextToken(cursor, token), TOKEN_END_OF_TEXT);
    EXPECT_EQ(cursor.position, 4);
}

TEST(TokenizerText, EmbeddedNulEndsTheText) {
    const std::u16string text(u"<a>x\0<b>", 8);
    const std::vector<Token> tokens = [&] {
        std::vector<Token> out;
        TokenCursor cursor;
        cursor.text = text.c_str();
        MarkupToken token;
        while (NextToken(cursor, token) != TOKEN_END_OF_TEXT) out.push_back({token.kind, token.start, token.length, 0, u""});
        EXPECT_EQ(cursor.position, 4);
        return out;
    }();
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[1].kind, TOKEN_TEXT);
    EXPECT_EQ(tokens[1].length, 1);
}

TEST(TokenizerTags, StartTagsAndNames) {
    CheckFirstTokens({
        {u"<a>", TOKEN_START_TAG, 3, u"a", 0},
        {u"<Update a=\"1\">", TOKEN_START_TAG, 14, u"Update", 0},
        {u"<a b='x>y'>", TOKEN_START_TAG, 11, u"a", 0},
        {u"<a b=\"x>y\" c='>'>", TOKEN_START_TAG, 17, u"a", 0},
        {u"<a <b>", TOKEN_START_TAG, 6, u"a", 0},
        {u"<a=b>", TOKEN_START_TAG, 5, u"a=b", 0},
        {u"<a[1]>", TOKEN_START_TAG, 6, u"a[1]", 0},
        {u"<a\tb='1'>", TOKEN_START_TAG, 9, u"a", 0},
        {u"<_x>", TOKEN_START_TAG, 4, u"_x", 0},
        {u"<:x>", TOKEN_START_TAG, 4, u":x", 0},
        {u"<ns:x>", TOKEN_START_TAG, 6, u"ns:x", 0},
        {u"<{x>", TOKEN_START_TAG, 4, u"{x", 0},
        {u"<~>", TOKEN_START_TAG, 3, u"~", 0},
        {u"<\u00E9>", TOKEN_START_TAG, 3, u"\u00E9", 0},
        {u"<\u540D\u5B57>", TOKEN_START_TAG, 4, u"\u540D\u5B57", 0},
        // Quotes count only where a value is expected.
        {u"<a b ' >", TOKEN_START_TAG, 8, u"a", 0},
        {u"<a b= \"x>\">", TOKEN_START_TAG, 11, u"a", 0},
        {u"<a b==\">\">", TOKEN_START_TAG, 8, u"a", 0},
        {u"<a b=x'>", TOKEN_START_TAG, 8, u"a", 0},
        {u"<a=\"x>y\">", TOKEN_START_TAG, 6, u"a=\"x", 0},
    });
}

TEST(TokenizerTags, EmptyElementFlag) {
    CheckFirstTokens({
        {u"<a/>", TOKEN_START_TAG, 4, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a />", TOKEN_START_TAG, 5, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a\n/>", TOKEN_START_TAG, 5, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a b='1'/>", TOKEN_START_TAG, 10, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a b=\"1\"/>", TOKEN_START_TAG, 10, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a b=''/>", TOKEN_START_TAG, 9, u"a", TOKEN_EMPTY_ELEMENT},
        {u"<a b=1/>", TOKEN_START_TAG, 8, u"a", 0},
        {u"<a b/>", TOKEN_START_TAG, 6, u"a", 0},
        {u"<a/ >", TOKEN_START_TAG, 5, u"a", 0},
        {u"<a b=\"x/\">", TOKEN_START_TAG, 10, u"a", 0},
        {u"<a //>", TOKEN_START_TAG, 6, u"a", 0},
    });
}

TEST(TokenizerTags, EndTagsSetTheNameInTheCursor) {
    struct {
        const char16_t* input;
        std::int32_t length;
        std::int32_t nameStart;
        std::int32_t nameEnd;
    } cases[] = {
        {u"</a>", 4, 2, 2},
        {u"</a >", 5, 2, 2},
        {u"</Update>", 9, 2, 7},
        {u"</>", 3, 2, 1},
        {u"</ a>", 5, 2, 1},
        {u"</a/b>", 6, 2, 2},
        // No quotes in end tags.
        {u"</a x='>'>", 8, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.input));
        const std::u16string text = c.input;
        TokenCursor cursor;
        cursor.text = text.c_str();
        MarkupToken token;
        token.text = u"kept";
        EXPECT_EQ(NextToken(cursor, token), TOKEN_END_TAG);
        EXPECT_EQ(token.length, c.length);
        EXPECT_EQ(cursor.nameStart, c.nameStart);
        EXPECT_EQ(cursor.nameEnd, c.nameEnd);
        EXPECT_EQ(token.text, u"kept");
    }
}

TEST(TokenizerTags, OtherTokensLeaveTheNameAndText) {
    const std::u16string text = u"</ab><!--c--><![CDATA[x]]>text <!DOCTYPE r>";
    TokenCursor cursor;
    cursor.text = text.c_str();
    MarkupToken token;
    ASSERT_EQ(NextToken(cursor, token), TOKEN_END_TAG);
    token.text = u"kept";
    for (std::int32_t kind : {TOKEN_COMMENT, TOKEN_CDATA, TOKEN_TEXT, TOKEN_DECLARATION, TOKEN_END_OF_TEXT}) {
        EXPECT_EQ(NextToken(cursor, token), kind);
        EXPECT_EQ(token.text, u"kept");
        EXPECT_EQ(cursor.nameStart, 2);
        EXPECT_EQ(cursor.nameEnd, 3);
    }
}

TEST(TokenizerTags, FlagsAreResetOnEveryToken) {
    const std::u16string text = u"<a/><b>";
    TokenCursor cursor;
    cursor.text = text.c_str();
    MarkupToken token;
    ASSERT_EQ(NextToken(cursor, token), TOKEN_START_TAG);
    EXPECT_EQ(token.flags, TOKEN_EMPTY_ELEMENT);
    ASSERT_EQ(NextToken(cursor, token), TOKEN_START_TAG);
    EXPECT_EQ(token.flags, 0u);
    EXPECT_EQ(token.text, u"b");
}

TEST(TokenizerMarkup, CommentsCdataAndInstructions) {
    CheckFirstTokens({
        {u"<!-- c -->", TOKEN_COMMENT, 10, u"", 0},
        {u"<!---->", TOKEN_COMMENT, 7, u"", 0},
        {u"<!-->", TOKEN_COMMENT, 5, u"", 0},  // opening and closing overlap
        {u"<!-- a > b -- > -->", TOKEN_COMMENT, 19, u"", 0},
        {u"<![CDATA[a<b]]>", TOKEN_CDATA, 15, u"", 0},
        {u"<![CDATA[]]>", TOKEN_CDATA, 12, u"", 0},
        {u"<![CDATA[a]>]]>", TOKEN_CDATA, 15, u"", 0},
        {u"<![C]]>", TOKEN_CDATA, 7, u"", 0},  // the rest of the word is not looked at
        {u"<?xml version=\"1.0\"?>", TOKEN_PROCESSING_INSTRUCTION, 21, u"xml", 0},
        {u"<?pi a>b?>", TOKEN_PROCESSING_INSTRUCTION, 10, u"pi", 0},
        {u"<?x?>", TOKEN_PROCESSING_INSTRUCTION, 5, u"x?", 0},  // the name runs to white space, "/" or ">"
        {u"<?a/b?>", TOKEN_PROCESSING_INSTRUCTION, 7, u"a", 0},
        {u"<!ELEMENT r (#PCDATA)>", TOKEN_DECLARATION, 22, u"", 0},
        {u"<!ENTITY e \"a>b\">", TOKEN_DECLARATION, 17, u"", 0},
        {u"<!ATTLIST a b CDATA 'x>\"y'>", TOKEN_DECLARATION, 27, u"", 0},
        {u"<!NOTATION n SYSTEM \"'>\">", TOKEN_DECLARATION, 25, u"", 0},
    });
}

TEST(TokenizerMarkup, InstructionClosingNeedsOffsetAboveTwo) {
    // A ">" at offset k completes "?>" only when k > 2: "<?>" at the very
    // start is not closed by its own "?", one position later it is.
    EXPECT_EQ(First(u"<?>").text, u"Processing instruction at offset 0 unterminated");
    const std::vector<Token> later = Tokens(u" <?>");
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1].kind, TOKEN_PROCESSING_INSTRUCTION);
    EXPECT_EQ(later[1].length, 3);
    EXPECT_EQ(later[1].text, u"");
}

TEST(TokenizerMarkup, Doctype) {
    CheckFirstTokens({
        {u"<!DOCTYPE r>", TOKEN_DECLARATION, 12, u"", 0},
        {u"<!DOCTYPE r [ <!ELEMENT r (#PCDATA)> <!-- c --> ]>", TOKEN_DECLARATION, 50, u"", 0},
        {u"<!DOCTYPE r [<!ENTITY e \"x>y\">]>", TOKEN_DECLARATION, 32, u"", 0},
        {u"<!DOCTYPE r [<?pi x>y?>]>", TOKEN_DECLARATION, 25, u"", 0},
        {u"<!DOCTYPE r [<!-- > -->]>", TOKEN_DECLARATION, 25, u"", 0},
        {u"<!DOCTYPE r [<x a='>'>]>", TOKEN_DECLARATION, 24, u"", 0},
        {u"<!DOCTYPE r [</x>]>", TOKEN_DECLARATION, 19, u"", 0},
        // Outside nested items quotes mean nothing.
        {u"<!DOCTYPE r SYSTEM \"a>b\">", TOKEN_DECLARATION, 22, u"", 0},
        {u"<!DTD>", TOKEN_DECLARATION, 6, u"", 0},
        // An error item that ends at ">" is forgotten when the DOCTYPE ends well.
        {u"<!DOCTYPE r [<![INCLUDE[ x ]]>]>", TOKEN_DECLARATION, 32, u"", 0},
        {u"<!DOCTYPE r [<!DOCTYPE x>]>", TOKEN_DECLARATION, 27, u"", 0},
        {u"<!DOCTYPE r [<1>]>", TOKEN_DECLARATION, 18, u"", 0},
        {u"<!DOCTYPE r [<!-x>]>", TOKEN_DECLARATION, 20, u"", 0},
        // An error item that meets "<" first ends the token there.
        {u"<!DOCTYPE r [<1 <a>]>", TOKEN_ERROR, 16, u"Incorrect tag name character at offset 0", 0},
        {u"<!DOCTYPE r [<![ <a>]>", TOKEN_ERROR, 17, u"Incorrect ! tag at offset 0", 0},
        {u"<!DOCTYPE r [<!D <a>]>", TOKEN_ERROR, 17, u"Incorrect ! tag at offset 0", 0},
        {u"<!DOCTYPE r [<!- <a>]>", TOKEN_ERROR, 17, u"Incorrect comment tag at offset 0", 0},
        // After a nested item has closed, the message names its ">".
        {u"<!DOCTYPE r [<!-- c --><1 <a>]>", TOKEN_ERROR, 26, u"Incorrect tag name character at offset 22", 0},
        {u"<!DOCTYPE r [<!ENTITY e 'v'> <!x <a>]>", TOKEN_ERROR, 33, u"Incorrect ! tag at offset 27", 0},
        // Unterminated anywhere inside: "Doctype".
        {u"<!DOCTYPE r [<!-- c", TOKEN_ERROR, 19, u"Doctype at offset 0 unterminated", 0},
        {u"<!DOCTYPE r [<a b='", TOKEN_ERROR, 19, u"Doctype at offset 0 unterminated", 0},
        {u"<!DOCTYPE r [<1 x", TOKEN_ERROR, 17, u"Doctype at offset 0 unterminated", 0},
        {u"<!DOCTYPE r [<1> ]", TOKEN_ERROR, 18, u"Doctype at offset 0 unterminated", 0},
        {u"<!DOCTYPE r [<", TOKEN_ERROR, 14, u"Doctype at offset 0 unterminated", 0},
    });
}

TEST(TokenizerErrors, IncorrectMarkup) {
    CheckFirstTokens({
        {u"<1a>", TOKEN_ERROR, 4, u"Incorrect tag name character at offset 0", 0},
        {u"<>", TOKEN_ERROR, 2, u"Incorrect tag name character at offset 0", 0},
        {u"< a>", TOKEN_ERROR, 4, u"Incorrect tag name character at offset 0", 0},
        {u"<`a>", TOKEN_ERROR, 4, u"Incorrect tag name character at offset 0", 0},
        {u"<@a>", TOKEN_ERROR, 4, u"Incorrect tag name character at offset 0", 0},
        // The error run ends before the next "<" ...
        {u"<<a>", TOKEN_ERROR, 1, u"Incorrect tag name character at offset 0", 0},
        {u"<1a<b>", TOKEN_ERROR, 3, u"Incorrect tag name character at offset 0", 0},
        // ... unless it is inside a quoted value.
        {u"<1 a='<>'>", TOKEN_ERROR, 10, u"Incorrect tag name character at offset 0", 0},
        {u"<!x>", TOKEN_ERROR, 4, u"Incorrect ! tag at offset 0", 0},
        {u"<!>", TOKEN_ERROR, 3, u"Incorrect ! tag at offset 0", 0},
        {u"<!<a>", TOKEN_ERROR, 2, u"Incorrect ! tag at offset 0", 0},
        {u"<!doctype r>", TOKEN_ERROR, 12, u"Incorrect ! tag at offset 0", 0},
        {u"<!-x>", TOKEN_ERROR, 5, u"Incorrect comment tag at offset 0", 0},
        {u"<!->", TOKEN_ERROR, 4, u"Incorrect comment tag at offset 0", 0},
        {u"<![x>", TOKEN_ERROR, 5, u"Incorrect tag at offset 0", 0},
        {u"<![cdata[x]]>", TOKEN_ERROR, 13, u"Incorrect tag at offset 0", 0},
    });
}

TEST(TokenizerErrors, OffsetsAreThoseOfTheToken) {
    const std::vector<Token> tokens = Tokens(u"<r>ab<1x>c<!-- d");
    ASSERT_EQ(tokens.size(), 5u);
    EXPECT_EQ(tokens[2].text, u"Incorrect tag name character at offset 5");
    EXPECT_EQ(tokens[4].text, u"Comment at offset 10 unterminated");
    EXPECT_EQ(tokens[4].length, 6);
}

// Every proper prefix of a construct is unterminated: before the characters
// that decide the kind it is a "tag", after them it is named by the kind.
TEST(TokenizerErrors, EveryTruncationOfEveryConstruct) {
    struct Construct {
        const char16_t* text;
        std::int32_t kind;
        std::int32_t decided;  // prefix length from which the kind is known
        const char16_t* what;
    } constructs[] = {
        {u"<a>", TOKEN_START_TAG, 2, u"Element tag"},
        {u"<abc def='g>h' i=\"j\" k=l/>", TOKEN_START_TAG, 2, u"Element tag"},
        {u"<\u540D x='\u503C'>", TOKEN_START_TAG, 2, u"Element tag"},
        {u"</abc >", TOKEN_END_TAG, 2, u"Element end tag"},
        {u"<?xml version=\"1.0\" encoding='UTF-8'?>", TOKEN_PROCESSING_INSTRUCTION, 2, u"Processing instruction"},
        {u"<!-- a -- b -->", TOKEN_COMMENT, 4, u"Comment"},
        {u"<![CDATA[ <a> ]] ]]>", TOKEN_CDATA, 4, u"CDATA Section"},
        {u"<!DOCTYPE r SYSTEM 'r.dtd' [ <!ENTITY e \"<>\"> <!ATTLIST r a CDATA '>'> <?p ?> <!-- -> --> <x y='>'/> ]>",
         TOKEN_DECLARATION, 3, u"Doctype"},
        {u"<!ENTITY e '>\"'>", TOKEN_DECLARATION, 3, u"Doctype"},
        {u"<!ATTLIST a b CDATA \">'\">", TOKEN_DECLARATION, 3, u"Doctype"},
        {u"<!NOTATION n PUBLIC 'p'>", TOKEN_DECLARATION, 3, u"Doctype"},
        {u"<1bad x='>'>", TOKEN_ERROR, 1, u"tag"},
        {u"<!bad>", TOKEN_ERROR, 1, u"tag"},
    };
    for (const Construct& c : constructs) {
        const std::u16string whole = c.text;
        for (const char16_t* leadText : {u"", u"<r>\n", u"text"}) {
            const std::u16string lead = leadText;
            const std::int32_t offset = static_cast<std::int32_t>(lead.size());
            for (std::size_t n = 1; n < whole.size(); ++n) {
                const std::u16string text = lead + whole.substr(0, n);
                SCOPED_TRACE(Show(text));
                const std::vector<Token> tokens = Tokens(text);
                ASSERT_FALSE(tokens.empty());
                const Token& t = tokens.back();
                EXPECT_EQ(t.kind, TOKEN_ERROR);
                EXPECT_EQ(t.start, offset);
                EXPECT_EQ(t.length, static_cast<std::int32_t>(n));
                const std::u16string what = static_cast<std::int32_t>(n) < c.decided ? u"tag" : c.what;
                EXPECT_EQ(t.text, what + u" at offset " + std::u16string(1, u'0' + offset) + u" unterminated");
            }
            SCOPED_TRACE(Show(lead + whole));
            const std::vector<Token> tokens = Tokens(lead + whole);
            ASSERT_FALSE(tokens.empty());
            EXPECT_EQ(tokens.back().kind, c.kind);
            EXPECT_EQ(tokens.back().start, offset);
            EXPECT_EQ(tokens.back().length, static_cast<std::int32_t>(whole.size()));
        }
    }
}

TEST(TokenizerErrors, LoneAngleBracket) {
    CheckFirstTokens({
        {u"<", TOKEN_ERROR, 1, u"tag at offset 0 unterminated", 0},
        {u"< ", TOKEN_ERROR, 2, u"tag at offset 0 unterminated", 0},
        {u"<!", TOKEN_ERROR, 2, u"tag at offset 0 unterminated", 0},
        {u"<!-", TOKEN_ERROR, 3, u"tag at offset 0 unterminated", 0},
        {u"<![", TOKEN_ERROR, 3, u"tag at offset 0 unterminated", 0},
        {u"<1 a='>", TOKEN_ERROR, 7, u"tag at offset 0 unterminated", 0},
    });
}

TEST(TokenizerStream, TokensOfADocument) {
    const std::u16string text =
        u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a='1'>\n  <b/>x &amp; y<!--c--><![CDATA[z]]></r>";
    const std::vector<Token> tokens = Tokens(text);
    const std::vector<std::int32_t> kinds = {
        TOKEN_PROCESSING_INSTRUCTION, TOKEN_WHITESPACE, TOKEN_DECLARATION, TOKEN_WHITESPACE, TOKEN_START_TAG,
        TOKEN_WHITESPACE, TOKEN_START_TAG, TOKEN_TEXT, TOKEN_COMMENT, TOKEN_CDATA, TOKEN_END_TAG,
    };
    ASSERT_EQ(tokens.size(), kinds.size());
    for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(tokens[i].kind, kinds[i]) << i;
    EXPECT_EQ(tokens[4].text, u"r");
    EXPECT_EQ(tokens[6].flags, TOKEN_EMPTY_ELEMENT);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(tokens[7].start), static_cast<std::size_t>(tokens[7].length)),
              u"x &amp; y");
}

TEST(TokenizerStream, StartsAtTheCursorPosition) {
    const std::vector<Token> tokens = Tokens(u"<r>ab</r>", 3);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].kind, TOKEN_TEXT);
    EXPECT_EQ(tokens[0].start, 3);
    EXPECT_EQ(tokens[1].kind, TOKEN_END_TAG);
}

TEST(TokenizerStream, LongTokensAreReadWhole) {
    const std::u16string value(300000, u'v');
    const std::u16string text = u"<a b='" + value + u"'/><!--" + value + u"-->" + value;
    const std::vector<Token> tokens = Tokens(text);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0].length, 300009);
    EXPECT_EQ(tokens[0].flags, TOKEN_EMPTY_ELEMENT);
    EXPECT_EQ(tokens[1].kind, TOKEN_COMMENT);
    EXPECT_EQ(tokens[2].kind, TOKEN_TEXT);
    EXPECT_EQ(tokens[2].length, 300000);
}

// The element-tree pass reads long runs eight code units at a time where the
// text's length is known; the tokens must be the same as read one by one,
// wherever a run starts or ends relative to a block.
TEST(TokenizerStream, BlockSearchAgreesWithSingleReads) {
    const std::u16string pieces[] = {
        u"text run with > sign and <b>", u"<a v='quoted > value' w=\"x\"/>", u"<!-- comment -- > -->",
        u"<![CDATA[ data ]] > ]]>", u"<?pi body ? > ?>", u"</end  >", u"<!DOCTYPE d [<!ENTITY e 'v'>]>",
        u"\u4E2D\u6587 &amp;", u"<a v='unterminated", u"<!-- unterminated", u"<1 err='<'>",
    };
    for (const std::u16string& piece : pieces) {
        for (std::size_t pad = 0; pad < 17; ++pad) {
            for (const bool tail : {false, true}) {
                const std::u16string text = std::u16string(pad, u'p') + piece + (tail ? u"<x>" + std::u16string(pad, u' ') : u"");
                SCOPED_TRACE(Show(text));
                TokenCursor one;
                one.text = text.c_str();
                TokenCursor block = one;
                MarkupToken a;
                MarkupToken b;
                for (int guard = 0; guard < 100; ++guard) {
                    const std::int32_t kind = NextToken(one, a);
                    ASSERT_EQ(markup_internal::ReadToken<true>(block, b, static_cast<std::int32_t>(text.size())), kind);
                    EXPECT_EQ(b.start, a.start);
                    EXPECT_EQ(b.length, a.length);
                    EXPECT_EQ(b.flags, a.flags);
                    EXPECT_EQ(b.text, a.text);
                    EXPECT_EQ(block.position, one.position);
                    if (kind == TOKEN_END_OF_TEXT) break;
                }
            }
        }
    }
}
