#include "MarkupDocument.h"

#include <climits>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CString.h"
#include "TokenReader.h"
#include "Tokenizer.h"

namespace {

constexpr std::int32_t kBlockRecords = 65536;
constexpr std::uint32_t kStartTagMask = 0x3FFFFF;
constexpr int kEndTagShift = 22;
// Longest tags the packed tagLengths field holds. Longer ones are refused as
// malformed markup rather than stored truncated.
constexpr std::int32_t kStartTagLimit = 1 << 20;
constexpr std::int32_t kEndTagLimit = 1 << 9;

// An end tag's name closes an open element when it equals the element's name
// over its own length and the element's name ends there or goes on with one
// of " =/[]". The open element's name is read in place after its "<": it ends
// at white space, "/", ">" or the NUL, none of which an end tag's name holds,
// so a shorter open name differs within the end tag name's length.
inline bool EndTagMatches(const char16_t* open, const char16_t* name, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i)
        if (open[i] != name[i]) return false;
    const char16_t next = open[length];
    return markup_internal::EndsName(next) || next == u'=' || next == u'[' || next == u']';
}

// A filter over the names of the open elements, for documents whose end
// tags keep missing deep in the stack: without it each such end tag walks the
// whole stack, and a run of them costs the square of the depth. An element
// is filed under its name up to the first "=", "[" or "]"; an end tag's name
// cut the same way must be on file for it to close anything (the name it
// closes begins with it, and both cuts fall at the same place), so a name not
// on file is a miss without a walk. Built only when an end tag must look
// past the innermost element of a deep stack, and dropped when the stack is
// shallow again: well-formed documents never pay for it.
class OpenNameFilter {
public:
    static constexpr std::int32_t kBuildDepth = 64;
    static constexpr std::int32_t kDropDepth = 32;

    bool Active() const { return active; }

    void Build(const char16_t* text, const std::vector<MarkupToken>& stack, std::int32_t top) {
        for (std::int32_t level = 0; level < top; ++level) Add(text, stack[static_cast<std::size_t>(level)].start);
        active = true;
    }
    void Drop() {
        counts.clear();
        active = false;
    }
    void Add(const char16_t* text, std::int32_t tagStart) {
        ++counts[Cut(text + tagStart + 1, markup_internal::SkipName(text, tagStart + 1) - tagStart - 1)];
    }
    void Remove(const char16_t* text, std::int32_t tagStart) {
        const auto found =
            counts.find(Cut(text + tagStart + 1, markup_internal::SkipName(text, tagStart + 1) - tagStart - 1));
        if (found != counts.end() && --found->second == 0) counts.erase(found);
    }
    bool MayClose(const char16_t* name, std::int32_t length) const {
        return counts.find(Cut(name, length)) != counts.end();
    }

private:
    static std::u16string_view Cut(const char16_t* name, std::int32_t length) {
        std::int32_t n = 0;
        while (n < length && name[n] != u'=' && name[n] != u'[' && name[n] != u']') ++n;
        return std::u16string_view(name, static_cast<std::size_t>(n));
    }

    std::unordered_map<std::u16string_view, std::int32_t> counts;
    bool active = false;
};

std::u16string OpenName(const char16_t* text, std::int32_t tagStart) {
    const std::int32_t end = markup_internal::SkipName(text, tagStart + 1);
    return std::u16string(text + tagStart + 1, static_cast<std::size_t>(end - tagStart - 1));
}

}  // namespace

MarkupDocument::MarkupDocument() {
    try {
        Parse(std::u16string());
    } catch (...) {
        FreeTable();  // the destructor does not run for a constructor that throws
        throw;
    }
}

MarkupDocument::~MarkupDocument() {
    FreeTable();
}

void MarkupDocument::FreeTable() {
    for (std::int32_t i = 0; i < blockSlots; ++i) delete[] blocks[i];
    delete[] blocks;
    blocks = nullptr;
    blockSlots = 0;
    capacity = 0;
    usedCount = 0;
}

const ElementRecord& MarkupDocument::Record(std::int32_t index) const {
    static const ElementRecord none{};
    if (index < 0 || index >= usedCount) return none;
    return Rec(index);
}

std::int32_t MarkupDocument::StartTagLength(std::int32_t index) const {
    return static_cast<std::int32_t>(Record(index).tagLengths & kStartTagMask);
}

std::int32_t MarkupDocument::EndTagLength(std::int32_t index) const {
    // Never more than 9 bits are stored, so the top bit is clear.
    return static_cast<std::int32_t>(Record(index).tagLengths >> kEndTagShift);
}

std::size_t MarkupDocument::TableBytes() const {
    return static_cast<std::size_t>(capacity) * sizeof(ElementRecord) +
           static_cast<std::size_t>(blockSlots) * sizeof(ElementRecord*);
}

