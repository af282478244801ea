#include <functional>

#include "MarkupDocument.h"
#include "Tokenizer.h"

namespace {

inline bool IsWhite(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// Characters that end a tag word.
inline bool EndsWord(char16_t c) {
    switch (c) {
    case 0: case u' ': case u'\t': case u'\n': case u'\r': case u'<': case u'>':
    case u'=': case u'\\': case u'/': case u'?': case u'!':
        return true;
    default:
        return false;
    }
}

// The caller's name matches a tag word when the word is the start of the name
// and the name ends there or goes on with one of " =/[]".
inline bool NameMatches(const char16_t* word, std::int32_t wordLength, const std::u16string& name) {
    const std::size_t n = static_cast<std::size_t>(wordLength);
    if (name.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (name[i] != word[i]) return false;
    if (name.size() == n) return true;
    const char16_t next = name[n];
    return next == u' ' || next == u'=' || next == u'/' || next == u'[' || next == u']';
}

}  // namespace

void MarkupDocument::TagWordSpan(std::int32_t index, const char16_t*& word, std::int32_t& length) const {
    word = text.c_str();
    length = 0;
    if (index <= 0 || index >= usedCount) return;
    // The text after the "<" is read up to its NUL; the start tag always lies
    // before it, so the word never runs past the text.
    std::size_t p = static_cast<std::size_t>(Rec(index).start) + 1;
    if (p >= text.size()) return;
    const char16_t* s = text.c_str();
    while (IsWhite(s[p])) ++p;
    word = s + p;
    if (s[p] == 0) return;
    if (EndsWord(s[p])) {
        length = 1;
        return;
    }
    std::size_t end = p;
    while (!EndsWord(s[end])) ++end;
    length = static_cast<std::int32_t>(end - p);
}

std::u16string MarkupDocument::TagWord(std::int32_t index) const {
    const char16_t* word = nullptr;
    std::int32_t length = 0;
    TagWordSpan(index, word, length);
    return std::u16string(word, static_cast<std::size_t>(length));
}

std::int32_t MarkupDocument::FindNamedChild(std::int32_t parent, std::int32_t after, const std::u16string& name) const {
    std::int32_t candidate = 0;
    if (after != 0) {
        if (after < 0 || after >= usedCount) return 0;
        candidate = static_cast<std::int32_t>(Rec(after).nextSibling);
    } else {
        if (parent < 0 || parent >= usedCount) return 0;
        candidate = static_cast<std::int32_t>(Rec(parent).firstChild);
    }
    if (name.empty()) return candidate;
    for (; candidate != 0; candidate = static_cast<std::int32_t>(Rec(candidate).nextSibling)) {
        const char16_t* word = nullptr;
        std::int32_t length = 0;
        TagWordSpan(candidate, word, length);
        if (NameMatches(word, length, name)) return candidate;
    }
    return 0;
}

std::int32_t MarkupDocument::FindChild(const std::u16string& name) {
    if (currentIndex == 0) {
        const std::int32_t first = FindNamedChild(parentIndex, 0, std::u16string());
        if (first != 0) {
            currentIndex = first;
            parentIndex = static_cast<std::int32_t>(Rec(first).parent);
            childIndex = 0;
        }
    }
    const std::int32_t found = FindNamedChild(currentIndex, childIndex, name);
    if (found != 0) {
        childIndex = found;
        currentIndex = static_cast<std::int32_t>(Rec(found).parent);
        parentIndex = static_cast<std::int32_t>(Rec(currentIndex).parent);
    }
    return found;
}

void MarkupDocument::EnterChild() {
    if (currentIndex == 0) return;
    parentIndex = currentIndex;
    currentIndex = childIndex;
    childIndex = 0;
}

void MarkupDocument::LeaveElement() {
    if (parentIndex == 0) return;
    childIndex = currentIndex;
    currentIndex = parentIndex;
    parentIndex = static_cast<std::int32_t>(Rec(currentIndex).parent);
}

std::u16string MarkupDocument::ChildText() const {
    return ElementText(childIndex);
}

std::u16string MarkupDocument::ElementText(std::int32_t index) const {
    std::u16string result;
    // Index 0 is the document node, which is no element: none has no text.
    if (index <= 0 || index >= usedCount) return result;
    const ElementRecord& element = Rec(index);
    if (element.firstChild != 0) return result;
    const std::int64_t startTag = StartTagLength(index);
    if (startTag == element.length) return result;
    const std::int64_t contentStart = element.start + startTag;
    std::int64_t contentEnd = element.start + static_cast<std::int64_t>(element.length) - EndTagLength(index);
    if (contentEnd > static_cast<std::int64_t>(text.size())) contentEnd = static_cast<std::int64_t>(text.size());
    if (contentEnd <= contentStart) return result;

    const char16_t* s = text.c_str();
    const std::int32_t begin = static_cast<std::int32_t>(contentStart);
    const std::int32_t end = static_cast<std::int32_t>(contentEnd);
    bool markup = false;
    for (std::int32_t i = begin; i < end && !markup; ++i) markup = s[i] == u'<';
    if (!markup) return DecodeEntities(s + begin, end - begin);

    TokenCursor cursor;
    cursor.text = s;
    cursor.position = begin;
    MarkupToken token;
    while (cursor.position < end) {
        const std::int32_t kind = NextToken(cursor, token);
        if (kind == TOKEN_END_OF_TEXT) break;
        // Tokens of the content never cross its end; the clip only keeps a
        // damaged table from reaching outside the element.
        const std::int32_t length = token.start + token.length > end ? end - token.start : token.length;
        if (kind == TOKEN_TEXT) {
            result += DecodeEntities(s + token.start, length);
        } else if (kind == TOKEN_CDATA && length >= 12) {
            // A section shorter than "<![CDATA[" plus "]]>" has no content.
            result.append(s + token.start + 9, static_cast<std::size_t>(length - 12));
        }
    }
    return result;
}

namespace {

// wcstol over [p, stop): leading white space, a sign, for base 16 an optional
// "0x", then digits up to the first other character. stop is the ";" after at
// most seven characters, so the value cannot overflow.
long ReadLong(const char16_t* p, const char16_t* stop, int base) {
    while (p < stop && (*p == u' ' || (*p >= u'\t' && *p <= u'\r'))) ++p;
    bool negative = false;
    if (p < stop && (*p == u'+' || *p == u'-')) negative = *p++ == u'-';
    auto digit = [base](char16_t c) -> int {
        int d = 99;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'a' && c <= u'z') d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'Z') d = c - u'A' + 10;
        return d < base ? d : -1;
    };
    if (base == 16 && stop - p >= 3 && p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && digit(p[2]) >= 0) p += 2;
    long value = 0;
    for (; p < stop; ++p) {
        const int d = digit(*p);
        if (d < 0) break;
        value = value * base + d;
    }
    return negative ? -value : value;
}

}  // namespace

