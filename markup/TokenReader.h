// Internal to the markup library: the tokenizer's body, inline so that the
// element-tree pass reads tokens without a call per token. NextToken
// (Tokenizer.h) is the public entry.
#pragma once

#include <cstdint>

#include "CString.h"
#include "Tokenizer.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define MARKUP_BLOCK_SEARCH 1
#include <emmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#endif

#if defined(_MSC_VER)
#define MARKUP_HOT_INLINE __forceinline
#elif defined(__GNUC__)
#define MARKUP_HOT_INLINE inline __attribute__((always_inline))
#else
#define MARKUP_HOT_INLINE inline
#endif

namespace markup_internal {

// Every scan below stops at the terminating NUL: a character is read only
// after the one before it was found not to be NUL, so no read passes the end
// of the text, whatever the markup. Long runs are searched eight code units
// at a time, but only where the caller knows the text's length: blockEnd is
// the last offset at which eight units can be read without passing the NUL
// at the end of the buffer (length - 7), or negative when the length is not
// known.
constexpr std::int32_t kNoBlocks = -1;

// Offset of the first a, b or NUL at or after p.
MARKUP_HOT_INLINE std::int32_t FindFirst(const char16_t* s, std::int32_t p, std::int32_t blockEnd, char16_t a, char16_t b) {
#ifdef MARKUP_BLOCK_SEARCH
    if (p <= blockEnd) {
        const __m128i va = _mm_set1_epi16(static_cast<short>(a));
        const __m128i vb = _mm_set1_epi16(static_cast<short>(b));
        const __m128i zero = _mm_setzero_si128();
        do {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + p));
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, va), _mm_cmpeq_epi16(v, vb)), _mm_cmpeq_epi16(v, zero));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
            if (mask != 0) {
#if defined(_MSC_VER)
                unsigned long bit;
                _BitScanForward(&bit, mask);
                return p + static_cast<std::int32_t>(bit / 2);
#else
                return p + __builtin_ctz(mask) / 2;
#endif
            }
            p += 8;
        } while (p <= blockEnd);
    }
#else
    (void)blockEnd;
#endif
    for (char16_t c = s[p]; c != a && c != b && c != 0; c = s[++p]) {
    }
    return p;
}