void MarkupDocument::GrowElementTable(std::int32_t wanted) {
    if (wanted == 0) wanted = usedCount + usedCount / 2;
    if (capacity >= wanted) return;
    const std::int32_t lastBlock = capacity > 0 ? (capacity - 1) / kBlockRecords : 0;
    std::int32_t newLastBlock = (wanted - 1) / kBlockRecords;
    if (newLastBlock > lastBlock + 1) {
        newLastBlock = lastBlock + 1;
        wanted = (lastBlock + 2) * kBlockRecords;
    }
    if (blockSlots <= newLastBlock) {
        const std::int32_t slots = 2 * newLastBlock + 4;
        ElementRecord** grown = new ElementRecord*[static_cast<std::size_t>(slots)]();
        for (std::int32_t i = 0; i < blockSlots; ++i) grown[i] = blocks[i];
        delete[] blocks;
        blocks = grown;
        blockSlots = slots;
    }
    const std::int32_t usedInLast = capacity - lastBlock * kBlockRecords;
    if (lastBlock < newLastBlock && usedInLast < kBlockRecords) {
        ElementRecord* full = new ElementRecord[kBlockRecords];
        if (usedInLast > 0)
            std::memcpy(full, blocks[lastBlock], static_cast<std::size_t>(usedInLast) * sizeof(ElementRecord));
        delete[] blocks[lastBlock];
        blocks[lastBlock] = full;
    }
    ElementRecord* block = new ElementRecord[static_cast<std::size_t>(wanted - newLastBlock * kBlockRecords)];
    if (newLastBlock == lastBlock && usedInLast > 0) {
        std::memcpy(block, blocks[lastBlock], static_cast<std::size_t>(usedInLast) * sizeof(ElementRecord));
        delete[] blocks[lastBlock];
    }
    blocks[newLastBlock] = block;
    capacity = wanted;
}

void MarkupDocument::SetIllFormed() {
    Rec(0).flags |= DOCUMENT_ILL_FORMED;
}

bool MarkupDocument::Parse(const std::u16string& source) {
    parentIndex = currentIndex = childIndex = 0;
    errorText.clear();
    // Offsets are 32-bit: a longer text cannot be described, so it is not
    // taken at all.
    const bool tooLong = source.size() > static_cast<std::size_t>(INT32_MAX);
    if (tooLong) {
        text.clear();
        text.shrink_to_fit();
    } else {
        text = source;
    }

    usedCount = 1;
    const std::int32_t wanted = static_cast<std::int32_t>(text.size() / 64) + 8;
    while (capacity < wanted) GrowElementTable(wanted);
    Rec(0) = ElementRecord{};

    std::int32_t first = 0;
    if (tooLong) {
        SetIllFormed();
        errorText = u"Document too long";
    } else if (text.empty()) {
        errorText = u"Empty document";
    } else {
        first = BuildElementTree();
        Rec(0).length = static_cast<std::uint32_t>(text.size());
        if (first == 0) errorText = u"No root element";
        else if (Rec(first).nextSibling != 0) errorText = u"Root element has sibling";
    }
    parentIndex = currentIndex = childIndex = 0;
    return (Rec(0).flags & DOCUMENT_ILL_FORMED) == 0 && first != 0 && Rec(first).nextSibling == 0;
}

