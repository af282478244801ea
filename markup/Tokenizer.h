// Markup tokenizer: cuts a NUL-terminated UTF-16 text into tokens, one per
// call, without copying content. A token is an offset and a length into the
// text, a kind, and for start tags, processing instructions and errors a short
// text (the name, or the error message). Malformed markup becomes an error
// token with a message; the tokenizer never stops its caller.
// All offsets count UTF-16 code units from the start of the text. No read
// passes the text's first NUL, whatever the markup.
#pragma once

#include <cstdint>
#include <string>

enum TokenKind : std::int32_t {
    TOKEN_END_OF_TEXT = -2,
    TOKEN_ERROR = -1,
    TOKEN_END_TAG = 0,
    TOKEN_START_TAG = 1,
    TOKEN_TEXT = 2,
    TOKEN_WHITESPACE = 4,
    TOKEN_CDATA = 8,
    TOKEN_PROCESSING_INSTRUCTION = 16,
    TOKEN_COMMENT = 32,
    TOKEN_DECLARATION = 64,
};

// Flag of a start tag that ends with "/>".
constexpr std::uint32_t TOKEN_EMPTY_ELEMENT = 0x10000;

struct TokenCursor {
    std::int32_t nameStart = 0;   // first character of the last end tag's name
    std::int32_t nameEnd = -1;    // its last character (nameStart - 1 when empty)
    std::int32_t position = 0;    // where the next token starts
    const char16_t* text = nullptr;  // the document text, NUL-terminated
};

struct MarkupToken {
    std::int32_t kind = TOKEN_END_OF_TEXT;
    std::int32_t start = 0;
    std::int32_t length = 0;
    std::uint32_t flags = 0;
    std::u16string text;  // start tag / PI name, or error message
};

// Reads the token at cursor.position into token and returns its kind.
std::int32_t NextToken(TokenCursor& cursor, MarkupToken& token);
