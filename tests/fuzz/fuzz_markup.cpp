// Fuzz target of the markup engine: tokenizer, element table, navigation and
// element text on any input.
//
// Input: bytes starting with 0xFE are the rest as UTF-16LE code units (lone
// surrogates and NULs included); anything else is UTF-8. Every invariant of
// the table and the tokens is checked; a broken one aborts with a message.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CString.h"
#include "MarkupDocument.h"
#include "TokenReader.h"
#include "Tokenizer.h"

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace {

std::u16string Input(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && data[0] == 0xFE) {
        std::u16string text;
        for (std::size_t i = 1; i + 1 < size; i += 2)
            text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        return text;
    }
    return Utf8ToUtf16(std::string(reinterpret_cast<const char*>(data), size));
}

void CheckTokens(const std::u16string& text) {
    std::int32_t end = 0;
    while (end < static_cast<std::int32_t>(text.size()) && text[static_cast<std::size_t>(end)] != 0) ++end;
    TokenCursor cursor;
    cursor.text = text.c_str();
    MarkupToken token;
    // The same text read with the block search the parser uses.
    TokenCursor blockCursor = cursor;
    MarkupToken blockToken;
    for (;;) {
        const std::int32_t before = cursor.position;
        const std::int32_t kind = NextToken(cursor, token);
        const std::int32_t blockKind =
            markup_internal::ReadToken<true>(blockCursor, blockToken, static_cast<std::int32_t>(text.size()));
        CHECK(blockKind == kind && blockToken.start == token.start && blockToken.length == token.length &&
              blockToken.flags == token.flags && blockCursor.position == cursor.position);
        if (kind == TOKEN_START_TAG || kind == TOKEN_PROCESSING_INSTRUCTION || kind == TOKEN_ERROR)
            CHECK(blockToken.text == token.text);
        CHECK(token.kind == kind && token.start == before);
        if (kind == TOKEN_END_OF_TEXT) {
            CHECK(before == end && token.length == 0 && cursor.position == before);
            break;
        }
        CHECK(token.length >= 1 && cursor.position == before + token.length && cursor.position <= end);
        if (kind == TOKEN_ERROR) CHECK(!token.text.empty());
        if (kind == TOKEN_END_TAG) CHECK(cursor.nameStart == before + 2 && cursor.nameEnd >= before + 1 && cursor.nameEnd < cursor.position);
        if (kind == TOKEN_START_TAG || kind == TOKEN_END_TAG || kind == TOKEN_DECLARATION || kind == TOKEN_COMMENT ||
            kind == TOKEN_CDATA || kind == TOKEN_PROCESSING_INSTRUCTION)
            CHECK(text[static_cast<std::size_t>(before)] == u'<' && text[static_cast<std::size_t>(cursor.position - 1)] == u'>');
    }
}

void CheckTable(const MarkupDocument& doc, bool wellFormed) {
    const std::u16string& text = doc.Text();
    const std::uint32_t size = static_cast<std::uint32_t>(text.size());
    const std::int32_t used = doc.UsedCount();
    CHECK(used >= 1 && used <= doc.Capacity());
    const ElementRecord& root = doc.Record(0);
    CHECK(root.start == 0 && root.length == size && root.parent == 0);
    CHECK((root.flags & ~DOCUMENT_ILL_FORMED) == 0);
    CHECK(wellFormed == doc.ErrorText().empty());
    const bool ill = (root.flags & DOCUMENT_ILL_FORMED) != 0;
    CHECK(wellFormed == (!ill && root.firstChild != 0 && doc.Record(static_cast<std::int32_t>(root.firstChild)).nextSibling == 0));

    std::vector<char> seen(static_cast<std::size_t>(used), 0);
    for (std::int32_t i = 0; i < used; ++i) {
        const ElementRecord& r = doc.Record(i);
        if (i > 0) {
            const std::uint32_t startTag = static_cast<std::uint32_t>(doc.StartTagLength(i));
            const std::uint32_t endTag = static_cast<std::uint32_t>(doc.EndTagLength(i));
            CHECK(r.flags == 0 && r.parent < static_cast<std::uint32_t>(i));
            CHECK(i == 1 || r.start > doc.Record(i - 1).start);
            CHECK(r.start < size && text[r.start] == u'<');
            CHECK(startTag >= 3 && startTag < (1u << 20) && endTag < 512);
            CHECK(r.length >= startTag + endTag && r.start + r.length <= size);
            CHECK(text[r.start + startTag - 1] == u'>');
            if (endTag == 0) {
                CHECK(r.length == startTag);
            } else {
                const std::uint32_t endStart = r.start + r.length - endTag;
                CHECK(text[endStart] == u'<' && text[endStart + 1] == u'/' && text[r.start + r.length - 1] == u'>');
            }
        }
        std::uint32_t child = r.firstChild;
        if (child == 0) continue;
        CHECK(child < static_cast<std::uint32_t>(used));
        const std::uint32_t last = doc.Record(static_cast<std::int32_t>(child)).prevSibling;
        std::uint32_t previous = 0;
        while (child != 0) {
            CHECK(child < static_cast<std::uint32_t>(used) && seen[child] == 0);
            seen[child] = 1;
            const ElementRecord& c = doc.Record(static_cast<std::int32_t>(child));
            CHECK(c.parent == static_cast<std::uint32_t>(i));
            CHECK(previous == 0 || c.prevSibling == previous);
            // A child lies inside an ended parent.
            if (i > 0 && doc.EndTagLength(i) > 0) CHECK(c.start > r.start && c.start + c.length <= r.start + r.length);
            previous = child;
            child = c.nextSibling;
        }
        CHECK(previous == last);
    }
    for (std::int32_t i = 1; i < used; ++i) CHECK(seen[static_cast<std::size_t>(i)] == 1);
}

