// Text formatting, UTF conversion and the growable array of the framework layer.
#include <gtest/gtest.h>

#include "CArray.h"
#include "CString.h"

TEST(FormatText, PatternsTheProgramUses) {
    CString s;
    s.Format(u"%s升级程序", u"Qelda");
    EXPECT_EQ(s, u"Qelda升级程序");
    s.Format(u"%d%%", 99);
    EXPECT_EQ(s, u"99%");
    s.Format(u"%d", -2147483647 - 1);
    EXPECT_EQ(s, u"-2147483648");
    s.Format(u"%lu of %lu", 4294967295ul, 0ul);
    EXPECT_EQ(s, u"4294967295 of 0");
    s.Format(u"Element '%s' at offset %d not ended", std::u16string(u"a"), 0);
    EXPECT_EQ(s, u"Element 'a' at offset 0 not ended");
}

TEST(FormatText, WidthFlagsAndHex) {
    EXPECT_EQ(FormatText(u"[%5d|%-4d|%05d|%03d]", {42, 7, -42, 1234}), u"[   42|7   |-0042|1234]");
    EXPECT_EQ(FormatText(u"%x %X %08X", {255, 255, 0xBEEFu}), u"ff FF 0000BEEF");
}

TEST(FormatText, MismatchedArgumentsNeverReadGarbage) {
    EXPECT_EQ(FormatText(u"%d and %s", {u"text"}), u"(?) and (missing)");
    EXPECT_EQ(FormatText(u"%s", {5}), u"(?)");
    EXPECT_EQ(FormatText(u"tail %", {}), u"tail %");
    EXPECT_EQ(FormatText(u"%q %d", {3}), u"%q 3");
    EXPECT_EQ(FormatText(u"%s", {static_cast<const char16_t*>(nullptr)}), u"(null)");
}

TEST(Utf, RoundTripsEveryPlane) {
    const std::u16string text = u"a\u00E9\u4E2D\U0001F600z";
    EXPECT_EQ(Utf16ToUtf8(text), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
}

TEST(Utf, BadInputBecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD");           // truncated sequence
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");     // overlong form
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");       // encoded surrogate
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(CArray, KeepsOrderAndChecksIndexes) {
    CArray<CString, CString> list;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.Add(CString(u"first")), 0);
    EXPECT_EQ(list.Add(CString(u"second")), 1);
    EXPECT_EQ(list[1], u"second");
    EXPECT_THROW(list.GetAt(2), CInvalidArgException);
    EXPECT_THROW(list.GetAt(-1), CInvalidArgException);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());
}