inline bool IsWhite(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

inline bool IsNameStart(char16_t c) {
    return c > 0x60 || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':';
}

// A name runs up to white space, "/", ">" or the end of the text.
inline bool EndsName(char16_t c) {
    return c <= u'>' && (c == 0 || c == u'/' || c == u'>' || IsWhite(c));
}

inline std::int32_t SkipName(const char16_t* s, std::int32_t p) {
    while (!EndsName(s[p])) ++p;
    return p;
}

// The body of a start tag from the character that ended its name: attribute
// values in quotes may hold ">". On success pos is the closing ">" and empty
// tells whether it closed "/>"; otherwise pos is the NUL.
//
// The last two characters read after the name are always the two before the
// current one, unless they lie in the name (then they count as none).
inline bool ScanTagBody(const char16_t* s, std::int32_t blockEnd, std::int32_t& pos, bool& empty) {
    const std::int32_t nameEnd = pos;
    std::int32_t p = pos;
    bool expectValue = false;
    for (;;) {
        const char16_t c = s[p];
        if (c > u'>') {  // no character above ">" means anything here
            expectValue = false;
            ++p;
            continue;
        }
        if (c == u'>') {
            const char16_t before = p - 2 >= nameEnd ? s[p - 2] : char16_t(0);
            empty = p - 1 >= nameEnd && s[p - 1] == u'/' &&
                    (before == 0 || IsWhite(before) || before == u'\'' || before == u'"');
            pos = p;
            return true;
        }
        if (c == 0) {
            pos = p;
            return false;
        }
        if (expectValue && (c == u'"' || c == u'\'')) {
            const std::int32_t q = FindFirst(s, p + 1, blockEnd, c, c);
            if (s[q] == 0) {
                pos = q;
                return false;
            }
            p = q + 1;
            expectValue = false;
            continue;
        }
        if (!expectValue || !IsWhite(c)) expectValue = c == u'=' && !(p - 1 >= nameEnd && s[p - 1] == u'=');
        ++p;
    }
}

enum ErrorEnd { ERROR_AT_NUL, ERROR_AT_GT, ERROR_AT_LT };

// The run of an error token from its offending character: through the next
// ">" or up to the next "<", quoted values passed over as in a start tag.
// pos ends on that ">", "<" or the NUL.
inline ErrorEnd ScanError(const char16_t* s, std::int32_t& pos) {
    std::int32_t p = pos;
    char16_t prev = 0;
    bool expectValue = false;
    for (;;) {
        const char16_t c = s[p];
        if (c == 0 || c == u'>' || c == u'<') {
            pos = p;
            return c == 0 ? ERROR_AT_NUL : (c == u'>' ? ERROR_AT_GT : ERROR_AT_LT);
        }
        if (expectValue) {
            if (c == u'"' || c == u'\'') {
                std::int32_t q = p + 1;
                while (s[q] != c && s[q] != 0) ++q;
                if (s[q] == 0) {
                    pos = q;
                    return ERROR_AT_NUL;
                }
                prev = c;
                p = q + 1;
                expectValue = false;
                continue;
            }
            if (!IsWhite(c)) expectValue = c == u'=' && prev != u'=';
        } else if (c == u'=' && prev != u'=') {
            expectValue = true;
        }
        prev = c;
        ++p;
    }
}

// Finds the ">" that completes a delimiter of two or three characters ("?>",
// "-->", "]]>") from pos; delim holds the characters before the ">". A ">" at
// offset k counts only when k is greater than the delimiter's length.
inline bool ScanDelimited(const char16_t* s, std::int32_t blockEnd, std::int32_t& pos, const char16_t* delim,
                          std::int32_t n) {
    std::int32_t p = pos;
    for (;;) {
        p = FindFirst(s, p, blockEnd, u'>', u'>');
        if (s[p] == 0) {
            pos = p;
            return false;
        }
        if (p > n && s[p - 1] == delim[n - 2] && (n == 2 || s[p - 2] == delim[0])) {
            pos = p;
            return true;
        }
        ++p;
    }
}

inline bool ScanToGt(const char16_t* s, std::int32_t blockEnd, std::int32_t& pos) {
    pos = FindFirst(s, pos, blockEnd, u'>', u'>');
    return s[pos] != 0;
}

// <!ELEMENT, <!ATTLIST, <!NOTATION, <!ENTITY: ">" inside either kind of
// quotes does not end it.
inline bool ScanDeclaration(const char16_t* s, std::int32_t& pos) {
    std::int32_t p = pos;
    bool inDouble = false;
    bool inSingle = false;
    for (;; ++p) {
        const char16_t c = s[p];
        if (c == 0) break;
        if (c == u'"' && !inSingle) inDouble = !inDouble;
        else if (c == u'\'' && !inDouble) inSingle = !inSingle;
        else if (c == u'>' && !inDouble && !inSingle) {
            pos = p;
            return true;
        }
    }
    pos = p;
    return false;
}

template <bool CopyNames>
struct Reader {
    TokenCursor& cursor;
    MarkupToken& token;
    const char16_t* s;
    std::int32_t start;
    std::int32_t blockEnd;

    std::int32_t Finish(std::int32_t kind, std::int32_t last) {
        token.kind = kind;
        token.length = last - start + 1;
        cursor.position = last + 1;
        return kind;
    }

    // The text ends inside the token: it runs to the end as an error.
    std::int32_t Unterminated(const char16_t* what, std::int32_t nulAt) {
        token.text = FormatText(u"%s at offset %d unterminated", {what, start});
        return Finish(TOKEN_ERROR, nulAt - 1);
    }

    std::int32_t Incorrect(const char16_t* what, std::int32_t offending) {
        std::int32_t p = offending;
        const ErrorEnd end = ScanError(s, p);
        if (end == ERROR_AT_NUL) return Unterminated(u"tag", p);
        token.text = FormatText(u"Incorrect %s at offset %d", {what, start});
        return Finish(TOKEN_ERROR, end == ERROR_AT_GT ? p : p - 1);
    }

    std::int32_t Doctype();
    std::int32_t Markup();
    std::int32_t Text();
};

template <bool CopyNames>
MARKUP_HOT_INLINE std::int32_t Reader<CopyNames>::Text() {
    std::int32_t p = start;
    while (IsWhite(s[p])) ++p;
    char16_t c = s[p];
    if (c == u'<' || c == 0) return Finish(TOKEN_WHITESPACE, p - 1);
    // From here on a ">" ends the token (the first non-white character
    // itself never does).
    p = FindFirst(s, p + 1, blockEnd, u'<', u'>');
    return s[p] == u'>' ? Finish(TOKEN_TEXT, p) : Finish(TOKEN_TEXT, p - 1);
}

template <bool CopyNames>
MARKUP_HOT_INLINE std::int32_t Reader<CopyNames>::Markup() {
    const char16_t c1 = s[start + 1];
    if (IsNameStart(c1)) {
        std::int32_t p = SkipName(s, start + 1);
        if (CopyNames) token.text.assign(s + start + 1, static_cast<std::size_t>(p - start - 1));
        if (s[p] == u'>') return Finish(TOKEN_START_TAG, p);  // no attributes
        bool empty = false;
        if (!ScanTagBody(s, blockEnd, p, empty)) return Unterminated(u"Element tag", p);
        if (empty) token.flags = TOKEN_EMPTY_ELEMENT;
        return Finish(TOKEN_START_TAG, p);
    }
    if (c1 == u'/') {
        std::int32_t p = SkipName(s, start + 2);
        cursor.nameStart = start + 2;
        cursor.nameEnd = p - 1;
        if (!ScanToGt(s, blockEnd, p)) return Unterminated(u"Element end tag", p);
        return Finish(TOKEN_END_TAG, p);
    }
    if (c1 == u'?') {
        std::int32_t p = SkipName(s, start + 2);
        if (CopyNames) token.text.assign(s + start + 2, static_cast<std::size_t>(p - start - 2));
        if (!ScanDelimited(s, blockEnd, p, u"?", 2)) return Unterminated(u"Processing instruction", p);
        return Finish(TOKEN_PROCESSING_INSTRUCTION, p);
    }
    if (c1 != u'!') return Incorrect(u"tag name character", start + 1);

    const char16_t c2 = s[start + 2];
    if (c2 == u'-') {
        if (s[start + 3] != u'-') return Incorrect(u"comment tag", start + 3);
        std::int32_t p = start + 4;
        if (!ScanDelimited(s, blockEnd, p, u"--", 3)) return Unterminated(u"Comment", p);
        return Finish(TOKEN_COMMENT, p);
    }
    if (c2 == u'[') {
        if (s[start + 3] != u'C') return Incorrect(u"tag", start + 3);
        std::int32_t p = start + 4;
        if (!ScanDelimited(s, blockEnd, p, u"]]", 3)) return Unterminated(u"CDATA Section", p);
        return Finish(TOKEN_CDATA, p);
    }
    if (c2 == u'D') return Doctype();
    if (c2 == u'E' || c2 == u'A' || c2 == u'N') {
        std::int32_t p = start + 3;
        if (!ScanDeclaration(s, p)) return Unterminated(u"Doctype", p);
        return Finish(TOKEN_DECLARATION, p);
    }
    return Incorrect(u"! tag", start + 2);
}

// <!DOCTYPE ... [ internal subset ]>: nested items are read as markup and the
// token ends at the first ">" outside them. An "Incorrect" message names the
// DOCTYPE's "<", or the closing ">" of the nested item read last.
template <bool CopyNames>
inline std::int32_t Reader<CopyNames>::Doctype() {
    std::int32_t mark = start;
    std::int32_t p = start + 3;
    for (;;) {
        const char16_t c = s[p];
        if (c == 0) return Unterminated(u"Doctype", p);
        if (c == u'>') return Finish(TOKEN_DECLARATION, p);
        if (c != u'<') {
            ++p;
            continue;
        }
        const char16_t c1 = s[p + 1];
        const char16_t* incorrect = nullptr;
        std::int32_t offending = 0;
        bool closed = false;
        if (IsNameStart(c1)) {
            p = SkipName(s, p + 1);
            bool empty = false;
            closed = ScanTagBody(s, blockEnd, p, empty);
        } else if (c1 == u'/') {
            p = SkipName(s, p + 2);
            closed = ScanToGt(s, blockEnd, p);
        } else if (c1 == u'?') {
            p = SkipName(s, p + 2);
            closed = ScanDelimited(s, blockEnd, p, u"?", 2);
        } else if (c1 == u'!') {
            const char16_t c2 = s[p + 2];
            if (c2 == u'-') {
                if (s[p + 3] == u'-') {
                    p += 4;
                    closed = ScanDelimited(s, blockEnd, p, u"--", 3);
                } else {
                    incorrect = u"comment tag";
                    offending = p + 3;
                }
            } else if (c2 == u'E' || c2 == u'A' || c2 == u'N') {
                p += 3;
                closed = ScanDeclaration(s, p);
            } else {
                incorrect = u"! tag";  // also <![ and <!D
                offending = p + 2;
            }
        } else {
            incorrect = u"tag name character";
            offending = p + 1;
        }
        if (incorrect != nullptr) {
            p = offending;
            const ErrorEnd end = ScanError(s, p);
            if (end == ERROR_AT_LT) {
                token.text = FormatText(u"Incorrect %s at offset %d", {incorrect, mark});
                return Finish(TOKEN_ERROR, p - 1);
            }
            // At ">" the error item closes and the DOCTYPE goes on; if the
            // DOCTYPE then ends well the error is not reported.
            closed = end == ERROR_AT_GT;
        }
        if (!closed) return Unterminated(u"Doctype", p);
        mark = p;
        ++p;
    }
}

// Reads one token as NextToken does. Without CopyNames a start tag's name is
// not copied into the token's text: it stays in the text after the "<".
// textLength, when known (not negative), lets long runs be searched in blocks.
template <bool CopyNames>
MARKUP_HOT_INLINE std::int32_t ReadToken(TokenCursor& cursor, MarkupToken& token, std::int32_t textLength) {
    const std::int32_t start = cursor.position;
    token.start = start;
    token.flags = 0;
    Reader<CopyNames> reader{cursor, token, cursor.text, start, textLength < 0 ? kNoBlocks : textLength - 7};
    const char16_t c = cursor.text[start];
    if (c == 0) {
        token.kind = TOKEN_END_OF_TEXT;
        token.length = 0;
        return TOKEN_END_OF_TEXT;
    }
    if (c == u'<') return reader.Markup();
    return reader.Text();
}

}  // namespace markup_internal
