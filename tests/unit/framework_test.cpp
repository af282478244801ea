// The framework layer: text formatting, UTF-8 conversion, the growable array.
#include <gtest/gtest.h>

#include <cstring>

#include "CArray.h"
#include "CString.h"
#include "TextDecoding.h"

// The patterns the program uses, flags, widths and bases; an argument that does not fit is a marker, never read.
TEST(Framework, FormatText) {
    CString formatted;
    formatted.Format(u"%s升级程序 %lu of %lu", u"Qelda", 4294967295ul, 0ul);
    const std::pair<std::u16string, const char16_t*> cases[] = {
        {formatted, u"Qelda升级程序 4294967295 of 0"}, {FormatText(u"%d%% %i", {99, -2147483647 - 1}), u"99% -2147483648"},
        {FormatText(u"'%s' at %d", {std::u16string(u"a"), 0}), u"'a' at 0"},
        {FormatText(u"[%5d|%-4d|%05d|%03d|%-05d]", {42, 7, -42, 1234, 3}), u"[   42|7   |-0042|1234|3    ]"},
        {FormatText(u"%x %X %08X %u %x", {255, 255u, 0xBEEFu, -1, -2}), u"ff FF 0000BEEF 4294967295 fffffffe"},
        {FormatText(u"%llu %hd %c%c", {18446744073709551615ull, 5LL, u'A', 0x4E2Du}), u"18446744073709551615 5 A中"},
        {FormatText(u"%d and %s", {u"text"}), u"(?) and (missing)"},
        {FormatText(u"%s|%u|%c|%x", {5, u"s", u"c", u"x"}), u"(?)|(?)|(?)|(?)"},
        {FormatText(u"tail %", {}), u"tail %"}, {FormatText(u"tail %-05l", {1}), u"tail %-05l"},
        {FormatText(u"%q %d", {3}), u"%q 3"}, {FormatText(u"%s", {static_cast<const char16_t*>(nullptr)}), u"(null)"},
    };
    for (const auto& [actual, expected] : cases) EXPECT_EQ(actual, expected) << Utf16ToUtf8(expected);
}

// UTF-8 both ways, each bad sequence as U+FFFD; the strict decoder refuses it, naming its offset.
TEST(Framework, Utf8) {
    const std::tuple<const char*, const char16_t*, int> cases[] = {  // the strict decoder's bad offset, or -1
        {"a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z", u"aé中😀z", -1}, {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", -1},
        {"\xED\x9F\xBF\xEE\x80\x80", u"\uD7FF\uE000", -1}, {"a\xFF" "b", u"a\uFFFDb", 1}, {"\xE4\xB8", u"\uFFFD", 0},
        {"\xC0\xAF", u"\uFFFD\uFFFD", 0}, {"\xE0\x80\x80", u"\uFFFD", 0}, {"\xED\xA0\x80", u"\uFFFD", 0},
        {"\xF0\x80\x80\x80", u"\uFFFD", 0}, {"\xF4\x90\x80\x80", u"\uFFFD", 0}, {"\xF5\x80", u"\uFFFD\uFFFD", 0},
        {"x\xE4" "a", u"x\uFFFDa", 1}, {"\x80", u"\uFFFD", 0},
    };
    for (const auto& [utf8, utf16, bad] : cases) {
        std::u16string strict;
        std::size_t at = 99;
        EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << utf8;
        EXPECT_EQ(DecodeUtf8Strict(utf8, std::strlen(utf8), strict, bad < 0 ? nullptr : &at), bad < 0) << utf8;
        EXPECT_EQ(bad < 0 ? Utf16ToUtf8(strict) : std::to_string(at), bad < 0 ? utf8 : std::to_string(bad)) << utf8;
    }
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x" + char16_t(0xDC00)), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

// The updater reads every downloaded manifest (byte-order marks as update-tool reads them, nothing refused); update-tool
// refuses what does not decode, and reads the same text from every file it accepts.
TEST(Framework, ManifestBytes) {
    const std::tuple<std::string, std::u16string, bool> cases[] = {  // bytes, text, strictly decoded too
        {"<a>\xE4\xB8\xAD</a>", u"<a>中</a>", true}, {"\xEF\xBB\xBF<a/>", u"<a/>", true},
        {std::string("\xFF\xFE<\0a\0", 6), u"<a", true}, {std::string("\xFE\xFF\0<\0a", 6), u"<a", true},
        {"<a>\xFF</a>", u"<a>\uFFFD</a>", false}, {std::string("\xFF\xFE<\0a", 5), u"<", false},
        {std::string("<a>\0</a>", 8), std::u16string(u"<a>\0</a>", 8), false}, {"", u"", true},
    };
    for (const auto& [bytes, text, strict] : cases) {
        EXPECT_EQ(DecodeTextLeniently(bytes), text) << bytes;
        std::u16string read;
        TextEncoding encoding;
        std::string error;
        EXPECT_EQ(DecodeText(bytes, read, encoding, error), strict) << bytes;
        if (strict) {
            EXPECT_EQ(read, text) << bytes;
        }
    }
}

// The array keeps its elements in order and throws for an index outside them.
TEST(Framework, Array) {
    CArray<CString, CString> list;
    EXPECT_TRUE(list.Add(CString(u"first")) == 0 && list.Add(CString(u"second")) == 1 && list[1] == u"second");
    EXPECT_THROW(list.GetAt(2), CInvalidArgException);
    EXPECT_THROW(list.GetAt(-1), CInvalidArgException);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty() && list.GetSize() == 0 && CString().IsEmpty());
}