void CheckText(const MarkupDocument& doc) {
    const std::int32_t used = doc.UsedCount();
    for (std::int32_t i = 0; i < used; ++i) {
        const std::u16string value = doc.ElementText(i);
        const ElementRecord& r = doc.Record(i);
        CHECK(value.size() <= r.length);
        if (i == 0 || r.firstChild != 0 || r.length == static_cast<std::uint32_t>(doc.StartTagLength(i)))
            CHECK(value.empty());
        const std::u16string word = doc.TagWord(i);
        CHECK(i == 0 || !word.empty());
        // Searching the element's own word among its siblings finds it or an earlier namesake.
        if (i > 0) {
            const std::int32_t found = doc.FindNamedChild(static_cast<std::int32_t>(r.parent), 0, word);
            CHECK(found != 0 && found <= i);
        }
    }
    // Decoding any slice of the text never grows it.
    const std::u16string& text = doc.Text();
    for (std::size_t from = 0; from < text.size(); from += 7) {
        const std::size_t length = std::min<std::size_t>(text.size() - from, 13);
        const std::u16string decoded = doc.DecodeEntities(text.c_str() + from, static_cast<std::int32_t>(length));
        CHECK(decoded.size() <= length);
    }
}

// The manifest reader's walk.
void Walk(MarkupDocument& doc) {
    static const char16_t* const fields[] = {u"OldVer", u"NewVer", u"NetUrl", u"LocalPath", u"UpdateInfo", u"InfoUrl", u"IsUpdate", u""};
    for (int records = 0; records < 100000; ++records) {
        const std::int32_t update = doc.FindChild(u"Update");
        if (update == 0) break;
        CHECK(doc.ChildIndex() == update);
        CHECK(doc.CurrentIndex() == static_cast<std::int32_t>(doc.Record(update).parent));
        doc.EnterChild();
        CHECK(doc.CurrentIndex() == update && doc.ChildIndex() == 0);
        for (const char16_t* field : fields) {
            const std::int32_t before = doc.ChildIndex();
            const std::int32_t found = doc.FindChild(field);
            if (found != 0) {
                CHECK(found > before && static_cast<std::int32_t>(doc.Record(found).parent) == update);
                CHECK(doc.ChildText() == doc.ElementText(found));
            } else {
                CHECK(doc.ChildIndex() == before);
            }
        }
        doc.LeaveElement();
        CHECK(doc.ChildIndex() == update);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string text = Input(data, size);
    CheckTokens(text);
    MarkupDocument doc;
    const bool wellFormed = doc.Parse(text);
    CheckTable(doc, wellFormed);
    CheckText(doc);
    Walk(doc);
    // A second parse into the same table.
    const std::u16string tail = text.substr(text.size() / 2);
    CheckTable(doc, doc.Parse(tail));
    return 0;
}