std::int32_t MarkupDocument::BuildElementTree() {
    // OpenTagStack: the start tags of the open elements, outermost first; the
    // next token is always read into the slot above the top. A tag's name is
    // not copied out: it is read from the text at the tag's start. The open
    // elements themselves are the chain of parents up from openParent: an
    // open element is never moved by recovery, so its parent link is exact.
    std::vector<MarkupToken> stack(6);
    std::int32_t top = 0;
    std::int32_t openParent = 0;
    std::int32_t first = 0;
    // Recovery moves children up a level but leaves their parent links to be
    // set in one pass at the end, so that closing a long run of unended
    // elements costs time in proportion to their number, not its square.
    bool childrenMoved = false;
    OpenNameFilter names;

    TokenCursor cursor;
    cursor.text = text.c_str();
    const char16_t* const s = cursor.text;
    const std::int32_t textLength = static_cast<std::int32_t>(text.size());

    // Closes the innermost open element without its end tag.
    auto closeUnended = [&](const std::u16string* endName, std::int32_t endOffset) {
        const std::int32_t index = openParent;
        ElementRecord& element = Rec(index);
        const std::int32_t parent = static_cast<std::int32_t>(element.parent);
        SetIllFormed();
        element.tagLengths &= kStartTagMask;
        element.length = element.tagLengths;
        const std::int32_t child = static_cast<std::int32_t>(element.firstChild);
        element.firstChild = 0;
        if (child != 0) {
            // The unended element is its parent's last child: its children
            // follow it there.
            ElementRecord& firstMoved = Rec(child);
            const std::uint32_t lastMoved = firstMoved.prevSibling;
            element.nextSibling = static_cast<std::uint32_t>(child);
            firstMoved.prevSibling = static_cast<std::uint32_t>(index);
            Rec(static_cast<std::int32_t>(Rec(parent).firstChild)).prevSibling = lastMoved;
            childrenMoved = true;
        }
        const std::int32_t tagStart = stack[static_cast<std::size_t>(top - 1)].start;
        if (names.Active()) names.Remove(s, tagStart);
        if (errorText.empty()) {
            const std::u16string name = OpenName(s, tagStart);
            const std::uint32_t start = Rec(index).start;
            if (endName != nullptr)
                errorText = FormatText(u"End tag '%s' at offset %d does not match start tag '%s' at offset %d",
                                       {*endName, endOffset, name, start});
            else
                errorText = FormatText(u"Element '%s' at offset %d not ended", {name, start});
        }
        openParent = parent;
        --top;
    };

    for (;;) {
        MarkupToken& token = stack[static_cast<std::size_t>(top)];
        const std::int32_t kind = markup_internal::ReadToken<false>(cursor, token, textLength);

        if (kind == TOKEN_START_TAG) {
            if (token.length >= kStartTagLimit) {
                SetIllFormed();
                if (errorText.empty())
                    errorText = FormatText(u"Element tag at offset %d too long", {token.start});
                continue;
            }
            if (usedCount == capacity) GrowElementTable(0);
            const std::int32_t index = usedCount++;
            if (first == 0) first = index;
            ElementRecord& element = Rec(index);
            element.start = static_cast<std::uint32_t>(token.start);
            element.length = static_cast<std::uint32_t>(token.length);
            element.tagLengths = static_cast<std::uint32_t>(token.length);
            element.flags = 0;
            element.parent = static_cast<std::uint32_t>(openParent);
            element.firstChild = 0;
            element.nextSibling = 0;
            ElementRecord& parent = Rec(openParent);
            if (parent.firstChild == 0) {
                parent.firstChild = static_cast<std::uint32_t>(index);
                element.prevSibling = static_cast<std::uint32_t>(index);
            } else {
                ElementRecord& firstChild = Rec(static_cast<std::int32_t>(parent.firstChild));
                const std::uint32_t last = firstChild.prevSibling;
                Rec(static_cast<std::int32_t>(last)).nextSibling = static_cast<std::uint32_t>(index);
                element.prevSibling = last;
                firstChild.prevSibling = static_cast<std::uint32_t>(index);
            }
            if ((token.flags & TOKEN_EMPTY_ELEMENT) == 0) {
                openParent = index;
                if (names.Active()) names.Add(s, token.start);
                if (++top == static_cast<std::int32_t>(stack.size())) stack.resize(2 * stack.size() + 6);
            }
        } else if (kind == TOKEN_END_TAG) {
            if (token.length >= kEndTagLimit) {
                SetIllFormed();
                if (errorText.empty())
                    errorText = FormatText(u"Element end tag at offset %d too long", {token.start});
                continue;
            }
            const char16_t* name = s + cursor.nameStart;
            const std::int32_t nameLength = cursor.nameEnd - cursor.nameStart + 1;
            std::int32_t level = top - 1;
            std::int32_t index = openParent;
            bool found = level >= 0 && EndTagMatches(s + stack[static_cast<std::size_t>(level)].start + 1, name, nameLength);
            if (!found && level > 0) {
                if (!names.Active() && top > OpenNameFilter::kBuildDepth) names.Build(s, stack, top);
                if (!names.Active() || names.MayClose(name, nameLength)) {
                    while (!found && level > 0) {
                        index = static_cast<std::int32_t>(Rec(index).parent);
                        --level;
                        found = EndTagMatches(s + stack[static_cast<std::size_t>(level)].start + 1, name, nameLength);
                    }
                }
            }
            if (!found) {
                SetIllFormed();
                if (errorText.empty())
                    errorText = FormatText(u"No start tag for end tag '%s' at offset %d",
                                           {std::u16string(name, static_cast<std::size_t>(nameLength)), token.start});
                continue;
            }
            ElementRecord& element = Rec(index);
            element.length = static_cast<std::uint32_t>(token.start + token.length) - element.start;
            element.tagLengths = (element.tagLengths & kStartTagMask) |
                                 (static_cast<std::uint32_t>(token.length) << kEndTagShift);
            if (top - 1 > level) {
                const std::u16string endName(name, static_cast<std::size_t>(nameLength));
                while (top - 1 > level) closeUnended(&endName, token.start + 1);
            }
            openParent = static_cast<std::int32_t>(Rec(index).parent);
            if (names.Active()) {
                names.Remove(s, stack[static_cast<std::size_t>(level)].start);
                if (level < OpenNameFilter::kDropDepth) names.Drop();
            }
            top = level;
        } else if (kind == TOKEN_ERROR) {
            SetIllFormed();
            if (errorText.empty()) errorText = token.text;
        } else if (kind == TOKEN_END_OF_TEXT) {
            while (top > 0) closeUnended(nullptr, 0);
            break;
        }
    }

    if (childrenMoved) {
        for (std::int32_t i = 0; i < usedCount; ++i)
            for (std::uint32_t c = Rec(i).firstChild; c != 0; c = Rec(static_cast<std::int32_t>(c)).nextSibling)
                Rec(static_cast<std::int32_t>(c)).parent = static_cast<std::uint32_t>(i);
    }
    return first;
}
