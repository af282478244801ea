// Invariants of the markup engine, for the unit tests and the fuzz target: each returns what broke ("BROKEN: ...").
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "CString.h"
#include "MarkupDocument.h"
#include "TokenReader.h"
#include "Tokenizer.h"

namespace markupcheck {

// Reads every token one by one and, in step, with the block search of the element-table pass: the two must agree and
// tile the text up to its first NUL. Returns them as kind(length), "/" for an empty-element tag, then the name or the
// error message, joined by " | ": "ws(1) | start(4)/ a".
inline std::string Tokens(const std::u16string& text, bool describe = true) {
    static const std::map<std::int32_t, std::string> kinds = {
        {TOKEN_ERROR, "error"}, {TOKEN_END_TAG, "end"},         {TOKEN_START_TAG, "start"},
        {TOKEN_TEXT, "text"},   {TOKEN_WHITESPACE, "ws"},       {TOKEN_CDATA, "cdata"},
        {TOKEN_COMMENT, "comment"}, {TOKEN_DECLARATION, "decl"}, {TOKEN_PROCESSING_INSTRUCTION, "pi"}};
    const std::int32_t end = static_cast<std::int32_t>(std::min(text.size(), text.find(u'\0')));
    TokenCursor one, block;
    one.text = block.text = text.c_str();
    MarkupToken a, b;
    std::string out;
    for (;;) {
        const std::int32_t at = one.position, kind = NextToken(one, a);
        const bool named = kind == TOKEN_START_TAG || kind == TOKEN_PROCESSING_INSTRUCTION || kind == TOKEN_ERROR;
        if (markup_internal::ReadToken<true>(block, b, static_cast<std::int32_t>(text.size())) != kind ||
            b.start != a.start || b.length != a.length || b.flags != a.flags || block.position != one.position ||
            (named && b.text != a.text))
            return "BROKEN: block search differs at " + std::to_string(at);
        if (a.kind != kind || a.start != at) return "BROKEN: token does not start at the cursor";
        if (kind == TOKEN_END_OF_TEXT) return at == end && a.length == 0 && one.position == at ? out : "BROKEN: end";
        if (a.length < 1 || one.position != at + a.length || one.position > end) return "BROKEN: tokens do not tile";
        if ((kind == TOKEN_ERROR && a.text.empty()) ||
            (kind == TOKEN_END_TAG && (one.nameStart != at + 2 || one.nameEnd < at + 1 || one.nameEnd >= one.position)))
            return "BROKEN: token text";
        if (kind != TOKEN_TEXT && kind != TOKEN_WHITESPACE && kind != TOKEN_ERROR &&
            (text[static_cast<std::size_t>(at)] != u'<' || text[static_cast<std::size_t>(one.position - 1)] != u'>'))
            return "BROKEN: markup token not within < >";
        const std::u16string name = named ? a.text
                                    : kind != TOKEN_END_TAG
                                        ? u""
                                        : text.substr(static_cast<std::size_t>(one.nameStart),
                                                      static_cast<std::size_t>(one.nameEnd - one.nameStart + 1));
        if (describe)
            out += (out.empty() ? "" : " | ") + kinds.at(kind) + "(" + std::to_string(a.length) + ")" +
                   (a.flags != 0 ? "/" : "") + (name.empty() ? "" : " " + Utf16ToUtf8(name));
    }
}

// The element table against the text, the result against the first message, element text, tag words and the name
// search against the table; decoding never makes text longer. Empty when all hold.
inline std::string Document(const MarkupDocument& doc, bool wellFormed) {
    const std::u16string& text = doc.Text();
    const std::uint32_t size = static_cast<std::uint32_t>(text.size());
    const std::int32_t used = doc.UsedCount();
    const ElementRecord& root = doc.Record(0);
    if (used < 1 || used > doc.Capacity() || root.start != 0 || root.length != size || root.parent != 0 ||
        (root.flags & ~DOCUMENT_ILL_FORMED) != 0)
        return "BROKEN: document record";
    const bool oneRoot = root.firstChild && !doc.Record(static_cast<std::int32_t>(root.firstChild)).nextSibling;
    if (wellFormed != doc.ErrorText().empty() || wellFormed != ((root.flags & DOCUMENT_ILL_FORMED) == 0 && oneRoot))
        return "BROKEN: parse result";
    std::vector<char> seen(static_cast<std::size_t>(used), 0);
    for (std::int32_t i = 0; i < used; ++i) {
        const ElementRecord& r = doc.Record(i);
        const std::uint32_t startTag = static_cast<std::uint32_t>(doc.StartTagLength(i));
        const std::uint32_t endTag = static_cast<std::uint32_t>(doc.EndTagLength(i)), end = r.start + r.length;
        const std::u16string content = doc.ElementText(i), word = doc.TagWord(i);
        const std::string at = " of element " + std::to_string(i);
        if (i > 0 && (r.flags != 0 || r.parent >= static_cast<std::uint32_t>(i) ||
                      (i > 1 && r.start <= doc.Record(i - 1).start) || r.start >= size || text[r.start] != u'<' ||
                      startTag < 3 || startTag >= (1u << 20) || endTag >= 512 || r.length < startTag + endTag ||
                      r.start + r.length > size || text[r.start + startTag - 1] != u'>' ||
                      (endTag == 0 ? r.length != startTag
                                   : text[end - endTag] != u'<' || text[end - endTag + 1] != u'/' ||
                                         text[end - 1] != u'>')))
            return "BROKEN: record" + at;
        if (content.size() > r.length || (!content.empty() && (i == 0 || r.firstChild != 0 || endTag == 0)))
            return "BROKEN: text" + at;
        const std::int32_t found = i > 0 ? doc.FindNamedChild(static_cast<std::int32_t>(r.parent), 0, word) : 1;
        if (i > 0 && (word.empty() || found == 0 || found > i)) return "BROKEN: name search" + at;
        std::uint32_t previous = 0, child = r.firstChild;
        const std::uint32_t last = child != 0 ? doc.Record(static_cast<std::int32_t>(child)).prevSibling : 0;
        for (; child != 0; previous = child, child = doc.Record(static_cast<std::int32_t>(child)).nextSibling) {
            const ElementRecord& c = doc.Record(static_cast<std::int32_t>(child));
            if (child >= static_cast<std::uint32_t>(used) || seen[child]++ || c.parent != std::uint32_t(i) ||
                (previous != 0 && c.prevSibling != previous) ||
                (i > 0 && endTag > 0 && (c.start <= r.start || c.start + c.length > r.start + r.length)))
                return "BROKEN: links of the children" + at;
        }
        if (previous != last) return "BROKEN: last-child link" + at;
    }
    if (std::count(seen.begin() + 1, seen.end(), 1) != used - 1) return "BROKEN: elements not linked";
    for (std::size_t from = 0; from < text.size(); from += 7) {
        const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - from, 13));
        if (doc.DecodeEntities(text.c_str() + from, length).size() > static_cast<std::size_t>(length))
            return "BROKEN: decoding made text longer";
    }
    return "";
}

}  // namespace markupcheck