std::u16string MarkupDocument::DecodeEntities(const char16_t* chars, std::int32_t length) const {
    std::u16string out;
    if (chars == nullptr || length <= 0) return out;
    // A numeric reference is looked for past length, up to the end of the
    // document text when chars lies inside it. Any other buffer is read only
    // within its length.
    const char16_t* limit = chars + length;
    const char16_t* textBegin = text.c_str();
    const char16_t* textEnd = textBegin + text.size();
    const std::less<const char16_t*> before;
    if (!before(chars, textBegin) && before(chars, textEnd)) {
        limit = textEnd;
        if (before(textEnd, chars + length)) length = static_cast<std::int32_t>(textEnd - chars);
    }
    const char16_t* const end = chars + length;
    auto at = [limit](const char16_t* p) -> char16_t { return p < limit ? *p : char16_t(0); };

    out.reserve(static_cast<std::size_t>(length));
    const char16_t* p = chars;
    while (p < end) {
        const char16_t* run = p;
        while (p < end && *p != u'&') ++p;
        out.append(run, p);
        if (p == end) break;

        // p is at "&".
        if (at(p + 1) == u'#') {
            const char16_t* digits = p + 2;
            int base = 10;
            if (at(digits) == u'x') {
                ++digits;
                base = 16;
            }
            const char16_t* semicolon = nullptr;
            for (int k = 0; k < 8; ++k) {
                const char16_t c = at(digits + k);
                if (c == u';') {
                    semicolon = digits + k;
                    break;
                }
                if (c == 0) break;
            }
            const long value = semicolon != nullptr ? ReadLong(digits, semicolon, base) : 0;
            if (value != 0) {
                if (value < 0 || value > 0x10FFFF) {
                    out += u'\uFFFD';
                } else if (value <= 0xFFFF) {
                    out += static_cast<char16_t>(value);
                } else if (out.size() + 2 > static_cast<std::size_t>(length)) {
                    // The pair would make the result longer than the input.
                    out += u'\uFFFD';
                } else {
                    const long v = value - 0x10000;
                    out += static_cast<char16_t>(0xD800 + (v >> 10));
                    out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
                }
                p = semicolon + 1;
                continue;
            }
            out += u'&';
            ++p;
            continue;
        }

        static const struct {
            const char16_t* name;
            std::int32_t length;
            char16_t character;
        } kEntities[] = {
            {u"lt;", 3, u'<'}, {u"amp;", 4, u'&'}, {u"gt;", 3, u'>'}, {u"apos;", 5, u'\''}, {u"quot;", 5, u'"'},
        };
        bool named = false;
        for (const auto& entity : kEntities) {
            if (end - (p + 1) < entity.length) continue;
            std::int32_t i = 0;
            while (i < entity.length && p[1 + i] == entity.name[i]) ++i;
            if (i == entity.length) {
                out += entity.character;
                p += 1 + entity.length;
                named = true;
                break;
            }
        }
        if (!named) {
            out += u'&';
            ++p;
        }
    }
    return out;
}
