// MarkupDocument: one XML text and the element table built from it in one
// pass, with a three-level navigation position for reading children by name.
//
// Not a general XML processor: it records where each element starts and
// ends and how elements nest; text stays in place and is cut out and decoded
// only on request. Parse never fails outright: the first problem is kept as
// text, DOCUMENT_ILL_FORMED is set on record 0, and the table is still built
// by fixed recovery rules. Offsets count UTF-16 code units.
//
// Records live in blocks of 65,536 and never move, so an element index stays
// valid until the next Parse. Index 0 is the document node; 0 also means none.
// Single-threaded: one owner uses a document at a time. Memory exhaustion
// propagates as std::bad_alloc; the document can then only be destroyed or
// parsed again.
//
// Limits, each reported as malformed markup (DOCUMENT_ILL_FORMED and a first
// message) rather than stored wrong:
// - a start tag of 1,048,576 code units or more ("Element tag at offset %d
//   too long") makes no element;
// - an end tag of 512 or more ("Element end tag at offset %d too long")
//   closes nothing, so its element stays unended;
// - a text longer than INT32_MAX code units is not taken at all ("Document
//   too long"; Text() is then empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::uint32_t DOCUMENT_ILL_FORMED = 0x800000;

struct ElementRecord {
    std::uint32_t start;        // offset of the start tag's '<'
    std::uint32_t length;       // start tag through end tag; start tag alone when empty or unended
    std::uint32_t tagLengths;   // start-tag length (low 22 bits, under 2^20), end-tag length (top 10 bits, under 512)
    std::uint32_t flags;        // record 0 only: DOCUMENT_ILL_FORMED
    std::uint32_t parent;
    std::uint32_t firstChild;
    std::uint32_t nextSibling;
    std::uint32_t prevSibling;  // of a first child: the parent's last child
};
static_assert(sizeof(ElementRecord) == 32, "element records are 32 bytes");

class MarkupDocument {
public:
    MarkupDocument();
    ~MarkupDocument();
    MarkupDocument(const MarkupDocument&) = delete;
    MarkupDocument& operator=(const MarkupDocument&) = delete;

    // Parses a copy of text; true when well formed (no error, exactly one
    // top-level element). Resets the navigation position.
    bool Parse(const std::u16string& text);

    const std::u16string& Text() const { return text; }
    const std::u16string& ErrorText() const { return errorText; }

    // Element table, for inspection: indexes 0 .. UsedCount()-1 (Record gives
    // an all-zero record for any other index).
    std::int32_t UsedCount() const { return usedCount; }
    std::int32_t Capacity() const { return capacity; }
    const ElementRecord& Record(std::int32_t index) const;
    std::int32_t StartTagLength(std::int32_t index) const;
    std::int32_t EndTagLength(std::int32_t index) const;
    // The tag word the name search compares: after the "<" and any white
    // space, up to one of " \t\n\r<>=\\/?!" (for <Update a="1"> "Update").
    std::u16string TagWord(std::int32_t index) const;
    // Bytes allocated for the element table (records and block array).
    std::size_t TableBytes() const;

    // Navigation.
    std::int32_t ParentIndex() const { return parentIndex; }
    std::int32_t CurrentIndex() const { return currentIndex; }
    std::int32_t ChildIndex() const { return childIndex; }
    std::int32_t FindChild(const std::u16string& name);
    void EnterChild();
    void LeaveElement();
    std::u16string ChildText() const;
    // Decoded text of an element without child elements; empty for index 0
    // (none) and for empty, unended or parent elements.
    std::u16string ElementText(std::int32_t index) const;
    // Decodes &lt; &amp; &gt; &apos; &quot; and numeric references (above
    // U+FFFF as a surrogate pair; no character, such as above U+10FFFF or
    // negative, as U+FFFD). The result is never longer than length. When
    // chars lies in Text(), a numeric reference may be read past length up to
    // the end of the text; any other buffer is read only within length.
    std::u16string DecodeEntities(const char16_t* chars, std::int32_t length) const;
    std::int32_t FindNamedChild(std::int32_t parent, std::int32_t after, const std::u16string& name) const;

private:
    ElementRecord& Rec(std::int32_t index) { return blocks[index >> 16][index & 0xFFFF]; }
    const ElementRecord& Rec(std::int32_t index) const { return blocks[index >> 16][index & 0xFFFF]; }
    // Grows the table towards wanted records (0: by half of those in use),
    // by at most one block per call.
    void GrowElementTable(std::int32_t wanted);
    // Builds the table from the text; returns the first element's index or 0.
    std::int32_t BuildElementTree();
    void SetIllFormed();
    void FreeTable();
    // The tag word of an element, in place in the text.
    void TagWordSpan(std::int32_t index, const char16_t*& word, std::int32_t& length) const;

    std::u16string text;
    std::u16string errorText;
    std::int32_t parentIndex = 0;
    std::int32_t currentIndex = 0;
    std::int32_t childIndex = 0;
    std::int32_t usedCount = 0;
    ElementRecord** blocks = nullptr;  // blockSlots entries; unused ones are null
    std::int32_t capacity = 0;
    std::int32_t blockSlots = 0;
};
